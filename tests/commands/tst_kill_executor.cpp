// The executor against real processes of signed fixtures: both protocols, graceful and forced
// stops, refusals, the re-checks before every signal, and impostors of a signed application
// that must never be signalled. (Each impostor's signature refusal on its own is covered in
// tst_code_signing.)
#include "commands/kill_executor.h"
#include "platform/linux/codesign/cms_code_signing.h"
#include "platform/linux/process/procfs_process_table.h"
#include "platform/linux/process/procfs_workspace.h"
#include "support/config.h"

#include "support/agent_fixture_checks.h"
#include "support/counting_code_signing.h"
#include "support/recording_snapshot_source.h"
#include "support/scoped_ports.h"
#include "support/signed_fixtures.h"
#include "support/test_files.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <QCoroTask>

#include <algorithm>
#include <memory>
#include <vector>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace mornix {

using namespace fixtures;

namespace {

// The bundle ids of one list of an application command's payload ("terminated", "forced", ...).
QStringList ids(const KillExecutionResult &result, const QString &list)
{
    QStringList values;
    for (const QJsonValue &item : result.payload.value(list + u"_bundle_ids"_s).toArray())
        values.append(item.toString());
    return values;
}

bool copyExecutable(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to) && QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

struct Impostor {
    QString name;
    std::unique_ptr<RunningFixture> process;
};

// The genuine Claude Desktop and five impostors, each in a directory of its own under root.
struct Scene {
    QString genuineBundle;
    std::unique_ptr<RunningFixture> genuine;
    std::vector<Impostor> impostors;

    bool build(const QString &root)
    {
        genuineBundle = makeClaudeDesktop(root + u"/genuine"_s);
        if (genuineBundle.isEmpty())
            return false;
        genuine = std::make_unique<RunningFixture>(bundleExecutable(genuineBundle));

        // An unsigned program copied into a validly signed bundle under another name.
        const QString helperBundle = makeClaudeDesktop(root + u"/helper"_s);
        const QString helper = helperBundle + u"/Contents/MacOS/helper"_s;
        if (helperBundle.isEmpty() || !copyExecutable(sleeperPath(), helper))
            return false;
        add(u"unsigned helper in a signed bundle"_s, helper);

        // A tampered executable started from a signed bundle, the genuine file put back while it
        // runs (its /proc/PID/exe then reads "... (deleted)").
        const QString swappedBundle = makeClaudeDesktop(root + u"/swapped"_s);
        const QString exe = bundleExecutable(swappedBundle);
        const QString saved = root + u"/swapped/genuine-copy"_s;
        const QString tampered = root + u"/swapped/tampered"_s;
        if (swappedBundle.isEmpty() || !copyExecutable(exe, saved) || !copyExecutable(exe, tampered)
            || !tamper(tampered)
            || std::rename(QFile::encodeName(tampered).constData(), QFile::encodeName(exe).constData()) != 0)
            return false;
        add(u"tampered image, genuine file put back"_s, exe);
        if (std::rename(QFile::encodeName(saved).constData(), QFile::encodeName(exe).constData()) != 0)
            return false;

        // An extra, unlisted file in Contents/Resources.
        const QString extraBundle = makeClaudeDesktop(root + u"/extra"_s);
        if (extraBundle.isEmpty() || !QDir().mkpath(extraBundle + u"/Contents/Resources"_s)
            || !writeFile(extraBundle + u"/Contents/Resources/app.asar"_s, "unsealed code"))
            return false;
        add(u"unlisted file in Contents/Resources"_s, bundleExecutable(extraBundle));

        // A symbolic link in the bundle that leads outside it.
        const QString outside = root + u"/outside-code"_s;
        const QString linkBundle = makeClaudeDesktop(root + u"/link"_s);
        if (linkBundle.isEmpty() || !QDir().mkpath(outside) || !QDir().mkpath(linkBundle + u"/Contents/Resources"_s)
            || !QFile::link(u"../../../../outside-code"_s, linkBundle + u"/Contents/Resources/app"_s))
            return false;
        add(u"symbolic link leading outside"_s, bundleExecutable(linkBundle));

        // Info.plist changed after signing.
        const QString plistBundle = makeClaudeDesktop(root + u"/plist"_s);
        const QString plist = plistBundle + u"/Contents/Info.plist"_s;
        const QByteArray text = readFile(plist).replace(
            "<key>CFBundleName</key>", "<key>CFBundleDisplayName</key><string>Claude</string><key>CFBundleName</key>");
        if (plistBundle.isEmpty() || !writeFile(plist, text))
            return false;
        add(u"Info.plist changed after signing"_s, bundleExecutable(plistBundle));
        const auto running = [](const Impostor &impostor) { return impostor.process->isRunning(); };
        return genuine->isRunning() && std::all_of(impostors.begin(), impostors.end(), running);
    }

