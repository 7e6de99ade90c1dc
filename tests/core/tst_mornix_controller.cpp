// The controller with a recording interface, a real file keychain in a temporary directory, a
// scripted service client and disconnector. Monitor and poll loop run for real (the loop naps
// without a service).
#include "identity/keychain_store.h"
#include "platform/bundle.h"
#include "platform/distributed_notifications.h"
#include "platform/linux/bundle/app_bundle.h"
#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/desktop/xdg_login_item.h"
#include "core/device_disconnector.h"
#include "core/mornix_controller.h"
#include "support/credentials_builder.h"
#include "support/gated_keychain.h"
#include "support/recording_system_log.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <QThread>
#include <QTest>

#include <atomic>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

const QString kStopManaged = u"ai.veltro.mornix.stop-managed"_s;
const QString kCredentialsUpdated = u"ai.veltro.mornix.credentials-updated"_s;
const DeviceCredentials kCredentials = CredentialsBuilder().build();

class RecordingUI final : public ControllerUI {
public:
    QStringList calls;
    QList<MenuState> menus;
    bool answer = true;
    void setActivationPolicy(ActivationPolicy p) override
    {
        calls.append(p == ActivationPolicy::regular ? u"regular"_s : u"accessory"_s);
    }
    void installStatusItem(const MenuActions &) override { calls.append(u"install"_s); }
    void removeStatusItem() override { calls.append(u"remove"_s); }
    void refreshMenu(const MenuState &state) override { menus.append(state); }
    bool hasDashboard() const override { return false; }
    void showDashboard(const MornixDashboardState &, std::function<void(DashboardAction)>) override
    {
        calls.append(u"dashboard"_s);
    }
    void updateDashboard(const MornixDashboardState &) override {}
    void selectDashboardActivity() override { calls.append(u"activity"_s); }
    bool confirmDisconnect() override
    {
        calls.append(u"confirm"_s);
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
    QCoro::Task<void> sendAck(const DeviceCredentials &, const QString &, AckStatus,
                              const std::optional<KillExecutionResult> &, const std::optional<QString> &) override
    {
        co_return;
    }
    QCoro::Task<void> reportAgentInstances(const DeviceCredentials &, const QList<AgentInstanceReport> &) override
    {
        co_return;
    }
};

// While closed, every keychain call waits here (a locked keyring waiting for its unlock prompt).
struct KeychainGate {
    std::atomic<bool> closed = false;
    std::atomic<bool> entered = false;
    int pass()
    {
        entered = entered || closed;
        while (closed)
            QThread::msleep(5);
        return keychain_status::success;
    }
};

struct Rig {
    explicit Rig(bool storedCredentials = false)
    {
        if (storedCredentials)
            keychain->saveCredentials(kCredentials);
    }
    QTemporaryDir dir;
    QStringList log;
    std::shared_ptr<RecordingUI> ui = std::make_shared<RecordingUI>();
    std::shared_ptr<RecordingNotifications> notifications = std::make_shared<RecordingNotifications>();
    std::shared_ptr<Keychain> files = std::make_shared<FileKeychain>(dir.path() + u"/keychain"_s);
    std::shared_ptr<KeychainStore> keychain = std::make_shared<KeychainStore>(files);
    std::shared_ptr<ScriptedDisconnector> disconnector = std::make_shared<ScriptedDisconnector>();
    bool clientsAvailable = true;
    int terminated = 0;
    std::shared_ptr<CommandJournal> journal;  // null: memory-only
    std::shared_ptr<RecordingSystemLog> systemLog = std::make_shared<RecordingSystemLog>();
    std::unique_ptr<MornixController> controller;

