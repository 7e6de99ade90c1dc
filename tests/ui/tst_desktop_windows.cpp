// The desktop windows on the offscreen platform: the dashboard's rendering and actions, the
// sign-in panel, the updater's Install/Later question, each driven by clicking; and the real
// controller behind the tray menu, the dashboard and the disconnect confirmation, with a file
// keychain and the XDG login item in a temporary directory.
#include "core/device_disconnector.h"
#include "core/mornix_controller.h"
#include "identity/keychain_store.h"
#include "platform/distributed_notifications.h"
#include "platform/linux/bundle/app_bundle.h"
#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/device/linux_device_terms.h"
#include "platform/linux/modules/platform_modules.h"
#include "platform/linux/keychain/selecting_keychain.h"
#include "platform/macos/macos_device_terms.h"
#include "platform/linux/desktop/xdg_login_item.h"
#include "signin/sign_in_window.h"
#include "support/recording_system_log.h"
#include "support/temporary_home.h"
#include "ui/desktop/dashboard_window.h"
#include "ui/desktop/desktop_controller_ui.h"
#include "ui/desktop/sign_in_panel.h"
#include "ui/update_prompt_dialog.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <QCoroTask>

#include <memory>

namespace mornix {

namespace {

// The macOS words: every text reads as the original macOS one.
std::shared_ptr<const DeviceTerms> macTerms()
{
    static const auto terms = std::make_shared<MacDeviceTerms>();
    return terms;
}

MornixDashboardState signedInState()
{
    MornixDashboardState state;
    state.signedIn = true;
    state.connected = true;
    state.inventoryReady = true;
    return state;
}

QStringList captions(const QList<DashboardWindow::RenderedCard> &cards)
{
    QStringList out;
    for (const auto &card : cards)
        out << card.caption;
    return out;
}

using Answer = std::optional<std::optional<SignInRequest>>;  // outer: resolved at all

QCoro::Task<void> collect(SignInWindowController *controller, Answer *out)
{
    *out = co_await controller->present();
}

SignInWindowController::Settings settings(QList<QUrl> *helpOpened = nullptr)
{
    SignInWindowController::Settings s;
    s.defaultAPIBaseURL = QStringLiteral("https://api.veltro.test");
    s.defaultOAuthClientID = QStringLiteral("client-1");
    s.websiteHost = QStringLiteral("veltro.test");
    s.helpPageURL = QUrl(QStringLiteral("https://veltro.test/help"));
    s.openHelpPage = [helpOpened](const QUrl &url) {
        if (helpOpened)
            helpOpened->append(url);
    };
    return s;
}

SignInPanel *panelOf(SignInWindowController *controller)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *panel = qobject_cast<SignInPanel *>(widget);
        if (panel && panel->deviceLabel()->text() == controller->deviceLine())
            return panel;
    }
    return nullptr;
}

class SilentNotifications final : public DistributedNotifications {
public:
    bool post(const QString &) override { return true; }
    bool observe(const QString &, QObject *, std::function<void()>) override { return true; }
};

class LocalOnlyDisconnector final : public DeviceDisconnector {
public:
    int cleared = 0;
    QCoro::Task<DeviceLogoutRequestPayload> prepareLogout(DeviceCredentials) override { co_return {}; }
    QCoro::Task<LogoutOutcome> logout(DeviceCredentials, DeviceLogoutRequestPayload) override
    {
        co_return LogoutOutcome::loggedOut;
    }
    QCoro::Task<void> clearLocalSecrets() override
    {
        ++cleared;
        co_return;
    }
};

struct Rig {
    QTemporaryDir dir;
    bool trayHost = true;
    std::shared_ptr<const DeviceTerms> terms = macTerms();
    std::shared_ptr<DesktopControllerUI> ui;
    std::shared_ptr<LocalOnlyDisconnector> disconnector = std::make_shared<LocalOnlyDisconnector>();
    int terminated = 0;
    int logsOpened = 0;
    std::unique_ptr<MornixController> controller;

