// The monitor with a scripted scanner: publication rules, the snapshot, events and stale
// confirmations. Intervals are shortened; the thread and timer are real.
#include "discovery/agent_instance_monitor.h"

#include <QMutex>
#include <QTest>
#include <QThread>

#include <atomic>

namespace mornix {

namespace {

using namespace std::chrono_literals;

DetectedAgentInstance instance(qint32 pid, const QString &id, const QString &kind = QStringLiteral("process"),
                               const QString &identity = QStringLiteral("Sat Dec 5 17:27:28 2026"))
{
    DetectedAgentInstance d;
    d.report.localInstanceID = id;
    d.report.product = kind == QLatin1String("application") ? QStringLiteral("claude-desktop") : QStringLiteral("claude-code");
    d.report.kind = kind;
    if (kind == QLatin1String("application"))
        d.report.bundleID = QStringLiteral("com.anthropic.claudefordesktop");
    d.processIdentifier = pid;
    d.launchIdentity = identity;
    return d;
}

// What the scanner "sees"; read on the monitor's thread.
struct Machine {
    mutable QMutex mutex;
    QList<DetectedAgentInstance> running;
    std::optional<DetectedAgentInstance> launched;
    std::atomic<int> scans{0};
    std::atomic<bool> scanThreadIsMain{false};

    AgentInstanceMonitor::Scanner scanner()
    {
        AgentInstanceMonitor::Scanner s;
        s.reconcile = [this](const AgentInstanceMonitor::InstanceMap &) {
            ++scans;
            if (QThread::currentThread() == qApp->thread())
                scanThreadIsMain = true;
            QMutexLocker locker(&mutex);
            return running;
        };
        s.applicationInstance = [this](qint32, const QString &, const QString &) {
            QMutexLocker locker(&mutex);
            return launched;
        };
        return s;
    }
    void set(QList<DetectedAgentInstance> list)
    {
        QMutexLocker locker(&mutex);
        running = std::move(list);
    }
};

struct Updates {
    QMutex mutex;
    QList<QList<AgentInstanceReport>> lists;
    AgentInstanceMonitor::UpdateHandler handler()
    {
        return [this](const QList<AgentInstanceReport> &reports) {
            QMutexLocker locker(&mutex);
            lists.append(reports);
        };
    }
    int count()
    {
        QMutexLocker locker(&mutex);
        return int(lists.size());
    }
    QList<AgentInstanceReport> last()
    {
        QMutexLocker locker(&mutex);
        return lists.constLast();
    }
};

QStringList ids(const std::optional<QList<AgentInstanceReport>> &reports)
{
    QStringList out;
    for (const AgentInstanceReport &r : reports.value_or(QList<AgentInstanceReport>()))
        out.append(r.localInstanceID);
    return out;
}

}  // namespace

class AgentInstanceMonitorTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void snapshotIsNoneUntilTheFirstScanThenEmpty();
    void unchangedScansPublishNothing();
    void changesArePublishedSorted();
    void staleStopConfirmationKeepsTheNewerInstance();
    void terminationOfAReusedPidIsIgnored();
    void launchEventPublishesAtOnce();
    void stopClearsTheSnapshot();
};

void AgentInstanceMonitorTest::snapshotIsNoneUntilTheFirstScanThenEmpty()
{
    Machine machine;
    Updates updates;
    AgentInstanceMonitor monitor(machine.scanner(), 3s, updates.handler());
    QVERIFY(!monitor.currentReportsIfReady());
    monitor.start();
    QTRY_VERIFY(monitor.currentReportsIfReady());
    QCOMPARE(monitor.currentReportsIfReady()->size(), 0);
    QTRY_COMPARE(updates.count(), 1);  // a forced first publication even with nothing running
    QVERIFY(!machine.scanThreadIsMain);
}

void AgentInstanceMonitorTest::unchangedScansPublishNothing()
{
    Machine machine;
    machine.set({instance(10, QStringLiteral("local_a"))});
    Updates updates;
    AgentInstanceMonitor monitor(machine.scanner(), 20ms, updates.handler());
    monitor.start();
    QTRY_VERIFY(machine.scans >= 11);  // the first scan plus ten timer scans
    QCOMPARE(updates.count(), 1);
}

