#pragma once

#include "discovery/agent_instance.h"
#include "support/operational_log.h"
#include "identity/credential_records.h"

#include <QDateTime>
#include <QList>
#include <QObject>

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <optional>

namespace mornix {

// Sends the running agent instances to the service: requests are coalesced (each replaces the
// pending one), at most one report is in flight, and the outcome is logged once per change of
// the per-product counts. Thread: main thread.
class AgentInventoryReporter : public QObject {
    Q_OBJECT
public:
    struct Dependencies {
        // Sends one report; throws (any exception) on failure.
        std::function<QCoro::Task<void>(const DeviceCredentials &, const QList<AgentInstanceReport> &)> send;
        // The controller's credentials of the moment.
        std::function<std::optional<DeviceCredentials>()> currentCredentials;
        OperationalLog appendLog;
        std::function<void()> pendingChanged;  // the dashboard shows the pending inventory
        std::chrono::milliseconds burstDelay{150};
    };

    explicit AgentInventoryReporter(Dependencies dependencies, QObject *parent = nullptr);
    ~AgentInventoryReporter() override;

    // Replaces the pending report and starts the sender when idle. From the monitor: no
    // credentials, immediate false (waits 0.15 s so a burst collapses into one report). From the
    // poll loop: its credentials, immediate true.
    void queueAgentInventoryReport(const QList<AgentInstanceReport> &reports,
                                   const std::optional<DeviceCredentials> &credentials, bool immediate);

    // Stops sending (the task ends at its next check).
    void cancel();

    bool isSending() const { return m_sending; }
    const std::optional<QList<AgentInstanceReport>> &pendingReports() const { return m_pendingReports; }
    const std::optional<QDateTime> &lastAgentInstanceReportAttemptAt() const { return m_lastAttemptAt; }
    void setLastAgentInstanceReportAttemptAt(const QDateTime &when) { m_lastAttemptAt = when; }
    const std::optional<QString> &lastAgentInventorySummary() const { return m_lastSummary; }

    // "claude-code=2, codex=1": counts per product, product keys ascending.
    static QString summary(const QList<AgentInstanceReport> &reports);

private:
    QCoro::Task<void> runSender(bool immediate);

    Dependencies m_deps;
    bool m_sending = false;
    bool m_cancelled = false;
    std::optional<QList<AgentInstanceReport>> m_pendingReports;
    std::optional<DeviceCredentials> m_pendingCredentials;
    std::optional<QDateTime> m_lastAttemptAt;
    std::optional<QString> m_lastSummary;
};

}  // namespace mornix