    void make(QStringList arguments = {QStringLiteral("VeltroMornix")})
    {
        DesktopControllerUI::Options options;
        options.buildLabel = QStringLiteral("1.0 (7)");
        options.iconPath = QStringLiteral(MORNIX_ICON_DIR "/MenuBarIcon.png");
        options.trayAvailable = [this] { return trayHost; };
        options.terms = terms;
        ui = std::make_shared<DesktopControllerUI>(options);

        MornixController::Dependencies deps;
        deps.arguments = arguments;
        deps.buildLabel = options.buildLabel;
        deps.websiteURL = QUrl(QStringLiteral("https://localhost:8443/"));
        deps.helpPageURL = QUrl(QStringLiteral("https://localhost:8443/help"));
        deps.notifications = std::make_shared<SilentNotifications>();
        deps.loginItem = std::make_shared<XdgLoginItem>(QStringLiteral("/opt/x/VeltroMornix"),
                                                        dir.path() + QStringLiteral("/config"));
        deps.ui = ui;
        deps.keychain =
            std::make_shared<KeychainStore>(std::make_shared<FileKeychain>(dir.path() + QStringLiteral("/keychain")));
        deps.monitorScanner.reconcile = [](const AgentInstanceMonitor::InstanceMap &) {
            return QList<DetectedAgentInstance>();
        };
        deps.disconnector = disconnector;
        deps.openLogFile = [this] { ++logsOpened; };
        deps.openURL = [](const QUrl &) {};
        deps.terminate = [this] { ++terminated; };
        controller = std::make_unique<MornixController>(std::move(deps));
        QTRY_VERIFY(controller->storedStateIsLoaded());
        controller->start();
    }

    QAction *item(const QString &title) const
    {
        for (QAction *action : ui->menu()->actions()) {
            if (action->text() == title)
                return action;
        }
        return nullptr;
    }

    QString autostartPath() const { return dir.path() + QStringLiteral("/config/autostart/ai.veltro.mornix.desktop"); }
};

// Answers the next modal message box with the button titled `choice`; `seenText` gets its
// text, informative text and number of buttons, one a line.
void answerNextMessageBox(const QString &choice, QString *seenText)
{
    QTimer::singleShot(0, [choice, seenText] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        *seenText = box->text() + QLatin1Char('\n') + box->informativeText()
                    + QStringLiteral("\n%1 buttons").arg(box->buttons().size());
        for (QAbstractButton *button : box->buttons()) {
            if (button->text() == choice)
                button->click();
        }
    });
}

}  // namespace

class DesktopWindowsTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TemporaryHome> m_home;

