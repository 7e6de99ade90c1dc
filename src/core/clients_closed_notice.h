#pragma once

#include "commands/command_acknowledgement.h"
#include "platform/user_notifications.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>

namespace mornix {

class SerialQueue;

// The desktop notice to the person at the computer after an administrator's command closed AI
// clients: title "VeltroMornix", body "Your workspace administrator closed ChatGPT." (two
// products: "... closed Claude Code and Codex."; more: "... closed 3 AI clients."), no buttons.
// One notice at a time: a new one replaces the one still on screen and names everything closed
// since that one appeared. Its request and category identifiers are its own; the category is
// never registered (it has no buttons), so the registered categories stay as they are. Posted
// whenever a notification server is on the session bus, silently skipped without one.
// Thread: main thread; the notification calls run on a worker queue of their own.
class ClientsClosedNotice : public QObject {
    Q_OBJECT
public:
    static inline const QString requestIdentifier = QStringLiteral("ai.veltro.mornix.clients-closed");
    static inline const QString categoryIdentifier = QStringLiteral("ai.veltro.mornix.clients-closed");

    // clickOpensDashboard: a click is answered (a dashboard can be shown); otherwise a click only
    // dismisses the notice.
    ClientsClosedNotice(std::shared_ptr<UserNotifications> notifications, bool clickOpensDashboard,
                        QObject *parent = nullptr);
    ~ClientsClosedNotice() override;

    // After a command was carried out successfully: posts the notice when `result` stopped
    // something. Returns at once.
    void commandExecuted(const KillExecutionResult &result);

    // The display names of the products an executor result stopped, sorted, each once; empty
    // when nothing was running (an application command whose copies had all stopped already).
    static QStringList closedProducts(const KillExecutionResult &result);
    static QString body(const QStringList &productNames);
    static bool isNotice(const UserNotificationRequest &request);

    // Blocks until the posts handed over so far have been made (tests).
    void drain();

private:
    void post(QStringList names);  // worker queue

    std::shared_ptr<UserNotifications> m_notifications;
    bool m_clickOpensDashboard;
    std::unique_ptr<SerialQueue> m_queue;
};

// The agent's notification delegate: a click on the notice calls `openActivity` on the main
// thread while `context` lives; every other answer goes to `others` unchanged (the update
// notification's answers keep their own handling). Thread: answers arrive on the centre's
// worker thread.
class NoticeAnswerRouter final : public UserNotificationDelegate {
public:
    NoticeAnswerRouter(std::shared_ptr<UserNotificationDelegate> others, QObject *context,
                       std::function<void()> openActivity);
    void didReceive(const UserNotificationResponse &response, std::function<void()> completion) override;

private:
    std::shared_ptr<UserNotificationDelegate> m_others;
    QPointer<QObject> m_context;
    std::function<void()> m_openActivity;
};

}  // namespace mornix
