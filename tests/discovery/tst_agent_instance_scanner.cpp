#include "discovery/agent_instance_scanner.h"
#include "platform/linux/codesign/cms_code_signing.h"
#include "platform/linux/process/procfs_process_table.h"
#include "platform/linux/process/procfs_workspace.h"
#include "support/config.h"

#include "support/agent_fixture_checks.h"
#include "support/counting_code_signing.h"
#include "support/scoped_ports.h"
#include "support/signed_fixtures.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace mornix {

using namespace fixtures;

namespace {

QHash<qint32, DetectedAgentInstance> byPID(const QList<DetectedAgentInstance> &instances)
{
    QHash<qint32, DetectedAgentInstance> map;
    for (const DetectedAgentInstance &instance : instances)
        map.insert(instance.processIdentifier, instance);
    return map;
}

QList<DetectedAgentInstance> only(const QList<DetectedAgentInstance> &instances, const QSet<qint32> &pids)
{
    QList<DetectedAgentInstance> result;
    for (const DetectedAgentInstance &instance : instances) {
        if (pids.contains(instance.processIdentifier))
            result.append(instance);
    }
    return result;
}

// Scripted ports for the one rule no real process on Linux can reach: a process whose pid is a
// recognised application's (on Linux an application's executable always lies in a bundle).
class ScriptedWorkspace final : public Workspace {
public:
    QList<RunningApplication> apps;
    QList<RunningApplication> runningApplications() const override { return apps; }
    std::optional<RunningApplication> runningApplication(qint32 pid) const override
    {
        for (const RunningApplication &app : apps) {
            if (app.pid == pid)
                return app;
        }
        return std::nullopt;
    }
    QList<RunningApplication> runningApplications(const QString &) const override { return {}; }
    bool terminate(const RunningApplication &) override { return false; }
    bool forceTerminate(const RunningApplication &) override { return false; }
    bool isTerminated(const RunningApplication &) const override { return false; }
    bool openURL(const QUrl &) override { return false; }
};

class ScriptedProcessTable final : public ProcessTable {
public:
    QList<ProcessRecord> records;
    QHash<qint32, QString> starts;
    QList<ProcessRecord> processes() const override { return records; }
    ProcessStartObservation startIdentity(qint32 pid) const override
    {
        return starts.contains(pid) ? ProcessStartObservation::observed(starts.value(pid))
                                    : ProcessStartObservation::notRunning();
    }
    bool sendSignal(qint32, const ProcessStartObservation &, int) override { return false; }
};

class ScriptedCodeSigning final : public CodeSigning {
public:
    QHash<QString, SigningInformation> byPath;
    QHash<qint32, SigningInformation> byPID;
    std::optional<SigningInformation> staticSigningInformation(const QString &path) override
    {
        return find(byPath, path);
    }
    std::optional<SigningInformation> dynamicSigningInformation(qint32 pid) override { return find(byPID, pid); }
    std::optional<SigningInformation> applicationSigningInformation(qint32, const QString &path) override
    {
        return find(byPath, path);
    }

private:
    template <typename Key>
    static std::optional<SigningInformation> find(const QHash<Key, SigningInformation> &table, const Key &key)
    {
        return table.contains(key) ? std::optional(table.value(key)) : std::nullopt;
    }
};

}  // namespace

class AgentInstanceScannerTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::shared_ptr<CountingCodeSigning> m_signing;
    std::unique_ptr<AgentInstanceScanner> m_scanner;

