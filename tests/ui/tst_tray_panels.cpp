// The real agent against real desktop panels under Xvfb on a private session bus: the agent
// starts first, the panel 4 s later (as at login). The icon registers with the panel's
// StatusNotifierWatcher, the menu read over com.canonical.dbusmenu is exact, a toggle chosen
// in the panel's own menu keeps its checkmark, a restarted panel gets the icon back, and Quit
// removes it. Screenshots of the panel with the open menu go to the build tree.
#include "support/agent_process.h"
#include "support/dbus_menu_client.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"
#include "support/virtual_display.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QStandardPaths>
#include <QTest>

namespace mornix {

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

const char kXfcePanelConfig[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)";

const char kLxqtPanelConfig[] = R"([General]
__userfile__=true
panels=panel1

[panel1]
plugins=statusnotifier
position=Top
panelSize=32
iconSize=22

[statusnotifier]
type=statusnotifier
alignment=Left
)";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QString xfconfDaemon()
{
    const QStringList candidates = QDir(QStringLiteral("/usr/lib")).entryList({QStringLiteral("*-linux-gnu*")}, QDir::Dirs);
    for (const QString &dir : candidates + QStringList{QString()}) {
        const QString path = QStringLiteral("/usr/lib/%1/xfce4/xfconf/xfconfd").arg(dir);
        if (QFileInfo(QDir::cleanPath(path)).isExecutable())
            return QDir::cleanPath(path);
    }
    return {};
}

int darkPixels(const QImage &shot, const QRect &area)
{
    int count = 0;
    const QRect inside = area.intersected(shot.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            count += c.red() < 90 && c.green() < 90 && c.blue() < 90;
        }
    }
    return count;
}

// The centre of the dark pixels (the tinted icon) in the panel strip at the top of `shot`
// (the panel stays above the dashboard, which has no window manager to place it).
QPoint darkCentre(const QImage &shot, int stripHeight)
{
    qint64 sx = 0;
    qint64 sy = 0;
    qint64 count = 0;
    for (int y = 0; y < qMin(stripHeight, shot.height()); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            if (c.red() < 90 && c.green() < 90 && c.blue() < 90) {
                sx += x;
                sy += y;
                ++count;
            }
        }
    }
    return count ? QPoint(int(sx / count), int(sy / count)) : QPoint(-1, -1);
}

}  // namespace

class TrayPanelsTest : public QObject {
    Q_OBJECT
private:
    QDBusConnection m_bus = QDBusConnection::sessionBus();

    // The items the panel's watcher lists; empty without a watcher.
    QStringList registeredItems() const
    {
        QDBusMessage get = QDBusMessage::createMethodCall(kWatcher, QStringLiteral("/StatusNotifierWatcher"),
                                                          QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << kWatcher << QStringLiteral("RegisteredStatusNotifierItems");
        const QDBusMessage reply = m_bus.call(get);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return {};
        return reply.arguments().first().value<QDBusVariant>().variant().toStringList();
    }

    // "service path" of the agent's item as the panel's watcher lists it; empty when absent.
    QStringList agentItem(qint64 agentPid) const
    {
        for (const QString &entry : registeredItems()) {
            const qsizetype slash = entry.indexOf(QLatin1Char('/'));
            const QString service = slash < 0 ? entry : entry.left(slash);
            const QString path = slash < 0 ? QStringLiteral("/StatusNotifierItem") : entry.mid(slash);
            if (m_bus.interface()->servicePid(service).value() == agentPid)
                return {service, path};
        }
        return {};
    }

private Q_SLOTS:
    void panels_data()
    {
        QTest::addColumn<QString>("panel");
        QTest::addColumn<int>("scale");
        for (const char *panel : {"xfce4-panel", "lxqt-panel"}) {
            for (int scale : {1, 2})
                QTest::addRow("%s-x%d", panel, scale) << QString::fromLatin1(panel) << scale;
        }
    }

    void panels()
    {
        QFETCH(QString, panel);
        QFETCH(int, scale);
        const bool xfce = panel == QLatin1String("xfce4-panel");
        if (QStandardPaths::findExecutable(panel).isEmpty())
            QSKIP(qPrintable(panel + QStringLiteral(" is not installed (scripts/install-deps installs it)")));
        QVERIFY2(m_bus.isConnected(), "runs inside its own session bus");
        QVERIFY2(!m_bus.interface()->isServiceRegistered(kWatcher).value(), "the private bus has no tray host yet");

        TemporaryHome home;
        const QString configHome = home.environment().value(QStringLiteral("XDG_CONFIG_HOME"));
        QVERIFY(writeFile(configHome + (xfce ? QStringLiteral("/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml")
                                             : QStringLiteral("/lxqt/panel.conf")),
                          xfce ? QByteArray(kXfcePanelConfig) : QByteArray(kLxqtPanelConfig)));
        VirtualDisplay display;
        QVERIFY(display.start(QStringLiteral("1024x600x24")));

        QProcessEnvironment desktop = headlessEnvironment(home.environment());
        desktop.insert(QStringLiteral("DISPLAY"), display.display());
        desktop.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        desktop.remove(QStringLiteral("SESSION_MANAGER"));
        desktop.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));

