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
#include "support/scoped_ports.h"
#include "support/signed_fixtures.h"

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

namespace mornix {

using namespace fixtures;

namespace {

class FakeMonitor final : public AgentInstanceSnapshotSource {
public:
    std::optional<QList<DetectedAgentInstance>> snapshot;
    std::optional<QList<DetectedAgentInstance>> publishedInstancesIfReady() const override { return snapshot; }
    void removeStopped(const DetectedAgentInstance &) override {}
};

bool alive(qint32 pid)
{
    return ProcfsProcessTable().startIdentity(pid).state == ProcessStartObservation::State::observed;
}

bool copyExecutable(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to)
        && QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
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
        genuineBundle = makeClaudeDesktop(root + QStringLiteral("/genuine"));
        if (genuineBundle.isEmpty())
            return false;
        genuine = std::make_unique<RunningFixture>(bundleExecutable(genuineBundle));

        // An unsigned program copied into a validly signed bundle under another name.
        const QString helperBundle = makeClaudeDesktop(root + QStringLiteral("/helper"));
        const QString helper = helperBundle + QStringLiteral("/Contents/MacOS/helper");
        if (helperBundle.isEmpty() || !copyExecutable(sleeperPath(), helper))
            return false;
        add(QStringLiteral("unsigned helper in a signed bundle"), helper);

        // A tampered executable started from a signed bundle, the genuine file put back while it
        // runs (its /proc/PID/exe then reads "... (deleted)").
        const QString swappedBundle = makeClaudeDesktop(root + QStringLiteral("/swapped"));
        const QString exe = bundleExecutable(swappedBundle);
        const QString saved = root + QStringLiteral("/swapped/genuine-copy");
        const QString tampered = root + QStringLiteral("/swapped/tampered");
        if (swappedBundle.isEmpty() || !copyExecutable(exe, saved) || !copyExecutable(exe, tampered) || !tamper(tampered)
            || std::rename(QFile::encodeName(tampered).constData(), QFile::encodeName(exe).constData()) != 0)
            return false;
        add(QStringLiteral("tampered image, genuine file put back"), exe);
        if (std::rename(QFile::encodeName(saved).constData(), QFile::encodeName(exe).constData()) != 0)
            return false;

        // An extra, unlisted file in Contents/Resources.
        const QString extraBundle = makeClaudeDesktop(root + QStringLiteral("/extra"));
        if (extraBundle.isEmpty() || !QDir().mkpath(extraBundle + QStringLiteral("/Contents/Resources"))
            || !writeFile(extraBundle + QStringLiteral("/Contents/Resources/app.asar"), "unsealed code"))
            return false;
        add(QStringLiteral("unlisted file in Contents/Resources"), bundleExecutable(extraBundle));

        // A symbolic link in the bundle that leads outside it.
        const QString outside = root + QStringLiteral("/outside-code");
        const QString linkBundle = makeClaudeDesktop(root + QStringLiteral("/link"));
        if (linkBundle.isEmpty() || !QDir().mkpath(outside) || !QDir().mkpath(linkBundle + QStringLiteral("/Contents/Resources"))
            || !QFile::link(QStringLiteral("../../../../outside-code"), linkBundle + QStringLiteral("/Contents/Resources/app")))
            return false;
        add(QStringLiteral("symbolic link leading outside"), bundleExecutable(linkBundle));

        // Info.plist changed after signing.
        const QString plistBundle = makeClaudeDesktop(root + QStringLiteral("/plist"));
        QFile plist(plistBundle + QStringLiteral("/Contents/Info.plist"));
        if (plistBundle.isEmpty() || !plist.open(QIODevice::ReadOnly))
            return false;
        QByteArray text = plist.readAll();
        plist.close();
        text.replace("<key>CFBundleName</key>", "<key>CFBundleDisplayName</key><string>Claude</string><key>CFBundleName</key>");
        if (!writeFile(plist.fileName(), text))
            return false;
        add(QStringLiteral("Info.plist changed after signing"), bundleExecutable(plistBundle));

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
            QVERIFY2(alive(impostor.process->pid()), qPrintable(impostor.name + QStringLiteral(" was signalled")));
    }
};

}  // namespace

class ImpostorsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_case = 0;
    QString m_root;
    std::shared_ptr<ScopedWorkspace> m_workspace;
    std::shared_ptr<ScopedProcessTable> m_processes;
    std::shared_ptr<CmsCodeSigning> m_signing;
    std::shared_ptr<AgentInstanceScanner> m_scanner;
    std::unique_ptr<KillExecutor> m_executor;

    // What each impostor would be if it had been admitted as Claude Desktop.
    static QList<DetectedAgentInstance> impostorInstances(const Scene &scene)
    {
        const AgentProductCatalog::Product product = *AgentProductCatalog::applicationProduct(
            QStringLiteral("com.anthropic.claude"), QStringLiteral("Claude"), kAnthropicTeam);
        QList<DetectedAgentInstance> result;
        for (const qint32 pid : scene.impostorPids())
            result.append(AgentInstanceScanner::detected(product, pid, QStringLiteral("com.anthropic.claude"),
                                                         QStringLiteral("com.anthropic.claude"),
                                                         agent_checks::applicationLaunchIdentity(pid)));
        return result;
    }