private Q_SLOTS:
    void initTestCase()
    {
        m_home = std::make_unique<TemporaryHome>();
        QApplication::setQuitOnLastWindowClosed(false);
    }

    // Nothing renders before the first state; equal states render once; a hidden window stores
    // the state and renders nothing until shown.
    void rendersOncePerDistinctStateOnlyWhileVisible()
    {
        DashboardWindow window(QStringLiteral("dev"), macTerms(), {});
        window.show();
        window.render();
        QCOMPARE(window.renderCount(), 0);
        window.hide();
        window.update(signedInState());
        QCOMPARE(window.renderCount(), 0);
        QVERIFY(window.renderedCards().isEmpty());
        window.render();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.renderCount(), 1);
        window.update(signedInState());
        QCOMPARE(window.renderCount(), 1);
        MornixDashboardState paused = signedInState();
        paused.paused = true;
        window.update(paused);
        QCOMPARE(window.renderCount(), 2);
        window.hide();
        window.update(signedInState());
        QCOMPARE(window.renderCount(), 2);
        QCOMPARE(window.renderedCards().first().value, QStringLiteral("Processing paused"));
    }

    void overviewConnectionValues_data()
    {
        QTest::addColumn<bool>("paused");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<bool>("pending");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("action");
        QTest::newRow("paused wins") << true << true << false << true << "Processing paused"
                                     << "Open workspace";
        QTest::newRow("connected") << false << true << false << true << "Connected to Veltro"
                                   << "Open workspace";
        QTest::newRow("pending") << false << false << true << false << "Awaiting approval"
                                 << "Sign in to Veltro";
        QTest::newRow("reconnecting") << false << false << false << true << "Reconnecting"
                                      << "Open workspace";
        QTest::newRow("signed out") << false << false << false << false << "Sign in required"
                                    << "Sign in to Veltro";
    }
    void overviewConnectionValues()
    {
        QFETCH(bool, paused);
        QFETCH(bool, connected);
        QFETCH(bool, pending);
        QFETCH(bool, signedIn);
        QFETCH(QString, value);
        QFETCH(QString, action);
        DashboardWindow window(QStringLiteral("dev"), macTerms(), {});
        window.show();
        MornixDashboardState state;
        state.paused = paused;
        state.connected = connected;
        state.pendingApproval = pending;
        state.signedIn = signedIn;
        window.update(state);
        const auto cards = window.renderedCards();
        QCOMPARE(captions(cards), (QStringList{"CONNECTION", "RUNNING CLIENTS", "COMMAND PROCESSING"}));
        QCOMPARE(cards[0].value, value);
        QCOMPARE(cards[0].actionTitle, action);
        QCOMPARE(cards[1].value, QStringLiteral("Checking clients\u2026"));
        QCOMPARE(cards[2].value, paused ? QStringLiteral("Paused") : QStringLiteral("Active"));
        QCOMPARE(cards[2].actionTitle,
                 paused ? QStringLiteral("Resume processing") : QStringLiteral("Pause processing"));
    }

    // Counts 1 and 2: singular and plural wording, and the overview's total.
    void clientsWordingAndTotal()
    {
        DashboardWindow window(QStringLiteral("dev"), macTerms(), {});
        window.show();
        MornixDashboardState state = signedInState();
        state.clients = {{"Claude Code", "Command-line client", 2}, {"Claude Desktop", "Application", 1}};
        window.update(state);
        QCOMPARE(window.renderedCards()[1].value, QStringLiteral("3 running"));

        window.selectSection(DashboardWindow::Section::clients);
        QVERIFY(window.sectionButton(DashboardWindow::Section::clients)->isChecked());
        QVERIFY(!window.sectionButton(DashboardWindow::Section::overview)->isChecked());
        const auto cards = window.renderedCards();
        QCOMPARE(cards.size(), 2);
        QCOMPARE(cards[0].caption, QStringLiteral("COMMAND-LINE CLIENT"));
        QCOMPARE(cards[0].value, QStringLiteral("Claude Code"));
        QCOMPARE(cards[0].detail, QStringLiteral("2 running instances \u00b7 Verified signature"));
        QCOMPARE(cards[1].caption, QStringLiteral("APPLICATION"));
        QCOMPARE(cards[1].detail, QStringLiteral("1 running instance \u00b7 Verified signature"));
        QVERIFY(!cards[1].action);

        state.clients.clear();
        window.update(state);
        QCOMPARE(window.renderedCards().size(), 1);
        QCOMPARE(window.renderedCards()[0].value, QStringLiteral("No verified clients running"));
        state.inventoryReady = false;
        window.update(state);
        QCOMPARE(window.renderedCards()[0].value, QStringLiteral("Checking clients\u2026"));
    }

    // Newest first, dated in the default locale's format.
    void activityNewestFirstWithLocaleDates()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        DashboardWindow window(QStringLiteral("dev"), macTerms(), {});
        window.show();
        MornixDashboardState state;
        window.update(state);
        window.selectSection(DashboardWindow::Section::activity);
        QCOMPARE(window.renderedCards()[0].value, QStringLiteral("No recent updates"));

        const QDateTime first(QDate(2026, 12, 7), QTime(14, 30));
        state.activity = {{"Device control started", first}, {"Connected to Veltro", first.addSecs(60)}};
        window.update(state);
        const auto cards = window.renderedCards();
        QCOMPARE(cards.size(), 2);
        QCOMPARE(cards[0].detail, QStringLiteral("Connected to Veltro"));
        QCOMPARE(cards[1].detail, QStringLiteral("Device control started"));
        QVERIFY(cards[0].value.isEmpty());
        const QString de = cards[1].caption;
        QVERIFY2(de.contains(QStringLiteral("14:30")) && de.contains(QStringLiteral("Dez"))
                     && !de.contains(QStringLiteral("Montag")),
                 qPrintable(de));
        QLocale::setDefault(QLocale::system());
        const QString us = DashboardWindow::activityDateText(first, QLocale(QLocale::English, QLocale::UnitedStates));
        QVERIFY2(us.startsWith(QStringLiteral("Dec 7, 2026")), qPrintable(us));
        QVERIFY2(us.contains(QStringLiteral("2:30")) && us.contains(QStringLiteral("PM")), qPrintable(us));
    }

    void settingsDisconnectOnlyWhenLinkedOrPending()
    {
        DashboardWindow window(QStringLiteral("dev"), macTerms(), {});
        window.show();
        window.selectSection(DashboardWindow::Section::settings);
        window.update(MornixDashboardState{});
        QCOMPARE(captions(window.renderedCards()), (QStringList{"ACCOUNT", "STARTUP", "DIAGNOSTICS"}));
        QCOMPARE(window.renderedCards()[0].value, QStringLiteral("Not connected"));
        QCOMPARE(window.renderedCards()[1].actionTitle, QStringLiteral("Enable launch at login"));

        MornixDashboardState pending;
        pending.pendingApproval = true;
        pending.launchAtLogin = true;
        window.update(pending);
        auto cards = window.renderedCards();
        QCOMPARE(captions(cards), (QStringList{"ACCOUNT", "STARTUP", "DIAGNOSTICS", "DISCONNECT THIS MAC"}));
        QCOMPARE(cards[0].value, QStringLiteral("Approval pending"));
        QCOMPARE(cards[1].actionTitle, QStringLiteral("Disable launch at login"));

        window.update(signedInState());
        cards = window.renderedCards();
        QCOMPARE(cards[0].value, QStringLiteral("Device linked"));
        QCOMPARE(cards.size(), 4);
    }

    // Every button press reaches the handler with its action.
    void actionsReachTheHandler()
    {
        QList<DashboardAction> received;
        DashboardWindow window(QStringLiteral("dev"), macTerms(), [&](DashboardAction action) { received << action; });
        window.show();
        MornixDashboardState state = signedInState();
        window.update(state);
        for (int s = 0; s < 4; ++s) {
            window.selectSection(static_cast<DashboardWindow::Section>(s));
            QCoreApplication::processEvents();
            for (QPushButton *button : window.findChildren<QPushButton *>()) {
                if (button->property("dashboardAction").isValid() && button->isVisible())
                    QTest::mouseClick(button, Qt::LeftButton);
            }
        }
        state.signedIn = false;
        window.update(state);
        QCoreApplication::processEvents();
        for (QPushButton *button : window.findChildren<QPushButton *>()) {
            if (button->text() == QStringLiteral("Sign in to Veltro") && button->isVisible())
                QTest::mouseClick(button, Qt::LeftButton);
        }
        for (DashboardAction action :
             {DashboardAction::signIn, DashboardAction::pause, DashboardAction::launchAtLogin, DashboardAction::logs,
              DashboardAction::disconnect, DashboardAction::refresh, DashboardAction::workspace})
            QVERIFY2(received.contains(action), qPrintable(QString::number(static_cast<int>(action))));
    }

    // Two quick presses: present() yields the first method only, and the panel stays open.
    void firstButtonResolvesOnce()
    {
        QList<QUrl> help;
        auto *controller = new SignInWindowController(QStringLiteral("  https://self.hosted.example/api  "),
                                                      QStringLiteral("Mac"), settings(&help));
        SignInPanel::attach(controller, *macTerms());
        Answer answer;
        auto task = collect(controller, &answer);
        SignInPanel *panel = panelOf(controller);
        QVERIFY(panel);
        QVERIFY(QTest::qWaitForWindowExposed(panel));
        QTest::mouseClick(panel->helpLink(), Qt::LeftButton);
        QCOMPARE(help, (QList<QUrl>{QUrl(QStringLiteral("https://veltro.test/help"))}));
        QTest::mouseClick(panel->gitHubButton(), Qt::LeftButton);
        QTest::mouseClick(panel->googleButton(), Qt::LeftButton);
        QTRY_VERIFY(answer.has_value());
        QVERIFY(answer->has_value());
        QCOMPARE((*answer)->method.kind, SignInMethod::Kind::github);
        QCOMPARE((*answer)->apiBaseURL, QStringLiteral("https://self.hosted.example/api"));
        QCOMPARE((*answer)->oauthClientID, std::optional<QString>(QStringLiteral("client-1")));
        QVERIFY(panel->isVisible());
        // Closing afterwards reports nothing more; the panel goes with its controller.
        panel->close();
        QVERIFY(answer->has_value());
        QPointer<SignInPanel> guard(panel);
        delete controller;
        QTRY_VERIFY(!guard);
    }

    // Shown on top with the device's name and no status; closed before a choice: no method.
    void closingFirstResolvesWithNothing()
    {
        SignInWindowController controller(QString(), QStringLiteral("Ada's Laptop"), settings());
        SignInPanel::attach(&controller, *macTerms());
        Answer answer;
        auto task = collect(&controller, &answer);
        SignInPanel *panel = panelOf(&controller);
        QVERIFY(QTest::qWaitForWindowExposed(panel));
        QVERIFY(panel->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(panel->deviceLabel()->text(), QStringLiteral("CONNECTING  Ada's Laptop"));
        QVERIFY(panel->statusLabel()->isHidden());
        panel->close();
        QTRY_VERIFY(answer.has_value());
        QVERIFY(!answer->has_value());
        QVERIFY(!controller.isOpen());
    }

    // The flow's progress and failure display, then a new attempt from the same panel.
    void failureLabelThenNewAttempt()
    {
        SignInWindowController controller(QString(), QStringLiteral("Mac"), settings());
        SignInPanel::attach(&controller, *macTerms());
        QList<SignInMethod::Kind> attempts;
        controller.setNewAttemptHandler([&](const SignInRequest &request) { attempts << request.method.kind; });
        Answer answer;
        auto task = collect(&controller, &answer);
        SignInPanel *panel = panelOf(&controller);
        QVERIFY(QTest::qWaitForWindowExposed(panel));
        QTest::mouseClick(panel->googleButton(), Qt::LeftButton);
        QTRY_VERIFY(answer.has_value());

        controller.setButtonsEnabled(false);
        controller.setStatus(QStringLiteral("Waiting for browser sign-in…"),
                             SignInWindowController::LabelColor::secondary);
        QVERIFY(!panel->googleButton()->isEnabled());
        auto *effect = static_cast<QGraphicsOpacityEffect *>(panel->googleButton()->graphicsEffect());
        QCOMPARE(effect->opacity(), 0.55);
        QVERIFY(panel->statusLabel()->isVisible());
        const QColor secondary = panel->statusLabel()->palette().color(QPalette::WindowText);

        controller.setStatus(QStringLiteral("Sign-in failed: denied"), SignInWindowController::LabelColor::red);
        controller.setButtonsEnabled(true);
        QCOMPARE(panel->statusLabel()->text(), QStringLiteral("Sign-in failed: denied"));
        const QColor red = panel->statusLabel()->palette().color(QPalette::WindowText);
        QVERIFY(red != secondary);
        QVERIFY(red.red() > 180 && red.green() < 60);
        QCOMPARE(effect->opacity(), 1.0);

        QTest::mouseClick(panel->gitHubButton(), Qt::LeftButton);
        QCOMPARE(attempts, (QList<SignInMethod::Kind>{SignInMethod::Kind::github}));
        QCOMPARE((*answer)->method.kind, SignInMethod::Kind::google);

        controller.clearStatus();
        QVERIFY(panel->statusLabel()->isHidden());
        controller.orderOutAndClose();
        QVERIFY(!panel->isVisible());
    }

    // The updater's question, answered by clicking.
    void updatePromptButtonsGiveTheAnswer_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("install");
        QTest::newRow("Install") << "Install" << true;
        QTest::newRow("Later") << "Later" << false;
    }

    void updatePromptButtonsGiveTheAnswer()
    {
        QFETCH(QString, button);
        QFETCH(bool, install);
        UpdatePromptDialog dialog(std::make_shared<RecordingSystemLog>());
        std::optional<bool> answer;
        auto ask = [&]() -> QCoro::Task<void> {
            const UpdateOffer offer{QStringLiteral("200"), QStringLiteral("2.0.0"), QStringLiteral("1.4.2")};
            answer = co_await dialog.askToInstall(offer);
        };
        QString seen;
        answerNextMessageBox(button, &seen);
        ask();
        QVERIFY(!answer);  // the event loop runs while the question is open
        QTRY_VERIFY(answer.has_value());
        QCOMPARE(*answer, install);
        QVERIFY2(seen.startsWith(QStringLiteral("A new version of Veltro is available\n")), qPrintable(seen));
        QVERIFY(seen.contains(QStringLiteral("2.0.0")) && seen.contains(QStringLiteral("1.4.2")));
        QVERIFY2(seen.endsWith(QStringLiteral("\n2 buttons")), qPrintable(seen));
    }

    // Each menu action reaches the controller, and the menu shows the new state.
    void menuActionsAndCheckmarks()
    {
        Rig rig;
        rig.make();
        rig.item("Pause processing")->trigger();
        QAction *pause = rig.item("Resume processing");
        QVERIFY(pause);
        QVERIFY(pause->isChecked());
        pause->trigger();
        QVERIFY(rig.item("Pause processing") && !rig.item("Pause processing")->isChecked());

        rig.item("Launch at login")->trigger();
        QVERIFY(QFile::exists(rig.autostartPath()));
        QVERIFY(rig.item("Launch at login")->isChecked());
        // The checkmark reads the entry itself: a desktop that hides it turns it off.
        QFile entry(rig.autostartPath());
        QVERIFY(entry.open(QIODevice::Append));
        entry.write("Hidden=true\n");
        entry.close();
        rig.controller->refreshMenuState();
        QVERIFY(!rig.item("Launch at login")->isChecked());

        rig.item("Open logs.md")->trigger();
        QCOMPARE(rig.logsOpened, 1);
        rig.item("Quit")->trigger();
        QCOMPARE(rig.terminated, 1);
    }

    // The dashboard opens from the menu, follows the controller while shown, and closing only hides it.
    void dashboardFromTheMenu()
    {
        Rig rig;
        rig.make();
        rig.item("Open VeltroMornix")->trigger();
        DashboardWindow *dashboard = rig.ui->dashboard();
        QVERIFY(dashboard && dashboard->isVisible());
        QCOMPARE(dashboard->renderedCards().first().value, QStringLiteral("Sign in required"));
        rig.item("Pause processing")->trigger();
        QCOMPARE(dashboard->renderedCards().first().value, QStringLiteral("Processing paused"));
        dashboard->close();
        QVERIFY(!dashboard->isVisible());
        QCOMPARE(rig.ui->dashboard(), dashboard);
        QCOMPARE(rig.terminated, 0);
        rig.controller->showDashboard();
        QVERIFY(dashboard->isVisible());

        // The dashboard's pause button goes through the controller back into the menu.
        QCoreApplication::processEvents();
        for (QPushButton *button : dashboard->findChildren<QPushButton *>()) {
            if (button->text() == QStringLiteral("Resume processing") && button->isVisible()) {
                QTest::mouseClick(button, Qt::LeftButton);
                break;
            }
        }
        QVERIFY(rig.item("Pause processing"));

        // A click on the clients-closed notice: the dashboard in front at its Activity section.
        dashboard->close();
        rig.controller->showDashboardActivity();
        QVERIFY(dashboard->isVisible());
        QCOMPARE(dashboard->section(), DashboardWindow::Section::activity);
        QVERIFY(dashboard->sectionButton(DashboardWindow::Section::activity)->isChecked());
        QCOMPARE(dashboard->titleText(), QStringLiteral("Activity"));
    }

    // Without a tray host the dashboard opens at once; managed by the desktop application,
    // nothing is shown at all.
    void withoutATrayIcon()
    {
        Rig rig;
        rig.trayHost = false;
        rig.make();
        QVERIFY(!rig.ui->trayIcon());
        QTRY_VERIFY(rig.ui->dashboard() && rig.ui->dashboard()->isVisible());
        rig.ui->dashboard()->close();
        QCOMPARE(rig.terminated, 0);

        Rig managed;
        managed.make({QStringLiteral("VeltroMornix"), QStringLiteral("--desktop-managed")});
        QVERIFY(!managed.ui->trayIcon());
        managed.controller->showDashboard();
        QVERIFY(!managed.ui->hasDashboard());
    }

    // The device noun and the keychain's name come from the platform; every other word of the
    // texts stays as it is (the macOS row is the original wording).
    void wordsComeFromThePlatform_data()
    {
        QTest::addColumn<QString>("platform");   // "mac", else Linux with this keychain forced
        QTest::addColumn<bool>("keychainUsed");  // a keychain call came first
        QTest::addColumn<QString>("noun");
        QTest::addColumn<QString>("keychain");
        QTest::newRow("macOS") << "mac" << false << "this Mac"
                               << "the macOS Keychain";
        QTest::newRow("Linux, Secret Service") << "secret-service" << false << "this computer"
                                               << "the Secret Service keyring";
        QTest::newRow("Linux, file store") << "file" << false << "this computer"
                                           << "the VeltroMornix file keychain";
        QTest::newRow("Linux, chosen by the first call") << "" << true << "this computer"
                                                         << "the VeltroMornix file keychain";
        QTest::newRow("Linux, before the first call") << "" << false << "this computer"
                                                      << "the keychain";
    }
    void wordsComeFromThePlatform()
    {
        QFETCH(QString, platform);
        QFETCH(bool, keychainUsed);
        QFETCH(QString, noun);
        QFETCH(QString, keychain);
        TemporaryHome home;
        const QByteArray savedBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");  // no Secret Service: a first call chooses the file store
        std::shared_ptr<const DeviceTerms> terms = macTerms();
        if (platform != QLatin1String("mac")) {
            auto store = std::make_shared<SelectingKeychain>(
                secret_service::Client(std::make_shared<PlatformModules>(home.path() + QStringLiteral("/none.app"),
                                                                         QByteArray(), ModuleSigner{}, nullptr)),
                SelectingKeychain::parseBackendName(platform.toUtf8()));
            QByteArray data;
            if (keychainUsed)
                QCOMPARE(store->readGenericPassword(QStringLiteral("s"), QStringLiteral("a"), data),
                         keychain_status::itemNotFound);
            terms = std::make_shared<LinuxDeviceTerms>(store);
        }

        DashboardWindow window(QStringLiteral("dev"), terms, {});
        window.show();
        window.update(MornixDashboardState{});
        QCOMPARE(window.renderedCards()[0].detail,
                 QStringLiteral("Connect %1 to enable authenticated commands and inventory reporting.").arg(noun));
        QStringList labels;
        for (QLabel *label : window.findChildren<QLabel *>())
            labels << label->text();
        QVERIFY2(labels.contains(DeviceTerms::capitalized(noun) + QStringLiteral("\nBuild dev")),
                 qPrintable(labels.join(u'|')));
        window.selectSection(DashboardWindow::Section::clients);
        QCOMPARE(window.subtitleText(),
                 QStringLiteral("Verified applications and command-line clients running on %1.").arg(noun));
        window.selectSection(DashboardWindow::Section::settings);
        QCOMPARE(window.subtitleText(),
                 QStringLiteral("Manage %1\u2019s connection and startup preferences.").arg(noun));
        MornixDashboardState pending;
        pending.pendingApproval = true;
        window.update(pending);
        QCOMPARE(window.renderedCards()[0].detail,
                 QStringLiteral("Complete workspace approval in Veltro before %1 connects.").arg(noun));
        QCOMPARE(window.renderedCards()[3].caption, QStringLiteral("DISCONNECT ") + noun.toUpper());
        window.update(signedInState());
        QCOMPARE(window.renderedCards()[0].detail, QStringLiteral("Credentials remain in %1.").arg(keychain));
        QCOMPARE(window.renderedCards()[1].detail,
                 platform == QLatin1String("mac")
                     ? QStringLiteral("macOS manages permission to run this app when you sign in.")
                     : QStringLiteral("Your desktop starts this app when you sign in, from its autostart entry."));

        SignInWindowController controller(QString(), QStringLiteral("Mac"), settings());
        SignInPanel panel(&controller, *terms);
        QStringList panelTexts;
        for (QLabel *label : panel.findChildren<QLabel *>())
            panelTexts << label->text();
        QVERIFY2(
            panelTexts.contains(QStringLiteral("Use your Veltro account to securely connect %1. Your browser handles "
                                               "authentication; Mornix receives a short-lived authorization code "
                                               "protected by PKCE.")
                                    .arg(noun)),
            qPrintable(panelTexts.join(u'|')));

        DesktopControllerUI::Options options;
        options.terms = terms;
        options.trayAvailable = [] { return false; };
        DesktopControllerUI ui(options);
        QString seen;
        answerNextMessageBox(QStringLiteral("Cancel"), &seen);
        QVERIFY(!ui.confirmDisconnect());
        QCOMPARE(seen, QStringLiteral("Disconnect %1 from Veltro?\nLocal credentials will be removed and authenticated "
                                      "device processing will stop. You can sign in again later.\n2 buttons")
                           .arg(noun));
        if (!savedBus.isEmpty())
            qputenv("DBUS_SESSION_BUS_ADDRESS", savedBus);
    }

    void disconnectConfirmation()
    {
        Rig rig;
        rig.make();
        QString seen;
        answerNextMessageBox(QStringLiteral("Cancel"), &seen);
        QVERIFY(!rig.ui->confirmDisconnect());
        QVERIFY(seen.startsWith(QStringLiteral("Disconnect this Mac from Veltro?\nLocal credentials will be removed")));
        // Confirmed through the menu: without credentials the local secrets go at once.
        answerNextMessageBox(QStringLiteral("Disconnect"), &seen);
        rig.item("Clear local credentials")->trigger();
        QTRY_COMPARE(rig.controller->state().lastCommand(), QStringLiteral("credentials cleared"));
        QCOMPARE(rig.disconnector->cleared, 1);
    }

    void iconLoadsTintedOrFallsBack()
    {
        const QIcon icon =
            DesktopControllerUI::loadMenuBarIcon(QStringLiteral(MORNIX_ICON_DIR "/MenuBarIcon.png"), Qt::white);
        const QImage small = icon.pixmap(QSize(18, 18), 1.0).toImage();
        QCOMPARE(small.size(), QSize(18, 18));
        int opaque = 0;
        for (int y = 0; y < 18; ++y) {
            for (int x = 0; x < 18; ++x) {
                const QColor c = small.pixelColor(x, y);
                if (c.alpha() == 255) {
                    ++opaque;
                    QCOMPARE(c.rgb() & 0xffffff, 0xffffffu);
                }
            }
        }
        QVERIFY(opaque > 20 && opaque < 18 * 18 / 2);
        QCOMPARE(icon.availableSizes().size(), 2);
        // The @2x file gives 36 real pixels (what the tray exports to HiDPI panels), not an
        // 18-point image at ratio 2.
        QCOMPARE(icon.pixmap(QSize(36, 36), 1.0).size(), QSize(36, 36));
        QVERIFY(
            !DesktopControllerUI::loadMenuBarIcon(QStringLiteral("/nonexistent/MenuBarIcon.png"), Qt::black).isNull());
    }

    // The tint is computed without a painter; it must give what painting the template with the
    // tint in SourceIn mode gives, pixel for pixel, at both sizes and for translucent tints.
    void iconTintEqualsSourceInPainting_data()
    {
        QTest::addColumn<QColor>("tint");
        QTest::newRow("white") << QColor(Qt::white);
        QTest::newRow("dark theme text") << QColor(0x31, 0x36, 0x3b);
        QTest::newRow("translucent") << QColor(200, 30, 90, 128);
        QTest::newRow("transparent") << QColor(10, 20, 30, 0);
    }
    void iconTintEqualsSourceInPainting()
    {
        QFETCH(QColor, tint);
        const QIcon icon =
            DesktopControllerUI::loadMenuBarIcon(QStringLiteral(MORNIX_ICON_DIR "/MenuBarIcon.png"), tint);
        for (const auto &[file, side] : {std::pair{"/MenuBarIcon.png", 18}, std::pair{"/MenuBarIcon@2x.png", 36}}) {
            QImage expected = QImage(QStringLiteral(MORNIX_ICON_DIR) + QLatin1String(file))
                                  .convertToFormat(QImage::Format_ARGB32_Premultiplied);
            QPainter painter(&expected);
            painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
            painter.fillRect(expected.rect(), tint);
            painter.end();
            const QImage actual =
                icon.pixmap(QSize(side, side), 1.0).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
            QCOMPARE(actual.size(), expected.size());
            for (int y = 0; y < side; ++y)
                for (int x = 0; x < side; ++x)
                    QCOMPARE(QString::number(actual.pixel(x, y), 16), QString::number(expected.pixel(x, y), 16));
        }
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_MAIN(DesktopWindowsTest)
#include "tst_desktop_windows.moc"
