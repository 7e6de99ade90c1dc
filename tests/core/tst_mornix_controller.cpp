// The controller with a recording interface, a real file keychain in a temporary directory, a
// scripted service client and disconnector. Monitor and poll loop run for real (the loop naps
// without a service).
#include "identity/keychain_store.h"
#include "platform/bundle.h"
#include "platform/distributed_notifications.h"
#include "platform/linux/app_bundle.h"
#include "platform/linux/file_keychain.h"
#include "platform/linux/xdg_login_item.h"
#include "core/device_disconnector.h"
#include "core/mornix_controller.h"
#include "support/credentials_builder.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QMutex>
#include <QTemporaryDir>
#include <QTimer>
#include <QWaitCondition>
#include <QTest>

namespace mornix {

namespace {

class RecordingUI final : public ControllerUI {
public:
    QStringList calls;
    QList<MenuState> menus;
    bool answer = true;
    void setActivationPolicy(ActivationPolicy p) override
    {
        calls.append(p == ActivationPolicy::regular ? QStringLiteral("regular") : QStringLiteral("accessory"));
    }
    void installStatusItem(const MenuActions &) override { calls.append(QStringLiteral("install")); }
    void removeStatusItem() override { calls.append(QStringLiteral("remove")); }
    void refreshMenu(const MenuState &state) override { menus.append(state); }
    bool hasDashboard() const override { return false; }
    void showDashboard(const MornixDashboardState &, std::function<void(DashboardAction)>) override
    {
        calls.append(QStringLiteral("dashboard"));
    }
    void updateDashboard(const MornixDashboardState &) override {}
    bool confirmDisconnect() override
    {
        calls.append(QStringLiteral("confirm"));
        return answer;
    }
};

class RecordingNotifications final : public DistributedNotifications {
public:
    QStringList observed;
    QHash<QString, std::function<void()>> handlers;
    bool post(const QString &) override { return true; }
    bool observe(const QString &name, QObject *, std::function<void()> handler) override
    {
        observed.append(name);
        handlers.insert(name, std::move(handler));
        return true;
    }
};

class ScriptedDisconnector final : public DeviceDisconnector {
public:
    enum class Logout { Ok, Gone, Fail } logoutAnswer = Logout::Ok;
    bool failPrepare = false;
    bool failClear = false;
    int logouts = 0;
    QStringList lastCommandsAtPrepare;  // what the controller showed while the request was built
    std::function<QString()> lastCommand;
    std::function<void()> onClear;
    QCoro::Task<DeviceLogoutRequestPayload> prepareLogout(DeviceCredentials credentials) override
    {
        if (lastCommand)
            lastCommandsAtPrepare.append(lastCommand());
        if (failPrepare)
            throw std::runtime_error("Secure Enclave unavailable: no key");
        DeviceLogoutRequestPayload request;
        request.device_id = credentials.deviceID;
        co_return request;
    }
    QCoro::Task<LogoutOutcome> logout(DeviceCredentials, DeviceLogoutRequestPayload) override
    {
        ++logouts;
        if (logoutAnswer == Logout::Fail)
            throw std::runtime_error("The service answered with HTTP status 500.\n");
        co_return logoutAnswer == Logout::Gone ? LogoutOutcome::alreadyGone : LogoutOutcome::loggedOut;
    }
    QCoro::Task<void> clearLocalSecrets() override
    {
        if (failClear)
            throw std::runtime_error("keychain locked");
        if (onClear)
            onClear();
        co_return;
    }
};

class NullService final : public DeviceServiceClient {
public:
    QCoro::Task<std::optional<KillCommand>> pollNextCommand(const DeviceCredentials &) override
    {
        throw std::runtime_error("offline");
    }
    QCoro::Task<void> sendAck(const DeviceCredentials &, const QString &, AckStatus, const std::optional<KillExecutionResult> &,
                              const std::optional<QString> &) override
    {
        co_return;
    }
    QCoro::Task<void> reportAgentInstances(const DeviceCredentials &, const QList<AgentInstanceReport> &) override
    {
        co_return;
    }
};

// Passes calls through to a real keychain; while blocked, every call waits at the gate.
class BlockingKeychain final : public Keychain {
public:
    explicit BlockingKeychain(std::shared_ptr<Keychain> inner) : m_inner(std::move(inner)) {}
    void block() { QMutexLocker l(&m_mutex); m_blocked = true; }
    void release() { QMutexLocker l(&m_mutex); m_blocked = false; m_changed.wakeAll(); }
    bool waitUntilEntered()
    {
        QMutexLocker l(&m_mutex);
        return m_entered || m_changed.wait(&m_mutex, QDeadlineTimer(5000));
    }
    int readGenericPassword(const QString &s, const QString &a, QByteArray &d) override { gate(); return m_inner->readGenericPassword(s, a, d); }
    int addGenericPassword(const QString &s, const QString &a, const QByteArray &d) override { gate(); return m_inner->addGenericPassword(s, a, d); }
    int updateGenericPassword(const QString &s, const QString &a, const QByteArray &d) override { gate(); return m_inner->updateGenericPassword(s, a, d); }
    int deleteGenericPassword(const QString &s, const QString &a) override { gate(); return m_inner->deleteGenericPassword(s, a); }
    int readKey(const QByteArray &t, QByteArray &k) override { gate(); return m_inner->readKey(t, k); }
    int addKey(const QByteArray &t, const QByteArray &k) override { gate(); return m_inner->addKey(t, k); }
    int deleteKey(const QByteArray &t) override { gate(); return m_inner->deleteKey(t); }

private:
    void gate()
    {
        QMutexLocker l(&m_mutex);
        if (!m_blocked)
            return;
        m_entered = true;
        m_changed.wakeAll();
        while (m_blocked)
            m_changed.wait(&m_mutex);
    }
    std::shared_ptr<Keychain> m_inner;
    QMutex m_mutex;
    QWaitCondition m_changed;
    bool m_blocked = false;
    bool m_entered = false;
};

struct Rig {
    QTemporaryDir dir;
    QStringList log;
    std::shared_ptr<RecordingUI> ui = std::make_shared<RecordingUI>();
    std::shared_ptr<RecordingNotifications> notifications = std::make_shared<RecordingNotifications>();
    std::shared_ptr<KeychainStore> keychain =
        std::make_shared<KeychainStore>(std::make_shared<FileKeychain>(dir.path() + QStringLiteral("/keychain")));
    std::shared_ptr<ScriptedDisconnector> disconnector = std::make_shared<ScriptedDisconnector>();
    bool clientsAvailable = true;
    int terminated = 0;
    QList<QUrl> opened;
    std::unique_ptr<MornixController> controller;

