#pragma once

#include "commands/command_acknowledgement.h"
#include "discovery/agent_instance_snapshot_source.h"
#include "discovery/agent_product_catalog.h"
#include "discovery/kill_target_catalog.h"

#include <QString>

#include <QCoroTask>

namespace mornix {

// Carries out validated commands for the poll loop; never throws: every outcome is a result.
// Thread: main thread.
class CommandExecutor {
public:
    virtual ~CommandExecutor() = default;
    // Arguments are copied before the task first suspends, so temporaries may be passed.
    virtual QCoro::Task<KillExecutionResult> executeKill(const KillTargetCatalog::Target &target) = 0;
    // monitor: the instance snapshot to look the id up in (may be null: a fresh scan); it must
    // outlive the task.
    virtual QCoro::Task<KillExecutionResult> executeAgentInstance(const QString &targetInstanceID,
                                                                  const AgentProductCatalog::Product &product,
                                                                  AgentInstanceSnapshotSource *monitor) = 0;
};

}  // namespace mornix
