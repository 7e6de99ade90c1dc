#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QStringList>

namespace mornix {

// A minimal StatusNotifierWatcher that also counts as the one host, as a desktop panel offers
// it: tray icons of Qt programs on the same session bus register their items with it.
// Thread: main thread.
class StatusNotifierHost : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    // Registers the watcher object and its well-known name on the session bus.
    bool registerOnSessionBus();

    QStringList registered;  // the service (or service plus path) each item gave
    QStringList senders;     // the unique bus name of each registering connection

    QStringList items() const { return registered; }
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service, const QDBusMessage &message);
    void RegisterStatusNotifierHost(const QString &) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString &service);
    void StatusNotifierHostRegistered();
};

}  // namespace mornix
