#include "app/update_notification_modes.h"

#include "app/async_mode.h"
#include "app/cli_output.h"
#include "app/notification_launch.h"
#include "support/blocking_call.h"
#include "updates/update_notifications.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace mornix {

namespace {

constexpr std::chrono::seconds kWaiterResultTimeout{30};

struct StatusState {
    int authorization = 0;
    QList<UserNotificationRequest> pending;
    QList<UserNotificationRequest> delivered;
    QList<UserNotificationCategory> categories;
};

}  // namespace

QByteArray updateNotificationStatusJSON(int authorization, const QList<UserNotificationRequest> &pending,
                                        const QList<UserNotificationRequest> &delivered,
                                        const QList<UserNotificationCategory> &categories)
{
    QList<UserNotificationRequest> keptPending;
    for (const UserNotificationRequest &request : pending) {
        if (request.identifier == UpdateNotifications::requestIdentifier)
            keptPending.append(request);
    }
    qsizetype keptDelivered = 0;
    for (const UserNotificationRequest &request : delivered)
        keptDelivered += request.identifier == UpdateNotifications::requestIdentifier ? 1 : 0;
    QJsonArray actions;
    for (const UserNotificationCategory &category : categories) {
        if (category.identifier != UpdateNotifications::categoryIdentifier)
            continue;
        for (const UserNotificationAction &action : category.actions)
            actions.append(action.title);
        break;
    }
    // The interval as a number when the first kept request has a time-interval trigger, else
    // the integer 0.
    QJsonValue reminder(0);
    if (!keptPending.isEmpty() && keptPending.first().timeInterval)
        reminder = QJsonValue(*keptPending.first().timeInterval);

    // QJsonObject keeps its keys sorted.
    const QJsonObject status{{QStringLiteral("authorization"), authorization},
                             {QStringLiteral("pending"), qint64(keptPending.size())},
                             {QStringLiteral("delivered"), qint64(keptDelivered)},
                             {QStringLiteral("reminder_seconds"), reminder},
                             {QStringLiteral("actions"), actions}};
    return QJsonDocument(status).toJson(QJsonDocument::Compact);
}

int runUpdateNotificationStatus(Ports &ports, int &argc, char **argv)
{
    std::shared_ptr<UserNotifications> notifications = ports.userNotifications;
    return runAsyncMode(argc, argv, [notifications]() -> QCoro::Task<int> {
        auto work = [notifications] {
            StatusState state;
            state.authorization = int(notifications->authorizationStatus());
            state.pending = notifications->pendingRequests();
            state.delivered = notifications->deliveredNotifications();
            state.categories = notifications->categories();
            return state;
        };
        QFuture<StatusState> future = startBlockingCall(std::move(work));
        const StatusState state = co_await future;
        cli::writeStdoutRaw(
            updateNotificationStatusJSON(state.authorization, state.pending, state.delivered, state.categories));
        co_return 0;
    });
}

int runClearUpdateNotification(Ports &ports, int &argc, char **argv)
{
    QCoreApplication app(argc, argv);  // the session bus needs the application object
    const QStringList identifiers{UpdateNotifications::requestIdentifier};
    ports.userNotifications->removePendingRequests(identifiers);
    ports.userNotifications->removeDeliveredNotifications(identifiers);
    return 0;
}

int runNotifyUpdate(const QString &version, Ports &ports, int &argc, char **argv)
{
    std::shared_ptr<SystemLog> systemLog = ports.systemLog;
    return runAsyncMode(argc, argv, [version, systemLog]() -> QCoro::Task<int> {
        // A malformed version shows nothing and starts nothing.
        if (!UpdateNotifications::isValidVersion(version))
            co_return 1;
        auto work = [version] { return startNotificationWaiter(version, kWaiterResultTimeout); };
        QFuture<NotificationWaiterResult> future = startBlockingCall(std::move(work));
        const NotificationWaiterResult result = co_await future;
        if (result.shown)
            co_return 0;
        systemLog->error(QStringLiteral("Veltro update notification could not be shown: %1").arg(result.message));
        co_return 1;
    });
}

}  // namespace mornix
