#pragma once

#include "discovery/agent_instance_snapshot_source.h"
#include "platform/linux/process/procfs_process_table.h"

namespace mornix {

// The monitor's side of the executor: a published snapshot (none: not ready) and the
// removals it is told of. Thread: the test's.
class RecordingSnapshotSource final : public AgentInstanceSnapshotSource {
public:
    explicit RecordingSnapshotSource(std::optional<QList<DetectedAgentInstance>> published = std::nullopt)
        : snapshot(std::move(published))
    {
    }
    std::optional<QList<DetectedAgentInstance>> publishedInstancesIfReady() const override { return snapshot; }
    void removeStopped(const DetectedAgentInstance &instance) override { removed.append(instance); }

    std::optional<QList<DetectedAgentInstance>> snapshot;
    QList<DetectedAgentInstance> removed;
};

// The process is still there, as the process table sees it.
inline bool processAlive(qint32 pid)
{
    return ProcfsProcessTable().startIdentity(pid).state == ProcessStartObservation::State::observed;
}

}  // namespace mornix
