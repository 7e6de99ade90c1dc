// The clients-closed notice: which products an executor result names and how, and the notice on
// the freedesktop centre against the recording notification server on a private session bus,
// its click routed to the dashboard while the other answers go on unchanged.
#include "core/clients_closed_notice.h"
#include "platform/linux/notifications/freedesktop_notifications.h"
#include "support/notification_server.h"

#include <QJsonArray>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(mornix::KillExecutionResult)

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

KillExecutionResult applicationResult(const QString &appKey, const QStringList &terminated, bool succeeded = true)
{
    return {succeeded, u"Target application termination confirmed."_s,
            QJsonObject{{u"app_key"_s, appKey},
                        {u"terminated_bundle_ids"_s, QJsonArray::fromStringList(terminated)},
                        {u"all_stopped"_s, succeeded}}};
}

KillExecutionResult instanceResult(const QString &product, bool stopped)
{
    return {stopped, u"Agent instance termination confirmed."_s,
            QJsonObject{{u"instance_id"_s, u"i-1"_s},
                        {u"product"_s, product},
                        {u"kind"_s, u"process"_s},
                        {u"all_stopped"_s, stopped}}};
}

class RecordingDelegate final : public UserNotificationDelegate {
public:
    void didReceive(const UserNotificationResponse &response, std::function<void()> completion) override
    {
        {
            QMutexLocker locker(&mutex);
            actions.append(response.actionIdentifier);
        }
        completion();
    }
    QStringList taken()
    {
        QMutexLocker locker(&mutex);
        return actions;
    }
    QMutex mutex;
    QStringList actions;
};

const UserNotificationCategory kUpdateCategory{u"VELTRO_UPDATE"_s,
                                               {{u"now"_s, u"Update now"_s}, {u"later"_s, u"Update later"_s}}};

}  // namespace

class ClientsClosedNoticeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void closedProducts_data()
    {
        QTest::addColumn<KillExecutionResult>("result");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("ChatGPT application")
            << applicationResult(u"chatgpt"_s, {u"com.openai.chatgpt"_s}) << QStringList{u"ChatGPT"_s};
        // The codex bundle stopped by the ChatGPT family is ChatGPT; by its own family, Codex.
        QTest::newRow("codex bundle in the ChatGPT family")
            << applicationResult(u"chatgpt"_s, {u"com.openai.chat"_s, u"com.openai.codex"_s})
            << QStringList{u"ChatGPT"_s};
        QTest::newRow("Codex application")
            << applicationResult(u"codex"_s, {u"com.openai.codex"_s}) << QStringList{u"Codex"_s};
        QTest::newRow("Claude Desktop") << applicationResult(u"claude"_s, {u"com.anthropic.claudefordesktop"_s})
                                        << QStringList{u"Claude Desktop"_s};
        QTest::newRow("nothing was running") << applicationResult(u"codex"_s, {}) << QStringList{};
        QTest::newRow("left running") << applicationResult(u"codex"_s, {u"com.openai.codex"_s}, false) << QStringList{};
        QTest::newRow("Claude Code instance")
            << instanceResult(u"claude-code"_s, true) << QStringList{u"Claude Code"_s};
        QTest::newRow("instance not stopped") << instanceResult(u"claude-code"_s, false) << QStringList{};
    }
    void closedProducts()
    {
        QFETCH(KillExecutionResult, result);
        QFETCH(QStringList, names);
        QCOMPARE(ClientsClosedNotice::closedProducts(result), names);
    }

    void body_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("body");
        QTest::newRow("one") << QStringList{u"ChatGPT"_s} << u"Your workspace administrator closed ChatGPT."_s;
        QTest::newRow("two") << QStringList{u"Claude Code"_s, u"Codex"_s}
                             << u"Your workspace administrator closed Claude Code and Codex."_s;
        QTest::newRow("three") << QStringList{u"ChatGPT"_s, u"Claude Code"_s, u"Codex"_s}
                               << u"Your workspace administrator closed 3 AI clients."_s;
    }
    void body()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, body);
        QCOMPARE(ClientsClosedNotice::body(names), body);
    }

    // On the real centre: no buttons, a click opens the Activity section in the posting process
    // only, the notice on screen grows, and the update notification's category, entry and
    // answers stay its own.
    void onTheDesktop()
    {
        NotificationServerProcess server;
        QVERIFY(server.start());
        QTemporaryDir dir;
        auto centre = std::make_shared<FreedesktopNotifications>(dir.path());
        FreedesktopNotifications otherProcess(dir.path());  // another of our processes, same store
        auto otherDelegate = std::make_shared<RecordingDelegate>();
        otherProcess.setDelegate(otherDelegate);

        QString error;
        QVERIFY(centre->setCategories({kUpdateCategory}, &error));
        UserNotificationRequest update;
        update.identifier = u"veltro-update"_s;
        update.content.title = u"A new Veltro update is available"_s;
        update.content.categoryIdentifier = kUpdateCategory.identifier;
        update.content.userInfo.insert(u"version"_s, u"1.2.3"_s);
        QVERIFY(centre->add(update, &error));

        auto updates = std::make_shared<RecordingDelegate>();
        int activityShown = 0;
        QObject context;
        auto router = std::make_shared<NoticeAnswerRouter>(updates, &context, [&activityShown] { ++activityShown; });
        centre->setDelegate(router);

        ClientsClosedNotice notice(centre, true);
        notice.commandExecuted(instanceResult(u"claude-code"_s, true));
        notice.commandExecuted(applicationResult(u"codex"_s, {}));  // nothing was running
        notice.drain();
        QCOMPARE(server.open().size(), 2);
        NotificationServerProcess::Shown shown = server.open().last();
        QCOMPARE(shown.summary, u"VeltroMornix"_s);
        QCOMPARE(shown.body, u"Your workspace administrator closed Claude Code."_s);
        QCOMPARE(shown.actions, (QStringList{u"default"_s, u"Open"_s}));  // the click, no button

        // While it is on screen, the next closes join it: one notice at a time.
        notice.commandExecuted(applicationResult(u"codex"_s, {u"com.openai.codex"_s}));
        notice.drain();
        QCOMPARE(server.open().size(), 2);
        QCOMPARE(server.open().last().body, u"Your workspace administrator closed Claude Code and Codex."_s);
        notice.commandExecuted(applicationResult(u"chatgpt"_s, {u"com.openai.chatgpt"_s}));
        notice.drain();
        shown = server.open().last();
        QCOMPARE(shown.body, u"Your workspace administrator closed 3 AI clients."_s);
        QCOMPARE(server.open().first().summary, update.content.title);
        QCOMPARE(centre->categories(), QList<UserNotificationCategory>{kUpdateCategory});

        QVERIFY(server.press(shown.id, u"default"_s));
        QTRY_COMPARE(activityShown, 1);
        QVERIFY(updates->taken().isEmpty());
        QVERIFY(otherDelegate->taken().isEmpty());  // the click was the poster's

        // The update's answer passes the router unchanged (to whichever process takes it first).
        QVERIFY(server.press(server.open().first().id, u"later"_s));
        QTRY_COMPARE(updates->taken().size() + otherDelegate->taken().size(), 1);
        QCOMPARE((updates->taken() + otherDelegate->taken()), QStringList{u"later"_s});
        QCOMPARE(activityShown, 1);

        // After it was dismissed, the next notice starts afresh; without a dashboard it answers
        // no click.
        ClientsClosedNotice managed(centre, false);
        managed.commandExecuted(applicationResult(u"chatgpt"_s, {u"com.openai.chatgpt"_s}));
        managed.drain();
        QTRY_COMPARE(server.open().size(), 1);
        QCOMPARE(server.open().first().body, u"Your workspace administrator closed ChatGPT."_s);
        QCOMPARE(server.open().first().actions, QStringList{});
    }

    // No notification server on the bus: nothing is posted and nothing is stored.
    void withoutAServerItIsSkipped()
    {
        QTemporaryDir dir;
        auto centre = std::make_shared<FreedesktopNotifications>(dir.path());
        ClientsClosedNotice notice(centre, true);
        notice.commandExecuted(instanceResult(u"claude-code"_s, true));
        notice.drain();
        QVERIFY(centre->deliveredNotifications().isEmpty());
        QVERIFY(centre->pendingRequests().isEmpty());
    }
};

}  // namespace mornix

QTEST_GUILESS_MAIN(mornix::ClientsClosedNoticeTest)
#include "tst_clients_closed_notice.moc"