    void make(QStringList arguments = {QStringLiteral("VeltroMornix")})
    {
        MornixController::Dependencies deps;
        deps.arguments = arguments;
        deps.buildLabel = QStringLiteral("1.0 (7)+20260101-000000");
        deps.websiteURL = QUrl(QStringLiteral("https://localhost:8443/"));
        deps.helpPageURL = QUrl(QStringLiteral("https://localhost:8443/help"));
        deps.bundle = std::make_shared<AppBundle>(QStringLiteral(MORNIX_EXECUTABLE));
        deps.runtimeContext.bundleID = QStringLiteral("ai.veltro.mornix");
        deps.runtimeContext.bundlePath = deps.bundle->bundlePath();
        deps.runtimeContext.executablePath = deps.bundle->executablePath();
        deps.runtimeContext.architecture = QStringLiteral("x86_64");
        deps.runtimeContext.executionMode = QStringLiteral("native");
        deps.notifications = notifications;
        deps.loginItem = std::make_shared<XdgLoginItem>(QStringLiteral("/opt/x/VeltroMornix"), dir.path() + QStringLiteral("/config"));
        deps.ui = ui;
        deps.keychain = keychain;
        deps.makeServiceClient = [this](const QString &) -> std::shared_ptr<DeviceServiceClient> {
            return clientsAvailable ? std::make_shared<NullService>() : nullptr;
        };
        deps.monitorScanner.reconcile = [](const AgentInstanceMonitor::InstanceMap &) {
            return QList<DetectedAgentInstance>();
        };
        deps.monitorScanner.applicationInstance = [](qint32, const QString &, const QString &) {
            return std::optional<DetectedAgentInstance>();
        };
        deps.disconnector = disconnector;
        deps.appendLog = [this](const QString &line) { log.append(line); };
        deps.openLogFile = [] {};
        deps.openURL = [this](const QUrl &url) { opened.append(url); };
        deps.terminate = [this] { ++terminated; };
        controller = std::make_unique<MornixController>(std::move(deps));
    }
};

}  // namespace

class MornixControllerTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void statusReactionsAndActivityList();
    void activityTitles();
    void dashboardClientsAreGroupedAndSorted();
    void startLogsAndPresentsByMode();
    void storedStateIsLoaded();
    void blockedKeychainNeverFreezesTheMainThread();
    void reloadDesktopCredentials();
    void clearCredentialsFlows();
    void launchAtLoginToggle();
};

