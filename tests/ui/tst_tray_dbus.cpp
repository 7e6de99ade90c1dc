// The real agent under Xvfb shows its tray icon to a StatusNotifierItem host on a private
// session bus (this test is the host), and its menu is read and driven over
// com.canonical.dbusmenu the way a desktop panel does.
#include "support/agent_process.h"
#include "support/dbus_menu_client.h"
#include "support/status_notifier_host.h"
#include "support/temporary_home.h"
#include "support/virtual_display.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTest>

#include <memory>

namespace mornix {

class TrayDBusTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The host comes up after the agent (as a panel does at login) and restarts later: the
    // item registers each time.
    void menuOverDBus()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY2(bus.isConnected(), "runs inside its own session bus");

        VirtualDisplay display;
        if (!display.start())
            QSKIP("Xvfb is not available");
        TemporaryHome home;
        QProcessEnvironment environment = xcbEnvironment(home.environment(), display.display());
        environment.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
        AgentProcess agent(environment);
        QVERIFY(agent.start({QStringLiteral("--standalone-menu-bar")}));
        // No host yet: the dashboard is the way in.
        QTRY_VERIFY_WITH_TIMEOUT(display.hasWindow(QStringLiteral("^VeltroMornix$")) || !agent.isRunning(), 20000);
        QVERIFY(agent.isRunning());

        auto watcher = std::make_unique<StatusNotifierHost>();
        QVERIFY(watcher->registerOnSessionBus());
        QTRY_VERIFY_WITH_TIMEOUT(!watcher->registered.isEmpty() || !agent.isRunning(), 20000);
        QVERIFY2(!watcher->registered.isEmpty(),
                 qPrintable(agent.logText() + QString::fromLocal8Bit(agent.process().readAllStandardError())));
        const QString registration = watcher->registered.first();
        QString service = registration;
        QString itemPath = QStringLiteral("/StatusNotifierItem");
        if (service.contains(QLatin1Char('/'))) {
            itemPath = service.mid(service.indexOf(QLatin1Char('/')));
            service = watcher->senders.first();
        }
        const QString menuPath = statusNotifierMenuPath(bus, service, itemPath);
        QVERIFY(!menuPath.isEmpty());
        const DBusMenuClient menu(bus, service, menuPath);

        QStringList items;
        QTRY_VERIFY_WITH_TIMEOUT((items = DBusMenuClient::describe(menu.layout())).contains(QStringLiteral("Quit")), 10000);
        QCOMPARE(items.mid(0, 2), (QStringList{"Open VeltroMornix", "-"}));
        QVERIFY2(items.at(2) == QStringLiteral("Connected: No(off)"), qPrintable(items.join(QLatin1Char('|'))));
        QVERIFY(items.at(3).startsWith(QStringLiteral("Build: ")) && items.at(3).endsWith(QStringLiteral("(off)")));
        QCOMPARE(items.mid(5), (QStringList{"-", "Sign in to Veltro", "Open logs.md", "Pause processing", "Launch at login",
                                             "Clear local credentials", "-", "Quit"}));

        QVERIFY(menu.click(QStringLiteral("Pause processing")));
        QTRY_VERIFY_WITH_TIMEOUT(DBusMenuClient::describe(menu.layout()).contains(QStringLiteral("Resume processing(checked)")),
                                 10000);

        // The host restarts: the same item registers with the new watcher.
        watcher.reset();
        bus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
        watcher = std::make_unique<StatusNotifierHost>();
        QVERIFY(watcher->registerOnSessionBus());
        QTRY_VERIFY_WITH_TIMEOUT(!watcher->registered.isEmpty(), 20000);
        QCOMPARE(watcher->registered, QStringList{registration});

        // Quit from the menu ends the process with status 0.
        menu.click(QStringLiteral("Quit"));
        QVERIFY(agent.waitForExit(15000));
        QCOMPARE(agent.exitCode(), 0);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(TrayDBusTest)
#include "tst_tray_dbus.moc"
