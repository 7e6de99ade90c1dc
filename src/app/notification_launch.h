#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace mornix {

class UpdateNotifications;
class UserNotifications;
class SystemLog;

// A process started for a user notification: the stand-in for a launch caused by a click on a
// notification. `--notify-update` starts one detached (the waiter): it posts the notification
// itself, because some notification servers send the answer only to the connection that posted,
// and then stays, idle, until its notification is closed or answered and the answer's work is
// done, or for at most kNotificationWaiterLifetime.
//
// The waiter is this executable started without arguments, with the environment variable
// kNotificationLaunchVariable set to "1", the version on standard input, and standard output a
// pipe that receives one result line: "0" when the notification is shown, otherwise
// "<code> <message>" (code as in UpdateNotificationError). Standard error is the null device.
inline constexpr char kNotificationLaunchVariable[] = "VELTRO_NOTIFICATION_LAUNCH";
inline constexpr std::chrono::hours kNotificationWaiterLifetime{24};

// The outcome of handing a version to a new waiter.
struct NotificationWaiterResult {
    bool shown = false;
    int code = 0;  // when not shown: the error code (0 for a failure outside the domain)
    QString message;
};

// Starts the waiter from this process's own executable image and waits (at most `timeout`) for
// its result line; a waiter that gives none in time is terminated. Blocking: off the main thread.
NotificationWaiterResult startNotificationWaiter(const QString &version, std::chrono::milliseconds timeout);

// The waiter's side, run by the application delegate when the launch was caused by a
// notification. Thread: main thread.
class NotificationLaunch : public QObject {
    Q_OBJECT
public:
    NotificationLaunch(std::shared_ptr<UpdateNotifications> updates, std::shared_ptr<UserNotifications> notifications,
                       std::shared_ptr<SystemLog> systemLog, std::function<void()> terminate,
                       QObject *parent = nullptr);

    // Reads the version from standard input (nothing to post when it is empty), posts, reports
    // the result on standard output and then waits as described above.
    void run();

private:
    void finishIfDone();

    std::shared_ptr<UpdateNotifications> m_updates;
    std::shared_ptr<UserNotifications> m_notifications;
    std::shared_ptr<SystemLog> m_systemLog;
    std::function<void()> m_terminate;
    bool m_posting = true;
};

}  // namespace mornix
