#pragma once

#include "platform/ports.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The update-notification command-line modes of the companion application.

namespace mornix {

// --update-notification-status: the notification state as a raw JSON object with sorted keys
// ("actions", "authorization", "delivered", "pending", "reminder_seconds"). Exit 0.
int runUpdateNotificationStatus(Ports &ports, int &argc, char **argv);
// The status object from the given state (exposed for tests of the number forms).
QByteArray updateNotificationStatusJSON(int authorization, const QList<UserNotificationRequest> &pending,
                                        const QList<UserNotificationRequest> &delivered,
                                        const QList<UserNotificationCategory> &categories);

// --clear-update-notification: removes pending and shown "veltro-update" notifications. Exit 0.
int runClearUpdateNotification(Ports &ports, int &argc, char **argv);

// --notify-update VERSION: posts the update notification through a detached waiter (see
// notification_launch.h). Exit 0 when it is shown, 1 on any failure; prints nothing.
int runNotifyUpdate(const QString &version, Ports &ports, int &argc, char **argv);

}  // namespace mornix