void MornixControllerTest::statusReactionsAndActivityList()
{
    QStringList log;
    ControllerStatus status([&](const QString &line) { log.append(line); });
    int menuRefreshes = 0;
    connect(&status, &ControllerStatus::menuRefreshNeeded, this, [&] { ++menuRefreshes; });
    status.setLastCommand(QStringLiteral("none"));  // the initial value: no activity, no log
    QCOMPARE(menuRefreshes, 1);
    QVERIFY(log.isEmpty() && status.activity().isEmpty());
    status.setLastCommand(QStringLiteral("received 01234567"));
    status.setLastCommand(QStringLiteral("received 01234567"));
    QCOMPARE(log, QStringList{QStringLiteral("received 01234567")});
    QCOMPARE(status.activity().size(), 1);
    status.setConnected(false);  // unchanged
    status.setConnected(true);
    status.setConnected(true);
    status.setConnected(false);
    QCOMPARE(log.mid(1), (QStringList{QStringLiteral("connected=true"), QStringLiteral("connected=false")}));
    QCOMPARE(status.activity().constLast().title, QStringLiteral("Connection changed"));
    QCOMPARE(menuRefreshes, 7);

    // Identical titles in a row are recorded once; the 41st pushes out the oldest.
    status.recordDashboardActivity(QStringLiteral("same"));
    status.recordDashboardActivity(QStringLiteral("same"));
    QCOMPARE(status.activity().size(), 4);
    for (int i = 0; i < 40; ++i)
        status.recordDashboardActivity(QStringLiteral("activity %1").arg(i));
    QCOMPARE(status.activity().size(), 40);
    QCOMPARE(status.activity().constFirst().title, QStringLiteral("activity 0"));
    status.recordDashboardActivity(QStringLiteral("activity 40"));
    QCOMPARE(status.activity().constFirst().title, QStringLiteral("activity 1"));
}

void MornixControllerTest::activityTitles()
{
    QCOMPARE(MornixDashboardState::activityTitle(QStringLiteral("kill failed")), QStringLiteral("An operation needs attention"));
    QCOMPARE(MornixDashboardState::activityTitle(QStringLiteral("desktop credentials unavailable")),
             QStringLiteral("An operation needs attention"));
    QCOMPARE(MornixDashboardState::activityTitle(QStringLiteral("pending claim 1234")), QStringLiteral("Device enrollment updated"));
    QCOMPARE(MornixDashboardState::activityTitle(QStringLiteral("authentication required")),
             QStringLiteral("Account connection updated"));
    QCOMPARE(MornixDashboardState::activityTitle(QStringLiteral("executed 01234567")), QStringLiteral("Device status updated"));
    QCOMPARE(MornixDashboardState::activityTitle(QStringLiteral("Command X")), QStringLiteral("Device command processed"));
    QCOMPARE(MornixDashboardState::activityTitle(QStringLiteral("agent INVENTORY")), QStringLiteral("Client inventory updated"));
    QCOMPARE(MornixDashboardState::activityTitle(QStringLiteral("token refreshed")), QStringLiteral("Device status updated"));
}

void MornixControllerTest::dashboardClientsAreGroupedAndSorted()
{
    const QList<MornixDashboardClient> clients = dashboardClients(
        {{"claude-desktop", "application"}, {"claude-code", "process"}, {"mystery", "process"}, {"claude-code", "process"}});
    QCOMPARE(clients.size(), 3);
    QCOMPARE(clients[0], (MornixDashboardClient{"Claude Code", "Command-line client", 2}));
    QCOMPARE(clients[1], (MornixDashboardClient{"Claude Desktop", "Application", 1}));
    QCOMPARE(clients[2], (MornixDashboardClient{"Verified client", "Command-line client", 1}));
}

