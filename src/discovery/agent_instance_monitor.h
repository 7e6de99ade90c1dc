#pragma once

#include "discovery/agent_instance.h"
#include "discovery/agent_instance_snapshot_source.h"
#include "platform/process_table.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QThread;
class QTimer;

namespace mornix {

// Keeps the set of running agent instances current on its own thread
// ("ai.veltro.mornix.agent-instance-monitor", low priority) and publishes every change twice:
// as a snapshot readable from any thread under one lock, and through the update handler, which
// is called on the monitor's thread. Scans never overlap and reuse the previous result. An
// instance whose process exits is dropped at once through an exit watch on that process; the
// timer's scans catch whatever no watch covers.
class AgentInstanceMonitor : public QObject, public AgentInstanceSnapshotSource {
    Q_OBJECT
public:
    using InstanceMap = QHash<qint32, DetectedAgentInstance>;
    // The scanner's entry points, called on the monitor's thread only.
    struct Scanner {
        std::function<QList<DetectedAgentInstance>(const InstanceMap &existing)> reconcile;
        // A watch on the process of this instance, confirmed after opening to still be that
        // launch; null when none can be had (the next scan notices the exit instead). Optional.
        std::function<std::unique_ptr<ProcessExitWatch>(const DetectedAgentInstance &instance)> watchExit;
    };
    using UpdateHandler = std::function<void(const QList<AgentInstanceReport> &reports)>;

    AgentInstanceMonitor(Scanner scanner, std::chrono::milliseconds reconciliationInterval, UpdateHandler updateHandler,
                         QObject *parent = nullptr);
    ~AgentInstanceMonitor() override;

    // Both return at once; the work happens on the monitor's thread. Any thread.
    void start();
    void stop();

    // None until a snapshot has been published since the last start; then the published reports
    // in ascending local_instance_id order. Any thread.
    std::optional<QList<AgentInstanceReport>> currentReportsIfReady() const;
    // The published instances, or none when not ready. Any thread.
    std::optional<QList<DetectedAgentInstance>> publishedInstancesIfReady() const override;

    // The executor confirmed that this instance stopped: drop it unless the pid now belongs to a
    // newer instance. Any thread.
    void removeStopped(const DetectedAgentInstance &instance) override;

private:
    class Worker;
    friend class Worker;

    void publish(const QList<DetectedAgentInstance> &sorted);
    void clearSnapshot();

    QThread *m_thread;
    QPointer<Worker> m_worker;

    mutable QMutex m_snapshotLock;
    QList<DetectedAgentInstance> m_publishedInstances;
    bool m_publishedReady = false;
};

}  // namespace mornix
