#include "discovery/agent_instance_scanner.h"
#include "platform/macos/ps_listing.h"
#include "platform/linux/executable_listing.h"
#include "platform/linux/cms_code_signing.h"
#include "platform/linux/procfs_process_table.h"
#include "platform/linux/procfs_workspace.h"
#include "platform/linux/proc_fs.h"
#include "support/config.h"

#include "support/process_runner.h"
#include "support/signed_fixtures.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

namespace mornix {

using fixtures::RunningFixture;

namespace {

QString psStartIdentity(qint32 pid)
{
    const ProcessResult result = runProcess(QStringLiteral("/bin/ps"), {QStringLiteral("-p"), QString::number(pid),
                                                                        QStringLiteral("-o"), QStringLiteral("lstart=")});
    return QString::fromUtf8(result.standardOutput).simplified();
}

}  // namespace

class ProcessTableTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statParsing()
    {
        const auto fields = procfs::parseStat("4242 (we ird) (name)) S 17 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 "
                                              "987654 1000 10 18446744073709551615 0 0 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0");
        QVERIFY(fields);
        QCOMPARE(fields->state, 'S');
        QCOMPARE(fields->parentPid, 17);
        QCOMPARE(fields->startTicks, 987654ull);
        QVERIFY(!procfs::parseStat("4242 (name S 1 2"));
        QVERIFY(!procfs::parseStat("4242 (x) S 1 2 3"));
        QVERIFY(!procfs::parseStat(""));
    }

    // Both launch-identity forms against independent implementations: python3 for the
    // application form, /bin/ps for the process form.
    void launchIdentityForms()
    {
        QCOMPARE(AgentInstanceScanner::applicationLaunchIdentity(1765000000.25), QStringLiteral("1765000000.25"));
        QCOMPARE(AgentInstanceScanner::applicationLaunchIdentity(1765000000.0), QStringLiteral("1765000000.0"));
        QCOMPARE(AgentInstanceScanner::applicationLaunchIdentity(0.1), QStringLiteral("0.1"));

        RunningFixture sleeper(fixtures::sleeperPath());
        QVERIFY(sleeper.isRunning());
        const auto fields = procfs::stat(sleeper.pid());
        QVERIFY(fields);
        const double seconds = procfs::startSeconds(*procfs::bootTime(), procfs::ticksPerSecond(), fields->startTicks);
        const ProcessResult python = runPython(QStringLiteral(
            "import os,sys\n"
            "btime=[int(l.split()[1]) for l in open('/proc/stat') if l.startswith('btime ')][0]\n"
            "start=int(open('/proc/%1/stat').read().rsplit(')',1)[1].split()[19])\n"
            "hz=os.sysconf('SC_CLK_TCK')\n"
            "print(repr((btime*hz+start)/hz))\n").arg(sleeper.pid()));
        QCOMPARE(AgentInstanceScanner::applicationLaunchIdentity(seconds), QString::fromUtf8(python.standardOutput).trimmed());

        ProcfsProcessTable table;
        const ProcessStartObservation start = table.startIdentity(sleeper.pid());
        QCOMPARE(start.state, ProcessStartObservation::State::observed);
        QCOMPARE(start.startText, psStartIdentity(sleeper.pid()));
        QVERIFY(!start.startText.contains(QStringLiteral("  ")));
        QCOMPARE(procfs::startText(0).split(QLatin1Char(' ')).size(), 5);
    }

