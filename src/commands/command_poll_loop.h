#pragma once

#include "commands/agent_inventory_reporter.h"
#include "commands/command_acknowledgement.h"
#include "commands/command_executor.h"
#include "commands/command_journal.h"
#include "commands/controller_state.h"
#include "commands/device_service_client.h"
#include "commands/device_session_renewal.h"
#include "commands/kill_command.h"
#include "discovery/agent_instance.h"
#include "discovery/agent_instance_monitor.h"
#include "discovery/agent_instance_snapshot_source.h"
#include "discovery/agent_product_catalog.h"
#include "discovery/kill_target_catalog.h"
#include "identity/credential_records.h"
#include "support/cancellation.h"
#include "support/serial_queue.h"

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

namespace mornix {

// The device's only channel for work: one long-lived task that keeps the token fresh, fetches
// the next command, acknowledges it, validates it, has it carried out, acknowledges the outcome
// and triggers inventory reports; errors back off 1, 2, 4 ... 30 s with 20 % jitter. Commands
// are handled strictly one at a time.
//
// Every command goes through the command journal: its id is recorded before "received" is
// acknowledged, the intent before anything is signalled and the outcome before it is sent, so a
// command is never carried out twice (not after a re-delivery, not after a restart) and its
// outcome is never lost: outcomes the service has not accepted form an outbox that is sent again,
// with the same idempotency key, at start and after every successful poll. A command that has an
// outcome is only ever answered with that same outcome. An envelope that does not decode but
// names a safe id is acknowledged "ignored" at once instead of holding up the commands behind it.
//
// A journal that cannot be used never stops a command: it is carried out from the journal's
// memory, at most once while the process runs (the guarantee across restarts returns with the
// durable journal, which is tried again before every command). "received" answered with a 4xx
// other than 401/403 means the service no longer wants the command: nothing is carried out, the
// journal records the refusal and the error goes to the error handler. 401/403 goes through the
// token refresh; the command comes again. A network failure or 5xx carries on: the outcome is
// what the service must learn. Thread: main thread (journal writes run on a worker of their own).
class CommandPollLoop : public QObject {
    Q_OBJECT
public:
    using Executor = CommandExecutor;

    // Sleeps for the duration unless cancelled; false when cancelled. Tests record instead.
    using Sleep = std::function<QCoro::Task<bool>(QPointer<CancellationToken>, std::chrono::nanoseconds)>;

    // What the loop works with besides the controller's state. Every member may be left empty.
    struct Collaborators {
        std::shared_ptr<Executor> executor;
        // Token refresh and the pending-claim poll; must outlive the loop. Null: tokens are
        // never refreshed and a pending claim only waits.
        DeviceSessionRenewal *renewal = nullptr;
        // Receives the inventory reports after commands and every 15 s; its last attempt paces them.
        QPointer<AgentInventoryReporter> reporter;
        // The running instances: the reports, and the snapshot instance commands are looked up in.
        std::shared_ptr<AgentInstanceMonitor> monitor;
        // null gives a memory-only journal (nothing survives the process).
        std::shared_ptr<CommandJournal> journal;
        // Called (main thread) when the journal becomes degraded, with its reason, and when it is
        // durable again, with an empty text. Not called for the state it had when the loop was made.
        std::function<void(const QString &reason)> journalStateChanged;
        // Called after a command was carried out successfully, with the executor's result (the
        // help page, the notice to the user). Not called for an outcome answered from the journal.
        std::function<void(const KillExecutionResult &)> commandExecuted;
        Sleep sleep;  // empty: real sleeps
    };

    // state: read afresh at each step (credentials, service client, paused) and written back
    // (refreshed credentials, connected, the last command); must outlive the loop.
    CommandPollLoop(ControllerState &state, Collaborators collaborators, QObject *parent = nullptr);
    ~CommandPollLoop() override;

    // Starts the loop once; it returns when cancelled.
    void start();
    // Ends the loop: sleeps end at once; a command in progress is finished and acknowledged first.
    void cancel();
    bool isRunning() const { return m_running; }

private:
    // The credentials and service client one round of the loop works with.
    struct Session {
        DeviceCredentials credentials;
        std::shared_ptr<DeviceServiceClient> service;
    };
    // How a round ended: at once to the next, after the error back-off, or the loop is gone.
    enum class Round { next, backOff, gone };
    // A command's outcome as it will be recorded and sent, and the executor's result when it was
    // carried out (not for an outcome decided without running anything).
    struct Execution {
        JournalOutcome outcome;
        std::optional<KillExecutionResult> result;
    };
    // What validation found a command asks for: one target, or none and the refusal message.
    struct Validation {
        std::optional<KillTargetCatalog::Target> target;
        std::optional<AgentProductCatalog::Product> product;
        QString refusalMessage;
    };

