#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoroTask>

class QNetworkAccessManager;
class QNetworkReply;

namespace mornix {

// HTTPS transfers of the updater: the system's trust plus the build's extra anchors, host
// names checked, no cookies and no cache. Redirects are followed only to https addresses
// (at most five); a redirect to plain http ends the transfer. A transfer ends when no byte
// arrives for `inactivityTimeoutMs`.
// Thread: main thread (runs on its event loop).
class UpdateFetcher : public QObject {
    Q_OBJECT
public:
    explicit UpdateFetcher(QByteArray extraAnchorsPEM, QObject *parent = nullptr);

    struct Result {
        bool ok = false;
        QString error;    // why it failed, for the log
        QByteArray body;  // fetch(): the body
        qint64 bytes = 0; // bytes received
    };

    int inactivityTimeoutMs = 30000;

    // GETs url into memory; fails beyond maxBytes.
    QCoro::Task<Result> fetch(QUrl url, qint64 maxBytes);
    // GETs url into the open file `fd`; fails unless exactly expectedLength bytes arrive.
    QCoro::Task<Result> download(QUrl url, int fd, qint64 expectedLength);

private:
    QCoro::Task<Result> transfer(QUrl url, qint64 maxBytes, int fd, qint64 expectedLength);

    QNetworkAccessManager *m_manager;
    QByteArray m_extraAnchorsPEM;
};

}  // namespace mornix
