#pragma once

#include "platform/distributed_notifications.h"

#include <QList>
#include <QPointer>

namespace mornix {

// DistributedNotifications as a D-Bus signal on the session bus: path "/ai/veltro/mornix",
// interface "ai.veltro.mornix.Notifications", member "Posted", one string argument (the name).
// Must be created after the QCoreApplication. Thread: main thread.
class DBusDistributedNotifications final : public QObject, public DistributedNotifications {
    Q_OBJECT
public:
    explicit DBusDistributedNotifications(QObject *parent = nullptr);

    bool post(const QString &name) override;
    bool observe(const QString &name, QObject *context, std::function<void()> handler) override;

private Q_SLOTS:
    void onPosted(const QString &name);

private:
    struct Observer {
        QString name;
        QPointer<QObject> context;
        std::function<void()> handler;
    };
    bool m_connected = false;
    QList<Observer> m_observers;
};

}  // namespace mornix
