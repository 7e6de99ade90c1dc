// The terminal sign-in (--sign-in), --help, and a running agent taking part in enrollment:
// real processes against the reference service, the loopback listener on 53682, a browser
// script set as $BROWSER, and a real Secret Service on a private session bus.
#include "api/api_client.h"
#include "app/api_adapters.h"
#include "identity/device_enrollment_agent.h"
#include "identity/keychain_store.h"
#include "platform/linux/dbus_distributed_notifications.h"
#include "platform/linux/linux_ports.h"
#include "recording_host.h"
#include "secret_service_fixture.h"
#include "signin/sign_in_flows.h"
#include "support/agent_process.h"
#include "support/bundle_modules.h"
#include "support/dev_service.h"
#include "support/lock_holder.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"

#include <QDateTime>
#include <QUrlQuery>
#include <QTest>

#include <QCoroTask>

using namespace Qt::StringLiterals;

namespace mornix {

class SignInAgentTest : public QObject {
    Q_OBJECT

    TemporaryHome m_home;
    std::unique_ptr<SecretServiceFixture> m_secretService;
    DevService m_service;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = headlessEnvironment(m_home.environment());
        env.remove(u"VELTRO_KEYCHAIN"_s);
        env.insert(u"BROWSER"_s, QStringLiteral(MORNIX_SOURCE_DIR "/tests/signin/scripted-browser"));
        env.insert(u"MORNIX_DEV_PKI_DIR"_s, QStringLiteral(MORNIX_DEV_PKI_DIR));
        return env;
    }

    ProcessResult agent(const QStringList &arguments) const
    {
        return runProcess(QStringLiteral(MORNIX_EXECUTABLE), arguments, {}, environment(), 90000);
    }

    KeychainStore keychain() const
    {
        return KeychainStore(makeLinuxPorts(MORNIX_EXECUTABLE, Config::defaults(), buildBundleModules()).keychain);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qunsetenv("VELTRO_KEYCHAIN");
        m_secretService = std::make_unique<SecretServiceFixture>();
        QVERIFY2(m_secretService->isRunning(), qPrintable(m_secretService->error()));
        QVERIFY(m_service.start());
    }

    void init()
    {
        keychain().clearCredentials();
        keychain().clearPendingClaim();
        m_service.admin({u"fault"_s, u"clear"_s});
    }

    // The whole switch list is compared with the manual page in tests/integration.
    void helpExitsAndSignInNeedsAProvider()
    {
        const ProcessResult help = agent({u"--help"_s});
        QCOMPARE(help.exitCode, 0);
        QCOMPARE(help.standardError, QByteArray());
        QVERIFY(help.standardOutput.contains("--sign-in google|github"));
        // A switch of the list keeps its place before ours.
        const ProcessResult version = agent({u"--help"_s, u"--desktop-bridge-version"_s});
        QCOMPARE(version.standardOutput, QByteArray("{\"protocol_version\":1,\"update_notifications\":true}\n"));
        const ProcessResult bad = agent({u"--sign-in"_s, u"myspace"_s});
        QCOMPARE(bad.exitCode, 1);
        QCOMPARE(bad.standardError, QByteArray("--sign-in needs a provider: google or github\n"));
    }

    void signInFromATerminal()
    {
        DBusDistributedNotifications notifications;
        int updates = 0;
        QVERIFY(notifications.observe(u"ai.veltro.mornix.credentials-updated"_s, this, [&] { ++updates; }));

        const ProcessResult result = agent({u"--sign-in"_s, u"github"_s});
        const QList<QByteArray> lines = result.standardError.split('\n');
        QVERIFY2(result.exitCode == 0, result.standardError.constData());
        const QString deviceID = m_service.deviceID();
        QCOMPARE(lines, (QList<QByteArray>{"oauth: opening sign-in", "oauth: exchanging token",
                                           "oauth: registering device", "registered " + deviceID.toUtf8(), ""}));
        const QUrl printed(QString::fromUtf8(result.standardOutput.trimmed()));
        QCOMPARE(printed.toString(QUrl::RemoveQuery), u"https://localhost:8443/authorize/external"_s);
        QCOMPARE(QUrlQuery(printed).queryItemValue(u"provider"_s), u"github"_s);
        QVERIFY(QUrlQuery(printed).queryItemValue(u"state"_s).startsWith("mornix_"_L1));
        QTRY_COMPARE(updates, 1);
        const std::optional<DeviceCredentials> stored = keychain().loadCredentials();
        QVERIFY(stored);
        QCOMPARE(stored->deviceID, deviceID);
        QCOMPARE(stored->authKind, std::optional<QString>(u"oauth-gateway"_s));
    }

