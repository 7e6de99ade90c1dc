// The monitor over a scripted scanner (real thread and timer, short intervals): publication rules,
// the snapshot, exit watches on real processes and stale confirmations.
#include "discovery/agent_instance_monitor.h"
#include "platform/linux/process/procfs_process_table.h"

#include <QMutex>
#include <QProcess>
#include <QScopeGuard>
#include <QSemaphore>
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
    d.report.product =
        kind == QLatin1String("application") ? QStringLiteral("claude-desktop") : QStringLiteral("claude-code");
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
    QList<QList<AgentInstanceReport>> published;
    std::atomic<int> scans{0};
    std::atomic<bool> scanThreadIsMain{false};
    // While set, each scan signals `scanEntered` and waits for `scanMayEnd`.
    std::atomic<bool> holdScans{false};
    QSemaphore scanEntered;
    QSemaphore scanMayEnd;
    const bool watchesExits;
    AgentInstanceMonitor monitor;

    // watchesExits: every instance's pid is watched with a real pidfd.
    explicit Rig(std::chrono::milliseconds interval, QList<DetectedAgentInstance> initial = {}, bool watchExits = false)
        : running(std::move(initial))
        , watchesExits(watchExits)
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
            if (holdScans) {
                scanEntered.release();
                scanMayEnd.acquire();
            }
            QMutexLocker locker(&mutex);
            return running;
        };
        if (watchesExits) {
            s.watchExit = [](const DetectedAgentInstance &instance) {
                return ProcfsProcessTable().watchExit(instance.processIdentifier);
            };
        }
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
    void exitOfAWatchedProcessIsPublishedAtOnce();
};

// No snapshot before the first scan (on the monitor's thread), then a forced first publication;
// changes are published sorted, unchanged scans publish nothing, and stop clears the snapshot.
void AgentInstanceMonitorTest::publicationsFromTheFirstScanUntilStop()
{
    Rig rig(20ms);
    rig.holdScans = true;
    rig.monitor.start();
    {
        const auto endScan = qScopeGuard([&rig] {
            rig.holdScans = false;
            rig.scanMayEnd.release();
        });
        QVERIFY(rig.scanEntered.tryAcquire(1, 10000));  // started, and the first scan is under way
        QVERIFY(!rig.monitor.currentReportsIfReady());
    }
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
    const DetectedAgentInstance newer =
        instance(10, QStringLiteral("local_new"), QStringLiteral("process"), QStringLiteral("Sat Dec 5 18:00:00 2026"));
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

// Each known instance's process is watched: its exit is published at once (the next scan is an
// hour away), and only the instance of the process that ended goes.
void AgentInstanceMonitorTest::exitOfAWatchedProcessIsPublishedAtOnce()
{
    QProcess application;
    QProcess cli;
    for (QProcess *process : {&application, &cli}) {
        process->start(QStringLiteral("sleep"), {QStringLiteral("600")});
        QVERIFY(process->waitForStarted());
    }
    Rig rig(1h,
            {instance(qint32(application.processId()), QStringLiteral("local_app"), QStringLiteral("application"),
                      QStringLiteral("1765000000.25")),
             instance(qint32(cli.processId()), QStringLiteral("local_cli"))},
            true);
    QVERIFY(rig.started());
    QCOMPARE(ids(rig.last()), (QStringList{"local_app", "local_cli"}));

    application.kill();
    QVERIFY(application.waitForFinished());
    QTRY_COMPARE(rig.count(), 2);
    QCOMPARE(ids(rig.last()), QStringList{"local_cli"});
    QCOMPARE(ids(rig.monitor.currentReportsIfReady()), QStringList{"local_cli"});

    cli.kill();
    QVERIFY(cli.waitForFinished());
    QTRY_COMPARE(rig.count(), 3);
    QVERIFY(rig.last().isEmpty());
    QCOMPARE(int(rig.scans), 1);  // the watches did it, not a scan
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(AgentInstanceMonitorTest)
#include "tst_agent_instance_monitor.moc"
