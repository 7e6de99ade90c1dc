#include "app/agent_services.h"

#include "commands/kill_executor.h"
#include "discovery/agent_instance_scanner.h"

namespace {

class KillExecutorAdapter final : public CommandPollLoop::Executor {
public:
    explicit KillExecutorAdapter(std::shared_ptr<KillExecutor> executor) : m_executor(std::move(executor)) {}

    QCoro::Task<KillExecutionResult> executeKill(const KillTargetCatalog::Target &target) override
    {
        std::shared_ptr<KillExecutor> executor = m_executor;
        // Every argument named: GCC destroys temporaries inside a co_await expression twice.
        const KillTargetCatalog::Target copy = target;
        co_return co_await executor->executeKill(copy, nullptr);
    }

    QCoro::Task<KillExecutionResult> executeAgentInstance(const QString &targetInstanceID,
                                                          const AgentProductCatalog::Product &product,
                                                          AgentInstanceSnapshotSource *monitor) override
    {
        std::shared_ptr<KillExecutor> executor = m_executor;
        const QString id = targetInstanceID;
        const AgentProductCatalog::Product expected = product;
        co_return co_await executor->executeAgentInstance(id, expected, monitor, nullptr);
    }

private:
    std::shared_ptr<KillExecutor> m_executor;
};

}  // namespace

std::shared_ptr<CommandPollLoop::Executor> makeKillExecutor(const Ports &ports,
                                                            std::shared_ptr<const AgentInstanceScanner> scanner)
{
    auto executor = std::make_shared<KillExecutor>(ports.workspace, ports.processTable, ports.codeSigning,
                                                   std::move(scanner));
    return std::make_shared<KillExecutorAdapter>(std::move(executor));
}

AgentInstanceMonitor::Scanner makeMonitorScanner(std::shared_ptr<const AgentInstanceScanner> scanner)
{
    AgentInstanceMonitor::Scanner view;
    view.reconcile = [scanner](const AgentInstanceMonitor::InstanceMap &existing) { return scanner->reconcile(existing); };
    view.applicationInstance = [scanner](qint32 pid, const QString &launchIdentity,
                                         const QString &bundleID) -> std::optional<DetectedAgentInstance> {
        const std::optional<RunningApplication> app = scanner->workspace()->runningApplication(pid);
        if (!app || !app->bundleIdentifier || !app->launchDate)
            return std::nullopt;
        if (app->bundleIdentifier->toLower() != bundleID.toLower()
            || AgentInstanceScanner::applicationLaunchIdentity(*app->launchDate) != launchIdentity)
            return std::nullopt;
        return scanner->applicationInstance(*app);
    };
    return view;
}
