// Impostors of a signed application, next to the genuine one: each must be refused by the
// listing (--print-agent-instances, the built executable), by the inventory (the scanner that
// feeds it) and by both protocols' executors, which must never signal them, while the genuine
// application keeps passing.

#include "commands/kill_executor.h"
#include "platform/linux/cms_code_signing.h"
#include "platform/linux/procfs_process_table.h"
#include "platform/linux/procfs_workspace.h"
#include "support/config.h"

#include "support/agent_fixture_checks.h"
#include "support/process_runner.h"
#include "support/recording_snapshot_source.h"
#include "support/scoped_ports.h"
#include "support/signed_fixtures.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <memory>
#include <vector>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace mornix {

using namespace fixtures;

namespace {

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
        QFile plist(plistBundle + u"/Contents/Info.plist"_s);
        if (plistBundle.isEmpty() || !plist.open(QIODevice::ReadOnly))
            return false;
        QByteArray text = plist.readAll();
        plist.close();
        text.replace("<key>CFBundleName</key>",
                     "<key>CFBundleDisplayName</key><string>Claude</string><key>CFBundleName</key>");
        if (!writeFile(plist.fileName(), text))
            return false;
        add(u"Info.plist changed after signing"_s, bundleExecutable(plistBundle));

        if (!genuine->isRunning())
            return false;
        for (const Impostor &impostor : impostors) {
            if (!impostor.process->isRunning())
                return false;
        }
        return true;
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

class ImpostorsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_root;
    std::shared_ptr<ScopedWorkspace> m_workspace;
    std::shared_ptr<ScopedProcessTable> m_processes;
    std::shared_ptr<CmsCodeSigning> m_signing;
    std::shared_ptr<AgentInstanceScanner> m_scanner;
    std::unique_ptr<KillExecutor> m_executor;

    // What each impostor would be if it had been admitted as Claude Desktop.
    static QList<DetectedAgentInstance> impostorInstances(const Scene &scene)
    {
        const AgentProductCatalog::Product product =
            *AgentProductCatalog::applicationProduct(u"com.anthropic.claude"_s, u"Claude"_s, kAnthropicTeam);
        QList<DetectedAgentInstance> result;
        for (const qint32 pid : scene.impostorPids())
            result.append(AgentInstanceScanner::detected(product, pid, u"com.anthropic.claude"_s,
                                                         u"com.anthropic.claude"_s,
                                                         agent_checks::applicationLaunchIdentity(pid)));
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_root = m_dir.path();
        m_workspace = std::make_shared<ScopedWorkspace>(std::make_shared<ProcfsWorkspace>(), m_root);
        m_processes = std::make_shared<ScopedProcessTable>(std::make_shared<ProcfsProcessTable>(), m_root);
        m_signing = std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM);
        m_scanner = std::make_shared<AgentInstanceScanner>(m_workspace, m_processes, m_signing);
        m_executor = std::make_unique<KillExecutor>(m_workspace, m_processes, m_signing, m_scanner,
                                                    KillExecutor::Timing{std::chrono::milliseconds(300),
                                                                         std::chrono::milliseconds(300),
                                                                         std::chrono::milliseconds(50)});
    }

    void impostorsAreRefusedEverywhere()
    {
        Scene scene;
        QVERIFY(scene.build(m_root));

        // The built executable lists the genuine instance and none of the impostors.
        const ProcessResult run = runProcess(QStringLiteral(MORNIX_EXECUTABLE), {u"--print-agent-instances"_s});
        QCOMPARE(run.exitCode, 0);
        QSet<QString> listed;
        for (const QJsonValue &item : QJsonDocument::fromJson(run.standardOutput).array())
            listed.insert(item.toObject().value(u"local_instance_id"_s).toString());
        const QList<DetectedAgentInstance> impostors = impostorInstances(scene);
        for (const DetectedAgentInstance &instance : impostors)
            QVERIFY(!listed.contains(instance.report.localInstanceID));

        // The inventory (what the monitor publishes and the service is told) holds the genuine
        // application only; the impostors stay out on every later scan too.
        const QList<DetectedAgentInstance> first = m_scanner->reconcile({});
        QCOMPARE(first.size(), 1);
        QVERIFY(listed.contains(first.first().report.localInstanceID));
        QCOMPARE(first.first().processIdentifier, scene.genuine->pid());
        QCOMPARE(first.first().report.product, u"claude-desktop"_s);
        QCOMPARE(m_scanner->reconcile({{first.first().processIdentifier, first.first()}}), first);
        for (const qint32 pid : scene.impostorPids()) {
            QVERIFY(!m_signing->dynamicSigningInformation(pid));
            QVERIFY(!m_signing->applicationSigningInformation(
                pid, m_workspace->runningApplication(pid).value_or(RunningApplication{}).bundlePath));
        }

        // Protocol 2: an instance id for each impostor (as if admitted before it was altered) is
        // refused before any signal; the genuine instance is stopped.
        const AgentProductCatalog::Product product =
            *AgentProductCatalog::applicationProduct(u"com.anthropic.claude"_s, u"Claude"_s, kAnthropicTeam);
        RecordingSnapshotSource monitor;
        monitor.snapshot = first + impostors;
        for (const DetectedAgentInstance &instance : impostors) {
            const KillExecutionResult result =
                QCoro::waitFor(m_executor->executeAgentInstance(instance.report.localInstanceID, product, &monitor));
            QVERIFY(!result.succeeded);
            QCOMPARE(result.message, KillExecutor::kInstanceNotFound);
        }
        scene.verifyImpostorsAlive();
        const KillExecutionResult stopped =
            QCoro::waitFor(m_executor->executeAgentInstance(first.first().report.localInstanceID, product, &monitor));
        QVERIFY2(stopped.succeeded, qPrintable(stopped.message));
        QVERIFY(scene.genuine->waitForExit(5000));
        scene.verifyImpostorsAlive();

        // Protocol 1: quitting the Claude family stops the (restarted) genuine copy only; the
        // impostors that are applications at all are reported as refused for their signature.
        scene.genuine = std::make_unique<RunningFixture>(bundleExecutable(scene.genuineBundle));
        QVERIFY(scene.genuine->isRunning());
        const KillExecutionResult result =
            QCoro::waitFor(m_executor->executeKill(KillTargetCatalog::byKey().value(u"claude"_s)));
        QVERIFY(scene.genuine->waitForExit(5000));
        scene.verifyImpostorsAlive();
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationSignatureRejected);
        QCOMPARE(result.payload.value(u"terminated_bundle_ids"_s).toArray(), QJsonArray{u"com.anthropic.claude"_s});
        // Four impostors run their bundle's main executable (the helper is no application).
        QCOMPARE(result.payload.value(u"signature_rejected_bundle_ids"_s).toArray().size(), 4);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(ImpostorsTest)
#include "tst_impostors.moc"
