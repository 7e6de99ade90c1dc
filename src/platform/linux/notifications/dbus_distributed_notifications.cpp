#include "platform/linux/notifications/dbus_distributed_notifications.h"

#include "platform/linux/platform_logging.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QLoggingCategory>

namespace mornix {

namespace {
const QString kPath = QStringLiteral("/ai/veltro/mornix");
const QString kInterface = QStringLiteral("ai.veltro.mornix.Notifications");
const QString kMember = QStringLiteral("Posted");
}  // namespace

DBusDistributedNotifications::DBusDistributedNotifications(QObject *parent)
    : QObject(parent)
{
}

bool DBusDistributedNotifications::post(const QString &name)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(lcNotifications) << "no session bus; not posted:" << name;
        return false;
    }
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, kMember);
    signal << name;
    if (!bus.send(signal))
        return false;
    // The bus handles a connection's messages in order: once it has answered this call, the
    // signal has left the process and reached the bus, so the caller may exit at once.
    const QDBusMessage ping =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    bus.call(ping, QDBus::Block, 5000);
    return true;
}

bool DBusDistributedNotifications::observe(const QString &name, QObject *context, std::function<void()> handler)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCWarning(lcNotifications).noquote() << "no session bus (" + bus.lastError().message() + "); the notification"
                                             << name << "will never be received";
        return false;
    }
    if (!m_connected) {
        m_connected = bus.connect(QString(), kPath, kInterface, kMember, this, SLOT(onPosted(QString)));
        if (!m_connected)
            return false;
    }
    m_observers.append(Observer{name, QPointer<QObject>(context), std::move(handler)});
    return true;
}

void DBusDistributedNotifications::onPosted(const QString &name)
{
    m_observers.removeIf([](const Observer &o) { return o.context.isNull(); });
    // Handlers may add observers; iterate over a copy.
    const QList<Observer> observers = m_observers;
    for (const Observer &observer : observers) {
        if (observer.name == name && observer.context)
            observer.handler();
    }
}

}  // namespace mornix
