#include "commands/kill_executor.h"
#include "platform/linux/cms_code_signing.h"
#include "platform/linux/procfs_process_table.h"
#include "platform/linux/procfs_workspace.h"
#include "support/config.h"

#include "support/counting_code_signing.h"
#include "support/scoped_ports.h"
#include "support/signed_fixtures.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <QCoroTask>

#include <memory>

namespace mornix {

using namespace fixtures;

namespace {

// The monitor's side of the executor: a published snapshot and the removals it is told of.
class FakeMonitor final : public AgentInstanceSnapshotSource {
public:
    std::optional<QList<DetectedAgentInstance>> snapshot;
    QList<DetectedAgentInstance> removed;

    std::optional<QList<DetectedAgentInstance>> publishedInstancesIfReady() const override { return snapshot; }
    void removeStopped(const DetectedAgentInstance &instance) override { removed.append(instance); }
};

QStringList strings(const QJsonValue &value)
{
    QStringList result;
    for (const QJsonValue &item : value.toArray())
        result.append(item.toString());
    return result;
}

bool alive(qint32 pid)
{
    return ProcfsProcessTable().startIdentity(pid).state == ProcessStartObservation::State::observed;
}

}  // namespace

class KillExecutorTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::shared_ptr<ScopedWorkspace> m_workspace;
    std::shared_ptr<ScopedProcessTable> m_processes;
    std::shared_ptr<CountingCodeSigning> m_signing;
    std::shared_ptr<AgentInstanceScanner> m_scanner;
    std::unique_ptr<KillExecutor> m_executor;
    int m_case = 0;
    QString m_caseDir;

    DetectedAgentInstance detect(qint32 pid)
    {
        for (const DetectedAgentInstance &instance : m_scanner->reconcile({})) {
            if (instance.processIdentifier == pid)
                return instance;
        }
        return {};
    }

    KillExecutionResult kill(const QString &key)
    {
        return QCoro::waitFor(m_executor->executeKill(KillTargetCatalog::byKey().value(key)));
    }

    KillExecutionResult stop(const DetectedAgentInstance &instance, const AgentProductCatalog::Product &product,
                             AgentInstanceSnapshotSource *monitor)
    {
        return QCoro::waitFor(m_executor->executeAgentInstance(instance.report.localInstanceID, product, monitor));
    }

