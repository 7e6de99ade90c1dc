#include "commands/agent_inventory_reporter.h"

#include "support/text_cleaning.h"

#include <QMap>
#include <QPointer>
#include <QTimer>

#include <QCoroTimer>

#include <exception>

namespace mornix {

AgentInventoryReporter::AgentInventoryReporter(Dependencies dependencies, QObject *parent)
    : QObject(parent)
    , m_deps(std::move(dependencies))
{
}

AgentInventoryReporter::~AgentInventoryReporter() = default;

QString AgentInventoryReporter::summary(const QList<AgentInstanceReport> &reports)
{
    QMap<QString, int> counts;
    for (const AgentInstanceReport &report : reports)
        ++counts[report.product];
    QStringList parts;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        parts.append(it.key() + u'=' + QString::number(it.value()));
    return parts.join(QStringLiteral(", "));
}

void AgentInventoryReporter::queueAgentInventoryReport(const QList<AgentInstanceReport> &reports,
                                                       const std::optional<DeviceCredentials> &credentials,
                                                       bool immediate)
{
    m_pendingReports = reports;
    if (m_deps.pendingChanged)
        m_deps.pendingChanged();
    if (credentials) {
        m_pendingCredentials = credentials;
        m_lastAttemptAt = QDateTime::currentDateTimeUtc();
    }
    if (m_sending || m_cancelled)
        return;
    m_sending = true;
    runSender(immediate);
}

void AgentInventoryReporter::cancel()
{
    m_cancelled = true;
}

QCoro::Task<void> AgentInventoryReporter::runSender(bool immediate)
{
    QPointer<AgentInventoryReporter> self(this);
    if (!immediate) {
        QTimer timer;
        timer.setSingleShot(true);
        timer.start(m_deps.burstDelay);
        co_await timer;
        if (!self)
            co_return;
    }
    while (!m_cancelled) {
        if (!m_pendingReports)
            break;
        std::optional<DeviceCredentials> credentials = m_pendingCredentials;
        if (!credentials)
            credentials = m_deps.currentCredentials();
        if (!credentials)
            break;  // the report stays pending for the next request
        const QList<AgentInstanceReport> reports = *m_pendingReports;
        m_pendingReports.reset();
        m_pendingCredentials.reset();
        m_lastAttemptAt = QDateTime::currentDateTimeUtc();

        QString failure;
        try {
            co_await m_deps.send(*credentials, reports);
        } catch (const std::exception &error) {
            failure = QString::fromUtf8(error.what());
            if (failure.isEmpty())
                failure = QStringLiteral("unknown error");
        } catch (...) {
            failure = QStringLiteral("unknown error");
        }
        if (!self)
            co_return;
        if (failure.isEmpty()) {
            const QString text = summary(reports);
            if (m_lastSummary != text) {
                m_lastSummary = text;
                m_deps.appendLog(QStringLiteral("agent inventory reported: ") + text);
            }
        } else {
            m_deps.appendLog(sanitizeLog(QStringLiteral("agent inventory report retry: ") + failure, 120));
        }
    }
    m_sending = false;
}

}  // namespace mornix
