// The real agent under Xvfb shows its tray icon to a StatusNotifierItem host on a private
// session bus (this test is the host), and its menu is read and driven over
// com.canonical.dbusmenu the way a desktop panel does.
#include "support/agent_process.h"
#include "support/process_runner.h"
#include "support/status_notifier_host.h"
#include "support/temporary_home.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QProcess>
#include <QTest>

#include <memory>

namespace mornix {

namespace {

struct MenuNode {
    int id = 0;
    QVariantMap properties;
    QList<MenuNode> children;
};

void readNode(const QDBusArgument &argument, MenuNode &node)
{
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        MenuNode childNode;
        readNode(child.variant().value<QDBusArgument>(), childNode);
        node.children.append(childNode);
    }
    argument.endArray();
    argument.endStructure();
}

// An Xvfb server on a free display number, stopped when dropped.
class VirtualDisplay {
public:
    bool start()
    {
        m_server.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x800x24"});
        if (!m_server.waitForStarted(5000))
            return false;
        // Xvfb writes the display number it took, once it accepts clients.
        QByteArray out;
        const bool answered = QTest::qWaitFor([&] {
            out += m_server.readAllStandardOutput();
            return out.contains('\n') || m_server.state() != QProcess::Running;
        }, 10000);
        if (!answered)
            return false;
        bool ok = false;
        const int number = out.trimmed().toInt(&ok);
        if (ok)
            m_display = QStringLiteral(":%1").arg(number);
        return ok;
    }
    ~VirtualDisplay() { stopProcess(m_server, 3000); }
    QString display() const { return m_display; }

private:
    QProcess m_server;
    QString m_display;
};

}  // namespace

class TrayDBusTest : public QObject {
    Q_OBJECT
private:
    MenuNode layout(const QString &service, const QString &menuPath)
    {
        QDBusMessage aboutToShow = QDBusMessage::createMethodCall(service, menuPath, QStringLiteral("com.canonical.dbusmenu"),
                                                                  QStringLiteral("AboutToShow"));
        aboutToShow << 0;
        QDBusConnection::sessionBus().call(aboutToShow);
        QDBusMessage call = QDBusMessage::createMethodCall(service, menuPath, QStringLiteral("com.canonical.dbusmenu"),
                                                           QStringLiteral("GetLayout"));
        call << 0 << -1 << QStringList();
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
        MenuNode root;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
            return root;
        readNode(reply.arguments().at(1).value<QDBusArgument>(), root);
        return root;
    }

    static QStringList describe(const MenuNode &root)
    {
        QStringList out;
        for (const MenuNode &item : root.children) {
            if (item.properties.value(QStringLiteral("type")).toString() == QLatin1String("separator")) {
                out << QStringLiteral("-");
                continue;
            }
            QString text = item.properties.value(QStringLiteral("label")).toString();
            if (item.properties.contains(QStringLiteral("enabled")) && !item.properties.value(QStringLiteral("enabled")).toBool())
                text += QStringLiteral("(off)");
            if (item.properties.value(QStringLiteral("toggle-state")).toInt() == 1)
                text += QStringLiteral("(checked)");
            out << text;
        }
        return out;
    }

private Q_SLOTS:
    void menuOverDBus()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY2(bus.isConnected(), "runs inside its own session bus");
        StatusNotifierHost watcher;
        QVERIFY(watcher.registerOnSessionBus());

        VirtualDisplay display;
        if (!display.start())
            QSKIP("Xvfb is not available");
        TemporaryHome home;
        QProcessEnvironment environment = headlessEnvironment(home.environment());
        environment.insert(QStringLiteral("DISPLAY"), display.display());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
        AgentProcess agent(environment);
        QVERIFY(agent.start({QStringLiteral("--standalone-menu-bar")}));

        QTRY_VERIFY_WITH_TIMEOUT(!watcher.registered.isEmpty() || !agent.isRunning(), 20000);
        QVERIFY2(!watcher.registered.isEmpty(),
                 qPrintable(agent.logText() + QString::fromLocal8Bit(agent.process().readAllStandardError())));
        QString service = watcher.registered.first();
        QString itemPath = QStringLiteral("/StatusNotifierItem");
        if (service.contains(QLatin1Char('/'))) {
            itemPath = service.mid(service.indexOf(QLatin1Char('/')));
            service = watcher.senders.first();
        }
        QDBusMessage get = QDBusMessage::createMethodCall(service, itemPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
        get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("Menu");
        const QDBusMessage menuReply = bus.call(get);
        QCOMPARE(menuReply.type(), QDBusMessage::ReplyMessage);
        const QString menuPath =
            menuReply.arguments().first().value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
        QVERIFY(!menuPath.isEmpty());

        QStringList items;
        QTRY_VERIFY_WITH_TIMEOUT((items = describe(layout(service, menuPath))).contains(QStringLiteral("Quit")), 10000);
        qInfo() << "tray menu" << items;
        QCOMPARE(items.mid(0, 2), (QStringList{"Open VeltroMornix", "-"}));
        QVERIFY2(items.at(2) == QStringLiteral("Connected: No(off)"), qPrintable(items.join(QLatin1Char('|'))));
        QVERIFY(items.at(3).startsWith(QStringLiteral("Build: ")) && items.at(3).endsWith(QStringLiteral("(off)")));
        QCOMPARE(items.mid(5), (QStringList{"-", "Sign in to Veltro", "Open logs.md", "Pause processing", "Launch at login",
                                             "Clear local credentials", "-", "Quit"}));

        // Clicks the item with `label` the way a tray host does.
        const auto click = [&](const QString &label) {
            int id = -1;
            for (const MenuNode &item : layout(service, menuPath).children) {
                if (item.properties.value(QStringLiteral("label")).toString() == label)
                    id = item.id;
            }
            QDBusMessage event = QDBusMessage::createMethodCall(service, menuPath, QStringLiteral("com.canonical.dbusmenu"),
                                                                QStringLiteral("Event"));
            event << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
            return id >= 0 && bus.call(event).type() == QDBusMessage::ReplyMessage;
        };
        QVERIFY(click(QStringLiteral("Pause processing")));
        QTRY_VERIFY_WITH_TIMEOUT(describe(layout(service, menuPath)).contains(QStringLiteral("Resume processing(checked)")), 10000);
        QVERIFY(agent.waitForLog(QStringLiteral("app started build=")));

        // Quit from the menu ends the process with status 0.
        click(QStringLiteral("Quit"));
        QVERIFY(agent.waitForExit(15000));
        QCOMPARE(agent.exitCode(), 0);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(TrayDBusTest)
#include "tst_tray_dbus.moc"
