// The real agent against real desktop panels under Xvfb on a private session bus: the agent
// starts first, the panel 4 s later (as at login). The icon registers with the panel's
// StatusNotifierWatcher, the menu read over com.canonical.dbusmenu is exact, a toggle chosen
// in the panel's own menu keeps its checkmark, a restarted panel gets the icon back, and Quit
// removes it. Screenshots of the panel with the open menu go to the build tree.
#include "support/agent_process.h"
#include "support/dbus_menu_client.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"
#include "support/test_files.h"
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

QString xfconfDaemon()
{
    const QStringList candidates =
        QDir(QStringLiteral("/usr/lib")).entryList({QStringLiteral("*-linux-gnu*")}, QDir::Dirs);
    for (const QString &dir : candidates + QStringList{QString()}) {
        const QString path = QStringLiteral("/usr/lib/%1/xfce4/xfconf/xfconfd").arg(dir);
        if (QFileInfo(QDir::cleanPath(path)).isExecutable())
            return QDir::cleanPath(path);
    }
    return {};
}

bool isDark(const QColor &c)
{
    return c.red() < 90 && c.green() < 90 && c.blue() < 90;
}

int darkPixels(const QImage &shot, const QRect &area)
{
    int count = 0;
    const QRect inside = area.intersected(shot.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x)
            count += isDark(shot.pixelColor(x, y));
    }
    return count;
}

// The centre of the dark pixels (the tinted icon) in the panel strip at the top of `shot`
// (the panel stays above the dashboard, which has no window manager to place it).
QPoint darkCentre(const QImage &shot, int stripHeight)
{
    qint64 sx = 0, sy = 0, count = 0;
    for (int y = 0; y < qMin(stripHeight, shot.height()); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            if (isDark(shot.pixelColor(x, y))) {
                sx += x;
                sy += y;
                ++count;
            }
        }
    }
    return count ? QPoint(int(sx / count), int(sy / count)) : QPoint(-1, -1);
}

// One desktop for a test: a private home with the panel's configuration, an Xvfb screen, and
// the panel with what it needs (xfconfd on the private bus, never the user's settings; or a
// compositor for lxqt-panel). Scale 2 is the panel's own (GDK_SCALE, QT_SCALE_FACTOR).
class PanelDesktop {
public:
    PanelDesktop(QString panel, int scale)
        : m_panel(std::move(panel))
        , m_scale(scale)
        , m_xfce(m_panel == QLatin1String("xfce4-panel"))
    {
    }
    ~PanelDesktop()
    {
        stopProcess(m_process, 5000);
        stopProcess(m_helper, 3000);
    }

    bool prepare()
    {
        const QString config = m_home.environment().value(QStringLiteral("XDG_CONFIG_HOME"))
                               + (m_xfce ? QStringLiteral("/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml")
                                         : QStringLiteral("/lxqt/panel.conf"));
        if (!QDir().mkpath(QFileInfo(config).path())
            || !writeFile(config, m_xfce ? QByteArray(kXfcePanelConfig) : QByteArray(kLxqtPanelConfig)))
            return false;
        if (!m_display.start(QStringLiteral("%1x%2x24").arg(1024 * m_scale).arg(600 * m_scale)))
            return false;
        m_environment = xcbEnvironment(m_home.environment(), m_display.display());
        m_environment.remove(QStringLiteral("SESSION_MANAGER"));
        m_environment.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
        // As in that desktop's session: Qt programs then load the platform theme users get
        // there (gtk3 under Xfce, when installed).
        m_environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"),
                             m_xfce ? QStringLiteral("XFCE") : QStringLiteral("LXQt"));
        return true;
    }

    // Starts the panel (again after stopPanel()); the helper the first time.
    bool startPanel()
    {
        if (m_helper.state() == QProcess::NotRunning) {
            m_helper.setProcessEnvironment(m_environment);
            m_helper.start(m_xfce ? xfconfDaemon() : QStringLiteral("xcompmgr"), {});
            if (!m_helper.waitForStarted(5000))
                return false;
        }
        QProcessEnvironment environment = m_environment;
        environment.insert(m_xfce ? QStringLiteral("GDK_SCALE") : QStringLiteral("QT_SCALE_FACTOR"),
                           QString::number(m_scale));
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(m_panel, m_xfce ? QStringList{QStringLiteral("--disable-wm-check")} : QStringList{});
        return m_process.waitForStarted(5000);
    }
    void stopPanel() { stopProcess(m_process, 5000); }

    // Environment for programs on this desktop.
    QProcessEnvironment environment() const { return m_environment; }
    const VirtualDisplay &display() const { return m_display; }
    bool grab(const QString &path) const
    {
        return runProcess(QStringLiteral(MORNIX_SCREEN_GRAB), {path}, {}, m_environment).exitCode == 0;
    }
    // The tinted icon in the panel strip of `shot`; x < 0 when none is drawn.
    QPoint findIcon(const QString &shot) const { return darkCentre(QImage(shot), panelHeight()); }
    // Right-click on the icon: the panel opens its own menu. Waits until the screen below the
    // icon has changed (the menu is drawn), `scratch` holding the screenshots.
    bool openMenu(QPoint icon, const QString &scratch) const
    {
        if (!grab(scratch))
            return false;
        const QImage before(scratch);
        if (!m_display.xdotool({QStringLiteral("mousemove"), QString::number(icon.x()), QString::number(icon.y()),
                                QStringLiteral("click"), QStringLiteral("3")}))
            return false;
        const QRect below(0, panelHeight(), 300 * m_scale, 200 * m_scale);
        const bool shown = QTest::qWaitFor(
            [&] {
                if (!grab(scratch))
                    return false;
                const QImage after(scratch);
                int changed = 0;
                for (int y = below.top(); y <= below.bottom(); y += 2) {
                    for (int x = below.left(); x <= below.right(); x += 2)
                        changed += after.pixel(x, y) != before.pixel(x, y);
                }
                return changed > 500 * m_scale * m_scale;
            },
            10000);
        QTest::qWait(300);  // the menu's last items are drawn
        return shown && grab(scratch);
    }
    // The checkbox column of the open menu: left of the labels, below the panel.
    QRect checkboxColumn(QPoint icon) const
    {
        return QRect(0, panelHeight(), icon.x() + (m_xfce ? 14 : 20) * m_scale, 300 * m_scale);
    }

