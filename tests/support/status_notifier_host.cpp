#include "support/status_notifier_host.h"

#include <QDBusConnection>

namespace mornix {

bool StatusNotifierHost::registerOnSessionBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected()
           && bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                                 QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties
                                     | QDBusConnection::ExportAllSignals)
           && bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
}

void StatusNotifierHost::RegisterStatusNotifierItem(const QString &service, const QDBusMessage &message)
{
    registered.append(service);
    senders.append(message.service());
    Q_EMIT StatusNotifierItemRegistered(service);
}

}  // namespace mornix