    void add(const QString &name, const QString &program)
    {
        impostors.push_back({name, std::make_unique<RunningFixture>(program)});
    }

    QList<qint32> impostorPids() const
    {
        QList<qint32> pids;
        for (const Impostor &impostor : impostors)
            pids.append(impostor.process->pid());
        return pids;
    }

    void verifyImpostorsAlive() const
    {
        for (const Impostor &impostor : impostors)
            QVERIFY2(processAlive(impostor.process->pid()), qPrintable(impostor.name + u" was signalled"_s));
    }
};

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

    // The outcome of an instance command that found its instance: the whole payload.
    static void verifyFound(const KillExecutionResult &result, const QString &message,
                            const DetectedAgentInstance &instance, bool allStopped)
    {
        QCOMPARE(result.succeeded, allStopped);
        QCOMPARE(result.message, message);
        QCOMPARE(result.payload, (QJsonObject{{u"instance_id"_s, instance.report.localInstanceID},
                                              {u"product"_s, instance.report.product},
                                              {u"kind"_s, instance.report.kind},
                                              {u"all_stopped"_s, allStopped}}));
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
        const QString forDesktop =
            makeBundle(m_caseDir, u"Claude Beta"_s, u"com.anthropic.claudefordesktop"_s, kAnthropicTeam);
        RunningFixture one(bundleExecutable(desktop)), two(bundleExecutable(desktop)),
            three(bundleExecutable(forDesktop));
        QVERIFY(one.isRunning() && two.isRunning() && three.isRunning());

        const KillExecutionResult result = kill(u"claude"_s);
        QVERIFY(result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationConfirmed);
        QCOMPARE(result.payload.value(u"app_key"_s).toString(), u"claude"_s);
        QCOMPARE(ids(result, u"requested"_s), (QStringList{u"com.anthropic.claude"_s, u"com.anthropic.claudedesktop"_s,
                                                           u"com.anthropic.claudefordesktop"_s}));
        QCOMPARE(ids(result, u"terminated"_s),
                 (QStringList{u"com.anthropic.claude"_s, u"com.anthropic.claudefordesktop"_s}));
        QCOMPARE(ids(result, u"already_stopped"_s), QStringList{u"com.anthropic.claudedesktop"_s});
        QVERIFY(ids(result, u"forced"_s).isEmpty() && ids(result, u"signature_rejected"_s).isEmpty());
        QCOMPARE(result.payload.value(u"all_stopped"_s), QJsonValue(true));
        QVERIFY(one.waitForExit(1000) && two.waitForExit(1000) && three.waitForExit(1000));

        // Nothing running: already stopped, the same seven fields.
        const KillExecutionResult none = kill(u"codex"_s);
        QVERIFY(none.succeeded);
        QCOMPARE(none.message, KillExecutor::kApplicationConfirmed);
        QCOMPARE(ids(none, u"already_stopped"_s), QStringList{u"com.openai.codex"_s});
        QVERIFY(ids(none, u"terminated"_s).isEmpty());
        QCOMPARE(none.payload.size(), 7);
    }

    // A copy ignoring the request to quit is forced after the grace period; when even that fails
    // to stop it, the command fails.
    void copyIgnoringQuitIsForced()
    {
        const QString codex = makeCodexApp(m_caseDir);
        RunningFixture stubborn(bundleExecutable(codex), {u"--ignore-term"_s});
        QElapsedTimer clock;
        clock.start();
        const KillExecutionResult result = kill(u"codex"_s);
        QVERIFY(clock.elapsed() >= 1400);  // the grace period came first
        QVERIFY(result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationConfirmed);
        QCOMPARE(ids(result, u"forced"_s), QStringList{u"com.openai.codex"_s});
        QCOMPARE(ids(result, u"terminated"_s), QStringList{u"com.openai.codex"_s});
        QVERIFY(stubborn.waitForExit(1000));

        RunningFixture survivor(bundleExecutable(codex), {u"--ignore-term"_s});
        m_workspace->ignoreForcedStops = true;
        const KillExecutionResult remained = kill(u"codex"_s);
        QVERIFY(!remained.succeeded);
        QCOMPARE(remained.message, KillExecutor::kApplicationRemained);
        QCOMPARE(ids(remained, u"forced"_s), QStringList{u"com.openai.codex"_s});
        QVERIFY(survivor.isRunning());
    }

