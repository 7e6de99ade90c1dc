#include "app/agent_services.h"

#include "commands/kill_executor.h"
#include "discovery/agent_instance_scanner.h"

namespace mornix {

std::shared_ptr<CommandExecutor> makeKillExecutor(const Ports &ports,
                                                  std::shared_ptr<const AgentInstanceScanner> scanner)
{
    return std::make_shared<KillExecutor>(ports.workspace, ports.processTable, ports.codeSigning, std::move(scanner));
}

AgentInstanceMonitor::Scanner makeMonitorScanner(std::shared_ptr<const AgentInstanceScanner> scanner,
                                                 std::shared_ptr<const ProcessTable> processTable)
{
    AgentInstanceMonitor::Scanner view;
    view.reconcile = [scanner](const AgentInstanceMonitor::InstanceMap &existing) {
        return scanner->reconcile(existing);
    };
    view.watchExit = [scanner,
                      processTable](const DetectedAgentInstance &instance) -> std::unique_ptr<ProcessExitWatch> {
        std::unique_ptr<ProcessExitWatch> watch = processTable->watchExit(instance.processIdentifier);
        // Opened first, checked second: a watch on a process that took over the pid is dropped.
        if (!watch || scanner->liveness(instance) != AgentInstanceLiveness::running)
            return nullptr;
        return watch;
    };
    return view;
}

}  // namespace mornix
