#pragma once

#include "commands/command_acknowledgement.h"
#include "commands/device_service_client.h"
#include "commands/kill_command.h"
#include "discovery/agent_instance.h"
#include "discovery/agent_instance_snapshot_source.h"
#include "discovery/agent_product_catalog.h"
#include "discovery/kill_target_catalog.h"
#include "identity/credential_records.h"
#include "support/cancellation.h"

#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <QObject>
#include <QPointer>

#include <QCoroTask>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// The device's only channel for work: one long-lived task that keeps the token fresh, fetches
// the next command, acknowledges it, validates it, has it carried out, acknowledges the outcome
// and triggers inventory reports; errors back off 1, 2, 4 ... 30 s with 20 % jitter. Commands
// are handled strictly one at a time. Thread: main thread.
class CommandPollLoop : public QObject {
    Q_OBJECT
public:
    // Carries out validated commands; never throws.
    class Executor {
    public:
        virtual ~Executor() = default;
        virtual QCoro::Task<KillExecutionResult> executeKill(const KillTargetCatalog::Target &target) = 0;
        // monitor: the instance snapshot to look the id up in (may be null: a fresh scan).
        virtual QCoro::Task<KillExecutionResult> executeAgentInstance(const QString &targetInstanceID,
                                                                      const AgentProductCatalog::Product &product,
                                                                      AgentInstanceSnapshotSource *monitor) = 0;
    };

    // The controller's state that the loop reads afresh at each step and writes back.
    class Host {
    public:
        virtual ~Host() = default;
        virtual bool paused() const = 0;
        virtual void setConnected(bool connected) = 0;
        virtual void setLastCommand(const QString &text) = 0;
        virtual std::optional<DeviceCredentials> credentials() const = 0;
        virtual void setCredentials(const DeviceCredentials &credentials) = 0;
        virtual bool hasPendingClaim() const = 0;
        // The service client of the moment, or null.
        virtual std::shared_ptr<DeviceServiceClient> service() const = 0;
        // Never throws: returns refreshed credentials, or nullopt (keep the current ones / none
        // obtainable).
        virtual QCoro::Task<std::optional<DeviceCredentials>> refreshOAuthIfNeeded(DeviceCredentials credentials,
                                                                                   bool force) = 0;
        virtual QCoro::Task<void> resumeApprovedClaimIfNeeded() = 0;
        virtual std::optional<QList<AgentInstanceReport>> currentReportsIfReady() const = 0;
        // The monitor of the moment; kept alive by the loop while a command uses it.
        virtual std::shared_ptr<AgentInstanceSnapshotSource> agentInstanceMonitor() const = 0;
        virtual std::optional<QDateTime> lastAgentInstanceReportAttemptAt() const = 0;
        virtual void setLastAgentInstanceReportAttemptAt(const QDateTime &when) = 0;
        virtual void queueAgentInventoryReport(const QList<AgentInstanceReport> &reports,
                                               const std::optional<DeviceCredentials> &credentials, bool immediate) = 0;
        virtual void openHelpPage() = 0;
    };

    // Sleeps for the duration unless cancelled; false when cancelled. Tests record instead.
    using Sleep = std::function<QCoro::Task<bool>(QPointer<CancellationToken>, std::chrono::nanoseconds)>;

    CommandPollLoop(Host &host, std::shared_ptr<Executor> executor, Sleep sleep = {}, QObject *parent = nullptr);
    ~CommandPollLoop() override;

    // Starts the loop once; it returns when cancelled.
    void start();
    // Ends the loop: sleeps end at once; a command in progress is finished and acknowledged first.
    void cancel();
    bool isRunning() const { return m_running; }

private:
    QCoro::Task<void> pollLoop();
    // One received command, from "received" to its outcome acknowledgement.
    // Coroutines take their arguments by value: a reference could outlive its object.
    QCoro::Task<void> handleCommand(KillCommand command, DeviceCredentials credentials,
                                    std::shared_ptr<DeviceServiceClient> service);
    QCoro::Task<bool> nap(std::uint64_t nanoseconds);
    void rememberCarriedOut(const QString &commandID, const KillExecutionResult &result);

    static constexpr qsizetype kRememberedCommands = 256;

    Host &m_host;
    std::shared_ptr<Executor> m_executor;
    Sleep m_sleep;
    CancellationToken *m_token;
    bool m_running = false;
    // Outcomes of the commands carried out most recently, by command id.
    QHash<QString, KillExecutionResult> m_carriedOut;
    QStringList m_carriedOutOrder;
};