        QProcessEnvironment agentEnvironment = desktop;
        agentEnvironment.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
        agentEnvironment.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::number(scale));
        AgentProcess agent(agentEnvironment);
        QVERIFY(agent.start({QStringLiteral("--standalone-menu-bar")}));
        QVERIFY(agent.waitForLog(QStringLiteral("app started build=")));
        // No tray yet: the dashboard is the way in.
        QTRY_VERIFY_WITH_TIMEOUT(display.hasWindow(QStringLiteral("^VeltroMornix$")) || !agent.isRunning(), 20000);
        QVERIFY(agent.isRunning());
        QTest::qWait(4000);

        // The panel and what it needs: xfconfd on the private bus (never the user's settings),
        // or a compositor for lxqt-panel.
        QProcess helper;
        helper.setProcessEnvironment(desktop);
        if (xfce) {
            const QString xfconfd = xfconfDaemon();
            QVERIFY2(!xfconfd.isEmpty(), "xfconfd (package xfconf) is missing");
            helper.start(xfconfd, {});
        } else {
            helper.start(QStringLiteral("xcompmgr"), {});
        }
        QVERIFY(helper.waitForStarted(5000));
        QProcessEnvironment panelEnvironment = desktop;
        panelEnvironment.insert(xfce ? QStringLiteral("GDK_SCALE") : QStringLiteral("QT_SCALE_FACTOR"), QString::number(scale));
        QProcess panelProcess;
        panelProcess.setProcessEnvironment(panelEnvironment);
        panelProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QStringList panelArguments = xfce ? QStringList{QStringLiteral("--disable-wm-check")} : QStringList{};
        panelProcess.start(panel, panelArguments);
        QVERIFY(panelProcess.waitForStarted(5000));

        QStringList item;
        QTRY_VERIFY_WITH_TIMEOUT(!(item = agentItem(agent.process().processId())).isEmpty(), 20000);
        const QString menuPath = statusNotifierMenuPath(m_bus, item.at(0), item.at(1));
        QVERIFY(!menuPath.isEmpty());
        const DBusMenuClient menu(m_bus, item.at(0), menuPath);

        const QString started = agent.logText().section(QStringLiteral("app started build="), 1).section(QLatin1Char('\n'), 0, 0);
        QStringList items = DBusMenuClient::describe(menu.layout());
        QCOMPARE(items.size(), 13);
        QVERIFY2(items.at(4).startsWith(QStringLiteral("Last command: ")) && items.at(4).endsWith(QStringLiteral("(off)")),
                 qPrintable(items.at(4)));
        items[4] = QStringLiteral("Last command");
        QCOMPARE(items, (QStringList{"Open VeltroMornix", "-", "Connected: No(off)", "Build: " + started.trimmed() + "(off)",
                                     "Last command", "-", "Sign in to Veltro", "Open logs.md", "Pause processing",
                                     "Launch at login", "Clear local credentials", "-", "Quit"}));
        const MenuNode pause = menu.item(QStringLiteral("Pause processing"));
        QCOMPARE(pause.properties.value(QStringLiteral("toggle-type")).toString(), QStringLiteral("checkmark"));
        QCOMPARE(pause.properties.value(QStringLiteral("toggle-state")).toInt(), 0);

        // The panel's own menu: open it on the icon, choose "Pause processing" with the keys
        // (the three status lines are disabled, so it is the fourth item reached).
        const QString shots = QStringLiteral(MORNIX_SCREENSHOT_DIR);
        QDir().mkpath(shots);
        const QString shotPath = shots + QStringLiteral("/tray-%1-x%2.png").arg(panel).arg(scale);
        QPoint icon;
        const auto grab = [&] { return runProcess(QStringLiteral(MORNIX_SCREEN_GRAB), {shotPath}, {}, desktop).exitCode == 0; };
        QTRY_VERIFY_WITH_TIMEOUT(grab() && (icon = darkCentre(QImage(shotPath), (xfce ? 30 : 32) * scale)).x() >= 0, 10000);
        const QStringList at = {QStringLiteral("mousemove"), QString::number(icon.x()), QString::number(icon.y())};
        QVERIFY(display.xdotool(at + QStringList{QStringLiteral("click"), QStringLiteral("3")}));
        QTest::qWait(1000);
        QVERIFY(grab());
        // The checkbox column of the open menu: left of the labels, below the panel.
        const QRect checkboxes(0, (xfce ? 30 : 32) * scale, icon.x() + (xfce ? 14 : 20) * scale, 300 * scale);
        const int unchecked = darkPixels(QImage(shotPath), checkboxes);
        QVERIFY(display.xdotool({"key", "Down", "Down", "Down", "Down", "Return"}));
        QTRY_COMPARE_WITH_TIMEOUT(menu.item(QStringLiteral("Resume processing")).properties.value(QStringLiteral("toggle-state")).toInt(),
                                  1, 10000);
        QCOMPARE(menu.item(QStringLiteral("Resume processing")).properties.value(QStringLiteral("toggle-type")).toString(),
                 QStringLiteral("checkmark"));

        // Opened again, the panel draws the checkmark: kept as the screenshot.
        QTest::qWait(500);
        QVERIFY(display.xdotool(at + QStringList{QStringLiteral("click"), QStringLiteral("3")}));
        QTest::qWait(1000);
        QVERIFY(grab());
        const int checked = darkPixels(QImage(shotPath), checkboxes);
        qInfo() << "screenshot" << shotPath << "checkbox column, dark pixels:" << unchecked << "->" << checked;
        QVERIFY2(checked > unchecked + 10 * scale,
                 qPrintable(QStringLiteral("no checkmark drawn: %1 dark pixels before, %2 after").arg(unchecked).arg(checked)));
        QVERIFY(display.xdotool({"key", "Escape"}));

        if (scale == 1) {
            // The panel restarts: its new watcher gets the icon again.
            stopProcess(panelProcess, 5000);
            QTRY_VERIFY_WITH_TIMEOUT(agentItem(agent.process().processId()).isEmpty(), 10000);
            panelProcess.start(panel, panelArguments);
            QVERIFY(panelProcess.waitForStarted(5000));
            QTRY_VERIFY_WITH_TIMEOUT(!agentItem(agent.process().processId()).isEmpty(), 20000);
        }

        // Quit from the menu: the process ends with 0 and the panel drops the icon.
        item = agentItem(agent.process().processId());
        QVERIFY(!item.isEmpty());
        const DBusMenuClient current(m_bus, item.at(0), statusNotifierMenuPath(m_bus, item.at(0), item.at(1)));
        QVERIFY(current.click(QStringLiteral("Quit")));
        QVERIFY(agent.waitForExit(15000));
        QCOMPARE(agent.exitCode(), 0);
        const QString service = item.at(0);
        QTRY_VERIFY_WITH_TIMEOUT(!registeredItems().join(QLatin1Char(' ')).contains(service), 10000);
        QVERIFY(m_bus.interface()->isServiceRegistered(kWatcher).value());

        stopProcess(panelProcess, 5000);
        stopProcess(helper, 3000);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(TrayPanelsTest)
#include "tst_tray_panels.moc"
