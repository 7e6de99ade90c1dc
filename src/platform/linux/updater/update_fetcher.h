#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoroTask>

class QNetworkAccessManager;
class QNetworkReply;

namespace mornix {

// How long a transfer of the updater may take. Each one ends when no byte arrives for
// `inactivityTimeoutMs`, and in any case `deadlineBaseMs` plus the time its largest allowed
// body takes at `minimumBytesPerSecond` after it began, however the bytes trickle in.
struct TransferLimits {
    int inactivityTimeoutMs = 30000;
    qint64 deadlineBaseMs = 120000;
    qint64 minimumBytesPerSecond = 16 * 1024;

    // The whole transfer's deadline for a body of at most `maxBytes`, in milliseconds.
    qint64 deadlineMs(qint64 maxBytes) const;
};

// HTTPS transfers of the updater: the system's trust plus the build's extra anchors, host
// names checked, no cookies and no cache. Redirects are followed only to https addresses
// (at most five); a redirect to plain http ends the transfer. Every body is bounded: a 200
// answer by the caller's limit, a redirect's by a few kilobytes, and any other answer ends the
// transfer as soon as its status is known, its body unread. Time is bounded by TransferLimits.
// Thread: main thread (runs on its event loop).
class UpdateFetcher : public QObject {
    Q_OBJECT
public:
    explicit UpdateFetcher(QByteArray extraAnchorsPEM, TransferLimits limits = {}, QObject *parent = nullptr);

    struct Result {
        bool ok = false;
        QString error;     // why it failed, for the log
        QByteArray body;   // fetch(): the body
        qint64 bytes = 0;  // bytes received
    };

    // GETs url into memory; fails beyond maxBytes.
    QCoro::Task<Result> fetch(QUrl url, qint64 maxBytes);
    // GETs url into the open file `fd`; fails unless exactly expectedLength bytes arrive.
    QCoro::Task<Result> download(QUrl url, int fd, qint64 expectedLength);

private:
    QCoro::Task<Result> transfer(QUrl url, qint64 maxBytes, int fd, qint64 expectedLength);

    QNetworkAccessManager *m_manager;
    QByteArray m_extraAnchorsPEM;
    TransferLimits m_limits;
};

}  // namespace mornix