private:
    int panelHeight() const { return (m_xfce ? 30 : 32) * m_scale; }

    QString m_panel;
    int m_scale;
    bool m_xfce;
    TemporaryHome m_home;
    VirtualDisplay m_display;
    QProcessEnvironment m_environment;
    QProcess m_helper;
    QProcess m_process;
};

}  // namespace

class TrayPanelsTest : public QObject {
    Q_OBJECT
private:
    QDBusConnection m_bus = QDBusConnection::sessionBus();

    // The items the panel's watcher lists; empty without a watcher.
    QStringList registeredItems() const
    {
        QDBusMessage get =
            QDBusMessage::createMethodCall(kWatcher, QStringLiteral("/StatusNotifierWatcher"),
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

        PanelDesktop desktop(panel, scale);
        QVERIFY(desktop.prepare());
        if (!xfce)
            QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("xcompmgr")).isEmpty(), "xcompmgr is missing");
        else
            QVERIFY2(!xfconfDaemon().isEmpty(), "xfconfd (package xfconf) is missing");

        QProcessEnvironment agentEnvironment = desktop.environment();
        agentEnvironment.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
        agentEnvironment.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::number(scale));
        AgentProcess agent(agentEnvironment);
        QVERIFY(agent.start({QStringLiteral("--standalone-menu-bar")}));
        QVERIFY(agent.waitForLog(QStringLiteral("app started build=")));
        // No tray yet: the dashboard is the way in.
        QTRY_VERIFY_WITH_TIMEOUT(desktop.display().hasWindow(QStringLiteral("^VeltroMornix$")) || !agent.isRunning(),
                                 20000);
        QVERIFY(agent.isRunning());
        QTest::qWait(4000);
        QVERIFY(desktop.startPanel());

        QStringList item;
        QTRY_VERIFY_WITH_TIMEOUT(!(item = agentItem(agent.process().processId())).isEmpty(), 20000);
        const QString menuPath = statusNotifierMenuPath(m_bus, item.at(0), item.at(1));
        QVERIFY(!menuPath.isEmpty());
        const DBusMenuClient menu(m_bus, item.at(0), menuPath);

        const QString started =
            agent.logText().section(QStringLiteral("app started build="), 1).section(QLatin1Char('\n'), 0, 0);
        QStringList items = DBusMenuClient::describe(menu.layout());
        QCOMPARE(items.size(), 13);
        QVERIFY2(items.at(4).startsWith(QStringLiteral("Last command: "))
                     && items.at(4).endsWith(QStringLiteral("(off)")),
                 qPrintable(items.at(4)));
        items[4] = QStringLiteral("Last command");
        QCOMPARE(items,
                 (QStringList{"Open VeltroMornix", "-", "Connected: No(off)", "Build: " + started.trimmed() + "(off)",
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
        QTRY_VERIFY_WITH_TIMEOUT(desktop.grab(shotPath) && (icon = desktop.findIcon(shotPath)).x() >= 0, 10000);
        QVERIFY(desktop.openMenu(icon, shotPath));
        const QRect checkboxes = desktop.checkboxColumn(icon);
        const int unchecked = darkPixels(QImage(shotPath), checkboxes);
        QVERIFY(desktop.display().xdotool({"key", "Down", "Down", "Down", "Down", "Return"}));
        QTRY_COMPARE_WITH_TIMEOUT(
            menu.item(QStringLiteral("Resume processing")).properties.value(QStringLiteral("toggle-state")).toInt(), 1,
            10000);
        QCOMPARE(
            menu.item(QStringLiteral("Resume processing")).properties.value(QStringLiteral("toggle-type")).toString(),
            QStringLiteral("checkmark"));

        // Opened again, the panel draws the checkmark: kept as the screenshot.
        QTest::qWait(500);
        QVERIFY(desktop.openMenu(icon, shotPath));
        const int checked = darkPixels(QImage(shotPath), checkboxes);
        qInfo() << "screenshot" << shotPath << "checkbox column, dark pixels:" << unchecked << "->" << checked;
        QVERIFY2(
            checked > unchecked + 10 * scale,
            qPrintable(
                QStringLiteral("no checkmark drawn: %1 dark pixels before, %2 after").arg(unchecked).arg(checked)));
        QVERIFY(desktop.display().xdotool({"key", "Escape"}));

        if (scale == 1) {
            // The panel restarts: its new watcher gets the icon again.
            desktop.stopPanel();
            QTRY_VERIFY_WITH_TIMEOUT(agentItem(agent.process().processId()).isEmpty(), 10000);
            QVERIFY(desktop.startPanel());
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
    }

    // The same toggle in the smallest Qt tray program, where only Qt touches the item: tells
    // the agent's handling apart from Qt's exporter and the panel's importer.
    void plainQtTray_data()
    {
        QTest::addColumn<QString>("panel");
        QTest::newRow("xfce4-panel") << QStringLiteral("xfce4-panel");
        QTest::newRow("lxqt-panel") << QStringLiteral("lxqt-panel");
    }

    void plainQtTray()
    {
        QFETCH(QString, panel);
        if (QStandardPaths::findExecutable(panel).isEmpty())
            QSKIP(qPrintable(panel + QStringLiteral(" is not installed (scripts/install-deps installs it)")));
        PanelDesktop desktop(panel, 1);
        QVERIFY(desktop.prepare());
        QVERIFY(desktop.startPanel());
        QTRY_VERIFY_WITH_TIMEOUT(m_bus.interface()->isServiceRegistered(kWatcher).value(), 20000);
        QProcess program;
        program.setProcessEnvironment(desktop.environment());
        program.start(QStringLiteral(MORNIX_MINIMAL_TRAY), {});
        QVERIFY(program.waitForStarted(5000));
        QStringList item;
        QTRY_VERIFY_WITH_TIMEOUT(!(item = agentItem(program.processId())).isEmpty(), 20000);
        const DBusMenuClient menu(m_bus, item.at(0), statusNotifierMenuPath(m_bus, item.at(0), item.at(1)));
        QCOMPARE(DBusMenuClient::describe(menu.layout()), (QStringList{"Check me", "-", "Quit"}));

        QDir().mkpath(QStringLiteral(MORNIX_SCREENSHOT_DIR));
        const QString shotPath = QStringLiteral(MORNIX_SCREENSHOT_DIR "/tray-%1-plain-qt.png").arg(panel);
        QPoint icon;
        QTRY_VERIFY_WITH_TIMEOUT(desktop.grab(shotPath) && (icon = desktop.findIcon(shotPath)).x() >= 0, 10000);
        QVERIFY(desktop.openMenu(icon, shotPath));
        const int unchecked = darkPixels(QImage(shotPath), desktop.checkboxColumn(icon));
        QVERIFY(desktop.display().xdotool({"key", "Down", "Return"}));
        QTRY_COMPARE_WITH_TIMEOUT(
            menu.item(QStringLiteral("Check me")).properties.value(QStringLiteral("toggle-state")).toInt(), 1, 10000);
        QTest::qWait(500);
        QVERIFY(desktop.openMenu(icon, shotPath));
        const int checked = darkPixels(QImage(shotPath), desktop.checkboxColumn(icon));
        QVERIFY2(
            checked > unchecked + 10,
            qPrintable(
                QStringLiteral("no checkmark drawn: %1 dark pixels before, %2 after").arg(unchecked).arg(checked)));
        QVERIFY(desktop.display().xdotool({"key", "Escape"}));
        QVERIFY(menu.click(QStringLiteral("Quit")));
        QVERIFY(program.waitForFinished(10000));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(TrayPanelsTest)
#include "tst_tray_panels.moc"
