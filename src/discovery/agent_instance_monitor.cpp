#include "discovery/agent_instance_monitor.h"

#include <QThread>
#include <QTimer>

#include <algorithm>

namespace mornix {

// All working state; lives on the monitor's thread and is touched only there.
class AgentInstanceMonitor::Worker : public QObject {
public:
    Worker(AgentInstanceMonitor *owner, Scanner scanner, std::chrono::milliseconds interval, UpdateHandler handler)
        : m_owner(owner)
        , m_scanner(std::move(scanner))
        , m_interval(interval)
        , m_updateHandler(std::move(handler))
    {
    }

    void startOnQueue()
    {
        if (m_started)
            return;
        m_started = true;
        reconcileOnQueue(true);
        m_timer = new QTimer(this);
        // A coarse timer lets the system batch wake-ups (about 5 % of 3 s, close to 250 ms).
        m_timer->setTimerType(Qt::CoarseTimer);
        m_timer->setInterval(m_interval);
        QObject::connect(m_timer, &QTimer::timeout, this, [this] { reconcileOnQueue(false); });
        m_timer->start();
    }

    void stopOnQueue()
    {
        m_started = false;
        if (m_timer) {
            m_timer->stop();
            delete m_timer;
            m_timer = nullptr;
        }
        m_instancesByPID.clear();
        m_owner->clearSnapshot();
    }

    void reconcileOnQueue(bool forcePublish)
    {
        if (!m_started)
            return;
        const QList<DetectedAgentInstance> result = m_scanner.reconcile(m_instancesByPID);
        InstanceMap next;
        for (const DetectedAgentInstance &instance : result)
            next.insert(instance.processIdentifier, instance);
        const bool changed = next != m_instancesByPID;
        m_instancesByPID = std::move(next);
        publishOnQueue(forcePublish || changed);
    }

    void handleLaunchOnQueue(qint32 pid, const QString &identity, const QString &bundleID)
    {
        if (!m_started)
            return;
        const std::optional<DetectedAgentInstance> removed = m_instancesByPID.contains(pid)
            ? std::optional<DetectedAgentInstance>(m_instancesByPID.take(pid))
            : std::nullopt;
        const std::optional<DetectedAgentInstance> detected = m_scanner.applicationInstance(pid, identity, bundleID);
        if (detected) {
            m_instancesByPID.insert(pid, *detected);
            if (!removed || !(*removed == *detected))
                publishOnQueue(true);
        } else if (removed) {
            publishOnQueue(true);
        }
    }

    void handleTerminationOnQueue(qint32 pid, const QString &identity, const QString &bundleID)
    {
        if (!m_started)
            return;
        const auto it = m_instancesByPID.constFind(pid);
        if (it == m_instancesByPID.cend() || it->report.kind != QLatin1String("application")
            || it->launchIdentity != identity || !it->report.bundleID
            || it->report.bundleID->toLower() != bundleID.toLower())
            return;
        m_instancesByPID.remove(pid);
        publishOnQueue(true);
    }

    void removeStoppedOnQueue(const DetectedAgentInstance &instance)
    {
        if (!m_started)
            return;
        const auto it = m_instancesByPID.constFind(instance.processIdentifier);
        if (it == m_instancesByPID.cend() || !(*it == instance))
            return;
        m_instancesByPID.remove(instance.processIdentifier);
        publishOnQueue(true);
    }

private:
    void publishOnQueue(bool force)
    {
        if (!force)
            return;
        QList<DetectedAgentInstance> sorted = m_instancesByPID.values();
        std::sort(sorted.begin(), sorted.end(), [](const DetectedAgentInstance &a, const DetectedAgentInstance &b) {
            return a.report.localInstanceID < b.report.localInstanceID;
        });
        m_owner->publish(sorted);
        if (m_updateHandler) {
            QList<AgentInstanceReport> reports;
            reports.reserve(sorted.size());
            for (const DetectedAgentInstance &instance : sorted)
                reports.append(instance.report);
            m_updateHandler(reports);
        }
    }

