#pragma once

#include "commands/command_executor.h"
#include "discovery/agent_instance_monitor.h"
#include "platform/ports.h"

#include <memory>

namespace mornix {

class AgentInstanceScanner;

// The poll loop's executor over the real ports.
std::shared_ptr<CommandExecutor> makeKillExecutor(const Ports &ports, std::shared_ptr<const AgentInstanceScanner> scanner);

// The monitor's view of the scanner: reconciliation and detection of a launched application
// that still has the announced identity.
AgentInstanceMonitor::Scanner makeMonitorScanner(std::shared_ptr<const AgentInstanceScanner> scanner);

}  // namespace mornix
