#pragma once

#include "commands/command_executor.h"
#include "discovery/agent_instance_monitor.h"
#include "platform/ports.h"

#include <memory>

namespace mornix {

class AgentInstanceScanner;

// The poll loop's executor over the real ports.
std::shared_ptr<CommandExecutor> makeKillExecutor(const Ports &ports,
                                                  std::shared_ptr<const AgentInstanceScanner> scanner);

// The monitor's view of the scanner: reconciliation, and exit watches on the processes of known
// instances (each confirmed to be the instance's launch once the watch is open).
AgentInstanceMonitor::Scanner makeMonitorScanner(std::shared_ptr<const AgentInstanceScanner> scanner,
                                                 std::shared_ptr<const ProcessTable> processTable);

}  // namespace mornix
