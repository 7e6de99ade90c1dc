#pragma once

#include <QByteArray>
#include <QList>
#include <QSslConfiguration>
#include <QSslError>

class QNetworkAccessManager;
class QNetworkReply;

namespace mornix {

// What the program's HTTPS clients (the service session, the update fetcher) share: one trust
// setup and one way of configuring the network manager. Thread: the caller's; the system trust
// store is read once per process, behind a thread-safe static.
namespace https_session {

// Peer verification against the system's trust store plus `extraAnchorsPEM` (the build's own
// anchors), with the secure protocol versions only. Without extra anchors the default stays: the
// system store, whose certificates are looked up on demand. Setting a CA list turns that lookup
// off, so with extra anchors the whole store has to be parsed and put in beside them (some
// hundred certificates, a few megabytes held for the life of the process); `SystemAnchors::deferred`
// leaves it out, for a client that asks for the full set only once a chain needs it (see
// untrustedIssuerOnly).
enum class SystemAnchors { included, deferred };
QSslConfiguration tlsConfiguration(const QByteArray &extraAnchorsPEM,
                                   SystemAnchors systemAnchors = SystemAnchors::included);
// True when a handshake's errors say only that no trusted anchor was found for the chain: more
// anchors could pass it, while any other error (name, dates, usage, revocation) would remain.
bool untrustedIssuerOnly(const QList<QSslError> &errors);

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