private Q_SLOTS:
    void init()
    {
        m_signing = std::make_shared<CountingCodeSigning>(
            std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM));
        // Only this test's fixtures: other programs of a shared machine stay out of the counts.
        m_scanner = std::make_unique<AgentInstanceScanner>(
            std::make_shared<ScopedWorkspace>(std::make_shared<ProcfsWorkspace>(), m_dir.path()),
            std::make_shared<ScopedProcessTable>(std::make_shared<ProcfsProcessTable>(), m_dir.path()), m_signing);
    }

    // Only the genuine, correctly signed clients are admitted, with the expected ids.
    void detectsExactlyTheGenuineInstances()
    {
        const QString dir = m_dir.filePath(QStringLiteral("cast"));
        const QString desktop = makeClaudeDesktop(dir);
        const QString code = makeClaudeCode(dir + QStringLiteral("/genuine"));
        const QString unsignedClaude = makeCLI(dir + QStringLiteral("/unsigned"), QStringLiteral("claude"), {}, {});
        const QString chatGPT = makeChatGPT(dir, kForeignTeam);
        const QString codex = makeCodexCLI(dir + QStringLiteral("/tampered"));
        QVERIFY(tamper(codex));
        RunningFixture a(bundleExecutable(desktop)), b(code), c(unsignedClaude), d(bundleExecutable(chatGPT)), e(codex);
        QVERIFY(a.isRunning() && b.isRunning() && c.isRunning() && d.isRunning() && e.isRunning());

        const QList<DetectedAgentInstance> found = m_scanner->reconcile({});
        const QList<DetectedAgentInstance> ours = only(found, {a.pid(), b.pid(), c.pid(), d.pid(), e.pid()});
        QCOMPARE(ours.size(), 2);
        QVERIFY(std::is_sorted(found.begin(), found.end(), [](const auto &x, const auto &y) {
            return x.report.localInstanceID < y.report.localInstanceID;
        }));

        const DetectedAgentInstance app = byPID(ours).value(a.pid());
        const QString appLaunch = agent_checks::applicationLaunchIdentity(a.pid());
        QCOMPARE(app.launchIdentity, appLaunch);
        QCOMPARE(app.report.product, QStringLiteral("claude-desktop"));
        QCOMPARE(app.report.kind, QStringLiteral("application"));
        QCOMPARE(app.report.bundleID, QStringLiteral("com.anthropic.claude"));
        QCOMPARE(app.report.localInstanceID,
                 agent_checks::instanceID(
                     QStringLiteral("claude-desktop:application:%1:%2:com.anthropic.claude:com.anthropic.claude")
                         .arg(a.pid())
                         .arg(appLaunch)));

        const DetectedAgentInstance process = byPID(ours).value(b.pid());
        const QString processLaunch = agent_checks::processLaunchIdentity(b.pid());
        QCOMPARE(process.launchIdentity, processLaunch);
        QCOMPARE(process.report.product, QStringLiteral("claude-code"));
        QCOMPARE(process.report.kind, QStringLiteral("process"));
        QVERIFY(!process.report.bundleID);
        QVERIFY(!process.report.toJSON().contains(QStringLiteral("bundle_id")));
        QCOMPARE(process.report.localInstanceID,
                 agent_checks::instanceID(QStringLiteral("claude-code:process:%1:%2:com.anthropic.claude-code:")
                                              .arg(b.pid())
                                              .arg(processLaunch)));

        // An unchanged machine: the same list again. Admitted instances are carried over without
        // a signature check; refused candidates (unsigned, foreign, tampered) are checked again.
        m_signing->reset();
        QCOMPARE(m_scanner->reconcile(byPID(found)), found);
        const int withPrevious = m_signing->evaluations();
        QCOMPARE(withPrevious, 3);
        m_signing->reset();
        QCOMPARE(m_scanner->reconcile({}), found);
        QCOMPARE(m_signing->evaluations() - withPrevious, found.size());
    }

    void candidateProcesses()
    {
        QVERIFY(AgentInstanceScanner::isBundledApplicationExecutable(
            QStringLiteral("/Applications/Claude.app/Contents/Resources/claude")));
        QVERIFY(AgentInstanceScanner::isBundledApplicationExecutable(QStringLiteral("/x/Y.APP/claude")));
        QVERIFY(!AgentInstanceScanner::isBundledApplicationExecutable(QStringLiteral("/usr/local/bin/claude")));
        QVERIFY(!AgentInstanceScanner::isBundledApplicationExecutable(QStringLiteral("/opt/app/claude")));
        QVERIFY(AgentInstanceScanner::isCandidateExecutableName(QStringLiteral("/opt/x/Codex")));
        QVERIFY(AgentInstanceScanner::isCandidateExecutableName(QStringLiteral("/opt/x/claude.exe")));
        QVERIFY(!AgentInstanceScanner::isCandidateExecutableName(QStringLiteral("/opt/x/claude-code")));

        const QString dir = m_dir.filePath(QStringLiteral("names"));
        const QString spaced = makeCLI(dir + QStringLiteral("/My Tools"), QStringLiteral("Codex"),
                                       QStringLiteral("com.openai.codex"), kOpenAITeam);
        const QString bundled =
            makeCLI(dir + QStringLiteral("/Claude.app/Contents/Resources"), QStringLiteral("claude"),
                    QStringLiteral("com.anthropic.claude-code"), kAnthropicTeam);
        const QString otherName = makeCLI(dir + QStringLiteral("/other"), QStringLiteral("claude-helper"),
                                          QStringLiteral("com.anthropic.claude-code"), kAnthropicTeam);
        RunningFixture a(spaced), b(bundled), c(otherName);
        QVERIFY(a.isRunning() && b.isRunning() && c.isRunning());
        QSet<qint32> candidates;
        for (const AgentInstanceScanner::CandidateProcess &candidate : m_scanner->candidateProcesses())
            candidates.insert(candidate.pid);
        QVERIFY(candidates.contains(a.pid()));
        QVERIFY(!candidates.contains(b.pid()));
        QVERIFY(!candidates.contains(c.pid()));
        const QList<DetectedAgentInstance> found = only(m_scanner->reconcile({}), {a.pid(), b.pid(), c.pid()});
        QCOMPARE(found.size(), 1);
        QCOMPARE(found.first().report.product, QStringLiteral("codex"));
        QCOMPARE(found.first().report.kind, QStringLiteral("process"));
    }

    // A verified CLI is carried over unverified while it runs the same image; once it replaced
    // itself (exec: same pid, same start) by an unsigned program of the same name, the next scan
    // verifies it again and drops it.
    void execInPlaceIsVerifiedAgain()
    {
        const QString dir = m_dir.filePath(QStringLiteral("exec"));
        QVERIFY(QDir().mkpath(dir + QStringLiteral("/signed")));
        const QString shell = dir + QStringLiteral("/signed/claude");
        QVERIFY(QFile::copy(QStringLiteral("/bin/sh"), shell));
        QVERIFY(sign(shell, kAnthropicTeam, QStringLiteral("com.anthropic.claude-code")));
        const QString impostor = makeCLI(dir + QStringLiteral("/plain"), QStringLiteral("claude"), {}, {});
        QVERIFY(!impostor.isEmpty());

        QProcess process;
        process.start(shell, {QStringLiteral("-c"), QStringLiteral("read line; exec \"$0\""), impostor});
        QVERIFY(process.waitForStarted());
        const qint32 pid = qint32(process.processId());
        const QList<DetectedAgentInstance> first = only(m_scanner->reconcile({}), {pid});
        QCOMPARE(first.size(), 1);
        QCOMPARE(first.first().report.product, QStringLiteral("claude-code"));

        m_signing->reset();
        QCOMPARE(only(m_scanner->reconcile(byPID(first)), {pid}), first);
        QCOMPARE(m_signing->dynamicEvaluations(), 0);

        process.write("go\n");
        QVERIFY(process.waitForReadyRead(5000));
        QCOMPARE(process.readLine(), QByteArray("ready\n"));
        QCOMPARE(ProcfsProcessTable().startIdentity(pid).startText, first.first().launchIdentity);
        m_signing->reset();
        QCOMPARE(only(m_scanner->reconcile(byPID(first)), {pid}).size(), 0);
        QCOMPARE(m_signing->dynamicEvaluations(), 1);
        process.kill();
        QVERIFY(process.waitForFinished());
    }

    // 70 new matching processes: 64 signatures per scan, at most 32 instances, the smallest ids.
    void limits()
    {
        const QString cli = makeClaudeCode(m_dir.filePath(QStringLiteral("many")));
        std::vector<std::unique_ptr<RunningFixture>> processes;
        QSet<qint32> pids;
        for (int i = 0; i < 70; ++i) {
            processes.push_back(std::make_unique<RunningFixture>(cli));
            QVERIFY(processes.back()->isRunning());
            pids.insert(processes.back()->pid());
        }
        const QList<DetectedAgentInstance> first = m_scanner->reconcile({});
        QCOMPARE(m_signing->dynamicEvaluations(), 64);
        QCOMPARE(first.size(), 32);

        m_signing->reset();
        const QList<DetectedAgentInstance> second = m_scanner->reconcile(byPID(first));
        QCOMPARE(m_signing->dynamicEvaluations(), 70 - 32);
        QCOMPARE(second.size(), 32);

        // The 32 smallest of all 70 ids.
        QStringList all;
        const QString launchText = QStringLiteral("claude-code:process:%1:%2:com.anthropic.claude-code:");
        for (const auto &process : processes) {
            const QString start = ProcfsProcessTable().startIdentity(process->pid()).startText;
            all.append(AgentInstanceScanner::detected(AgentProductCatalog::claudeCode(), process->pid(),
                                                      QStringLiteral("com.anthropic.claude-code"), std::nullopt, start)
                           .report.localInstanceID);
        }
        std::sort(all.begin(), all.end());
        QStringList ids;
        for (const DetectedAgentInstance &instance : second)
            ids.append(instance.report.localInstanceID);
        QCOMPARE(ids, all.mid(0, 32));
        QCOMPARE(only(second, pids).size(), 32);
    }

    void livenessAndAuthorisation()
    {
        const QString dir = m_dir.filePath(QStringLiteral("live"));
        const QString cli = makeCodexCLI(dir);
        const QString bundle = makeCodexApp(dir);
        auto process = std::make_unique<RunningFixture>(cli);
        auto app = std::make_unique<RunningFixture>(bundleExecutable(bundle));
        const QList<DetectedAgentInstance> found = only(m_scanner->reconcile({}), {process->pid(), app->pid()});
        QCOMPARE(found.size(), 2);
        const DetectedAgentInstance cliInstance = byPID(found).value(process->pid());
        const DetectedAgentInstance appInstance = byPID(found).value(app->pid());
        QCOMPARE(appInstance.report.product, QStringLiteral("codex"));
        QCOMPARE(appInstance.report.kind, QStringLiteral("application"));

        for (const DetectedAgentInstance &instance : found) {
            QCOMPARE(m_scanner->liveness(instance), AgentInstanceLiveness::running);
            QVERIFY(m_scanner->isCurrentAuthorizedTarget(instance));
            DetectedAgentInstance earlier = instance;  // the same pid, an earlier start
            earlier.launchIdentity = instance.report.kind == QLatin1String("process")
                                         ? QStringLiteral("Thu Jan 1 00:00:00 1970")
                                         : QStringLiteral("1.0");
            QCOMPARE(m_scanner->liveness(earlier), AgentInstanceLiveness::stopped);
            QVERIFY(!m_scanner->isCurrentAuthorizedTarget(earlier));
            DetectedAgentInstance otherProduct = instance;
            otherProduct.report.product = QStringLiteral("chatgpt");
            QVERIFY(!m_scanner->isCurrentAuthorizedTarget(otherProduct));
        }

        // Re-signed by a foreign team while running: no longer authorised, still running.
        QVERIFY(sign(cli, kForeignTeam, QStringLiteral("codex")));
        QCOMPARE(m_scanner->liveness(cliInstance), AgentInstanceLiveness::running);
        QVERIFY(!m_scanner->isCurrentAuthorizedTarget(cliInstance));

        process.reset();
        app.reset();
        QCOMPARE(m_scanner->liveness(cliInstance), AgentInstanceLiveness::stopped);
        QCOMPARE(m_scanner->liveness(appInstance), AgentInstanceLiveness::stopped);

        // A relaunched application gets a new id.
        RunningFixture again(bundleExecutable(bundle));
        const QList<DetectedAgentInstance> relaunched = only(m_scanner->reconcile(byPID(found)), {again.pid()});
        QCOMPARE(relaunched.size(), 1);
        QVERIFY(relaunched.first().report.localInstanceID != appInstance.report.localInstanceID);
    }

    void claimedPidsAndApplicationReuse()
    {
        auto workspace = std::make_shared<ScriptedWorkspace>();
        auto processes = std::make_shared<ScriptedProcessTable>();
        auto codeSigning = std::make_shared<ScriptedCodeSigning>();
        auto counting = std::make_shared<CountingCodeSigning>(codeSigning);
        const AgentInstanceScanner scanner(workspace, processes, counting);

        RunningApplication app;
        app.pid = 500;
        app.bundleIdentifier = QStringLiteral("COM.Anthropic.Claude");
        app.launchDate = 1765000000.5;
        app.bundlePath = QStringLiteral("/Applications/Claude.app");
        app.localizedName = QStringLiteral("Claude");
        workspace->apps = {app};
        codeSigning->byPath.insert(app.bundlePath, {QStringLiteral("com.anthropic.claude"), kAnthropicTeam});
        // The same pid also appears as a command-line candidate, and a second process does too.
        processes->records = {{500, QStringLiteral("/usr/local/bin/claude"), {}},
                              {501, QStringLiteral("/usr/local/bin/claude"), {}}};
        processes->starts = {{500, QStringLiteral("Sat Dec 6 10:00:00 2026")},
                             {501, QStringLiteral("Sat Dec 6 10:00:01 2026")}};
        codeSigning->byPID.insert(500, {QStringLiteral("com.anthropic.claude-code"), kAnthropicTeam});
        codeSigning->byPID.insert(501, {QStringLiteral("com.anthropic.claude-code"), kAnthropicTeam});

        const QList<DetectedAgentInstance> first = scanner.reconcile({});
        QCOMPARE(first.size(), 2);
        const QHash<qint32, DetectedAgentInstance> map = byPID(first);
        QCOMPARE(map.value(500).report.kind, QStringLiteral("application"));
        QCOMPARE(map.value(500).report.bundleID, QStringLiteral("com.anthropic.claude"));
        QCOMPARE(map.value(500).launchIdentity, QStringLiteral("1765000000.5"));
        QCOMPARE(map.value(501).report.kind, QStringLiteral("process"));
        QCOMPARE(counting->dynamicEvaluations(), 1);  // pid 500 was claimed by the application

        // Reuse needs the same kind, bundle identifier and launch: otherwise the application is
        // checked again.
        counting->reset();
        QCOMPARE(scanner.reconcile(map), first);
        QCOMPARE(counting->evaluations(), 0);
        QHash<qint32, DetectedAgentInstance> stale = map;
        stale[500].report.bundleID = QStringLiteral("com.anthropic.claudedesktop");
        QCOMPARE(scanner.reconcile(stale), first);
        QCOMPARE(counting->applicationEvaluations(), 1);
        workspace->apps[0].launchDate = 1765000001.0;
        const QList<DetectedAgentInstance> relaunched = scanner.reconcile(map);
        QCOMPARE(byPID(relaunched).value(500).launchIdentity, QStringLiteral("1765000001.0"));
        QVERIFY(byPID(relaunched).value(500).report.localInstanceID != map.value(500).report.localInstanceID);
    }

    // The inventory's wire form: keys as the service reads them, bundle_id only when known.
    void reportJSON()
    {
        const AgentInstanceReport app{QStringLiteral("local_ab"), QStringLiteral("chatgpt"),
                                      QStringLiteral("application"), QStringLiteral("com.openai.chat")};
        QCOMPARE(
            QJsonDocument(app.toJSON()).toJson(QJsonDocument::Compact),
            QByteArray(
                R"({"bundle_id":"com.openai.chat","kind":"application","local_instance_id":"local_ab","product":"chatgpt"})"));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(AgentInstanceScannerTest)
#include "tst_agent_instance_scanner.moc"
