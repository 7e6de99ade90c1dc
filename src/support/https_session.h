#pragma once

#include <QByteArray>
#include <QSslConfiguration>

class QNetworkAccessManager;
class QNetworkReply;

namespace mornix {

// What the program's HTTPS clients (the service session, the update fetcher) share: one trust
// setup and one way of configuring the network manager. Thread: the caller's; the system trust
// store is read once per process, behind a thread-safe static.
namespace https_session {

// Peer verification against the system's trust store plus `extraAnchorsPEM` (the build's own
// anchors), with the secure protocol versions only. Setting a CA list turns off the system
// store's on-demand lookup, so with extra anchors the whole store goes in beside them; without
// any, the default (the system store) stays.
QSslConfiguration tlsConfiguration(const QByteArray &extraAnchorsPEM);

// Ephemeral and explicit: no cookies accepted or sent, no cache, every redirect answered by the
// caller (UserVerifiedRedirectPolicy), no HSTS store, replies deleted by their owner.
void configureManager(QNetworkAccessManager *manager);

// For std::unique_ptr<QNetworkReply>: a coroutine resumes inside the reply's finished signal,
// so the reply is never deleted there, only later.
struct ReplyDeleter {
    void operator()(QNetworkReply *reply) const;
};

}  // namespace https_session

}  // namespace mornix
