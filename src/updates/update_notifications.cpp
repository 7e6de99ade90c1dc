#include "updates/update_notifications.h"

#include "platform/service_manager.h"
#include "platform/system_log.h"
#include "platform/posix_files.h"
#include "support/serial_queue.h"
#include "updates/update_choice_file.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>

#include <unistd.h>

namespace mornix {

namespace {

const QString kChoiceSubdirectory = QStringLiteral("Library/Application Support/Veltro/Updates");
const QString kChoiceLock = QStringLiteral("update-choice.lock");
const QString kNow = QStringLiteral("now");
const QString kLater = QStringLiteral("later");

}  // namespace

std::shared_ptr<UpdateNotifications> UpdateNotifications::create(std::shared_ptr<UserNotifications> notifications,
                                                                 std::shared_ptr<ServiceManager> serviceManager,
                                                                 std::shared_ptr<SystemLog> systemLog)
{
    Dependencies deps;
    deps.notifications = std::move(notifications);
    deps.serviceManager = std::move(serviceManager);
    deps.systemLog = std::move(systemLog);
    deps.homeDirectory = QDir::homePath();
    deps.lockDirectory = posix::dataDirectoryPath();
    deps.nowMs = [] { return QDateTime::currentMSecsSinceEpoch(); };
    return std::make_shared<UpdateNotifications>(std::move(deps));
}

UpdateNotifications::UpdateNotifications(Dependencies dependencies)
    : m_deps(std::move(dependencies))
    , m_queue(std::make_unique<SerialQueue>(QStringLiteral("ai.veltro.update-choice")))
{
    connect(m_queue.get(), &SerialQueue::becameIdle, this, &UpdateNotifications::becameIdle, Qt::DirectConnection);
}

UpdateNotifications::~UpdateNotifications()
{
    m_queue.reset();
}

bool UpdateNotifications::isValidVersion(const QString &version)
{
    // ASCII digits only, and nothing after the last number (not even a newline).
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9]+\\.[0-9]+\\.[0-9]+")));
    return pattern.match(version).hasMatch();
}

UserNotificationCategory UpdateNotifications::category()
{
    return {categoryIdentifier, {{kNow, QStringLiteral("Update now")}, {kLater, QStringLiteral("Update later")}}};
}

UserNotificationContent UpdateNotifications::content(const QString &version)
{
    UserNotificationContent content;
    content.title = QStringLiteral("A new Veltro update is available");
    content.body = QStringLiteral("Install Veltro ") + version + QStringLiteral(" now, or remind me in 6 hours.");
    content.categoryIdentifier = categoryIdentifier;
    content.userInfo.insert(QStringLiteral("version"), version);
    return content;
}

bool UpdateNotifications::isIdle() const
{
    return m_queue->isIdle();
}

void UpdateNotifications::configure()
{
    m_deps.notifications->setDelegate(shared_from_this());
    // Queue items use `this`: the destructor finishes the running item and drops the rest.
    m_queue->post([this] {
        QString error;
        if (!m_deps.notifications->setCategories({category()}, &error))
            m_deps.systemLog->error(
                QStringLiteral("Veltro update notification category could not be registered: %1").arg(error));
    });
}

std::optional<UpdateNotificationError> UpdateNotifications::notify(const QString &version)
{
    if (!isValidVersion(version))
        return UpdateNotificationError{1, QStringLiteral("The version must be three dot-separated numbers.")};

    m_deps.notifications->setDelegate(shared_from_this());
    QString error;
    if (!m_deps.notifications->setCategories({category()}, &error))
        return UpdateNotificationError{0, error};

    if (!m_deps.notifications->requestAuthorization(&error)) {
        if (!error.isEmpty())
            return UpdateNotificationError{0, error};
        return UpdateNotificationError{2, QStringLiteral("Notifications are not authorised.")};
    }

    UserNotificationRequest request;
    request.identifier = requestIdentifier;
    request.content = content(version);
    if (!m_deps.notifications->add(request, &error))
        return UpdateNotificationError{0, error};
    return std::nullopt;
}

void UpdateNotifications::didReceive(const UserNotificationResponse &response, std::function<void()> completion)
{
    const QString action = response.actionIdentifier;
    const QVariant version = response.request.content.userInfo.value(QStringLiteral("version"));
    // Opening the notification itself, or a notification without a version, does nothing.
    if ((action != kNow && action != kLater) || version.typeId() != QMetaType::QString) {
        completion();
        return;
    }
    const QString text = version.toString();
    // The completion follows the handling on the queue, once its follow-ups are scheduled.
    m_queue->post([this, text, action, completion = std::move(completion)] {
        handleAnswer(text, action);
        completion();
    });
}

void UpdateNotifications::handleAnswer(const QString &version, const QString &action)
{
    const QString root = QDir(m_deps.homeDirectory).filePath(kChoiceSubdirectory);
    UpdateChoiceResult result;
    {
        // Another of our processes may be recording an answer at this moment.
        const posix::LockAttempt lock = posix::LockFile::acquireIn(m_deps.lockDirectory, kChoiceLock,
                                                                   posix::LockKind::OpenFile, posix::LockWait::Block);
        if (!lock.ok()) {
            m_deps.systemLog->error(QStringLiteral("Veltro update choice could not be saved"));
            return;
        }
        result = saveUpdateChoice(version, action, root, m_deps.nowMs());
    }
    if (result.outcome == UpdateChoiceResult::Outcome::failed) {
        m_deps.systemLog->error(QStringLiteral("Veltro update choice could not be saved"));
        return;
    }
    if (result.outcome != UpdateChoiceResult::Outcome::saved)
        return;

    if (action == kLater) {
        UserNotificationRequest reminder;
        reminder.identifier = requestIdentifier;
        reminder.content = content(version);
        reminder.timeInterval = reminderSeconds;
        QString error;
        if (!m_deps.notifications->add(reminder, &error))
            m_deps.systemLog->error(QStringLiteral("Veltro update reminder could not be scheduled"));
        return;
    }

    m_deps.notifications->removePendingRequests({requestIdentifier});
    for (const int delayMs : {0, 2000, 5000})
        m_queue->postDelayed(delayMs, [this] { startUpdater(); });
}

void UpdateNotifications::startUpdater()
{
    if (!m_deps.serviceManager->start(updaterJob))
        m_deps.systemLog->error(QStringLiteral("Veltro updater could not be started"));
}

}  // namespace mornix