void MornixControllerTest::startLogsAndPresentsByMode()
{
    {
        Rig rig;
        rig.make({QStringLiteral("VeltroMornix"), QStringLiteral("--desktop-managed")});
        rig.controller->start();
        QCOMPARE(rig.ui->calls, (QStringList{"accessory", "remove"}));
        QCOMPARE(rig.notifications->observed,
                 (QStringList{"ai.veltro.mornix.stop-managed", "ai.veltro.mornix.credentials-updated"}));
        QCOMPARE(rig.log.value(0), QStringLiteral("app started build=1.0 (7)+20260101-000000"));
        QVERIFY(rig.log.value(1).startsWith(QStringLiteral("runtime bundle_id=ai.veltro.mornix arch=")));
        QVERIFY(rig.log.value(1).contains(QStringLiteral(" execution=native bundle_path=")));
        QCOMPARE(rig.controller->status().activity().constFirst().title, QStringLiteral("Device control started"));
        rig.controller->showDashboard();  // never with --desktop-managed
        QVERIFY(!rig.ui->calls.contains(QStringLiteral("dashboard")));
        rig.notifications->handlers.value(QStringLiteral("ai.veltro.mornix.stop-managed"))();
        QCOMPARE(rig.terminated, 1);
        QTRY_VERIFY(rig.controller->dashboardState().inventoryReady);  // the monitor runs
    }
    {
        Rig rig;
        rig.make({QStringLiteral("VeltroMornix"), QStringLiteral("--standalone-menu-bar")});
        rig.controller->start();
        QCOMPARE(rig.ui->calls, (QStringList{"accessory", "install"}));
        QCOMPARE(rig.notifications->observed, QStringList{"ai.veltro.mornix.credentials-updated"});
        rig.controller->showDashboard();
        QCOMPARE(rig.ui->calls.constLast(), QStringLiteral("dashboard"));
    }
    {
        Rig rig;
        rig.make();
        rig.controller->start();
        QCOMPARE(rig.ui->calls, (QStringList{"regular", "install"}));
        QCOMPARE(rig.ui->menus.constLast().lastCommand, QStringLiteral("none"));
        rig.controller->status().setLastCommand(QStringLiteral("line one\nline two\t") + QString(200, u'x'));
        QCOMPARE(rig.ui->menus.constLast().lastCommand.size(), 120);
        QVERIFY(rig.ui->menus.constLast().lastCommand.startsWith(QStringLiteral("line oneline two")));
        rig.controller->togglePause();
        QVERIFY(rig.ui->menus.constLast().paused);
        QCOMPARE(rig.controller->status().activity().constLast().title, QStringLiteral("Command processing paused"));
        rig.controller->quitApp();
        QCOMPARE(rig.terminated, 1);
    }
}

void MornixControllerTest::storedStateIsLoaded()
{
    {
        Rig rig;
        rig.keychain->saveCredentials(CredentialsBuilder().build());
        rig.make();
        QTRY_VERIFY(rig.controller->storedStateIsLoaded());
        QCOMPARE(rig.controller->currentCredentials(), std::optional<DeviceCredentials>(CredentialsBuilder().build()));
        QVERIFY(rig.controller->hasServiceClient());
        QVERIFY(rig.controller->dashboardState().signedIn);
    }
    {
        Rig rig;
        rig.keychain->savePendingClaim(PendingClaimState{QStringLiteral("claim-123456789"), QStringLiteral("https://localhost:8443"),
                                                         QStringLiteral("vm"), 1.0});
        rig.make();
        QTRY_VERIFY(rig.controller->storedStateIsLoaded());
        QVERIFY(!rig.controller->currentCredentials());
        QCOMPARE(rig.controller->status().lastCommand(), QStringLiteral("pending claim claim-12"));
        QVERIFY(rig.log.isEmpty());  // set without its reactions
        QVERIFY(rig.controller->dashboardState().pendingApproval);
    }
    {   // An unreadable store: signed out, and the log says why.
        Rig rig;
        rig.keychain->saveCredentials(CredentialsBuilder().build());
        for (const QFileInfo &item : QDir(rig.dir.path() + QStringLiteral("/keychain")).entryInfoList(QDir::Files))
            QFile::setPermissions(item.filePath(), QFile::permissions(item.filePath()) | QFileDevice::ReadOther);
        rig.make();
        QTRY_VERIFY(rig.controller->storedStateIsLoaded());
        QVERIFY(!rig.controller->currentCredentials());
        QCOMPARE(rig.log, QStringList{QStringLiteral("stored credentials unavailable: Failed to read Keychain item (-25295).")});
    }
}