void AgentInstanceMonitorTest::changesArePublishedSorted()
{
    Machine machine;
    Updates updates;
    AgentInstanceMonitor monitor(machine.scanner(), 20ms, updates.handler());
    monitor.start();
    QTRY_COMPARE(updates.count(), 1);
    machine.set({instance(30, QStringLiteral("local_c")), instance(10, QStringLiteral("local_a")),
                 instance(20, QStringLiteral("local_b"))});
    QTRY_COMPARE(updates.count(), 2);
    QCOMPARE(ids(updates.last()), (QStringList{"local_a", "local_b", "local_c"}));
    QCOMPARE(ids(monitor.currentReportsIfReady()), (QStringList{"local_a", "local_b", "local_c"}));
    QCOMPARE(monitor.publishedInstancesIfReady()->constFirst().processIdentifier, 10);
}

void AgentInstanceMonitorTest::staleStopConfirmationKeepsTheNewerInstance()
{
    Machine machine;
    const DetectedAgentInstance old = instance(10, QStringLiteral("local_old"));
    const DetectedAgentInstance newer = instance(10, QStringLiteral("local_new"), QStringLiteral("process"),
                                                 QStringLiteral("Sat Dec 5 18:00:00 2026"));
    machine.set({newer});
    Updates updates;
    AgentInstanceMonitor monitor(machine.scanner(), 1h, updates.handler());
    monitor.start();
    QTRY_COMPARE(updates.count(), 1);
    monitor.removeStopped(old);
    QTest::qWait(100);
    QCOMPARE(ids(monitor.currentReportsIfReady()), QStringList{"local_new"});
    QCOMPARE(updates.count(), 1);
    monitor.removeStopped(newer);
    QTRY_COMPARE(updates.count(), 2);
    QVERIFY(monitor.currentReportsIfReady()->isEmpty());
}

void AgentInstanceMonitorTest::terminationOfAReusedPidIsIgnored()
{
    Machine machine;
    const DetectedAgentInstance app = instance(42, QStringLiteral("local_app"), QStringLiteral("application"),
                                               QStringLiteral("1765000000.25"));
    machine.set({app});
    Updates updates;
    AgentInstanceMonitor monitor(machine.scanner(), 1h, updates.handler());
    monitor.start();
    QTRY_COMPARE(updates.count(), 1);
    monitor.applicationTerminated(42, QStringLiteral("1765000099.5"), QStringLiteral("com.anthropic.claudefordesktop"));
    QTest::qWait(100);
    QCOMPARE(ids(monitor.currentReportsIfReady()), QStringList{"local_app"});
    monitor.applicationTerminated(42, QStringLiteral("1765000000.25"), QStringLiteral("COM.anthropic.ClaudeForDesktop"));
    QTRY_COMPARE(updates.count(), 2);
    QVERIFY(monitor.currentReportsIfReady()->isEmpty());
}

void AgentInstanceMonitorTest::launchEventPublishesAtOnce()
{
    Machine machine;
    Updates updates;
    AgentInstanceMonitor monitor(machine.scanner(), 1h, updates.handler());
    monitor.start();
    QTRY_COMPARE(updates.count(), 1);
    {
        QMutexLocker locker(&machine.mutex);
        machine.launched = instance(7, QStringLiteral("local_launched"), QStringLiteral("application"),
                                    QStringLiteral("1765000000.0"));
    }
    monitor.applicationLaunched(7, QStringLiteral("1765000000.0"), QStringLiteral("com.anthropic.claudefordesktop"));
    QTRY_COMPARE(updates.count(), 2);
    QCOMPARE(ids(updates.last()), QStringList{"local_launched"});
    // The same launch again changes nothing and publishes nothing.
    monitor.applicationLaunched(7, QStringLiteral("1765000000.0"), QStringLiteral("com.anthropic.claudefordesktop"));
    QTest::qWait(100);
    QCOMPARE(updates.count(), 2);
}

void AgentInstanceMonitorTest::stopClearsTheSnapshot()
{
    Machine machine;
    machine.set({instance(10, QStringLiteral("local_a"))});
    Updates updates;
    AgentInstanceMonitor monitor(machine.scanner(), 20ms, updates.handler());
    monitor.start();
    QTRY_VERIFY(monitor.currentReportsIfReady());
    monitor.stop();
    QTRY_VERIFY(!monitor.currentReportsIfReady());
    const int scans = machine.scans;
    QTest::qWait(100);
    QCOMPARE(int(machine.scans), scans);  // the timer is gone
    QCOMPARE(updates.count(), 1);         // no publication on stop
    monitor.start();
    QTRY_COMPARE(updates.count(), 2);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(AgentInstanceMonitorTest)
#include "tst_agent_instance_monitor.moc"
