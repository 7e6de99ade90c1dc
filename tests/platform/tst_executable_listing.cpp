#include "platform/linux/executable_listing.h"

#include "support/signed_fixtures.h"

#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QTest>

#include <algorithm>
#include <csignal>

namespace mornix {

namespace {

// A shell that replaces itself with the sleeper fixture (same pid, same start) once told to.
class ExecInPlace {
public:
    ExecInPlace()
    {
        m_shell.start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"), QStringLiteral("read line; exec \"$0\""), fixtures::sleeperPath()});
    }
    ~ExecInPlace()
    {
        m_shell.kill();
        m_shell.waitForFinished();
    }
    bool started() { return m_shell.waitForStarted(); }
    qint32 pid() const { return static_cast<qint32>(m_shell.processId()); }
    bool exec()
    {
        m_shell.write("go\n");
        return m_shell.waitForReadyRead(5000) && m_shell.readLine() == QByteArray("ready\n");
    }

private:
    QProcess m_shell;
};

QString pathIn(const QList<ProcessRecord> &listing, qint32 pid)
{
    for (const ProcessRecord &record : listing) {
        if (record.pid == pid)
            return record.executablePath;
    }
    return {};
}

}  // namespace

// An exec in place changes neither pid nor start; only the image shows it. Routine refreshes
// check young processes every time and older ones in rotation; an exact refresh checks all.
class ExecutableListingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void execInPlaceIsSeen_data()
    {
        QTest::addColumn<int>("youngForSeconds");
        QTest::addColumn<int>("spread");
        QTest::addColumn<int>("refreshesAtMost");
        QTest::newRow("young: every refresh") << 3600 << 1000 << 1;
        QTest::newRow("old: within one rotation") << 0 << 3 << 3;
        QTest::newRow("old: no rotation") << 0 << 1 << 1;
    }

    void execInPlaceIsSeen()
    {
        QFETCH(int, youngForSeconds);
        QFETCH(int, spread);
        QFETCH(int, refreshesAtMost);
        ExecutableListing listing(std::chrono::hours(1), {std::chrono::seconds(youngForSeconds), spread});
        ExecInPlace process;
        QVERIFY(process.started());
        const QString shell = QFileInfo(QStringLiteral("/proc/%1/exe").arg(process.pid())).canonicalFilePath();
        QTRY_COMPARE(pathIn(listing.refreshed(), process.pid()), shell);

        QVERIFY(process.exec());
        int refreshes = 0;
        QString path;
        while (path != fixtures::sleeperPath() && refreshes < spread + 1) {
            path = pathIn(listing.refreshed(), process.pid());
            ++refreshes;
        }
        QCOMPARE(path, fixtures::sleeperPath());
        QVERIFY2(refreshes <= refreshesAtMost, qPrintable(QStringLiteral("%1 refreshes").arg(refreshes)));
    }

    void exactRefreshChecksEveryImage()
    {
        ExecutableListing listing(std::chrono::hours(1), {std::chrono::seconds(0), 1000});
        ExecInPlace process;
        QVERIFY(process.started());
        QTRY_VERIFY(!pathIn(listing.refreshed(), process.pid()).isEmpty());
        QVERIFY(process.exec());
        QCOMPARE(pathIn(listing.exact(), process.pid()), fixtures::sleeperPath());
        // What the exact refresh learnt stays in the routine listing.
        QCOMPARE(pathIn(listing.processes(), process.pid()), fixtures::sleeperPath());
    }

    // A routine refresh may reuse the last directory listing only while /proc/loadavg shows no
    // task created or reaped since: with the rotation made so long that it never forces a
    // listing, a process that starts or is reaped still shows at the next refresh.
    void startsAndEndsShowAtTheNextRefresh()
    {
        ExecutableListing listing(std::chrono::hours(1), {std::chrono::seconds(0), 1000});
        listing.refreshed();
        listing.refreshed();
        fixtures::RunningFixture sleeper(fixtures::sleeperPath());
        QVERIFY(sleeper.isRunning());
        QCOMPARE(pathIn(listing.refreshed(), sleeper.pid()), fixtures::sleeperPath());
        QCOMPARE(pathIn(listing.refreshed(), sleeper.pid()), fixtures::sleeperPath());
        QCOMPARE(::kill(sleeper.pid(), SIGKILL), 0);
        QVERIFY(sleeper.waitForExit(5000));
        QCOMPARE(pathIn(listing.refreshed(), sleeper.pid()), QString());
    }

    void loadAverageParsing_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("tasks");   // -1: rejected
        QTest::addColumn<qint64>("lastPid");
        QTest::newRow("usual") << QByteArray("0.20 0.18 0.12 1/80 11206\n") << qint64(80) << qint64(11206);
        QTest::newRow("large") << QByteArray("12.00 9.50 8.25 17/123456 4194303") << qint64(123456) << qint64(4194303);
        QTest::newRow("no slash") << QByteArray("0.20 0.18 0.12 80 11206") << qint64(-1) << qint64(0);
        QTest::newRow("missing pid") << QByteArray("0.20 0.18 0.12 1/80") << qint64(-1) << qint64(0);
        QTest::newRow("not a number") << QByteArray("0.20 0.18 0.12 1/8x 11206") << qint64(-1) << qint64(0);
        QTest::newRow("empty") << QByteArray() << qint64(-1) << qint64(0);
    }

    void loadAverageParsing()
    {
        QFETCH(QByteArray, text);
        QFETCH(qint64, tasks);
        QFETCH(qint64, lastPid);
        const std::optional<procfs::TaskCounters> counters = procfs::parseLoadAverage(text);
        QCOMPARE(counters.has_value(), tasks >= 0);
        if (counters) {
            QCOMPARE(qint64(counters->tasks), tasks);
            QCOMPARE(qint64(counters->lastPid), lastPid);
        }
    }

    // The listing agrees with a full read of /proc: same pids, paths and images.
    void agreesWithFullRead()
    {
        ExecutableListing listing(std::chrono::hours(1));
        listing.refreshed();
        const QList<ProcessRecord> listed = listing.exact();
        const QList<ProcessRecord> full = ExecutableListing::read();
        QHash<qint32, ProcessRecord> byPid;
        for (const ProcessRecord &record : full)
            byPid.insert(record.pid, record);
        int compared = 0;
        for (const ProcessRecord &record : listed) {
            const auto other = byPid.constFind(record.pid);
            if (other == byPid.constEnd())
                continue;   // ended between the two reads
            QCOMPARE(record.executablePath, other->executablePath);
            QVERIFY(record.image == other->image);
            ++compared;
        }
        QVERIFY(compared > 0);
        QVERIFY(std::is_sorted(listed.begin(), listed.end(),
                               [](const ProcessRecord &a, const ProcessRecord &b) { return a.pid < b.pid; }));
    }
};

}  // namespace mornix

QTEST_GUILESS_MAIN(mornix::ExecutableListingTest)
#include "tst_executable_listing.moc"
