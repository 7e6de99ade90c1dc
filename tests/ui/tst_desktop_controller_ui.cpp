// The real controller behind the desktop interface: tray menu, dashboard and the disconnect
// confirmation, with a file keychain and the XDG login item in a temporary directory.
#include "identity/keychain_store.h"
#include "platform/distributed_notifications.h"
#include "platform/linux/app_bundle.h"
#include "platform/linux/file_keychain.h"
#include "platform/linux/xdg_login_item.h"
#include "ui/desktop/dashboard_window.h"
#include "ui/desktop/desktop_controller_ui.h"
#include "core/device_disconnector.h"
#include "core/mornix_controller.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace mornix {

namespace {

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
        ui = std::make_shared<DesktopControllerUI>(options);

        MornixController::Dependencies deps;
        deps.arguments = arguments;
        deps.buildLabel = options.buildLabel;
        deps.websiteURL = QUrl(QStringLiteral("https://localhost:8443/"));
        deps.helpPageURL = QUrl(QStringLiteral("https://localhost:8443/help"));
        deps.bundle = std::make_shared<AppBundle>(QCoreApplication::applicationFilePath());
        deps.notifications = std::make_shared<SilentNotifications>();
        deps.loginItem = std::make_shared<XdgLoginItem>(QStringLiteral("/opt/x/VeltroMornix"), dir.path() + QStringLiteral("/config"));
        deps.ui = ui;
        deps.keychain = std::make_shared<KeychainStore>(std::make_shared<FileKeychain>(dir.path() + QStringLiteral("/keychain")));
        deps.makeServiceClient = [](const QString &) { return std::shared_ptr<DeviceServiceClient>(); };
        deps.monitorScanner.reconcile = [](const AgentInstanceMonitor::InstanceMap &) { return QList<DetectedAgentInstance>(); };
        deps.monitorScanner.applicationInstance = [](qint32, const QString &, const QString &) {
            return std::optional<DetectedAgentInstance>();
        };
        deps.disconnector = disconnector;
        deps.appendLog = [](const QString &) {};
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

// Answers the next modal message box with the button titled `choice`.
void answerNextMessageBox(const QString &choice, QString *seenText)
{
    QTimer::singleShot(0, [choice, seenText] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        *seenText = box->text() + QLatin1Char('\n') + box->informativeText();
        for (QAbstractButton *button : box->buttons()) {
            if (button->text() == choice)
                button->click();
        }
    });
}

}  // namespace

class DesktopControllerUITest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

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

    void disconnectConfirmation()
    {
        Rig rig;
        rig.make();
        QString seen;
        answerNextMessageBox(QStringLiteral("Cancel"), &seen);
        QVERIFY(!rig.ui->confirmDisconnect());
        QVERIFY(seen.startsWith(QStringLiteral("Disconnect this Mac from Veltro?\nLocal credentials will be removed")));
        answerNextMessageBox(QStringLiteral("Disconnect"), &seen);
        QVERIFY(rig.ui->confirmDisconnect());
        // Through the menu: without credentials the local secrets go at once.
        answerNextMessageBox(QStringLiteral("Disconnect"), &seen);
        rig.item("Clear local credentials")->trigger();
        QTRY_COMPARE(rig.controller->status().lastCommand(), QStringLiteral("credentials cleared"));
        QCOMPARE(rig.disconnector->cleared, 1);
    }

    void iconLoadsTintedOrFallsBack()
    {
        const QIcon icon = DesktopControllerUI::loadMenuBarIcon(QStringLiteral(MORNIX_ICON_DIR "/MenuBarIcon.png"), Qt::white);
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
        QVERIFY(!DesktopControllerUI::loadMenuBarIcon(QStringLiteral("/nonexistent/MenuBarIcon.png"), Qt::black).isNull());
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_MAIN(DesktopControllerUITest)
#include "tst_desktop_controller_ui.moc"