    void foreignCopyIsLeftRunning()
    {
        const QString foreign = makeChatGPT(m_caseDir, kForeignTeam);
        const QString unsignedCopy = makeBundle(m_caseDir, u"ChatGPT Copy"_s, u"com.openai.chat"_s, {});
        RunningFixture a(bundleExecutable(foreign)), b(bundleExecutable(unsignedCopy));
        const KillExecutionResult result = kill(u"chatgpt"_s);
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationSignatureRejected);
        QCOMPARE(ids(result, u"signature_rejected"_s), (QStringList{u"com.openai.chat"_s, u"com.openai.chatgpt"_s}));
        QVERIFY(ids(result, u"terminated"_s).isEmpty());
        QCOMPARE(result.payload.value(u"all_stopped"_s), QJsonValue(false));
        QVERIFY(a.isRunning() && b.isRunning());
    }

    // The pid now belongs to a later process: nothing is signalled.
    void reusedPidIsRefused()
    {
        RunningFixture later(makeClaudeCode(m_caseDir));
        const DetectedAgentInstance earlier =
            AgentInstanceScanner::detected(AgentProductCatalog::claudeCode(), later.pid(),
                                           u"com.anthropic.claude-code"_s, std::nullopt, u"Thu Jan 1 00:00:00 1970"_s);
        RecordingSnapshotSource monitor(QList<DetectedAgentInstance>{earlier});
        const KillExecutionResult result = stop(earlier, AgentProductCatalog::claudeCode(), &monitor);
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kInstanceNotFound);
        QCOMPARE(result.payload,
                 (QJsonObject{{u"instance_id"_s, earlier.report.localInstanceID}, {u"product"_s, u"claude-code"_s}}));
        QCOMPARE(m_processes->signalsRequested.load(), 0);
        QVERIFY(!later.waitForExit(200));
        QVERIFY(monitor.removed.isEmpty());
    }

    void lookupRules()
    {
        RunningFixture cli(makeClaudeCode(m_caseDir));
        const DetectedAgentInstance instance = detect(cli.pid());
        // A published empty snapshot is believed: no fresh scan, no signature check.
        RecordingSnapshotSource empty(QList<DetectedAgentInstance>{});
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
        RunningFixture cli(path, {u"--ignore-term"_s});
        const DetectedAgentInstance instance = detect(cli.pid());
        QTimer::singleShot(500, this, [path] { QVERIFY(sign(path, kForeignTeam, u"com.anthropic.claude-code"_s)); });
        const KillExecutionResult result = stop(instance, AgentProductCatalog::claudeCode(), nullptr);
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kInstanceIdentityChanged);
        QCOMPARE(result.payload.size(), 2);
        QVERIFY(!cli.waitForExit(300));
    }

    // After the signal the process can no longer be verified, or it survives the forced stop.
    void unverifiableOrSurvivingProcess()
    {
        RunningFixture unverifiable(makeCodexCLI(m_caseDir), {u"--ignore-term"_s});
        m_processes->unavailableAfterSignal = true;
        const KillExecutionResult result =
            stop(detect(unverifiable.pid()), AgentProductCatalog::codexProcess(), nullptr);
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kInstanceUnverified);
        QCOMPARE(result.payload.size(), 2);
        QVERIFY(unverifiable.isRunning());

        init();
        RunningFixture survivor(makeCodexCLI(m_caseDir), {u"--ignore-term"_s});
        const DetectedAgentInstance instance = detect(survivor.pid());
        m_processes->ignoreKill = true;
        RecordingSnapshotSource monitor(QList<DetectedAgentInstance>{instance});
        verifyFound(stop(instance, AgentProductCatalog::codexProcess(), &monitor), KillExecutor::kInstanceRemained,
                    instance, false);
        QVERIFY(monitor.removed.isEmpty());
        QVERIFY(processAlive(survivor.pid()));
    }

    // Impostors beside the genuine application: the inventory holds the genuine one only (on
    // later scans too), and neither protocol signals an impostor while the genuine one is stopped.
    void impostorsAreNeverSignalled()
    {
        Scene scene;
        QVERIFY(scene.build(m_caseDir));
        const QList<DetectedAgentInstance> first = m_scanner->reconcile({});
        QCOMPARE(first.size(), 1);
        QCOMPARE(first.first().processIdentifier, scene.genuine->pid());
        QCOMPARE(first.first().report.product, u"claude-desktop"_s);
        QCOMPARE(m_scanner->reconcile({{first.first().processIdentifier, first.first()}}), first);

        // Protocol 2: an instance id for each impostor (as if admitted before it was altered) is
        // refused before any signal; the genuine instance is stopped.
        const AgentProductCatalog::Product product =
            *AgentProductCatalog::applicationProduct(u"com.anthropic.claude"_s, u"Claude"_s, kAnthropicTeam);
        QList<DetectedAgentInstance> impostors;
        for (const qint32 pid : scene.impostorPids())
            impostors.append(AgentInstanceScanner::detected(product, pid, u"com.anthropic.claude"_s,
                                                            u"com.anthropic.claude"_s,
                                                            agent_checks::applicationLaunchIdentity(pid)));
        RecordingSnapshotSource monitor;
        monitor.snapshot = first + impostors;
        for (const DetectedAgentInstance &instance : impostors)
            QCOMPARE(stop(instance, product, &monitor).message, KillExecutor::kInstanceNotFound);
        scene.verifyImpostorsAlive();
        verifyFound(stop(first.first(), product, &monitor), KillExecutor::kInstanceConfirmed, first.first(), true);
        QVERIFY(scene.genuine->waitForExit(5000));
        scene.verifyImpostorsAlive();

        // Protocol 1: quitting the Claude family stops the (restarted) genuine copy only; the
        // impostors that are applications at all are reported as refused for their signature.
        scene.genuine = std::make_unique<RunningFixture>(bundleExecutable(scene.genuineBundle));
        QVERIFY(scene.genuine->isRunning());
        const KillExecutionResult result = kill(u"claude"_s);
        QVERIFY(scene.genuine->waitForExit(5000));
        scene.verifyImpostorsAlive();
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationSignatureRejected);
        QCOMPARE(result.payload.value(u"terminated_bundle_ids"_s).toArray(), QJsonArray{u"com.anthropic.claude"_s});
        // Four impostors run their bundle's main executable (the helper is no application).
        QCOMPARE(result.payload.value(u"signature_rejected_bundle_ids"_s).toArray().size(), 4);
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
        const QStringList arguments = ignoresTerm ? QStringList{u"--ignore-term"_s} : QStringList{};
        RunningFixture cli(makeCodexCLI(m_caseDir), arguments);
        const DetectedAgentInstance instance = detect(cli.pid());
        KillExecutor::Timing timing;
        timing.pollStep = std::chrono::minutes(2);
        timing.forcedStopWait = std::chrono::minutes(2);
        // The stubborn process must still sit out a (short) grace period before the forced stop.
        timing.gracePeriod =
            ignoresTerm ? std::chrono::milliseconds(300) : std::chrono::nanoseconds(std::chrono::minutes(2));
        KillExecutor executor(m_workspace, m_processes, m_signing, m_scanner, timing);
        RecordingSnapshotSource monitor(QList<DetectedAgentInstance>{instance});

        std::optional<KillExecutionResult> outcome;
        const auto run = [&]() -> QCoro::Task<void> {
            const QString id = instance.report.localInstanceID;
            const AgentProductCatalog::Product product = AgentProductCatalog::codexProcess();
            outcome = co_await executor.executeAgentInstance(id, product, &monitor);
        };
        QElapsedTimer clock;
        clock.start();
        QCoro::Task<void> stopping = run();
        QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 30000);
        QVERIFY(!ignoresTerm || clock.elapsed() >= 250);  // the grace period came first
        verifyFound(*outcome, KillExecutor::kInstanceConfirmed, instance, true);
        QCOMPARE(monitor.removed, QList<DetectedAgentInstance>{instance});
        QCOMPARE(m_processes->signalsRequested.load(), ignoresTerm ? 2 : 1);
        // A process that is gone by the first look after SIGTERM needs no wait (and no watch).
        if (ignoresTerm)
            QVERIFY(m_processes->exitWatchesOpened.load() >= 2);
        QVERIFY(!processAlive(cli.pid()));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(KillExecutorTest)
#include "tst_kill_executor.moc"
