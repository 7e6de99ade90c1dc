#include "platform/linux/update_fetcher.h"

#include "support/https_session.h"
#include "platform/posix_files.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslConfiguration>

#include <QCoroNetworkReply>

#include <cerrno>
#include <memory>
#include <unistd.h>

namespace mornix {

namespace {

using https_session::ReplyDeleter;

bool isHTTPS(const QUrl &url)
{
    return url.isValid() && url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 && !url.host().isEmpty();
}

}  // namespace

UpdateFetcher::UpdateFetcher(QByteArray extraAnchorsPEM, QObject *parent)
    : QObject(parent)
    , m_manager(new QNetworkAccessManager(this))
    , m_extraAnchorsPEM(std::move(extraAnchorsPEM))
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
    request.setTransferTimeout(inactivityTimeoutMs);
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
    connect(raw, &QNetworkReply::readyRead, raw, [raw, failure, received, body, fd, maxBytes] {
        if (!failure->isEmpty())
            return;
        const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && status.toInt() != 200) {
            raw->readAll();
            return;  // the status is reported at the end
        }
        const QByteArray chunk = raw->readAll();
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