void MornixControllerTest::blockedKeychainNeverFreezesTheMainThread()
{
    // A keychain that does not answer (a locked keyring waiting for its unlock prompt).
    Rig rig;
    auto gate = std::make_shared<BlockingKeychain>(std::make_shared<FileKeychain>(rig.dir.path() + QStringLiteral("/keychain")));
    rig.keychain = std::make_shared<KeychainStore>(gate);
    rig.keychain->saveCredentials(CredentialsBuilder().build());
    gate->block();
    rig.make({QStringLiteral("VeltroMornix"), QStringLiteral("--desktop-managed")});
    rig.controller->start();  // returns at once
    QVERIFY(rig.log.contains(QStringLiteral("app started build=1.0 (7)+20260101-000000")));
    QVERIFY(gate->waitUntilEntered());
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
    timer.start(10);
    QTRY_VERIFY(ticks >= 5);  // the event loop runs while the read hangs
    QVERIFY(!rig.controller->storedStateIsLoaded());
    rig.notifications->handlers.value(QStringLiteral("ai.veltro.mornix.stop-managed"))();
    QCOMPARE(rig.terminated, 1);

    // Disconnect while the read still hangs: it waits for the read, the main thread does not.
    rig.controller->clearCredentials();
    QTest::qWait(50);
    QCOMPARE(rig.disconnector->logouts, 0);
    gate->release();
    QTRY_VERIFY(rig.controller->storedStateIsLoaded());
    QTRY_COMPARE(rig.controller->status().lastCommand(), QStringLiteral("credentials cleared"));
    QCOMPARE(rig.disconnector->logouts, 1);  // the credentials read at last were logged out
}

void MornixControllerTest::reloadDesktopCredentials()
{
    Rig rig;
    rig.make();
    rig.controller->start();
    rig.controller->reloadDesktopCredentials();  // nothing stored: nothing happens
    QTest::qWait(100);
    QVERIFY(!rig.controller->currentCredentials());
    rig.keychain->saveCredentials(CredentialsBuilder().build());
    rig.notifications->handlers.value(QStringLiteral("ai.veltro.mornix.credentials-updated"))();
    QTRY_COMPARE(rig.controller->currentCredentials(), std::optional<DeviceCredentials>(CredentialsBuilder().build()));
    QVERIFY(rig.controller->hasServiceClient());
    QVERIFY(!rig.controller->status().connected());

    Rig noSession;
    noSession.clientsAvailable = false;
    noSession.make();
    QTRY_VERIFY(noSession.controller->storedStateIsLoaded());
    noSession.keychain->saveCredentials(CredentialsBuilder().build());
    noSession.controller->reloadDesktopCredentials();
    QTRY_COMPARE(noSession.controller->status().lastCommand(), QStringLiteral("desktop credentials unavailable"));
    QVERIFY(!noSession.controller->currentCredentials());
}

