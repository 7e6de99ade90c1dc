#pragma once

#include "platform/user_notifications.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace mornix {

class ServiceManager;
class SerialQueue;
class SystemLog;

// An error of the domain "UpdateNotification" (codes 1 and 2) or one passed on from the
// notification centre (code 0, its text in `message`).
struct UpdateNotificationError {
    int code = 0;
    QString message;
    static inline const QString domain = QStringLiteral("UpdateNotification");
};

// The update-available notification with its two answers. "later" records the answer in the
// companion's choice file and shows the notification again six hours later; "now" records it
// and asks the service manager to start the companion's updater job, three times (0, 2 and 5 s
// later), so that a job that is just being replaced still comes up.
//
// One instance per process, made the notification centre's delegate by configure() in every
// process that starts the application and in the notify mode. Answers are handled on the serial
// queue "ai.veltro.update-choice"; recording an answer holds the cross-process lock
// "update-choice.lock" in the agent's data directory, so answers from several of our processes
// are recorded one after the other.
class UpdateNotifications final : public QObject,
                                  public UserNotificationDelegate,
                                  public std::enable_shared_from_this<UpdateNotifications> {
    Q_OBJECT
public:
    struct Dependencies {
        std::shared_ptr<UserNotifications> notifications;
        std::shared_ptr<ServiceManager> serviceManager;
        std::shared_ptr<SystemLog> systemLog;
        QString homeDirectory;          // the choice directory lies below it
        QString lockDirectory;          // where "update-choice.lock" is kept
        std::function<qint64()> nowMs;  // milliseconds since 1970 UTC
    };

    static inline const QString requestIdentifier = QStringLiteral("veltro-update");
    static inline const QString categoryIdentifier = QStringLiteral("VELTRO_UPDATE");
    static inline const QString updaterJob = QStringLiteral("ai.veltro.updater");
    static constexpr double reminderSeconds = 21600;

    // Dependencies for this process: the given ports, $HOME, the data directory, the clock and
    // the real user id.
    static std::shared_ptr<UpdateNotifications> create(std::shared_ptr<UserNotifications> notifications,
                                                       std::shared_ptr<ServiceManager> serviceManager,
                                                       std::shared_ptr<SystemLog> systemLog);
    explicit UpdateNotifications(Dependencies dependencies);
    ~UpdateNotifications() override;

    // Makes this object the delegate and registers the one category "VELTRO_UPDATE" ("now"
    // "Update now", "later" "Update later"), replacing any registered before.
    // Thread: main thread; the registration itself runs on the work queue.
    void configure();

    // Posts the notification for `version` ("^\d+\.\d+\.\d+$" in ASCII digits, else code 1;
    // not authorised: code 2). Blocking: call off the main thread.
    std::optional<UpdateNotificationError> notify(const QString &version);

    static bool isValidVersion(const QString &version);
    static UserNotificationContent content(const QString &version);
    static UserNotificationCategory category();

    // Nothing is queued, waiting or running on the work queue.
    bool isIdle() const;

    void didReceive(const UserNotificationResponse &response, std::function<void()> completion) override;

Q_SIGNALS:
    // The work queue has run everything handed to it (emitted from the queue's thread).
    void becameIdle();

private:
    void handleAnswer(const QString &version, const QString &action);  // work queue
    void startUpdater();                                               // work queue

    Dependencies m_deps;
    std::unique_ptr<SerialQueue> m_queue;
};

}  // namespace mornix