    AgentInstanceMonitor *m_owner;
    Scanner m_scanner;
    std::chrono::milliseconds m_interval;
    UpdateHandler m_updateHandler;
    QTimer *m_timer = nullptr;
    InstanceMap m_instancesByPID;
    bool m_started = false;
};

AgentInstanceMonitor::AgentInstanceMonitor(Scanner scanner, std::chrono::milliseconds reconciliationInterval,
                                           UpdateHandler updateHandler, QObject *parent)
    : QObject(parent)
    , m_thread(new QThread)
{
    m_thread->setObjectName(QStringLiteral("ai.veltro.mornix.agent-instance-monitor"));
    auto *worker = new Worker(this, std::move(scanner), reconciliationInterval, std::move(updateHandler));
    worker->moveToThread(m_thread);
    m_worker = worker;
    m_thread->start(QThread::LowPriority);
}

AgentInstanceMonitor::~AgentInstanceMonitor()
{
    // Stop on the monitor's thread (its timer lives there), then end the thread.
    if (m_worker) {
        QMetaObject::invokeMethod(m_worker, [w = m_worker.data()] { w->stopOnQueue(); }, Qt::BlockingQueuedConnection);
    }
    m_thread->quit();
    m_thread->wait();
    delete m_worker.data();  // its thread has ended: safe to delete here
    delete m_thread;
}

void AgentInstanceMonitor::start()
{
    QMetaObject::invokeMethod(m_worker, [w = m_worker] { if (w) w->startOnQueue(); }, Qt::QueuedConnection);
}

void AgentInstanceMonitor::stop()
{
    QMetaObject::invokeMethod(m_worker, [w = m_worker] { if (w) w->stopOnQueue(); }, Qt::QueuedConnection);
}

void AgentInstanceMonitor::removeStopped(const DetectedAgentInstance &instance)
{
    QMetaObject::invokeMethod(m_worker, [w = m_worker, instance] { if (w) w->removeStoppedOnQueue(instance); },
                              Qt::QueuedConnection);
}

void AgentInstanceMonitor::applicationLaunched(qint32 pid, const QString &launchIdentity, const QString &bundleID)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, pid, launchIdentity, bundleID] { if (w) w->handleLaunchOnQueue(pid, launchIdentity, bundleID); },
        Qt::QueuedConnection);
}

void AgentInstanceMonitor::applicationTerminated(qint32 pid, const QString &launchIdentity, const QString &bundleID)
{
    QMetaObject::invokeMethod(
        m_worker,
        [w = m_worker, pid, launchIdentity, bundleID] { if (w) w->handleTerminationOnQueue(pid, launchIdentity, bundleID); },
        Qt::QueuedConnection);
}

std::optional<QList<AgentInstanceReport>> AgentInstanceMonitor::currentReportsIfReady() const
{
    QMutexLocker locker(&m_snapshotLock);
    if (!m_publishedReady)
        return std::nullopt;
    QList<AgentInstanceReport> reports;
    reports.reserve(m_publishedInstances.size());
    for (const DetectedAgentInstance &instance : m_publishedInstances)
        reports.append(instance.report);
    return reports;
}

std::optional<QList<DetectedAgentInstance>> AgentInstanceMonitor::publishedInstancesIfReady() const
{
    QMutexLocker locker(&m_snapshotLock);
    if (!m_publishedReady)
        return std::nullopt;
    return m_publishedInstances;
}

void AgentInstanceMonitor::publish(const QList<DetectedAgentInstance> &sorted)
{
    QMutexLocker locker(&m_snapshotLock);
    m_publishedInstances = sorted;
    m_publishedReady = true;
}

void AgentInstanceMonitor::clearSnapshot()
{
    QMutexLocker locker(&m_snapshotLock);
    m_publishedInstances.clear();
    m_publishedReady = false;
}

}  // namespace mornix
