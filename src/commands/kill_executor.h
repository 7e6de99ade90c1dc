#pragma once

#include "commands/command_acknowledgement.h"
#include "commands/command_executor.h"
#include "discovery/agent_instance_scanner.h"
#include "discovery/agent_instance_snapshot_source.h"
#include "discovery/agent_product_catalog.h"
#include "discovery/kill_target_catalog.h"
#include "platform/code_signing.h"
#include "platform/workspace.h"

#include <QCoroTask>

#include <chrono>
#include <memory>

namespace mornix {

// Carries out a validated command: quits an application family, or stops exactly one detected
// agent instance with a fresh identity and signature check before every escalation. Never
// throws; every outcome is a result with one of the fixed messages. Holds no state between
// calls. Thread: main thread (waits are timer sleeps on the event loop, ended early when a
// stopped process's exit watch turns readable; signature checks and scans run on the thread
// pool).
class KillExecutor final : public CommandExecutor {
public:
    struct Timing {
        std::chrono::nanoseconds gracePeriod{1'500'000'000};
        std::chrono::nanoseconds forcedStopWait{500'000'000};
        std::chrono::nanoseconds pollStep{100'000'000};
    };

    static inline const QString kApplicationConfirmed = QStringLiteral("Target application termination confirmed.");
    static inline const QString kApplicationSignatureRejected =
        QStringLiteral("Target application code-signing identity did not match policy.");
    static inline const QString kApplicationRemained =
        QStringLiteral("Target application remained running after termination attempt.");
    static inline const QString kInstanceNotFound =
        QStringLiteral("Agent instance is no longer running or failed identity validation.");
    static inline const QString kInstanceConfirmed = QStringLiteral("Agent instance termination confirmed.");
    static inline const QString kInstanceUnverified =
        QStringLiteral("Agent instance termination could not be verified safely.");
    static inline const QString kInstanceIdentityChanged =
        QStringLiteral("Agent instance identity changed before force termination.");
    static inline const QString kInstanceRemained =
        QStringLiteral("Agent instance remained running after termination attempt.");

    KillExecutor(std::shared_ptr<Workspace> workspace, std::shared_ptr<ProcessTable> processTable,
                 std::shared_ptr<CodeSigning> codeSigning, std::shared_ptr<const AgentInstanceScanner> scanner);
    KillExecutor(std::shared_ptr<Workspace> workspace, std::shared_ptr<ProcessTable> processTable,
                 std::shared_ptr<CodeSigning> codeSigning, std::shared_ptr<const AgentInstanceScanner> scanner,
                 Timing timing);

    // Quits every running copy of the target's applications that is signed by one of its teams.
    // Arguments are copied before the task first suspends (tasks start at once), so temporaries
    // may be passed.
    QCoro::Task<KillExecutionResult> executeKill(const KillTargetCatalog::Target &target) override;

    // Stops the instance with this id (as received) if it is a current, authorised instance of
    // the expected product. monitor may be null (then a fresh scan is made); it must outlive the
    // task.
    QCoro::Task<KillExecutionResult> executeAgentInstance(const QString &targetInstanceID,
                                                          const AgentProductCatalog::Product &expectedProduct,
                                                          AgentInstanceSnapshotSource *monitor) override;

private:
    // Coroutine parameters here are references or trivially destructible (see blocking_call.h);
    // the referenced objects live in the awaiting frame.
    // Re-checks the instance every poll step until it is no longer running or the timeout has
    // passed; a step ends early when the process's exit watch turns readable.
    QCoro::Task<AgentInstanceLiveness> waitForStop(const DetectedAgentInstance &instance,
                                                   std::chrono::nanoseconds timeout);
    QCoro::Task<std::optional<AgentInstanceScanner::Authorization>> currentAuthorization(
        const DetectedAgentInstance &instance);
    // The running-image check of an application copy: its team when it runs its bundle's signed
    // main executable.
    QCoro::Task<std::optional<QString>> runningCopyTeam(const RunningApplication &copy);
    // exitWatch: may be null; when it turns readable the sleep ends early and returns true.
    QCoro::Task<bool> sleepFor(std::chrono::nanoseconds duration, const ProcessExitWatch *exitWatch = nullptr);
    // Signals exactly the process the authorization verified.
    bool sendStop(const DetectedAgentInstance &instance, const AgentInstanceScanner::Authorization &authorization,
                  bool force);

    std::shared_ptr<Workspace> m_workspace;
    std::shared_ptr<ProcessTable> m_processTable;
    std::shared_ptr<CodeSigning> m_codeSigning;
    std::shared_ptr<const AgentInstanceScanner> m_scanner;
    Timing m_timing;
};

}  // namespace mornix