    QCoro::Task<void> pollLoop();
    // The session of this round, or none after the nap of a paused, pending or unenrolled agent.
    QCoro::Task<std::optional<Session>> readySession();
    // Token check, the inventory report when due, then one poll and its command. Coroutines take
    // their arguments by value: a reference could outlive its object.
    QCoro::Task<Round> pollRound(Session session);
    QCoro::Task<void> pollAndHandle(Session session);
    // Queues the periodic inventory report when 15 s have passed since the last attempt.
    void reportInventoryIfDue(const DeviceCredentials &credentials);
    // After the service refused the credentials: a forced token refresh, else "authentication required".
    QCoro::Task<Round> renewAfterRefusal(DeviceCredentials credentials);

    // One received command, from "received" to its outcome acknowledgement.
    // command: absent for an envelope that did not decode but named the safe id `commandID`.
    // Throws the outcome acknowledgement's failure (after the outcome was journaled).
    QCoro::Task<void> handleCommand(std::optional<KillCommand> command, QString commandID,
                                    DeviceCredentials credentials, std::shared_ptr<DeviceServiceClient> service);
    // A command the journal already knows with an intent or an outcome: answered from the journal,
    // never carried out again.
    QCoro::Task<void> replayFromJournal(JournalEntry known, DeviceCredentials credentials,
                                        std::shared_ptr<DeviceServiceClient> service);
    // Records the id (unless known) and acknowledges "received". False when the loop went away.
    // Throws ServiceUnauthorized, and a refusal for good after journaling it.
    QCoro::Task<bool> acknowledgeReceipt(QString commandID, bool recordID, DeviceCredentials credentials,
                                         std::shared_ptr<DeviceServiceClient> service);
    static Validation validate(const std::optional<KillCommand> &command);
    // Records the intent and carries the command out, or decides "ignored" for a refused one.
    // None when the loop went away meanwhile (the outcome is then recorded and left to the outbox).
    QCoro::Task<std::optional<Execution>> execute(std::optional<KillCommand> command, Validation validation,
                                                  QString commandID, QString deviceID);
    // Records the outcome, sends it, and reports what was carried out. Throws a failed delivery.
    QCoro::Task<void> settle(QString commandID, Execution execution, DeviceCredentials credentials,
                             std::shared_ptr<DeviceServiceClient> service);
    // Sends a journaled outcome and records that the service took it. A refusal for good
    // (ServiceRefused) settles it too; any other failure is thrown and the outcome stays pending.
    QCoro::Task<void> deliverOutcome(QString commandID, JournalOutcome outcome, DeviceCredentials credentials,
                                     std::shared_ptr<DeviceServiceClient> service);
    // Sends the pending outcomes of this device, oldest first, until one fails.
    QCoro::Task<void> flushOutbox(DeviceCredentials credentials, std::shared_ptr<DeviceServiceClient> service);
    // Runs one journal step on the journal's worker thread; its result.
    QCoro::Task<bool> journalStep(std::function<bool(CommandJournal &)> step);
    // Reports a change of the journal's degraded state (see journalStateChanged).
    void noteJournalState();
    QCoro::Task<bool> nap(std::uint64_t nanoseconds);

    // The monitor's reports, or none while it has not published (or there is none).
    std::optional<QList<AgentInstanceReport>> currentReportsIfReady() const;

    ControllerState &m_state;
    std::shared_ptr<Executor> m_executor;
    DeviceSessionRenewal *m_renewal;
    QPointer<AgentInventoryReporter> m_reporter;
    std::shared_ptr<AgentInstanceMonitor> m_monitor;
    std::function<void(const KillExecutionResult &)> m_commandExecuted;
    Sleep m_sleep;
    CancellationToken *m_token;
    bool m_running = false;
    bool m_outboxSentAtStart = false;
    std::uint64_t m_retryDelay;  // nanoseconds
    std::shared_ptr<CommandJournal> m_journal;
    std::function<void(const QString &)> m_journalStateChanged;
    QString m_journalDegradedReason;  // as last reported
    SerialQueue m_journalQueue;       // one thread: journal steps stay in order
};

// The outcome of a command whose intent was journaled but whose outcome never was (the agent
// stopped in between): "failed" with this message and a payload saying so.
inline constexpr QStringView kInterruptedMessage = u"interrupted by agent restart";
// The outcome of an envelope that did not decode but named a safe id: "ignored".
inline constexpr QStringView kUndecodableMessage = u"command could not be decoded";
// The outcome of a command whose execution ended in an unexpected error of the agent: "failed".
inline constexpr QStringView kExecutionErrorMessage = u"the agent could not carry out the command";

}  // namespace mornix