    void make(QStringList arguments = {u"VeltroMornix"_s})
    {
        MornixController::Dependencies deps;
        deps.arguments = arguments;
        deps.buildLabel = u"1.0 (7)+20260101-000000"_s;
        deps.websiteURL = QUrl(u"https://localhost:8443/"_s);
        deps.helpPageURL = QUrl(u"https://localhost:8443/help"_s);
        const AppBundle bundle(QStringLiteral(MORNIX_EXECUTABLE));
        deps.runtimeContext.bundleID = u"ai.veltro.mornix"_s;
        deps.runtimeContext.bundlePath = bundle.bundlePath();
        deps.runtimeContext.executablePath = bundle.executablePath();
        deps.runtimeContext.architecture = u"x86_64"_s;
        deps.runtimeContext.executionMode = u"native"_s;
        deps.notifications = notifications;
        deps.loginItem = std::make_shared<XdgLoginItem>(u"/opt/x/VeltroMornix"_s, dir.path() + u"/config"_s);
        deps.ui = ui;
        deps.keychain = keychain;
        deps.state =
            std::make_shared<ControllerState>([this](const QString &line) { log.append(line); },
                                              [this](const QString &) -> std::shared_ptr<DeviceServiceClient> {
                                                  return clientsAvailable ? std::make_shared<NullService>() : nullptr;
                                              });
        deps.monitorScanner.reconcile = [](const AgentInstanceMonitor::InstanceMap &) {
            return QList<DetectedAgentInstance>();
        };
        deps.disconnector = disconnector;
        deps.systemLog = systemLog;
        deps.commandJournal = journal;
        deps.openLogFile = [] {};
        deps.openURL = [](const QUrl &) {};
        deps.terminate = [this] { ++terminated; };
        controller = std::make_unique<MornixController>(std::move(deps));
    }
    QString lastCommand() const { return controller->state().lastCommand(); }
};

}  // namespace

class MornixControllerTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void statusReactionsAndActivityList()
    {
        QStringList log;
        ControllerState status([&](const QString &line) { log.append(line); });
        DashboardActivity activity(status);
        int menuRefreshes = 0;
        connect(&status, &ControllerState::changed, this, [&] { ++menuRefreshes; });
        QStringList echoed;  // what the terminal sign-in prints: every text, repeated or not
        connect(&status, &ControllerState::lastCommandSet, this, [&](const QString &text) { echoed.append(text); });
        status.setLastCommand(u"none"_s);  // the initial value: no activity, no log
        QCOMPARE(menuRefreshes, 1);
        QVERIFY(log.isEmpty() && activity.entries().isEmpty());
        status.setLastCommand(u"received 01234567"_s);
        status.setLastCommand(u"received 01234567"_s);
        QCOMPARE(log, QStringList{u"received 01234567"_s});
        QCOMPARE(echoed, (QStringList{u"none"_s, u"received 01234567"_s, u"received 01234567"_s}));
        QCOMPARE(activity.entries().size(), 1);
        for (const bool connected : {false, true, true, false})  // the first is no change
            status.setConnected(connected);
        QCOMPARE(log.mid(1), (QStringList{u"connected=true"_s, u"connected=false"_s}));
        QCOMPARE(activity.entries().constLast().title, u"Connection changed"_s);
        QCOMPARE(menuRefreshes, 7);

        // Identical titles in a row are recorded once; the 41st pushes out the oldest.
        activity.record(u"same"_s);
        activity.record(u"same"_s);
        QCOMPARE(activity.entries().size(), 4);
        for (int i = 0; i < 40; ++i)
            activity.record(u"activity %1"_s.arg(i));
        QCOMPARE(activity.entries().size(), 40);
        QCOMPARE(activity.entries().constFirst().title, u"activity 0"_s);
        activity.record(u"activity 40"_s);
        QCOMPARE(activity.entries().constFirst().title, u"activity 1"_s);
    }

    void activityTitlesAndDashboardClients()
    {
        const std::pair<QString, QString> titles[] = {
            {u"kill failed"_s, u"An operation needs attention"_s},
            {u"desktop credentials unavailable"_s, u"An operation needs attention"_s},
            {u"pending claim 1234"_s, u"Device enrollment updated"_s},
            {u"authentication required"_s, u"Account connection updated"_s},
            {u"executed 01234567"_s, u"Device status updated"_s},
            {u"Command X"_s, u"Device command processed"_s},
            {u"agent INVENTORY"_s, u"Client inventory updated"_s},
            {u"token refreshed"_s, u"Device status updated"_s},
        };
        for (const auto &[text, title] : titles)
            QCOMPARE(MornixDashboardState::activityTitle(text), title);

        const QList<MornixDashboardClient> clients = dashboardClients({{"claude-desktop", "application"},
                                                                       {"claude-code", "process"},
                                                                       {"mystery", "process"},
                                                                       {"claude-code", "process"}});
        QCOMPARE(clients, (QList<MornixDashboardClient>{{"Claude Code", "Command-line client", 2},
                                                        {"Claude Desktop", "Application", 1},
                                                        {"Verified client", "Command-line client", 1}}));
    }

    void startLogsAndPresentsByMode()
    {
        {
            Rig rig;
            rig.make({u"VeltroMornix"_s, u"--desktop-managed"_s});
            rig.controller->start();
            QCOMPARE(rig.ui->calls, (QStringList{"accessory", "remove"}));
            QCOMPARE(rig.notifications->observed, (QStringList{kStopManaged, kCredentialsUpdated}));
            QCOMPARE(rig.log.value(0), u"app started build=1.0 (7)+20260101-000000"_s);
            QVERIFY(rig.log.value(1).startsWith(u"runtime bundle_id=ai.veltro.mornix arch="_s));
            QVERIFY(rig.log.value(1).contains(u" execution=native bundle_path="_s));
            QCOMPARE(rig.controller->activity().entries().constFirst().title, u"Device control started"_s);
            rig.controller->showDashboard();  // never with --desktop-managed
            rig.controller->showDashboardActivity();
            QVERIFY(!rig.ui->calls.contains(u"dashboard"_s));
            QVERIFY(!rig.ui->calls.contains(u"activity"_s));
            rig.notifications->handlers.value(kStopManaged)();
            QCOMPARE(rig.terminated, 1);
            QTRY_VERIFY(rig.controller->dashboardState().inventoryReady);  // the monitor runs
        }
        {
            Rig rig;
            rig.make({u"VeltroMornix"_s, u"--standalone-menu-bar"_s});
            rig.controller->start();
            QCOMPARE(rig.ui->calls, (QStringList{"accessory", "install"}));
            QCOMPARE(rig.notifications->observed, QStringList{kCredentialsUpdated});
            rig.controller->showDashboard();
            QCOMPARE(rig.ui->calls.constLast(), u"dashboard"_s);
            // A click on the clients-closed notice: the dashboard, at its Activity section.
            rig.controller->showDashboardActivity();
            QCOMPARE(rig.ui->calls.mid(rig.ui->calls.size() - 2), (QStringList{"dashboard", "activity"}));
        }
        Rig rig;
        rig.make();
        rig.controller->start();
        QCOMPARE(rig.ui->calls, (QStringList{"regular", "install"}));
        QCOMPARE(rig.ui->menus.constLast().lastCommand, u"none"_s);
        rig.controller->state().setLastCommand(u"line one\nline two\t"_s + QString(200, u'x'));
        QCOMPARE(rig.ui->menus.constLast().lastCommand.size(), 120);
        QVERIFY(rig.ui->menus.constLast().lastCommand.startsWith(u"line oneline two"_s));
        rig.controller->togglePause();
        QVERIFY(rig.ui->menus.constLast().paused);
        QCOMPARE(rig.controller->activity().entries().constLast().title, u"Command processing paused"_s);
        rig.controller->quitApp();
        QCOMPARE(rig.terminated, 1);
    }

    void storedStateIsLoaded()
    {
        {
            Rig rig(true);
            rig.make();
            QTRY_VERIFY(rig.controller->storedStateIsLoaded());
            QCOMPARE(rig.controller->state().credentials(), kCredentials);
            QVERIFY(rig.controller->state().serviceClient());
            QVERIFY(rig.controller->dashboardState().signedIn);
        }
        {
            Rig rig;
            rig.keychain->savePendingClaim(
                PendingClaimState{u"claim-123456789"_s, u"https://localhost:8443"_s, u"vm"_s, 1.0});
            rig.make();
            QTRY_VERIFY(rig.controller->storedStateIsLoaded());
            QVERIFY(!rig.controller->state().credentials());
            QCOMPARE(rig.lastCommand(), u"pending claim claim-12"_s);
            QVERIFY(rig.log.isEmpty());  // set without its reactions
            QVERIFY(rig.controller->dashboardState().pendingApproval);
        }
        // An unreadable store: signed out, and the log says why.
        Rig rig(true);
        for (const QFileInfo &item : QDir(rig.dir.path() + u"/keychain"_s).entryInfoList(QDir::Files))
            QFile::setPermissions(item.filePath(), QFile::permissions(item.filePath()) | QFileDevice::ReadOther);
        rig.make();
        QTRY_VERIFY(rig.controller->storedStateIsLoaded());
        QVERIFY(!rig.controller->state().credentials());
        QCOMPARE(rig.log, QStringList{u"stored credentials unavailable: Failed to read Keychain item (-25295)."_s});
    }

    void blockedKeychainNeverFreezesTheMainThread()
    {
        Rig rig(true);
        KeychainGate gate;
        rig.keychain = std::make_shared<KeychainStore>(std::make_shared<GatedKeychain>(
            rig.files, [&gate](GatedKeychain::Call, const QString &) { return gate.pass(); }));
        gate.closed = true;
        rig.make({u"VeltroMornix"_s, u"--desktop-managed"_s});
        rig.controller->start();  // returns at once
        QVERIFY(rig.log.contains(u"app started build=1.0 (7)+20260101-000000"_s));
        QTRY_VERIFY(gate.entered);
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
        timer.start(10);
        QTRY_VERIFY(ticks >= 5);  // the event loop runs while the read hangs
        QVERIFY(!rig.controller->storedStateIsLoaded());
        rig.notifications->handlers.value(kStopManaged)();
        QCOMPARE(rig.terminated, 1);

        // Disconnect while the read still hangs: it waits for the read, the main thread does not.
        rig.controller->clearCredentials();
        QTest::qWait(50);
        QCOMPARE(rig.disconnector->logouts, 0);
        gate.closed = false;
        QTRY_VERIFY(rig.controller->storedStateIsLoaded());
        QTRY_COMPARE(rig.lastCommand(), u"credentials cleared"_s);
        QCOMPARE(rig.disconnector->logouts, 1);  // the credentials read at last were logged out
    }

    void reloadDesktopCredentials()
    {
        Rig rig;
        rig.make();
        rig.controller->start();
        rig.controller->reloadDesktopCredentials();  // nothing stored: nothing happens
        QTest::qWait(100);
        QVERIFY(!rig.controller->state().credentials());
        rig.keychain->saveCredentials(kCredentials);
        rig.notifications->handlers.value(kCredentialsUpdated)();
        QTRY_COMPARE(rig.controller->state().credentials(), kCredentials);
        QVERIFY(rig.controller->state().serviceClient());
        QVERIFY(!rig.controller->state().connected());

        Rig noSession;
        noSession.clientsAvailable = false;
        noSession.make();
        QTRY_VERIFY(noSession.controller->storedStateIsLoaded());
        noSession.keychain->saveCredentials(kCredentials);
        noSession.controller->reloadDesktopCredentials();
        QTRY_COMPARE(noSession.lastCommand(), u"desktop credentials unavailable"_s);
        QVERIFY(!noSession.controller->state().credentials());
    }

    // Disconnecting: declined, logged out, already gone, the signed request cannot be built, the
    // logout fails, and without credentials the local secrets alone. "logging out device" comes
    // once the signed request exists, before it is sent.
    void clearCredentialsFlows()
    {
        using Logout = ScriptedDisconnector::Logout;
        struct Case {
            const char *name;
            bool stored;
            std::function<void(Rig &)> setup;
            QString lastCommand;  // empty: unchanged
            int logouts;
            bool kept;
            QString logged;  // a line the log must hold, if any
        };
        const QString failed = u"failed to clear credentials: "_s;
        const Case cases[] = {
            {"declined", true, [](Rig &rig) { rig.ui->answer = false; }, {}, 0, true, {}},
            {"logged out", true, [](Rig &) {}, u"credentials cleared"_s, 1, false, u"logging out device"_s},
            {"already gone", true, [](Rig &rig) { rig.disconnector->logoutAnswer = Logout::Gone; },
             u"credentials cleared"_s, 1, false, u"device already logged out"_s},
            {"no signed request",
             true,
             [](Rig &rig) { rig.disconnector->failPrepare = true; },
             failed + u"Secure Enclave unavailable: no key"_s,
             0,
             true,
             {}},
            {"logout failed", true, [](Rig &rig) { rig.disconnector->logoutAnswer = Logout::Fail; },
             failed + u"The service answered with HTTP status 500."_s, 1, true, u"logging out device"_s},
            {"no credentials",
             false,
             [](Rig &rig) { rig.disconnector->failClear = true; },
             failed + u"keychain locked"_s,
             0,
             false,
             {}},
        };
        for (const Case &c : cases) {
            Rig rig(c.stored);
            c.setup(rig);
            rig.disconnector->onClear = [&] { rig.keychain->clearCredentials(); };
            rig.make();
            rig.disconnector->lastCommand = [&] { return rig.lastCommand(); };
            QTRY_VERIFY(rig.controller->storedStateIsLoaded());
            rig.controller->clearCredentials();
            if (c.lastCommand.isEmpty())
                QTest::qWait(100);
            else
                QTRY_COMPARE(rig.lastCommand(), c.lastCommand);
            QVERIFY2(rig.disconnector->logouts == c.logouts, c.name);
            QVERIFY2(rig.controller->state().credentials().has_value() == c.kept, c.name);
            QVERIFY2((rig.controller->state().serviceClient() != nullptr) == c.kept, c.name);
            QVERIFY2(rig.keychain->loadCredentials().has_value() == c.kept, c.name);
            QVERIFY2(c.logged.isEmpty() || rig.log.contains(c.logged), c.name);
            QVERIFY2(c.logouts || !rig.log.contains(u"logging out device"_s), c.name);
            const bool prepared = c.stored && rig.ui->answer;
            QVERIFY2(rig.disconnector->lastCommandsAtPrepare == (prepared ? QStringList{u"none"_s} : QStringList()),
                     c.name);
        }
    }

    // A journal that cannot be used is said once, in both logs, and shown on the dashboard.
    void unusableJournalIsLoggedAndShown()
    {
        Rig rig;
        const QString commands = rig.dir.path() + u"/Commands"_s;
        QVERIFY(QDir().mkpath(commands) && ::chmod(QFile::encodeName(commands), 0700) == 0);
        QVERIFY(::mkfifo(QFile::encodeName(commands + u"/journal"_s), 0600) == 0);
        rig.journal = std::make_shared<CommandJournal>(commands);
        rig.make();
        rig.controller->startPolling();
        const QString line = u"command journal kept in memory only: "_s + commands + u"/journal is a FIFO"_s;
        QCOMPARE(rig.log.count(line), 1);
        QVERIFY(rig.systemLog->messages().contains(line));
        QCOMPARE(rig.controller->dashboardState().commandJournalProblem, commands + u"/journal is a FIFO"_s);

        Rig durable;
        durable.journal = std::make_shared<CommandJournal>(durable.dir.path() + u"/Commands"_s);
        durable.make();
        durable.controller->startPolling();
        QVERIFY(durable.controller->dashboardState().commandJournalProblem.isEmpty());
    }

    void launchAtLoginToggle()
    {
        Rig rig;
        rig.make();
        rig.controller->toggleLaunchAtLogin();
        QCOMPARE(rig.lastCommand(), u"launch at login enabled"_s);
        QFile entry(rig.dir.path() + u"/config/autostart/ai.veltro.mornix.desktop"_s);
        QVERIFY(entry.exists());
        QVERIFY(rig.controller->dashboardState().launchAtLogin);
        rig.controller->toggleLaunchAtLogin();
        QCOMPARE(rig.lastCommand(), u"launch at login disabled"_s);
        QVERIFY(!entry.exists());

        // An unwritable configuration directory: a file where the directory should be.
        QVERIFY(QDir(rig.dir.path() + u"/config"_s).removeRecursively());
        QFile blocker(rig.dir.path() + u"/config"_s);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        rig.controller->toggleLaunchAtLogin();
        QCOMPARE(rig.lastCommand(), u"launch-at-login update failed"_s);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(MornixControllerTest)
#include "tst_mornix_controller.moc"