    void terminalSignInFailuresExitOne()
    {
        m_service.admin({"fault", "set", "authorize", "--oauth-error", "access_denied"});
        const ProcessResult denied = agent({u"--sign-in"_s, u"google"_s});
        QCOMPARE(denied.exitCode, 1);
        QCOMPARE(denied.standardError, QByteArray("oauth: opening sign-in\noauth callback missing code\n"));
        QVERIFY(!keychain().loadCredentials());

        // Another enrollment holds the lock: nothing is attempted.
        // The enrollment lock is at a fixed path, whatever TMPDIR says.
        const QString lock = u"/tmp/ai.veltro.mornix.enroll.%1.lock"_s.arg(::getuid());
        LockHolder holder(lock);
        QVERIFY(holder.waitUntilHeld());
        const ProcessResult busy = agent({u"--sign-in"_s, u"github"_s});
        holder.release();
        QCOMPARE(busy.exitCode, 1);
        QCOMPARE(busy.standardError, QByteArray("enrollment already in progress\n"));
        QCOMPARE(busy.standardOutput, QByteArray());
    }

    void failedRefreshLeavesTheAgentPollingWithItsCredentials()
    {
        QCOMPARE(agent({u"--sign-in"_s, u"github"_s}).exitCode, 0);
        // Credentials due for refresh in 30 s whose refresh token the service refuses.
        DeviceCredentials credentials = *keychain().loadCredentials();
        credentials.refreshToken = u"vrt_never_issued"_s;
        credentials.tokenExpiresAt = double(QDateTime::currentSecsSinceEpoch() + 30);
        keychain().saveCredentials(credentials);

        AgentProcess running(environment());
        QVERIFY(running.start());
        QVERIFY(running.waitForLog(u"connected=true"_s, 30000));
        const QString commandID =
            m_service.adminJSON({"command", "send", "--device", credentials.deviceID, "--app", "codex"})
                .value(u"command_id"_s)
                .toString();
        QVERIFY(!commandID.isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return m_service.ackStatuses(commandID).contains(u"executed"_s); }, 30000));
        QCOMPARE(running.logCount(u"authentication required"_s), 0);
        QCOMPARE(keychain().loadCredentials(), std::optional<DeviceCredentials>(credentials));  // nothing rewritten
    }

    void runningAgentCompletesAnApprovedClaim()
    {
        // The claim is submitted here (the claim flow, in process, on the same keychain).
        Ports ports = makeLinuxPorts(MORNIX_EXECUTABLE, Config::defaults(), buildBundleModules());
        RecordingHost host;
        SignInFlows::Dependencies deps;
        deps.config = Config::defaults();
        deps.keychain = std::make_shared<KeychainStore>(ports.keychain);
        deps.enrollmentAgent = std::make_shared<DeviceEnrollmentAgent>(
            IdentityPorts{ports.keychain, ports.hardwareKey, ports.hardwareIdentity, ports.postureProbes});
        deps.makeServiceClient = makeServiceClientFactory(Config::defaults(), nullptr, {});
        SignInFlows flows(host, deps);
        const QString invite = m_service.adminJSON({"invite", "create"}).value(u"invite_code"_s).toString();
        const QString base = u"https://localhost:8443"_s;
        const QString name = u"Lab box"_s;
        const QString secret = u"mdm"_s;
        const std::optional<QString> claimName = u"Ada's box"_s;
        const QPointer<SignInWindowController> noWindow;
        QCoro::waitFor(flows.claimDeviceFlow(base, name, secret, invite, claimName, noWindow));
        QVERIFY2(host.pending, qPrintable(host.last()));
        const QString shortID = host.pending->claimID.left(8);

        AgentProcess running(environment());
        QVERIFY(running.start());
        // The agent starts with the stored claim's text ("pending claim …", unchanged by each
        // poll, so not logged again) and asks about it every few seconds.
        QVERIFY(running.waitForLog(u"app started build="_s, 30000));
        QTest::qWait(3000);
        QCOMPARE(running.logCount(u"claim"_s), 0);
        QCOMPARE(m_service.admin({"claims", "approve", host.pending->claimID}).exitCode, 0);
        QVERIFY(running.waitForLog(u"claim approved "_s + shortID, 30000));
        QVERIFY(running.waitForLog(u"connected=true"_s, 30000));
        QVERIFY(!keychain().loadPendingClaim());
        const std::optional<DeviceCredentials> stored = keychain().loadCredentials();
        QVERIFY(stored);
        const QString commandID =
            m_service.adminJSON({"command", "send", "--device", stored->deviceID, "--app", "codex"})
                .value(u"command_id"_s)
                .toString();
        QVERIFY(QTest::qWaitFor([&] { return m_service.ackStatuses(commandID).contains(u"executed"_s); }, 30000));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(SignInAgentTest)
#include "tst_sign_in_agent.moc"
#include "support/config.h"
