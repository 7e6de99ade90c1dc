// The monitor over a scripted scanner (real thread and timer, short intervals): publication rules,
// the snapshot, events and stale confirmations.
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

// A monitor over a scripted scanner: what the scanner "sees" (read on the monitor's thread) and
// every list the monitor published.
struct Rig {
    QMutex mutex;
    QList<DetectedAgentInstance> running;
    std::optional<DetectedAgentInstance> launched;
    QList<QList<AgentInstanceReport>> published;
    std::atomic<int> scans{0};
    std::atomic<bool> scanThreadIsMain{false};
    AgentInstanceMonitor monitor;

    explicit Rig(std::chrono::milliseconds interval, QList<DetectedAgentInstance> initial = {})
        : running(std::move(initial))
        , monitor(scanner(), interval, [this](const QList<AgentInstanceReport> &reports) {
            QMutexLocker locker(&mutex);
            published.append(reports);
        })
    {
    }
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
    int count()
    {
        QMutexLocker locker(&mutex);
        return int(published.size());
    }
    QList<AgentInstanceReport> last()
    {
        QMutexLocker locker(&mutex);
        return published.constLast();
    }
    // Starts the monitor and waits for its first publication.
    bool started()
    {
        monitor.start();
        return QTest::qWaitFor([this] { return count() == 1; });
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
    void publicationsFromTheFirstScanUntilStop();
    void staleStopConfirmationKeepsTheNewerInstance();
    void terminationOfAReusedPidIsIgnored();
    void launchEventPublishesAtOnce();
};

// No snapshot before the first scan (on the monitor's thread), then a forced first publication;
// changes are published sorted, unchanged scans publish nothing, and stop clears the snapshot.
void AgentInstanceMonitorTest::publicationsFromTheFirstScanUntilStop()
{
    Rig rig(20ms);
    QVERIFY(!rig.monitor.currentReportsIfReady());
    rig.monitor.start();
    QTRY_VERIFY(rig.monitor.currentReportsIfReady());
    QCOMPARE(rig.monitor.currentReportsIfReady()->size(), 0);
    QTRY_COMPARE(rig.count(), 1);
    QVERIFY(!rig.scanThreadIsMain);

    rig.set({instance(30, QStringLiteral("local_c")), instance(10, QStringLiteral("local_a")),
             instance(20, QStringLiteral("local_b"))});
    QTRY_COMPARE(rig.count(), 2);
    QCOMPARE(ids(rig.last()), (QStringList{"local_a", "local_b", "local_c"}));
    QCOMPARE(ids(rig.monitor.currentReportsIfReady()), (QStringList{"local_a", "local_b", "local_c"}));
    QCOMPARE(rig.monitor.publishedInstancesIfReady()->constFirst().processIdentifier, 10);
    const int scansBefore = rig.scans;
    QTRY_VERIFY(rig.scans >= scansBefore + 10);
    QCOMPARE(rig.count(), 2);

    rig.monitor.stop();
    QTRY_VERIFY(!rig.monitor.currentReportsIfReady());
    const int scans = rig.scans;
    QTest::qWait(100);
    QCOMPARE(int(rig.scans), scans);  // the timer is gone
    QCOMPARE(rig.count(), 2);         // no publication on stop
    rig.monitor.start();
    QTRY_COMPARE(rig.count(), 3);
}

void AgentInstanceMonitorTest::staleStopConfirmationKeepsTheNewerInstance()
{
    const DetectedAgentInstance old = instance(10, QStringLiteral("local_old"));
    const DetectedAgentInstance newer = instance(10, QStringLiteral("local_new"), QStringLiteral("process"),
                                                 QStringLiteral("Sat Dec 5 18:00:00 2026"));
    Rig rig(1h, {newer});
    QVERIFY(rig.started());
    rig.monitor.removeStopped(old);
    QTest::qWait(100);
    QCOMPARE(ids(rig.monitor.currentReportsIfReady()), QStringList{"local_new"});
    QCOMPARE(rig.count(), 1);
    rig.monitor.removeStopped(newer);
    QTRY_COMPARE(rig.count(), 2);
    QVERIFY(rig.monitor.currentReportsIfReady()->isEmpty());
}

void AgentInstanceMonitorTest::terminationOfAReusedPidIsIgnored()
{
    Rig rig(1h, {instance(42, QStringLiteral("local_app"), QStringLiteral("application"), QStringLiteral("1765000000.25"))});
    QVERIFY(rig.started());
    rig.monitor.applicationTerminated(42, QStringLiteral("1765000099.5"), QStringLiteral("com.anthropic.claudefordesktop"));
    QTest::qWait(100);
    QCOMPARE(ids(rig.monitor.currentReportsIfReady()), QStringList{"local_app"});
    rig.monitor.applicationTerminated(42, QStringLiteral("1765000000.25"), QStringLiteral("COM.anthropic.ClaudeForDesktop"));
    QTRY_COMPARE(rig.count(), 2);
    QVERIFY(rig.monitor.currentReportsIfReady()->isEmpty());
}

void AgentInstanceMonitorTest::launchEventPublishesAtOnce()
{
    Rig rig(1h);
    rig.launched = instance(7, QStringLiteral("local_launched"), QStringLiteral("application"),
                            QStringLiteral("1765000000.0"));  // read only on a launch event
    QVERIFY(rig.started());
    rig.monitor.applicationLaunched(7, QStringLiteral("1765000000.0"), QStringLiteral("com.anthropic.claudefordesktop"));
    QTRY_COMPARE(rig.count(), 2);
    QCOMPARE(ids(rig.last()), QStringList{"local_launched"});
    // The same launch again changes nothing and publishes nothing.
    rig.monitor.applicationLaunched(7, QStringLiteral("1765000000.0"), QStringLiteral("com.anthropic.claudefordesktop"));
    QTest::qWait(100);
    QCOMPARE(rig.count(), 2);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(AgentInstanceMonitorTest)
#include "tst_agent_instance_monitor.moc"
