// The /proc process table and its shared executable listing (new pids between listings, threads
// left out), the process-tool parser, and start-checked signals.
#include "discovery/agent_instance_scanner.h"
#include "platform/macos/ps_listing.h"
#include "platform/linux/process/executable_listing.h"
#include "platform/linux/codesign/cms_code_signing.h"
#include "platform/linux/process/procfs_process_table.h"
#include "platform/linux/process/procfs_workspace.h"
#include "platform/linux/process/proc_fs.h"
#include "support/config.h"

#include "support/signed_fixtures.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace mornix {

using fixtures::RunningFixture;

namespace {

// A shell that replaces itself with `program` (same pid, same start) once told to.
class ExecInPlace {
public:
    explicit ExecInPlace(const QString &program = fixtures::sleeperPath())
    {
        m_shell.start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"), QStringLiteral("read line; exec \"$0\""), program});
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

class ProcessTableTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statParsing()
    {
        const auto fields =
            procfs::parseStat("4242 (we ird) (name)) S 17 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 "
                              "987654 1000 10 18446744073709551615 0 0 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0");
        QVERIFY(fields);
        QCOMPARE(fields->state, 'S');
        QCOMPARE(fields->parentPid, 17);
        QCOMPARE(fields->startTicks, 987654ull);
        QVERIFY(!procfs::parseStat("4242 (name S 1 2"));
        QVERIFY(!procfs::parseStat("4242 (x) S 1 2 3"));
        QVERIFY(!procfs::parseStat(""));
        QVERIFY(!procfs::parseStat(") S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"));  // no '('
        // Runs of blanks of any kind separate fields; the fields themselves are checked whole.
        const QByteArray tail = " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 ";
        const auto blanks = procfs::parseStat("7 (x)\tR  \t3" + tail + "42\n");
        QVERIFY(blanks);
        QCOMPARE(blanks->state, 'R');
        QCOMPARE(blanks->parentPid, 3);
        QCOMPARE(blanks->startTicks, 42ull);
        QVERIFY(!procfs::parseStat("7 (x) RS 3" + tail + "42"));                   // state of two letters
        QVERIFY(!procfs::parseStat("7 (x) R 3x" + tail + "42"));                   // parent not a number
        QVERIFY(!procfs::parseStat("7 (x) R 3" + tail + "42z"));                   // start not a number
        QVERIFY(!procfs::parseStat("7 (x) R 3" + tail + "18446744073709551616"));  // start beyond 64 bits
        QVERIFY(!procfs::parseStat("7 (x) R 3" + tail));                           // start missing
    }

    // A zombie (ended, not yet reaped) is not running; nor is a reaped pid.
    void endedProcessesAreNotRunning()
    {
        ProcfsProcessTable table;
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(0);
        QTRY_VERIFY(procfs::stat(child) && procfs::stat(child)->state == 'Z');
        QCOMPARE(table.startIdentity(child).state, ProcessStartObservation::State::notRunning);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QCOMPARE(table.startIdentity(child).state, ProcessStartObservation::State::notRunning);
        QCOMPARE(table.startIdentity(0).state, ProcessStartObservation::State::notRunning);
    }

    // The workspace and process table share one listing: after an exec in place (same pid and
    // start, another image) the scanner finds the agent the pid now runs.
    void sharedListingShowsAnExecToTheScanner()
    {
        QTemporaryDir dir;
        const QString claude = fixtures::makeClaudeCode(dir.filePath(QStringLiteral("bin")));
        QVERIFY(!claude.isEmpty());
        const auto listing = std::make_shared<ExecutableListing>(std::chrono::hours(1));
        AgentInstanceScanner scanner(std::make_shared<ProcfsWorkspace>(listing),
                                     std::make_shared<ProcfsProcessTable>(listing),
                                     std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM));
        const auto instancesOn = [&](qint64 onPid) {
            listing->refreshed();
            const QList<DetectedAgentInstance> all = scanner.reconcile({});
            return std::count_if(all.begin(), all.end(),
                                 [&](const DetectedAgentInstance &i) { return i.processIdentifier == onPid; });
        };
        ExecInPlace process(claude);
        QVERIFY(process.started());
        QTRY_VERIFY(!pathIn(listing->refreshed(), process.pid()).isEmpty());
        QCOMPARE(instancesOn(process.pid()), 0);
        QVERIFY(process.exec());
        QCOMPARE(pathIn(listing->refreshed(), process.pid()), claude);
        QCOMPARE(instancesOn(process.pid()), 1);
    }

    // A signal reaches the process only when it is the observed one: same start text and the same
    // start tick (a process that started within the same second is another process).
    void signalsAreCheckedAgainstTheStart()
    {
        RunningFixture sleeper(fixtures::sleeperPath());
        QVERIFY(sleeper.isRunning());
        ProcfsProcessTable table;
        const ProcessStartObservation start = table.startIdentity(sleeper.pid());
        QCOMPARE(start.startTicks, procfs::stat(sleeper.pid())->startTicks);
        ProcessStartObservation otherSecond = start;
        otherSecond.startText = QStringLiteral("Thu Jan 1 00:00:00 1970");
        ProcessStartObservation otherTick = start;
        otherTick.startTicks += 1;
        QVERIFY(!table.sendSignal(sleeper.pid(), otherSecond, SIGTERM));
        QVERIFY(!table.sendSignal(sleeper.pid(), otherTick, SIGTERM));
        QVERIFY(!table.sendSignal(sleeper.pid(), ProcessStartObservation::unavailable(), SIGTERM));
        QVERIFY(!sleeper.waitForExit(300));
        QVERIFY(table.sendSignal(sleeper.pid(), start, SIGTERM));
        QVERIFY(sleeper.waitForExit(5000));
        QVERIFY(!table.sendSignal(sleeper.pid(), start, SIGTERM));
    }

    void processListingParser()
    {
        const QByteArray output = "    1 Sat Dec  5 17:27:28 2026 /sbin/launchd\n"
                                  "\n"
                                  "  812 Sat Dec  5 17:30:01 2026 /Users/a/My Tools/claude\n"
                                  "  x13 Sat Dec  5 17:30:01 2026 /bad/pid\n"
                                  "  900 Sat Dec  5 17:30:01 2026\n"
                                  "99999999999 Sat Dec  5 17:30:01 2026 /too/big\n"
                                  "  901\tSun  Dec 6 01:02:03 2026   /usr/local/bin/codex  \n";
        const QList<ps_listing::Line> lines = ps_listing::parseProcessListing(output);
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0].pid, 1);
        QCOMPARE(lines[0].launchIdentity, QStringLiteral("Sat Dec 5 17:27:28 2026"));
        QCOMPARE(lines[0].executablePath, QStringLiteral("/sbin/launchd"));
        QCOMPARE(lines[1].executablePath, QStringLiteral("/Users/a/My Tools/claude"));
        QCOMPARE(lines[2].pid, 901);
        QCOMPARE(lines[2].launchIdentity, QStringLiteral("Sun Dec 6 01:02:03 2026"));
        QVERIFY(ps_listing::parseProcessListing("  1 Sat Dec  5 17:27:28 2026 /\xff\xfe\n").isEmpty());

        using S = ProcessStartObservation::State;
        QCOMPARE(ps_listing::parseStartIdentity(false, false, -1, {}).state, S::unavailable);
        QCOMPARE(ps_listing::parseStartIdentity(true, true, 1, {}).state, S::notRunning);
        QCOMPARE(ps_listing::parseStartIdentity(true, false, -1, {}).state, S::unavailable);
        QCOMPARE(ps_listing::parseStartIdentity(true, true, 0, "  \n").state, S::unavailable);
        QCOMPARE(ps_listing::parseStartIdentity(true, true, 0, "\xff\n").state, S::unavailable);
        const ProcessStartObservation observed =
            ps_listing::parseStartIdentity(true, true, 0, "Sat Dec  5 17:27:28 2026\nmore\n");
        QCOMPARE(observed.state, S::observed);
        QCOMPARE(observed.startText, QStringLiteral("Sat Dec 5 17:27:28 2026"));
    }

    // The real process tool: its listing holds this process with the start identity the
    // process table reports, and the single-pid query agrees.
    void realProcessTool()
    {
        const qint32 self = static_cast<qint32>(QCoreApplication::applicationPid());
        const QList<ps_listing::Line> lines = ps_listing::runProcessListing();
        const auto it =
            std::find_if(lines.begin(), lines.end(), [&](const ps_listing::Line &line) { return line.pid == self; });
        QVERIFY(it != lines.end());
        ProcfsProcessTable table;
        QCOMPARE(it->launchIdentity, table.startIdentity(self).startText);
        const ProcessStartObservation start = ps_listing::runStartIdentity(self);
        QCOMPARE(start.state, ProcessStartObservation::State::observed);
        QCOMPARE(start.startText, it->launchIdentity);
        QCOMPARE(ps_listing::runStartIdentity(0x7ffffff0).state, ProcessStartObservation::State::notRunning);
    }

    // Routine refreshes check young processes' images every time and older ones in rotation.
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

    // Between listings, the pids handed out since are looked up one by one: a new process joins
    // the listing, a new thread (whose id finds its task just as well) never does, and one that
    // ended meanwhile is gone at the next refresh.
    void newPidsJoinAsProcessesOnly()
    {
        ExecutableListing listing(std::chrono::hours(1), {std::chrono::seconds(0), 1000});
        listing.refreshed();
        std::atomic<qint32> threadID{0};
        std::atomic<bool> release{false};
        std::thread thread([&] {
            threadID = static_cast<qint32>(::gettid());
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        QTRY_VERIFY(threadID != 0);
        fixtures::RunningFixture sleeper(fixtures::sleeperPath());
        QVERIFY(sleeper.isRunning());
        const QList<ProcessRecord> listed = listing.refreshed();
        QCOMPARE(pathIn(listed, sleeper.pid()), fixtures::sleeperPath());
        QCOMPARE(pathIn(listed, threadID), QString());
        QVERIFY(!pathIn(listed, static_cast<qint32>(::getpid())).isEmpty());
        release = true;
        thread.join();
        QCOMPARE(::kill(sleeper.pid(), SIGKILL), 0);
        QVERIFY(sleeper.waitForExit(5000));
        QCOMPARE(pathIn(listing.refreshed(), sleeper.pid()), QString());
    }

    void threadGroupParsing_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("group");  // 0: rejected
        QTest::newRow("process") << QByteArray(
            "Name:\tsleep\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t4242\nNgid:\t0\nPid:\t4242\n")
                                 << 4242;
        QTest::newRow("thread") << QByteArray("Name:\tworker\nState:\tS (sleeping)\nTgid:\t100\nPid:\t105\n") << 100;
        QTest::newRow("a name that looks like the line") << QByteArray("Name:\tTgid:\t7\nState:\tS\nTgid:\t9\n") << 9;
        QTest::newRow("cut short in the number") << QByteArray("Name:\tx\nState:\tS\nTgid:\t12") << 0;
        QTest::newRow("no such line") << QByteArray("Name:\tx\nState:\tS\n") << 0;
        QTest::newRow("not a number") << QByteArray("Name:\tx\nTgid:\tabc\n") << 0;
    }
    void threadGroupParsing()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, group);
        QCOMPARE(procfs::parseThreadGroup(text).value_or(0), group);
    }

    void loadAverageParsing_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("tasks");  // -1: rejected
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
                continue;  // ended between the two reads
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

using namespace mornix;

QTEST_GUILESS_MAIN(ProcessTableTest)
#include "tst_process_table.moc"
