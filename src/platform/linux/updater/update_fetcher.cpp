#include "platform/linux/updater/update_fetcher.h"

#include "support/https_session.h"
#include "platform/posix_files.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>
#include <QTimer>

#include <QCoroNetworkReply>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <unistd.h>

namespace mornix {

namespace {

using https_session::ReplyDeleter;

bool isHTTPS(const QUrl &url)
{
    return url.isValid() && url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
           && !url.host().isEmpty();
}

// The statuses Qt follows as redirects (after `redirected` is answered).
bool isFollowedRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// What may be read and thrown away from the bodies of redirects, all of them together.
constexpr qint64 kMaxDiscardedBytes = 64 * 1024;

}  // namespace

qint64 TransferLimits::deadlineMs(qint64 maxBytes) const
{
    const qint64 rate = std::max<qint64>(1, minimumBytesPerSecond);
    const qint64 bodyMs =
        std::max<qint64>(0, maxBytes) / rate * 1000 + std::max<qint64>(0, maxBytes) % rate * 1000 / rate;
    return std::max<qint64>(0, deadlineBaseMs) + bodyMs;
}

UpdateFetcher::UpdateFetcher(QByteArray extraAnchorsPEM, TransferLimits limits, QObject *parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
    , m_extraAnchorsPEM(std::move(extraAnchorsPEM))
    , m_limits(limits)
{
    https_session::configureManager(m_manager);
}

QCoro::Task<UpdateFetcher::Result> UpdateFetcher::fetch(QUrl url, qint64 maxBytes)
{
    return transfer(std::move(url), maxBytes, -1, -1);
}

QCoro::Task<UpdateFetcher::Result> UpdateFetcher::download(QUrl url, int fd, qint64 expectedLength)
{
    return transfer(std::move(url), expectedLength, fd, expectedLength);
}

QCoro::Task<UpdateFetcher::Result> UpdateFetcher::transfer(QUrl url, qint64 maxBytes, int fd, qint64 expectedLength)
{
    Result result;
    if (!isHTTPS(url)) {
        result.error = QStringLiteral("refused a non-HTTPS address");
        co_return result;
    }

    QNetworkRequest request(url);
    request.setSslConfiguration(https_session::tlsConfiguration(m_extraAnchorsPEM));
    request.setMaximumRedirectsAllowed(5);
    request.setTransferTimeout(m_limits.inactivityTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setRawHeader("Accept-Encoding", "identity");

    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(m_manager->get(request));
    auto failure = std::make_shared<QString>();
    auto received = std::make_shared<qint64>(0);
    auto body = std::make_shared<QByteArray>();
    QNetworkReply *raw = reply.get();

    connect(raw, &QNetworkReply::redirected, raw, [raw, failure](const QUrl &target) {
        if (!isHTTPS(target)) {
            *failure = QStringLiteral("refused a redirect to a non-HTTPS address");
            raw->abort();
            return;
        }
        Q_EMIT raw->redirectAllowed();
    });
    auto discarded = std::make_shared<qint64>(0);
    // A status other than 200 ends the transfer once it is known; its body is never read.
    // (Aborted from the event loop: aborting inside metaDataChanged upsets the reply.)
    const auto refusesStatus = [raw, failure] {
        const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid() || status.toInt() == 200 || isFollowedRedirect(status.toInt()))
            return false;
        *failure = QStringLiteral("HTTP status %1").arg(status.toInt());
        QMetaObject::invokeMethod(raw, &QNetworkReply::abort, Qt::QueuedConnection);
        return true;
    };
    connect(raw, &QNetworkReply::metaDataChanged, raw, [failure, refusesStatus] {
        if (failure->isEmpty())
            refusesStatus();
    });
    connect(raw, &QNetworkReply::readyRead, raw,
            [raw, failure, received, body, discarded, fd, maxBytes, refusesStatus] {
                if (!failure->isEmpty() || refusesStatus())
                    return;
                const QByteArray chunk = raw->readAll();
                if (raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200) {
                    // The body of a redirect that is being followed.
                    *discarded += chunk.size();
                    if (*discarded > kMaxDiscardedBytes) {
                        *failure = QStringLiteral("a redirect's answer is too long");
                        raw->abort();
                    }
                    return;
                }
                *received += chunk.size();
                if (*received > maxBytes) {
                    *failure = QStringLiteral("the answer is longer than expected");
                    raw->abort();
                    return;
                }
                if (fd >= 0) {
                    if (!posix::writeAll(fd, chunk)) {
                        *failure = QStringLiteral("cannot write the download");
                        raw->abort();
                    }
                } else {
                    body->append(chunk);
                }
            });
    // However slowly the bytes come, the transfer ends by its deadline.
    const qint64 deadline = m_limits.deadlineMs(maxBytes);
    QTimer::singleShot(static_cast<int>(std::min<qint64>(deadline, INT_MAX)), raw, [raw, failure, deadline] {
        if (!failure->isEmpty() || raw->isFinished())
            return;
        *failure = QStringLiteral("the transfer did not finish within %1 s").arg(double(deadline) / 1000.0);
        raw->abort();
    });

    co_await raw;
    // Whatever is still buffered arrives before finished only through readyRead, which ran.
    if (!failure->isEmpty()) {
        result.error = *failure;
        co_return result;
    }
    if (raw->error() != QNetworkReply::NoError) {
        const bool timedOut = raw->error() == QNetworkReply::OperationCanceledError;
        result.error = timedOut ? QStringLiteral("the transfer stalled") : raw->errorString();
        co_return result;
    }
    const int status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200) {
        result.error = QStringLiteral("HTTP status %1").arg(status);
        co_return result;
    }
    if (expectedLength >= 0 && *received != expectedLength) {
        result.error = QStringLiteral("received %1 of %2 bytes").arg(*received).arg(expectedLength);
        co_return result;
    }
    result.ok = true;
    result.bytes = *received;
    result.body = std::move(*body);
    co_return result;
}

}  // namespace mornix