void MornixControllerTest::clearCredentialsFlows()
{
    {   // Declined: nothing happens.
        Rig rig;
        rig.keychain->saveCredentials(CredentialsBuilder().build());
        rig.make();
        rig.ui->answer = false;
        QTRY_VERIFY(rig.controller->storedStateIsLoaded());
        rig.controller->clearCredentials();
        QCOMPARE(rig.disconnector->logouts, 0);
        QVERIFY(rig.controller->currentCredentials());
    }
    {   // Logged out: everything cleared.
        Rig rig;
        rig.keychain->saveCredentials(CredentialsBuilder().build());
        rig.disconnector->onClear = [&] { rig.keychain->clearCredentials(); };
        rig.make();
        rig.disconnector->lastCommand = [&] { return rig.controller->status().lastCommand(); };
        rig.controller->clearCredentials();
        QTRY_COMPARE(rig.controller->status().lastCommand(), QStringLiteral("credentials cleared"));
        // "logging out device" comes once the signed request exists, before it is sent.
        QCOMPARE(rig.disconnector->lastCommandsAtPrepare, QStringList{QStringLiteral("none")});
        QVERIFY(rig.log.contains(QStringLiteral("logging out device")));
        QVERIFY(!rig.controller->currentCredentials() && !rig.controller->hasServiceClient());
        QVERIFY(!rig.keychain->loadCredentials());
    }
    {   // The service no longer knows the device: still cleared.
        Rig rig;
        rig.keychain->saveCredentials(CredentialsBuilder().build());
        rig.disconnector->logoutAnswer = ScriptedDisconnector::Logout::Gone;
        rig.make();
        rig.controller->clearCredentials();
        QTRY_COMPARE(rig.controller->status().lastCommand(), QStringLiteral("credentials cleared"));
        QVERIFY(rig.log.contains(QStringLiteral("device already logged out")));
    }
    {   // The signed request cannot be built: nothing sent, nothing cleared, and the device was
        // never said to be logging out.
        Rig rig;
        rig.keychain->saveCredentials(CredentialsBuilder().build());
        rig.disconnector->failPrepare = true;
        rig.make();
        QTRY_VERIFY(rig.controller->storedStateIsLoaded());
        rig.controller->clearCredentials();
        QTRY_COMPARE(rig.controller->status().lastCommand(),
                     QStringLiteral("failed to clear credentials: Secure Enclave unavailable: no key"));
        QVERIFY(!rig.log.contains(QStringLiteral("logging out device")));
        QCOMPARE(rig.disconnector->logouts, 0);
        QVERIFY(rig.controller->currentCredentials());
    }
    {   // Any other logout failure keeps them.
        Rig rig;
        rig.keychain->saveCredentials(CredentialsBuilder().build());
        rig.disconnector->logoutAnswer = ScriptedDisconnector::Logout::Fail;
        rig.make();
        rig.controller->clearCredentials();
        QTRY_COMPARE(rig.controller->status().lastCommand(),
                     QStringLiteral("failed to clear credentials: The service answered with HTTP status 500."));
        QVERIFY(rig.controller->currentCredentials());
    }
    {   // Without credentials: the local secrets are cleared directly.
        Rig rig;
        rig.make();
        rig.disconnector->failClear = true;
        rig.controller->clearCredentials();
        QTRY_COMPARE(rig.controller->status().lastCommand(), QStringLiteral("failed to clear credentials: keychain locked"));
        QCOMPARE(rig.disconnector->logouts, 0);
    }
}

void MornixControllerTest::launchAtLoginToggle()
{
    Rig rig;
    rig.make();
    rig.controller->toggleLaunchAtLogin();
    QCOMPARE(rig.controller->status().lastCommand(), QStringLiteral("launch at login enabled"));
    QFile entry(rig.dir.path() + QStringLiteral("/config/autostart/ai.veltro.mornix.desktop"));
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QVERIFY(entry.readAll().contains("Exec=\"/opt/x/VeltroMornix\"\n"));
    QVERIFY(rig.controller->dashboardState().launchAtLogin);
    rig.controller->toggleLaunchAtLogin();
    QCOMPARE(rig.controller->status().lastCommand(), QStringLiteral("launch at login disabled"));
    QVERIFY(!entry.exists());

    // An unwritable configuration directory.
    QFile blocker(rig.dir.path() + QStringLiteral("/config"));
    QDir(rig.dir.path() + QStringLiteral("/config")).removeRecursively();
    QVERIFY(blocker.open(QIODevice::WriteOnly));  // a file where the directory should be
    blocker.close();
    rig.controller->toggleLaunchAtLogin();
    QCOMPARE(rig.controller->status().lastCommand(), QStringLiteral("launch-at-login update failed"));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(MornixControllerTest)
#include "tst_mornix_controller.moc"
