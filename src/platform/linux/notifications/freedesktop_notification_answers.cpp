// The answers and endings of the notifications this process posted: a person's answer goes to
// the delegate, and a notification that ends (closed, answered, its server gone) leaves the store.
#include "platform/linux/notifications/freedesktop_notifications.h"

#include "support/serial_queue.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace mornix {

void FreedesktopNotifications::onActionInvoked(uint id, const QString &actionKey, const QDBusMessage &message)
{
    const QString server = message.service();
    m_queue->post([this, server, id, actionKey] { handleAnswer(server, id, actionKey); });
}

void FreedesktopNotifications::onNotificationClosed(uint id, uint, const QDBusMessage &message)
{
    const QString server = message.service();
    m_queue->post([this, server, id] { handleClosed(server, id); });
}

void FreedesktopNotifications::handleAnswer(const QString &server, quint32 id, const QString &actionKey)
{
    std::shared_ptr<UserNotificationDelegate> delegate;
    {
        QMutexLocker locker(&m_mutex);
        delegate = m_delegate.lock();
    }
    std::optional<UserNotificationRequest> claimed;
    if (delegate) {
        // Whoever removes it first handles the answer; for everyone else it is gone.
        m_store.transact([&](NotificationStore::State &state) {
            for (qsizetype i = 0; i < state.delivered.size(); ++i) {
                if (state.delivered.at(i).server == server && state.delivered.at(i).id == id) {
                    // A click is the poster's to handle (store lock, then m_mutex, as in postLocked).
                    if (state.delivered.at(i).request.content.answersClick) {
                        QMutexLocker locker(&m_mutex);
                        if (!m_postedHere.contains(postedKey(server, id)))
                            return false;
                    }
                    claimed = state.delivered.at(i).request;
                    state.delivered.removeAt(i);
                    return true;
                }
            }
            return false;
        });
    }
    if (!claimed) {
        endPosted(server, id);
        return;
    }
    UserNotificationResponse response;
    response.actionIdentifier = actionKey;
    response.request = *claimed;
    QPointer<FreedesktopNotifications> self(this);
    delegate->didReceive(response, [self, server, id] {
        if (self)
            QMetaObject::invokeMethod(
                self.data(),
                [self, server, id] {
                    if (self)
                        self->endPosted(server, id);
                },
                Qt::QueuedConnection);
    });
}

void FreedesktopNotifications::handleClosed(const QString &server, quint32 id)
{
    bool listening;
    {
        QMutexLocker locker(&m_mutex);
        listening = !m_delegate.expired() || m_postedHere.contains(postedKey(server, id));
    }
    if (listening) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        m_store.transact([&](NotificationStore::State &state) {
            return state.delivered.removeIf([&](const NotificationStore::Delivered &d) {
                if (d.server != server || d.id != id)
                    return false;
                // The click of a request that answers clicks may still be on its way to its
                // poster: while the poster runs, the entry is the poster's to remove.
                if (d.poster.isEmpty())
                    return true;
                {
                    QMutexLocker locker(&m_mutex);  // store lock, then m_mutex
                    if (m_postedHere.contains(postedKey(server, id)))
                        return true;
                }
                return !bus.interface()->isServiceRegistered(d.poster).value();
            }) > 0;
        });
    }
    endPosted(server, id);
}

void FreedesktopNotifications::endPosted(const QString &server, quint32 id)
{
    bool removed;
    {
        QMutexLocker locker(&m_mutex);
        removed = m_postedHere.remove(postedKey(server, id));
    }
    if (removed)
        QMetaObject::invokeMethod(this, &FreedesktopNotifications::notifyEnded, Qt::QueuedConnection);
}

void FreedesktopNotifications::endAllPosted()
{
    {
        QMutexLocker locker(&m_mutex);
        if (m_postedHere.isEmpty())
            return;
        m_postedHere.clear();
    }
    QMetaObject::invokeMethod(this, &FreedesktopNotifications::notifyEnded, Qt::QueuedConnection);
}

void FreedesktopNotifications::checkBus()
{
    // A server that has gone (or a session bus that has) shows none of our notifications.
    QSet<QString> posted;
    {
        QMutexLocker locker(&m_mutex);
        posted = m_postedHere;
    }
    if (posted.isEmpty()) {
        m_busCheckTimer.stop();
        return;
    }
    const QString server = QDBusConnection::sessionBus().isConnected() ? currentServer() : QString();
    for (const QString &key : std::as_const(posted)) {
        if (server.isEmpty() || !key.startsWith(server + QLatin1Char('#'))) {
            endAllPosted();
            return;
        }
    }
}

int FreedesktopNotifications::shownPostedByThisProcess() const
{
    QMutexLocker locker(&m_mutex);
    return int(m_postedHere.size());
}

void FreedesktopNotifications::observePostedEnded(QObject *context, std::function<void()> handler)
{
    m_observers.append({QPointer<QObject>(context), std::move(handler)});
}

void FreedesktopNotifications::notifyEnded()
{
    m_observers.removeIf([](const Observer &o) { return o.context.isNull(); });
    const QList<Observer> observers = m_observers;
    for (const Observer &observer : observers) {
        if (observer.context)
            observer.handler();
    }
}

}  // namespace mornix
