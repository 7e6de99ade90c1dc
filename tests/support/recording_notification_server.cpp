// A desktop notification server for tests: speaks org.freedesktop.Notifications on the session
// bus, records every call, and lets a test press an action or dismiss a notification through
// ai.veltro.test.NotificationServer at /ai/veltro/test/NotificationServer.
//
//   recording-notification-server [--poster-only]
//
// By default its signals are broadcast (as most servers do); with --poster-only ActionInvoked and
// NotificationClosed go only to the connection that posted the notification (as GNOME Shell
// does). Prints "ready" once it owns the name; ends on SIGTERM or when the bus goes away.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTimer>

#include <cstdio>

namespace mornix {

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

struct Shown {
    uint id = 0;
    QString sender;
    uint senderPid = 0;
    QString appName;
    QString summary;
    QString body;
    QStringList actions;
    int expireTimeout = -1;
};

QJsonObject toJson(const Shown &shown)
{
    return QJsonObject{{QStringLiteral("id"), qint64(shown.id)},
                       {QStringLiteral("sender"), shown.sender},
                       {QStringLiteral("sender_pid"), qint64(shown.senderPid)},
                       {QStringLiteral("app_name"), shown.appName},
                       {QStringLiteral("summary"), shown.summary},
                       {QStringLiteral("body"), shown.body},
                       {QStringLiteral("actions"), QJsonArray::fromStringList(shown.actions)},
                       {QStringLiteral("expire_timeout"), shown.expireTimeout}};
}

class Server : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit Server(bool posterOnly)
        : m_posterOnly(posterOnly)
    {
    }

    // Control side (called by the Control object).
    bool press(uint id, const QString &action)
    {
        if (!m_open.contains(id) || !m_open.value(id).actions.contains(action))
            return false;
        const Shown shown = m_open.take(id);
        emitSignal(shown.sender, QStringLiteral("ActionInvoked"), {id, action});
        emitSignal(shown.sender, QStringLiteral("NotificationClosed"), {id, uint(2)});
        m_history.append(QJsonObject{{QStringLiteral("event"), QStringLiteral("pressed")},
                                     {QStringLiteral("id"), qint64(id)},
                                     {QStringLiteral("action"), action}});
        return true;
    }
    bool dismiss(uint id)
    {
        if (!m_open.contains(id))
            return false;
        const Shown shown = m_open.take(id);
        emitSignal(shown.sender, QStringLiteral("NotificationClosed"), {id, uint(2)});
        m_history.append(
            QJsonObject{{QStringLiteral("event"), QStringLiteral("dismissed")}, {QStringLiteral("id"), qint64(id)}});
        return true;
    }
    QString state() const
    {
        QJsonArray open;
        for (const Shown &shown : m_open)
            open.append(toJson(shown));
        return QString::fromUtf8(
            QJsonDocument(QJsonObject{{QStringLiteral("open"), open}, {QStringLiteral("history"), m_history}})
                .toJson(QJsonDocument::Compact));
    }

public Q_SLOTS:
    Q_SCRIPTABLE QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }

    Q_SCRIPTABLE uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
                             const QString &body, const QStringList &actions, const QVariantMap &hints,
                             int expireTimeout)
    {
        Q_UNUSED(appIcon);
        Q_UNUSED(hints);
        Shown shown;
        shown.id = (replacesId != 0 && m_open.contains(replacesId)) ? replacesId : ++m_lastId;
        shown.sender = message().service();
        shown.senderPid = connection().interface()->servicePid(shown.sender).value();
        shown.appName = appName;
        shown.summary = summary;
        shown.body = body;
        shown.actions = actions;
        shown.expireTimeout = expireTimeout;
        m_open.insert(shown.id, shown);
        QJsonObject event = toJson(shown);
        event.insert(QStringLiteral("event"), QStringLiteral("notify"));
        m_history.append(event);
        return shown.id;
    }

    Q_SCRIPTABLE void CloseNotification(uint id)
    {
        m_history.append(QJsonObject{{QStringLiteral("event"), QStringLiteral("close")},
                                     {QStringLiteral("id"), qint64(id)},
                                     {QStringLiteral("sender"), message().service()}});
        if (!m_open.contains(id))
            return;
        const Shown shown = m_open.take(id);
        emitSignal(shown.sender, QStringLiteral("NotificationClosed"), {id, uint(3)});
    }

private:
    void emitSignal(const QString &poster, const QString &name, const QVariantList &arguments)
    {
        QDBusMessage signal = m_posterOnly ? QDBusMessage::createTargetedSignal(poster, kPath, kInterface, name)
                                           : QDBusMessage::createSignal(kPath, kInterface, name);
        signal.setArguments(arguments);
        QDBusConnection::sessionBus().send(signal);
    }

    bool m_posterOnly;
    uint m_lastId = 0;
    QMap<uint, Shown> m_open;
    QJsonArray m_history;
};

class Control : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "ai.veltro.test.NotificationServer")
public:
    explicit Control(Server *server)
        : m_server(server)
    {
    }

public Q_SLOTS:
    Q_SCRIPTABLE bool Press(uint id, const QString &action) { return m_server->press(id, action); }
    Q_SCRIPTABLE bool Dismiss(uint id) { return m_server->dismiss(id); }
    Q_SCRIPTABLE QString State() { return m_server->state(); }

private:
    Server *m_server;
};

}  // namespace

}  // namespace mornix

using namespace mornix;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool posterOnly = app.arguments().contains(QStringLiteral("--poster-only"));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no session bus\n");
        return 1;
    }
    Server server(posterOnly);
    Control control(&server);
    const auto exported = QDBusConnection::ExportScriptableSlots;
    if (!bus.registerObject(kPath, &server, exported)
        || !bus.registerObject(QStringLiteral("/ai/veltro/test/NotificationServer"), &control, exported)
        || !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        std::fprintf(stderr, "cannot register: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    // Leave with the bus: a test's private bus ends with the test.
    QTimer busCheck;
    QObject::connect(&busCheck, &QTimer::timeout, &app, [] {
        if (!QDBusConnection::sessionBus().isConnected())
            QCoreApplication::exit(0);
    });
    busCheck.start(500);
    return app.exec();
}

#include "recording_notification_server.moc"
