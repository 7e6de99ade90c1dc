#include "discovery/agent_instance_scanner.h"
#include "platform/linux/linux_code_signing.h"
#include "platform/linux/linux_process_table.h"
#include "platform/linux/linux_workspace.h"
#include "support/config.h"

#include "support/agent_fixture_checks.h"
#include "support/counting_code_signing.h"
#include "support/signed_fixtures.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

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

}  // namespace

class TestAgentInstanceScanner : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::shared_ptr<CountingCodeSigning> m_signing;
    std::unique_ptr<AgentInstanceScanner> m_scanner;

private Q_SLOTS:
    void init()
    {
        m_signing = std::make_shared<CountingCodeSigning>(
            std::make_shared<LinuxCodeSigning>(Config::defaults().codeSigningAnchorsPEM));
        m_scanner = std::make_unique<AgentInstanceScanner>(std::make_shared<LinuxWorkspace>(),
                                                           std::make_shared<LinuxProcessTable>(), m_signing);
    }

    // Only the genuine, correctly signed clients are admitted, with the specified ids.
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
                 agent_checks::instanceID(QStringLiteral("claude-desktop:application:%1:%2:com.anthropic.claude:com.anthropic.claude")
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
        QVERIFY(withPrevious >= 3);
        m_signing->reset();
        QCOMPARE(m_scanner->reconcile({}), found);
        QCOMPARE(m_signing->evaluations() - withPrevious, found.size());
    }

    void candidateProcesses()
    {
        QVERIFY(AgentInstanceScanner::isBundledApplicationExecutable(QStringLiteral("/Applications/Claude.app/Contents/Resources/claude")));
        QVERIFY(AgentInstanceScanner::isBundledApplicationExecutable(QStringLiteral("/x/Y.APP/claude")));
        QVERIFY(!AgentInstanceScanner::isBundledApplicationExecutable(QStringLiteral("/usr/local/bin/claude")));
        QVERIFY(!AgentInstanceScanner::isBundledApplicationExecutable(QStringLiteral("/opt/app/claude")));
        QVERIFY(AgentInstanceScanner::isCandidateExecutableName(QStringLiteral("/opt/x/Codex")));
        QVERIFY(AgentInstanceScanner::isCandidateExecutableName(QStringLiteral("/opt/x/claude.exe")));
        QVERIFY(!AgentInstanceScanner::isCandidateExecutableName(QStringLiteral("/opt/x/claude-code")));

        const QString dir = m_dir.filePath(QStringLiteral("names"));
        const QString spaced = makeCLI(dir + QStringLiteral("/My Tools"), QStringLiteral("Codex"),
                                       QStringLiteral("com.openai.codex"), kOpenAITeam);
        const QString bundled = makeCLI(dir + QStringLiteral("/Claude.app/Contents/Resources"), QStringLiteral("claude"),
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
            const QString start = LinuxProcessTable().startIdentity(process->pid()).startText;
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
            QCOMPARE(m_scanner->liveness(instance), AgentInstanceLiveness::Running);
            QVERIFY(m_scanner->isCurrentAuthorizedTarget(instance));
            DetectedAgentInstance earlier = instance;   // the same pid, an earlier start
            earlier.launchIdentity = instance.report.kind == QLatin1String("process") ? QStringLiteral("Thu Jan 1 00:00:00 1970")
                                                                                    : QStringLiteral("1.0");
            QCOMPARE(m_scanner->liveness(earlier), AgentInstanceLiveness::Stopped);
            QVERIFY(!m_scanner->isCurrentAuthorizedTarget(earlier));
            DetectedAgentInstance otherProduct = instance;
            otherProduct.report.product = QStringLiteral("chatgpt");
            QVERIFY(!m_scanner->isCurrentAuthorizedTarget(otherProduct));
        }

        // Re-signed by a foreign team while running: no longer authorised, still running.
        QVERIFY(sign(cli, kForeignTeam, QStringLiteral("codex")));
        QCOMPARE(m_scanner->liveness(cliInstance), AgentInstanceLiveness::Running);
        QVERIFY(!m_scanner->isCurrentAuthorizedTarget(cliInstance));

        process.reset();
        app.reset();
        QCOMPARE(m_scanner->liveness(cliInstance), AgentInstanceLiveness::Stopped);
        QCOMPARE(m_scanner->liveness(appInstance), AgentInstanceLiveness::Stopped);

        // A relaunched application gets a new id.
        RunningFixture again(bundleExecutable(bundle));
        const QList<DetectedAgentInstance> relaunched = only(m_scanner->reconcile(byPID(found)), {again.pid()});
        QCOMPARE(relaunched.size(), 1);
        QVERIFY(relaunched.first().report.localInstanceID != appInstance.report.localInstanceID);
    }

    void reportJSON()
    {
        const AgentInstanceReport app{QStringLiteral("local_ab"), QStringLiteral("chatgpt"), QStringLiteral("application"),
                                      QStringLiteral("com.openai.chat")};
        QCOMPARE(QJsonDocument(app.toJSON()).toJson(QJsonDocument::Compact),
                 QByteArray(R"({"bundle_id":"com.openai.chat","kind":"application","local_instance_id":"local_ab","product":"chatgpt"})"));
        QCOMPARE(AgentInstanceReport::fromJSON(app.toJSON()), app);
        const AgentInstanceReport process{QStringLiteral("local_cd"), QStringLiteral("codex"), QStringLiteral("process"), std::nullopt};
        QCOMPARE(AgentInstanceReport::fromJSON(process.toJSON()), process);
        QJsonObject missing = process.toJSON();
        missing.remove(QStringLiteral("kind"));
        QVERIFY(!AgentInstanceReport::fromJSON(missing));
    }
};

QTEST_GUILESS_MAIN(TestAgentInstanceScanner)
#include "tst_agent_instance_scanner.moc"
