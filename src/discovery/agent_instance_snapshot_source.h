#pragma once

#include "discovery/agent_instance.h"

#include <QList>

#include <optional>

namespace mornix {

// What the executor needs from the instance monitor: its published snapshot and the removal of
// an instance whose stop was confirmed. The monitor implements it. Thread: any.
class AgentInstanceSnapshotSource {
public:
    virtual ~AgentInstanceSnapshotSource() = default;
    // Read under the snapshot lock: the published instances (sorted), or nullopt while no
    // snapshot has been published since the last start.
    virtual std::optional<QList<DetectedAgentInstance>> publishedInstancesIfReady() const = 0;
    // Hands the removal to the monitor's worker; a newer instance on the same pid is kept.
    virtual void removeStopped(const DetectedAgentInstance &instance) = 0;
};

}  // namespace mornix
