#include "app/agent_services.h"

#include "commands/kill_executor.h"
#include "discovery/agent_instance_scanner.h"

namespace mornix {

std::shared_ptr<CommandExecutor> makeKillExecutor(const Ports &ports, std::shared_ptr<const AgentInstanceScanner> scanner)
{
    return std::make_shared<KillExecutor>(ports.workspace, ports.processTable, ports.codeSigning, std::move(scanner));
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

}  // namespace mornix