    void listingAndStates()
    {
        RunningFixture sleeper(fixtures::sleeperPath());
        QVERIFY(sleeper.isRunning());
        ProcfsProcessTable table;
        const QList<ProcessRecord> processes = table.processes();
        QVERIFY(std::is_sorted(processes.begin(), processes.end(),
                               [](const ProcessRecord &a, const ProcessRecord &b) { return a.pid < b.pid; }));
        const auto it = std::find_if(processes.begin(), processes.end(),
                                     [&](const ProcessRecord &record) { return record.pid == sleeper.pid(); });
        QVERIFY(it != processes.end());
        QCOMPARE(it->executablePath, fixtures::sleeperPath());

        // A zombie (ended, not yet reaped) is not running; nor is a reaped pid.
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

    // The shared listing keeps a record per process and rereads only what changed: an exec in
    // place (same pid, same start, another image), a process that ends, one that starts. After
    // each change the listing agrees with a full read and, across the exec, the scanner finds
    // the agent the pid now runs.
    void incrementalListingFollowsProcesses()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString claude = fixtures::makeClaudeCode(dir.filePath(QStringLiteral("bin")));
        QVERIFY(!claude.isEmpty());
        const auto listing = std::make_shared<ExecutableListing>(std::chrono::hours(1));
        const auto pathOf = [&](qint64 pid) -> QString {
            for (const ProcessRecord &record : listing->refreshed()) {
                if (record.pid == pid)
                    return record.executablePath;
            }
            return {};
        };
        const auto agreesWithFullRead = [&](const QList<qint64> &pids) {
            const QList<ProcessRecord> full = ExecutableListing::read();
            for (const qint64 pid : pids) {
                const auto it = std::find_if(full.begin(), full.end(), [&](const ProcessRecord &r) { return r.pid == pid; });
                if (pathOf(pid) != (it == full.end() ? QString() : it->executablePath))
                    return false;
            }
            return true;
        };

        // A shell that replaces itself with the signed CLI when told to.
        QProcess shell;
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("read line; exec \"$0\""), claude});
        QVERIFY(shell.waitForStarted());
        const qint64 pid = shell.processId();
        const QString shellImage = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath();
        QTRY_COMPARE(pathOf(pid), shellImage);

        AgentInstanceScanner scanner(std::make_shared<ProcfsWorkspace>(listing), std::make_shared<ProcfsProcessTable>(listing),
                                     std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM));
        const auto instancesOn = [&](qint64 onPid) {
            listing->refreshed();
            const QList<DetectedAgentInstance> all = scanner.reconcile({});
            return std::count_if(all.begin(), all.end(), [&](const DetectedAgentInstance &i) { return i.processIdentifier == onPid; });
        };
        QCOMPARE(instancesOn(pid), 0);
        const quint64 ticks = procfs::stat(pid)->startTicks;

        shell.write("go\n");
        QVERIFY(shell.waitForReadyRead(5000));
        QCOMPARE(shell.readLine(), QByteArray("ready\n"));
        QCOMPARE(shell.processId(), pid);
        QCOMPARE(procfs::stat(pid)->startTicks, ticks);   // the same process, another image
        QCOMPARE(pathOf(pid), claude);
        QCOMPARE(instancesOn(pid), 1);
        QVERIFY(agreesWithFullRead({pid}));

        // A new process appears; an ended one is gone (reaped, so no zombie is left).
        RunningFixture sleeper(fixtures::sleeperPath());
        QVERIFY(sleeper.isRunning());
        QCOMPARE(pathOf(sleeper.pid()), fixtures::sleeperPath());
        shell.kill();
        QVERIFY(shell.waitForFinished());
        QCOMPARE(pathOf(pid), QString());
        QCOMPARE(instancesOn(pid), 0);
        QVERIFY(agreesWithFullRead({pid, sleeper.pid()}));
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
        const QByteArray output =
            "    1 Sat Dec  5 17:27:28 2026 /sbin/launchd\n"
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
        const ProcessStartObservation observed = ps_listing::parseStartIdentity(true, true, 0, "Sat Dec  5 17:27:28 2026\nmore\n");
        QCOMPARE(observed.state, S::observed);
        QCOMPARE(observed.startText, QStringLiteral("Sat Dec 5 17:27:28 2026"));
    }

    // The real process tool: its listing holds this process with the start identity the
    // process table reports, and the single-pid query agrees.
    void realProcessTool()
    {
        const qint32 self = static_cast<qint32>(QCoreApplication::applicationPid());
        const QList<ps_listing::Line> lines = ps_listing::runProcessListing();
        const auto it = std::find_if(lines.begin(), lines.end(), [&](const ps_listing::Line &line) { return line.pid == self; });
        QVERIFY(it != lines.end());
        ProcfsProcessTable table;
        QCOMPARE(it->launchIdentity, table.startIdentity(self).startText);
        const ProcessStartObservation start = ps_listing::runStartIdentity(self);
        QCOMPARE(start.state, ProcessStartObservation::State::observed);
        QCOMPARE(start.startText, it->launchIdentity);
        QCOMPARE(ps_listing::runStartIdentity(0x7ffffff0).state, ProcessStartObservation::State::notRunning);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(ProcessTableTest)
#include "tst_process_table.moc"
