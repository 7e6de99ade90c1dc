#include "app/doctor_service.h"

#include "api/http_exchange.h"
#include "api/pinned_session.h"
#include "api/pinned_session_failure_store.h"
#include "api/transport_error.h"
#include "api/transport_steps.h"
#include "support/cancellation.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QTimer>

namespace mornix::doctor {

namespace {

// Lets the session go on a later turn of the event loop: the exchange may end inside a signal of
// the session's own reply (its timeout, an abort), which must not see its manager deleted.
struct DeferredRelease {
    std::shared_ptr<PinnedSession> session;
    ~DeferredRelease()
    {
        if (session)
            QTimer::singleShot(0, QCoreApplication::instance(), [session = std::move(session)] {});
    }
};

}  // namespace

std::optional<qint64> clockOffsetSeconds(const QByteArray &dateHeader, const QDateTime &localMidpoint)
{
    // "Sun, 06 Nov 1994 08:49:37 GMT"; the obsolete forms are not sent by current servers.
    const QString text = QString::fromLatin1(dateHeader).trimmed();
    QDateTime server = QLocale::c().toDateTime(text, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!server.isValid())
        return std::nullopt;
    server.setTimeSpec(Qt::UTC);
    return localMidpoint.secsTo(server);
}

QCoro::Task<DoctorCheck> checkService(Config config, std::optional<DeviceCredentials> credentials,
                                      QList<AgentInstanceReport> running, std::chrono::milliseconds bound)
{
    const QString name = QStringLiteral("service");
    const QString base = credentials ? credentials->apiBaseURL : config.defaultAPIBaseURL;
    const QString path =
        credentials ? QStringLiteral("/api/desktop/agent-instances/report") : QStringLiteral("/api/public-config");
    QJsonObject facts{{QStringLiteral("origin"), base},
                      {QStringLiteral("path"), path},
                      {QStringLiteral("signed"), credentials.has_value()}};

    const auto failures = std::make_shared<PinnedSessionFailureStore>();
    std::shared_ptr<PinnedSession> session;
    HTTPRequest request;
    try {
        session = makePinnedSession(base, config, failures);
        request.url = api_transport::buildURL(base, path);
        if (credentials) {
            QJsonArray list;
            for (const AgentInstanceReport &report : std::as_const(running))
                list.append(report.toJSON());
            request.method = QByteArrayLiteral("POST");
            request.body =
                QJsonDocument(QJsonObject{{QStringLiteral("instances"), list}}).toJson(QJsonDocument::Compact);
            request.setHeader(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json"));
            request.setHeader(QByteArrayLiteral("Authorization"), "Bearer " + credentials->bearerToken.toUtf8());
            api_transport::signRequest(request, credentials->deviceID, credentials->deviceSecret);
        } else {
            request.method = QByteArrayLiteral("GET");
        }
    } catch (const PinnedSessionError &error) {
        co_return DoctorCheck::problem(
            name, QStringLiteral("%1 cannot be used: %2").arg(base, QLatin1String(error.what())), facts);
    } catch (const std::exception &) {
        // A bearer token with a line break, a base URL that does not parse: the agent fails alike.
        co_return DoctorCheck::problem(name, QStringLiteral("no valid request can be made for %1").arg(base), facts);
    }
    request.timeout = bound;
    const DeferredRelease release{session};

    // The whole exchange is bounded: the inactivity timeout alone would let a slow trickle run on.
    CancellationToken cancel;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &cancel, &CancellationToken::cancel);
    deadline.start(bound);

    const QString target = QStringLiteral("%1 %2").arg(QString::fromLatin1(request.method), path);
    const QDateTime sentAt = QDateTime::currentDateTimeUtc();
    QElapsedTimer clock;
    clock.start();
    HTTPResponse response;
    try {
        QPointer<CancellationToken> token(&cancel);
        response = co_await session->send(std::move(request), token);
    } catch (const TransportError &error) {
        const std::optional<QString> tls = failures->take();
        if (tls && *tls != QLatin1String("ok")) {
            facts.insert(QStringLiteral("tls"), *tls);
            co_return DoctorCheck::problem(name, QStringLiteral("%1: the server was refused (%2)").arg(base, *tls),
                                           facts);
        }
        if (cancel.isCancelled()) {
            facts.insert(QStringLiteral("timed_out"), true);
            co_return DoctorCheck::problem(
                name, QStringLiteral("%1: no answer within %2 ms").arg(base).arg(bound.count()), facts);
        }
        co_return DoctorCheck::problem(name, QStringLiteral("%1 cannot be reached: %2").arg(base, error.message()),
                                       facts);
    }
    const qint64 rttMs = clock.elapsed();
    deadline.stop();
    const QString tls = failures->take().value_or(QStringLiteral("ok"));
    facts.insert(QStringLiteral("tls"), tls);
    facts.insert(QStringLiteral("rtt_ms"), rttMs);
    const QString pins =
        config.pinnedSPKIHashes.isEmpty() ? QStringLiteral("no pins configured") : QStringLiteral("leaf key pinned");
    QString text = QStringLiteral("%1 %2: TLS %3 (%4), ").arg(base, target, tls, pins);

    const int status = response.status.value_or(0);
    facts.insert(QStringLiteral("http_status"), status);
    bool ok = status >= 200 && status <= 299;
    if (ok)
        text += QStringLiteral("HTTP %1 in %2 ms").arg(status).arg(rttMs);
    else if (status == 401 || status == 403)
        text +=
            QStringLiteral("HTTP %1 in %2 ms: the service refused this device's credentials").arg(status).arg(rttMs);
    else
        text += QStringLiteral("HTTP %1 in %2 ms").arg(status).arg(rttMs);

    QByteArray date;
    for (const auto &[header, value] : std::as_const(response.headers)) {
        if (header.compare("Date", Qt::CaseInsensitive) == 0)
            date = value;
    }
    const std::optional<qint64> offset = clockOffsetSeconds(date, sentAt.addMSecs(rttMs / 2));
    if (offset) {
        facts.insert(QStringLiteral("clock_offset_s"), *offset);
        text +=
            QStringLiteral(", clock offset %1%2 s").arg(*offset >= 0 ? QStringLiteral("+") : QString()).arg(*offset);
        if (std::abs(*offset) > kMaxClockOffset.count()) {
            ok = false;
            text += QStringLiteral(" (more than %1 minutes: signed requests are refused)")
                        .arg(kMaxClockOffset.count() / 60);
        }
    } else {
        text += QStringLiteral(", clock offset unknown (no Date header)");
    }
    co_return ok ? DoctorCheck::pass(name, text, facts) : DoctorCheck::problem(name, text, facts);
}

}  // namespace mornix::doctor