    static void verifyFullPayload(const KillExecutionResult &result, const DetectedAgentInstance &instance, bool allStopped)
    {
        QCOMPARE(result.payload.value(QStringLiteral("instance_id")).toString(), instance.report.localInstanceID);
        QCOMPARE(result.payload.value(QStringLiteral("product")).toString(), instance.report.product);
        QCOMPARE(result.payload.value(QStringLiteral("kind")).toString(), instance.report.kind);
        QCOMPARE(result.payload.value(QStringLiteral("all_stopped")), QJsonValue(allStopped));
        QCOMPARE(result.payload.size(), 4);
    }

private Q_SLOTS:
    void init()
    {
        // Each case has its own directory: ports see only the fixtures made for it.
        m_caseDir = m_dir.filePath(QString::number(++m_case));
        QDir().mkpath(m_caseDir);
        m_workspace = std::make_shared<ScopedWorkspace>(std::make_shared<ProcfsWorkspace>(), m_caseDir);
        m_processes = std::make_shared<ScopedProcessTable>(std::make_shared<ProcfsProcessTable>(), m_caseDir);
        m_signing = std::make_shared<CountingCodeSigning>(
            std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM));
        m_scanner = std::make_shared<AgentInstanceScanner>(m_workspace, m_processes, m_signing);
        m_executor = std::make_unique<KillExecutor>(m_workspace, m_processes, m_signing, m_scanner);
    }

    void familyStoppedGracefully()
    {
        const QString desktop = makeClaudeDesktop(m_caseDir);
        const QString forDesktop = makeBundle(m_caseDir, QStringLiteral("Claude Beta"),
                                              QStringLiteral("com.anthropic.claudefordesktop"), kAnthropicTeam);
        RunningFixture one(bundleExecutable(desktop)), two(bundleExecutable(desktop)), three(bundleExecutable(forDesktop));
        QVERIFY(one.isRunning() && two.isRunning() && three.isRunning());

        const KillExecutionResult result = kill(QStringLiteral("claude"));
        QVERIFY(result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationConfirmed);
        QCOMPARE(result.payload.value(QStringLiteral("app_key")).toString(), QStringLiteral("claude"));
        QCOMPARE(strings(result.payload.value(QStringLiteral("requested_bundle_ids"))),
                 (QStringList{QStringLiteral("com.anthropic.claude"), QStringLiteral("com.anthropic.claudedesktop"),
                              QStringLiteral("com.anthropic.claudefordesktop")}));
        QCOMPARE(strings(result.payload.value(QStringLiteral("terminated_bundle_ids"))),
                 (QStringList{QStringLiteral("com.anthropic.claude"), QStringLiteral("com.anthropic.claudefordesktop")}));
        QCOMPARE(strings(result.payload.value(QStringLiteral("already_stopped_bundle_ids"))),
                 QStringList{QStringLiteral("com.anthropic.claudedesktop")});
        QVERIFY(strings(result.payload.value(QStringLiteral("forced_bundle_ids"))).isEmpty());
        QVERIFY(strings(result.payload.value(QStringLiteral("signature_rejected_bundle_ids"))).isEmpty());
        QCOMPARE(result.payload.value(QStringLiteral("all_stopped")), QJsonValue(true));
        QVERIFY(one.waitForExit(1000) && two.waitForExit(1000) && three.waitForExit(1000));
    }

    void nothingRunning()
    {
        const KillExecutionResult result = kill(QStringLiteral("codex"));
        QVERIFY(result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationConfirmed);
        QCOMPARE(strings(result.payload.value(QStringLiteral("already_stopped_bundle_ids"))),
                 QStringList{QStringLiteral("com.openai.codex")});
        QVERIFY(strings(result.payload.value(QStringLiteral("terminated_bundle_ids"))).isEmpty());
        QCOMPARE(result.payload.size(), 7);
    }

    void copyIgnoringQuitIsForced()
    {
        const QString codex = makeCodexApp(m_caseDir);
        RunningFixture stubborn(bundleExecutable(codex), {QStringLiteral("--ignore-term")});
        QElapsedTimer clock;
        clock.start();
        const KillExecutionResult result = kill(QStringLiteral("codex"));
        QVERIFY(clock.elapsed() >= 1400);   // the grace period came first
        QVERIFY(result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationConfirmed);
        QCOMPARE(strings(result.payload.value(QStringLiteral("forced_bundle_ids"))), QStringList{QStringLiteral("com.openai.codex")});
        QCOMPARE(strings(result.payload.value(QStringLiteral("terminated_bundle_ids"))), QStringList{QStringLiteral("com.openai.codex")});
        QVERIFY(stubborn.waitForExit(1000));
    }

    void foreignCopyIsLeftRunning()
    {
        const QString foreign = makeChatGPT(m_caseDir, kForeignTeam);
        const QString unsignedCopy = makeBundle(m_caseDir, QStringLiteral("ChatGPT Copy"), QStringLiteral("com.openai.chat"), {});
        RunningFixture a(bundleExecutable(foreign)), b(bundleExecutable(unsignedCopy));
        const KillExecutionResult result = kill(QStringLiteral("chatgpt"));
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationSignatureRejected);
        QCOMPARE(strings(result.payload.value(QStringLiteral("signature_rejected_bundle_ids"))),
                 (QStringList{QStringLiteral("com.openai.chat"), QStringLiteral("com.openai.chatgpt")}));
        QVERIFY(strings(result.payload.value(QStringLiteral("terminated_bundle_ids"))).isEmpty());
        QCOMPARE(result.payload.value(QStringLiteral("all_stopped")), QJsonValue(false));
        QVERIFY(a.isRunning() && b.isRunning());
    }

    void copyThatSurvivesIsReported()
    {
        const QString codex = makeCodexApp(m_caseDir);
        RunningFixture stubborn(bundleExecutable(codex), {QStringLiteral("--ignore-term")});
        m_workspace->ignoreForcedStops = true;
        const KillExecutionResult result = kill(QStringLiteral("codex"));
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationRemained);
        QCOMPARE(strings(result.payload.value(QStringLiteral("forced_bundle_ids"))), QStringList{QStringLiteral("com.openai.codex")});
        QVERIFY(stubborn.isRunning());
    }

    void processStoppedByTerm()
    {
        RunningFixture cli(makeClaudeCode(m_caseDir));
        const DetectedAgentInstance instance = detect(cli.pid());
        QCOMPARE(instance.report.product, QStringLiteral("claude-code"));
        FakeMonitor monitor;
        monitor.snapshot = QList<DetectedAgentInstance>{instance};
        const KillExecutionResult result = stop(instance, AgentProductCatalog::claudeCode(), &monitor);
        QVERIFY(result.succeeded);
        QCOMPARE(result.message, KillExecutor::kInstanceConfirmed);
        verifyFullPayload(result, instance, true);
        QCOMPARE(monitor.removed, QList<DetectedAgentInstance>{instance});
        QVERIFY(cli.waitForExit(1000));
    }

    void processKilledAfterGracePeriod()
    {
        RunningFixture cli(makeCodexCLI(m_caseDir), {QStringLiteral("--ignore-term")});
        const DetectedAgentInstance instance = detect(cli.pid());
        QElapsedTimer clock;
        clock.start();
        const KillExecutionResult result = stop(instance, AgentProductCatalog::codexProcess(), nullptr);
        QVERIFY(clock.elapsed() >= 1400);
        QVERIFY(result.succeeded);
        QCOMPARE(result.message, KillExecutor::kInstanceConfirmed);
        verifyFullPayload(result, instance, true);
        QVERIFY(cli.waitForExit(1000));
    }

    void applicationStoppedWithoutMonitor()
    {
        RunningFixture app(bundleExecutable(makeClaudeDesktop(m_caseDir)));
        const DetectedAgentInstance instance = detect(app.pid());
        QCOMPARE(instance.report.kind, QStringLiteral("application"));
        const KillExecutionResult result = stop(instance, AgentProductCatalog::claudeDesktop(), nullptr);
        QVERIFY(result.succeeded);
        QCOMPARE(result.message, KillExecutor::kInstanceConfirmed);
        verifyFullPayload(result, instance, true);
    }

    // The pid now belongs to a later process: nothing is signalled.
    void reusedPidIsRefused()
    {
        const QString cli = makeClaudeCode(m_caseDir);
        RunningFixture later(cli);
        const DetectedAgentInstance earlier = AgentInstanceScanner::detected(
            AgentProductCatalog::claudeCode(), later.pid(), QStringLiteral("com.anthropic.claude-code"), std::nullopt,
            QStringLiteral("Thu Jan 1 00:00:00 1970"));
        FakeMonitor monitor;
        monitor.snapshot = QList<DetectedAgentInstance>{earlier};
        const KillExecutionResult result = stop(earlier, AgentProductCatalog::claudeCode(), &monitor);
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kInstanceNotFound);
        QCOMPARE(result.payload, (QJsonObject{{QStringLiteral("instance_id"), earlier.report.localInstanceID},
                                              {QStringLiteral("product"), QStringLiteral("claude-code")}}));
        QCOMPARE(m_processes->signalsRequested.load(), 0);
        QVERIFY(!later.waitForExit(200));
        QVERIFY(monitor.removed.isEmpty());
    }

    void lookupRules()
    {
        RunningFixture cli(makeClaudeCode(m_caseDir));
        const DetectedAgentInstance instance = detect(cli.pid());
        // A published empty snapshot is believed: no fresh scan, no signature check.
        FakeMonitor empty;
        empty.snapshot = QList<DetectedAgentInstance>{};
        m_signing->reset();
        QCOMPARE(stop(instance, AgentProductCatalog::claudeCode(), &empty).message, KillExecutor::kInstanceNotFound);
        QCOMPARE(m_signing->evaluations(), 0);
        // The product and kind must match too.
        QCOMPARE(stop(instance, AgentProductCatalog::codexProcess(), nullptr).message, KillExecutor::kInstanceNotFound);
        // An instance id in another case is not the instance.
        DetectedAgentInstance upper = instance;
        upper.report.localInstanceID = instance.report.localInstanceID.toUpper();
        QCOMPARE(stop(upper, AgentProductCatalog::claudeCode(), nullptr).message, KillExecutor::kInstanceNotFound);
        QVERIFY(cli.isRunning());
    }

    // The signature changes during the grace period: the forced stop is not made.
    void identityChangedBeforeForce()
    {
        const QString path = makeClaudeCode(m_caseDir);
        RunningFixture cli(path, {QStringLiteral("--ignore-term")});
        const DetectedAgentInstance instance = detect(cli.pid());
        QTimer::singleShot(500, this, [path] { QVERIFY(sign(path, kForeignTeam, QStringLiteral("com.anthropic.claude-code"))); });
        const KillExecutionResult result = stop(instance, AgentProductCatalog::claudeCode(), nullptr);
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kInstanceIdentityChanged);
        QCOMPARE(result.payload.size(), 2);
        QVERIFY(!cli.waitForExit(300));
    }

    void unverifiableStop()
    {
        RunningFixture cli(makeCodexCLI(m_caseDir), {QStringLiteral("--ignore-term")});
        const DetectedAgentInstance instance = detect(cli.pid());
        m_processes->unavailableAfterSignal = true;
        const KillExecutionResult result = stop(instance, AgentProductCatalog::codexProcess(), nullptr);
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kInstanceUnverified);
        QCOMPARE(result.payload.size(), 2);
        QVERIFY(cli.isRunning());
    }

    void processThatSurvivesIsReported()
    {
        RunningFixture cli(makeCodexCLI(m_caseDir), {QStringLiteral("--ignore-term")});
        const DetectedAgentInstance instance = detect(cli.pid());
        m_processes->ignoreKill = true;
        FakeMonitor monitor;
        monitor.snapshot = QList<DetectedAgentInstance>{instance};
        const KillExecutionResult result = stop(instance, AgentProductCatalog::codexProcess(), &monitor);
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kInstanceRemained);
        verifyFullPayload(result, instance, false);
        QVERIFY(monitor.removed.isEmpty());
        QVERIFY(alive(cli.pid()));
    }

    // The waits end when the process exits, not when a step runs out: with steps of two minutes
    // both stops finish long before one step could, each with the same re-checks and outcome.
    void exitEndsTheWait_data()
    {
        QTest::addColumn<bool>("ignoresTerm");
        QTest::newRow("exits on SIGTERM") << false;
        QTest::newRow("needs SIGKILL") << true;
    }
    void exitEndsTheWait()
    {
        QFETCH(bool, ignoresTerm);
        const QStringList arguments = ignoresTerm ? QStringList{QStringLiteral("--ignore-term")} : QStringList{};
        RunningFixture cli(makeCodexCLI(m_caseDir), arguments);
        const DetectedAgentInstance instance = detect(cli.pid());
        QCOMPARE(instance.report.product, QStringLiteral("codex"));
        KillExecutor::Timing timing;
        timing.pollStep = std::chrono::minutes(2);
        timing.forcedStopWait = std::chrono::minutes(2);
        // The stubborn process must still sit out a (short) grace period before the forced stop.
        timing.gracePeriod = ignoresTerm ? std::chrono::milliseconds(300) : std::chrono::nanoseconds(std::chrono::minutes(2));
        KillExecutor executor(m_workspace, m_processes, m_signing, m_scanner, timing);
        FakeMonitor monitor;
        monitor.snapshot = QList<DetectedAgentInstance>{instance};

        std::optional<KillExecutionResult> outcome;
        const auto run = [&]() -> QCoro::Task<void> {
            const QString id = instance.report.localInstanceID;
            const AgentProductCatalog::Product product = AgentProductCatalog::codexProcess();
            outcome = co_await executor.executeAgentInstance(id, product, &monitor);
        };
        QCoro::Task<void> stopping = run();
        QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 30000);
        QVERIFY(outcome->succeeded);
        QCOMPARE(outcome->message, KillExecutor::kInstanceConfirmed);
        verifyFullPayload(*outcome, instance, true);
        QCOMPARE(monitor.removed, QList<DetectedAgentInstance>{instance});
        QCOMPARE(m_processes->signalsRequested.load(), ignoresTerm ? 2 : 1);
        // A process that is gone by the first look after SIGTERM needs no wait (and no watch).
        if (ignoresTerm)
            QVERIFY(m_processes->exitWatchesOpened.load() >= 2);
        QVERIFY(!alive(cli.pid()));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(KillExecutorTest)
#include "tst_kill_executor.moc"
