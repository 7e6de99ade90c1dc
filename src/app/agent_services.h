#pragma once

#include "commands/command_poll_loop.h"
#include "discovery/agent_instance_monitor.h"
#include "platform/ports.h"

#include <memory>

class AgentInstanceScanner;

// The executor of the poll loop over the discovery subsystem's KillExecutor.
std::shared_ptr<CommandPollLoop::Executor> makeKillExecutor(const Ports &ports,
                                                            std::shared_ptr<const AgentInstanceScanner> scanner);

// The monitor's view of the scanner: reconciliation and detection of a launched application
// that still has the announced identity.
AgentInstanceMonitor::Scanner makeMonitorScanner(std::shared_ptr<const AgentInstanceScanner> scanner);
