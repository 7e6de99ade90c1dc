#include "discovery/agent_instance_monitor.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <map>

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
        m_exitWatches.clear();
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
    // One exit watch per stored instance that has one; dropped with the instance.
    struct ExitWatch {
        DetectedAgentInstance instance;
        std::unique_ptr<ProcessExitWatch> watch;
        std::unique_ptr<QSocketNotifier> notifier;
    };

    // The watched process has exited: its instance goes at once, unless the pid is by now held
    // by another instance.
    void exitedOnQueue(qint32 pid)
    {
        const auto watched = m_exitWatches.find(pid);
        if (watched == m_exitWatches.end())
            return;
        const DetectedAgentInstance instance = watched->second.instance;
        watched->second.notifier->setEnabled(false);
        // Deleting the notifier from inside its own signal is not allowed: later.
        watched->second.notifier.release()->deleteLater();
        m_exitWatches.erase(watched);
        const auto stored = m_instancesByPID.constFind(pid);
        if (!m_started || stored == m_instancesByPID.cend() || !(*stored == instance))
            return;
        m_instancesByPID.remove(pid);
        publishOnQueue(true);
    }

    // Watches follow the stored instances: a watch whose instance is gone or replaced is
    // dropped, and every stored instance without one gets one when it can be had.
    void syncExitWatches()
    {
        for (auto it = m_exitWatches.begin(); it != m_exitWatches.end();) {
            const auto stored = m_instancesByPID.constFind(it->first);
            if (stored == m_instancesByPID.cend() || !(*stored == it->second.instance))
                it = m_exitWatches.erase(it);
            else
                ++it;
        }
        if (!m_scanner.watchExit)
            return;
        for (const DetectedAgentInstance &instance : std::as_const(m_instancesByPID)) {
            const qint32 pid = instance.processIdentifier;
            if (m_exitWatches.count(pid))
                continue;
            std::unique_ptr<ProcessExitWatch> watch = m_scanner.watchExit(instance);
            if (!watch)
                continue;
            auto notifier = std::make_unique<QSocketNotifier>(watch->descriptor(), QSocketNotifier::Read);
            QObject::connect(notifier.get(), &QSocketNotifier::activated, this, [this, pid] { exitedOnQueue(pid); });
            m_exitWatches.emplace(pid, ExitWatch{instance, std::move(watch), std::move(notifier)});
        }
    }

    void publishOnQueue(bool force)
    {
        if (!force)
            return;
        syncExitWatches();
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
    std::map<qint32, ExitWatch> m_exitWatches;
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
        QMetaObject::invokeMethod(
            m_worker, [w = m_worker.data()] { w->stopOnQueue(); }, Qt::BlockingQueuedConnection);
    }
    m_thread->quit();
    m_thread->wait();
    delete m_worker.data();  // its thread has ended: safe to delete here
    delete m_thread;
}

void AgentInstanceMonitor::start()
{
    QMetaObject::invokeMethod(
        m_worker,
        [w = m_worker] {
            if (w)
                w->startOnQueue();
        },
        Qt::QueuedConnection);
}

void AgentInstanceMonitor::stop()
{
    QMetaObject::invokeMethod(
        m_worker,
        [w = m_worker] {
            if (w)
                w->stopOnQueue();
        },
        Qt::QueuedConnection);
}

void AgentInstanceMonitor::removeStopped(const DetectedAgentInstance &instance)
{
    QMetaObject::invokeMethod(
        m_worker,
        [w = m_worker, instance] {
            if (w)
                w->removeStoppedOnQueue(instance);
        },
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
