#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

// The user's notification centre: notifications with action buttons, shown by the desktop, that
// may be answered after the process that posted them has gone.

namespace mornix {

struct UserNotificationAction {
    QString identifier;
    QString title;
    bool operator==(const UserNotificationAction &) const = default;
};

struct UserNotificationCategory {
    QString identifier;
    QList<UserNotificationAction> actions;  // in the order the buttons are shown
    bool operator==(const UserNotificationCategory &) const = default;
};

struct UserNotificationContent {
    QString title;
    QString body;
    QString categoryIdentifier;
    QVariantMap userInfo;  // JSON-compatible values
    // A click on the notification itself is answered (defaultActionIdentifier), and only in the
    // process that posted it, which alone can act on it. False: a click just dismisses it.
    bool answersClick = false;
    bool operator==(const UserNotificationContent &) const = default;
};

struct UserNotificationRequest {
    QString identifier;
    UserNotificationContent content;
    // A one-shot time-interval trigger in seconds; nullopt delivers at once.
    std::optional<double> timeInterval;
    bool operator==(const UserNotificationRequest &) const = default;
};

struct UserNotificationResponse {
    QString actionIdentifier;  // an action's identifier, or defaultActionIdentifier
    UserNotificationRequest request;
    static inline const QString defaultActionIdentifier = QStringLiteral("default");
};

// Raw values as the status mode reports them.
enum class UserNotificationAuthorization {
    notDetermined = 0,
    denied = 1,
    authorized = 2,
    provisional = 3,
    ephemeral = 4,
};

// Receives the user's answers. Each answer to a notification of this program is handed to
// exactly one delegate among all of this program's running processes.
// Thread: called on a worker thread of the notification centre, never the main thread.
class UserNotificationDelegate {
public:
    virtual ~UserNotificationDelegate() = default;
    // `completion` must be called once the answer has been taken in (from any thread).
    virtual void didReceive(const UserNotificationResponse &response, std::function<void()> completion) = 0;
};

// Thread: the query and change calls may be made from any thread and may block for a round trip
// to the desktop (keep them off the main thread); setDelegate, startScheduledDelivery and the
// posted-notification observers are main-thread calls.
class UserNotifications {
public:
    virtual ~UserNotifications() = default;

    virtual UserNotificationAuthorization authorizationStatus() = 0;
    // True when alerts may be shown. False with `error` empty: refused; with `error`: failed.
    virtual bool requestAuthorization(QString *error) = 0;

    // Replaces every registered category.
    virtual bool setCategories(const QList<UserNotificationCategory> &categories, QString *error) = 0;
    virtual QList<UserNotificationCategory> categories() = 0;

    // Delivers now or schedules the request; one with the same identifier replaces the earlier
    // one, pending or shown.
    virtual bool add(const UserNotificationRequest &request, QString *error) = 0;
    virtual QList<UserNotificationRequest> pendingRequests() = 0;
    virtual QList<UserNotificationRequest> deliveredNotifications() = 0;
    virtual void removePendingRequests(const QStringList &identifiers) = 0;
    virtual void removeDeliveredNotifications(const QStringList &identifiers) = 0;

    // Answers from now on go to `delegate` while it exists. The centre does not keep it alive:
    // the delegate usually owns the centre, and the two would otherwise never end.
    virtual void setDelegate(std::shared_ptr<UserNotificationDelegate> delegate) = 0;

    // This process stays running: it delivers scheduled requests once they are due, now and
    // later, and receives their answers itself.
    virtual void startScheduledDelivery() = 0;

    // Notifications this process posted that are still shown (neither closed nor answered).
    virtual int shownPostedByThisProcess() const = 0;
    // Calls `handler` on the main thread each time one of them is closed or answered (after the
    // answer, if any, was handed to the delegate), until `context` is destroyed.
    virtual void observePostedEnded(QObject *context, std::function<void()> handler) = 0;
};

}  // namespace mornix