private Q_SLOTS:
    void init()
    {
        m_root = m_dir.filePath(QString::number(++m_case));
        QVERIFY(QDir().mkpath(m_root));
        m_workspace = std::make_shared<ScopedWorkspace>(std::make_shared<ProcfsWorkspace>(), m_root);
        m_processes = std::make_shared<ScopedProcessTable>(std::make_shared<ProcfsProcessTable>(), m_root);
        m_signing = std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM);
        m_scanner = std::make_shared<AgentInstanceScanner>(m_workspace, m_processes, m_signing);
        m_executor = std::make_unique<KillExecutor>(m_workspace, m_processes, m_signing, m_scanner,
                                                    KillExecutor::Timing{std::chrono::milliseconds(300),
                                                                         std::chrono::milliseconds(300),
                                                                         std::chrono::milliseconds(50)});
    }

    // The built executable lists the genuine instance and none of the impostors.
    void listingRefusesImpostors()
    {
        Scene scene;
        QVERIFY(scene.build(m_root));
        const ProcessResult run = runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--print-agent-instances")});
        QCOMPARE(run.exitCode, 0);
        QSet<QString> listed;
        for (const QJsonValue &item : QJsonDocument::fromJson(run.standardOutput).array())
            listed.insert(item.toObject().value(QStringLiteral("local_instance_id")).toString());
        const QList<DetectedAgentInstance> genuine = m_scanner->reconcile({});
        QCOMPARE(genuine.size(), 1);
        QVERIFY(listed.contains(genuine.first().report.localInstanceID));
        for (const DetectedAgentInstance &instance : impostorInstances(scene))
            QVERIFY(!listed.contains(instance.report.localInstanceID));
    }

    // The inventory (what the monitor publishes and the service is told) holds the genuine
    // application only; the impostors stay out on every later scan too.
    void inventoryRefusesImpostors()
    {
        Scene scene;
        QVERIFY(scene.build(m_root));
        const QList<DetectedAgentInstance> first = m_scanner->reconcile({});
        QCOMPARE(first.size(), 1);
        QCOMPARE(first.first().processIdentifier, scene.genuine->pid());
        QCOMPARE(first.first().report.product, QStringLiteral("claude-desktop"));
        QHash<qint32, DetectedAgentInstance> previous;
        previous.insert(first.first().processIdentifier, first.first());
        QCOMPARE(m_scanner->reconcile(previous), first);
        for (const qint32 pid : scene.impostorPids()) {
            QVERIFY(!m_signing->dynamicSigningInformation(pid));
            QVERIFY(!m_signing->applicationSigningInformation(pid, m_workspace->runningApplication(pid)
                                                                       .value_or(RunningApplication{}).bundlePath));
        }
    }

    // Protocol 2: an instance id for each impostor (as if admitted before it was altered) is
    // refused before any signal; the genuine instance is stopped.
    void instanceCommandRefusesImpostors()
    {
        Scene scene;
        QVERIFY(scene.build(m_root));
        const AgentProductCatalog::Product product = *AgentProductCatalog::applicationProduct(
            QStringLiteral("com.anthropic.claude"), QStringLiteral("Claude"), kAnthropicTeam);
        FakeMonitor monitor;
        monitor.snapshot = m_scanner->reconcile({});
        monitor.snapshot->append(impostorInstances(scene));
        for (const DetectedAgentInstance &instance : *monitor.snapshot) {
            if (instance.processIdentifier == scene.genuine->pid())
                continue;
            const KillExecutionResult result = QCoro::waitFor(
                m_executor->executeAgentInstance(instance.report.localInstanceID, product, &monitor));
            QVERIFY(!result.succeeded);
            QCOMPARE(result.message, KillExecutor::kInstanceNotFound);
        }
        scene.verifyImpostorsAlive();

        const DetectedAgentInstance genuine = monitor.snapshot->first();
        QCOMPARE(genuine.processIdentifier, scene.genuine->pid());
        const KillExecutionResult stopped = QCoro::waitFor(
            m_executor->executeAgentInstance(genuine.report.localInstanceID, product, &monitor));
        QVERIFY2(stopped.succeeded, qPrintable(stopped.message));
        QVERIFY(scene.genuine->waitForExit(5000));
        scene.verifyImpostorsAlive();
    }

    // Protocol 1: quitting the Claude family stops the genuine copy only; the impostors that are
    // applications at all are reported as refused for their signature and left running.
    void applicationCommandRefusesImpostors()
    {
        Scene scene;
        QVERIFY(scene.build(m_root));
        const KillExecutionResult result = QCoro::waitFor(m_executor->executeKill(KillTargetCatalog::byKey().value(QStringLiteral("claude"))));
        QVERIFY(scene.genuine->waitForExit(5000));
        scene.verifyImpostorsAlive();
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, KillExecutor::kApplicationSignatureRejected);
        QCOMPARE(result.payload.value(QStringLiteral("terminated_bundle_ids")).toArray(),
                 QJsonArray{QStringLiteral("com.anthropic.claude")});
        // Four impostors run their bundle's main executable (the helper is no application).
        QCOMPARE(result.payload.value(QStringLiteral("signature_rejected_bundle_ids")).toArray().size(), 4);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(ImpostorsTest)
#include "tst_impostors.moc"
