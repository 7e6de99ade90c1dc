#pragma once

#include "platform/linux/notifications/notification_store.h"
#include "platform/user_notifications.h"

#include <QDBusMessage>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <memory>

namespace mornix {

class SerialQueue;

// UserNotifications over the freedesktop Notifications service on the session bus
// (org.freedesktop.Notifications), with a NotificationStore for what the server does not keep.
//
// - Authorisation: a server present (running or activatable) counts as authorised, none as not
//   determined; asking for it never shows anything.
// - A shown notification is recorded with its server's unique bus name and id, under the store
//   lock held across the Notify call, so that a very early answer already finds it.
// - Answers: every process with a delegate listens for ActionInvoked and NotificationClosed. An
//   answer goes to the delegate of the one process that removes the notification from the store
//   first (under the store lock); every other process ignores it. Some servers send these signals
//   only to the connection that posted, so the poster must stay reachable. A request that
//   answers clicks carries the "default" action, and only its poster takes that answer (and
//   its close, while the poster runs).
// - Scheduled requests are delivered by processes that called startScheduledDelivery(): at once
//   when due, and by a timer at their due time (rechecked every minute for requests that other
//   processes scheduled).
// Created on the main thread after the QCoreApplication; cheap until first used.
class FreedesktopNotifications final : public QObject, public UserNotifications {
    Q_OBJECT
public:
    explicit FreedesktopNotifications(QString storeDirectory = NotificationStore::defaultDirectory(),
                                      QObject *parent = nullptr);
    ~FreedesktopNotifications() override;

    UserNotificationAuthorization authorizationStatus() override;
    bool requestAuthorization(QString *error) override;
    bool setCategories(const QList<UserNotificationCategory> &categories, QString *error) override;
    QList<UserNotificationCategory> categories() override;
    bool add(const UserNotificationRequest &request, QString *error) override;
    QList<UserNotificationRequest> pendingRequests() override;
    QList<UserNotificationRequest> deliveredNotifications() override;
    void removePendingRequests(const QStringList &identifiers) override;
    void removeDeliveredNotifications(const QStringList &identifiers) override;
    void setDelegate(std::shared_ptr<UserNotificationDelegate> delegate) override;
    void startScheduledDelivery() override;
    int shownPostedByThisProcess() const override;
    void observePostedEnded(QObject *context, std::function<void()> handler) override;

private Q_SLOTS:
    void onActionInvoked(uint id, const QString &actionKey, const QDBusMessage &message);
    void onNotificationClosed(uint id, uint reason, const QDBusMessage &message);

private:
    bool ensureListening();
    QString currentServer() const;
    // The key of a posted notification in the store: its server's bus name and its id there.
    static QString postedKey(const QString &server, quint32 id);
    // Shows `request` now (replacing one with its identifier) and records it; store lock held.
    bool postLocked(NotificationStore::State &state, const UserNotificationRequest &request, QString *error);
    void closeOnServer(const QList<NotificationStore::Delivered> &entries);
    void deliverDue();                                                               // queue thread
    void armDeliveryTimer(qint64 nextDueMs);                                         // main thread
    void handleAnswer(const QString &server, quint32 id, const QString &actionKey);  // queue thread
    void handleClosed(const QString &server, quint32 id);                            // queue thread
    void endPosted(const QString &server, quint32 id);
    void endAllPosted();
    void notifyEnded();  // main thread
    void checkBus();     // main thread

    NotificationStore m_store;
    std::unique_ptr<SerialQueue> m_queue;  // answers, closes and due deliveries, in arrival order
    mutable QMutex m_mutex;                // guards the members below
    std::weak_ptr<UserNotificationDelegate> m_delegate;
    bool m_listening = false;
    QSet<QString> m_postedHere;  // "server#id" of notifications this process shows
    // Main thread only.
    bool m_scheduledDelivery = false;
    QTimer m_deliveryTimer;
    QTimer m_busCheckTimer;
    struct Observer {
        QPointer<QObject> context;
        std::function<void()> handler;
    };
    QList<Observer> m_observers;
};

}  // namespace mornix
