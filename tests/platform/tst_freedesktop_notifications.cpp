// The freedesktop notification centre against the recording notification server on the test's
// private session bus. Two centres over one store stand for two of our processes: they share the
// store and its lock exactly as separate processes do (though not the bus connection, so a server
// answering only the poster reaches both here; tst_update_notifications covers that with
// separate processes).
#include "platform/linux/notifications/freedesktop_notifications.h"
#include "support/notification_server.h"
#include "support/test_files.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace mornix {

namespace {

const UserNotificationCategory kCategory{
    QStringLiteral("CAT"),
    {{QStringLiteral("yes"), QStringLiteral("Yes")}, {QStringLiteral("no"), QStringLiteral("No")}}};

UserNotificationRequest request(const QString &identifier, const QString &title,
                                std::optional<double> interval = std::nullopt)
{
    UserNotificationRequest r;
    r.identifier = identifier;
    r.content.title = title;
    r.content.body = QStringLiteral("body of ") + title;
    r.content.categoryIdentifier = kCategory.identifier;
    r.content.userInfo.insert(QStringLiteral("version"), title);
    r.timeInterval = interval;
    return r;
}

class RecordingDelegate final : public UserNotificationDelegate {
public:
    void didReceive(const UserNotificationResponse &response, std::function<void()> completion) override
    {
        {
            QMutexLocker locker(&mutex);
            responses.append(response);
        }
        completion();
    }
    qsizetype count() const
    {
        QMutexLocker locker(&mutex);
        return responses.size();
    }
    mutable QMutex mutex;
    QList<UserNotificationResponse> responses;
};

}  // namespace

class FreedesktopNotificationsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void showsReplacesListsAndRemoves();
    void anAnswerGoesToExactlyOneOfTwoCentres_data();
    void anAnswerGoesToExactlyOneOfTwoCentres();
    void signalsFromAnotherSenderAreIgnored();
    void dueRequestsAreShownByTheCentreThatDelivers();
    void anUnsafeStoreFileIsNotTrusted();
};

void FreedesktopNotificationsTest::showsReplacesListsAndRemoves()
{
    NotificationServerProcess server;
    QVERIFY(server.start());
    QTemporaryDir dir;
    const QString storeDir = dir.path() + QStringLiteral("/store");
    FreedesktopNotifications centre(storeDir);
    QCOMPARE(centre.authorizationStatus(), UserNotificationAuthorization::authorized);
    QString error;
    QVERIFY(centre.setCategories({kCategory}, &error));
    QCOMPARE(centre.categories(), QList<UserNotificationCategory>{kCategory});

    QVERIFY2(centre.add(request(QStringLiteral("a"), QStringLiteral("first")), &error), qPrintable(error));
    QVERIFY(centre.add(request(QStringLiteral("b"), QStringLiteral("other")), &error));
    QCOMPARE(server.open().size(), 2);
    QCOMPARE(server.open().first().actions, (QStringList{"yes", "Yes", "no", "No"}));
    QCOMPARE(centre.shownPostedByThisProcess(), 2);

    // Same identifier: the earlier one leaves the server; a scheduled one is pending, not shown.
    QVERIFY(centre.add(request(QStringLiteral("a"), QStringLiteral("second")), &error));
    QCOMPARE(server.open().size(), 2);
    QCOMPARE(server.historyCount(QStringLiteral("close")), 1);
    QVERIFY(centre.add(request(QStringLiteral("a"), QStringLiteral("later"), 3600), &error));
    QTRY_COMPARE(server.open().size(), 1);
    QCOMPARE(centre.pendingRequests().size(), 1);
    QCOMPARE(centre.pendingRequests().first().timeInterval, std::optional<double>(3600));
    QCOMPARE(centre.deliveredNotifications().size(), 1);
    QCOMPARE(centre.deliveredNotifications().first().identifier, QStringLiteral("b"));

    centre.removePendingRequests({QStringLiteral("a")});
    QCOMPARE(centre.pendingRequests().size(), 0);
    centre.removeDeliveredNotifications({QStringLiteral("b")});
    QVERIFY(server.waitForOpen(0));
    QCOMPARE(centre.deliveredNotifications().size(), 0);

    // The store and its lock are private to the user.
    QCOMPARE(modeOf(storeDir), mode_t(0700));
    QCOMPARE(modeOf(storeDir + QStringLiteral("/user-notifications.json")), mode_t(0600));
    QCOMPARE(modeOf(storeDir + QStringLiteral("/user-notifications.lock")), mode_t(0600));
}

void FreedesktopNotificationsTest::anAnswerGoesToExactlyOneOfTwoCentres_data()
{
    QTest::addColumn<NotificationServerProcess::Mode>("mode");
    QTest::newRow("broadcasting server") << NotificationServerProcess::Mode::Broadcast;
    QTest::newRow("server answering the poster only") << NotificationServerProcess::Mode::PosterOnly;
}

void FreedesktopNotificationsTest::anAnswerGoesToExactlyOneOfTwoCentres()
{
    QFETCH(NotificationServerProcess::Mode, mode);
    NotificationServerProcess server(mode);
    QVERIFY(server.start());
    QTemporaryDir dir;
    FreedesktopNotifications poster(dir.path());
    FreedesktopNotifications other(dir.path());
    auto posterDelegate = std::make_shared<RecordingDelegate>();
    auto otherDelegate = std::make_shared<RecordingDelegate>();
    poster.setDelegate(posterDelegate);
    other.setDelegate(otherDelegate);
    int ended = 0;
    poster.observePostedEnded(this, [&] { ++ended; });

    QString error;
    QVERIFY(poster.setCategories({kCategory}, &error));
    for (int round = 0; round < 5; ++round) {
        const QString title = QStringLiteral("round %1").arg(round);
        QVERIFY(poster.add(request(QStringLiteral("r%1").arg(round), title), &error));
        const QList<NotificationServerProcess::Shown> open = server.open();
        QCOMPARE(open.size(), 1);
        QVERIFY(server.press(open.first().id, QStringLiteral("no")));
        QTRY_COMPARE(posterDelegate->count() + otherDelegate->count(), qsizetype(round + 1));
        QTRY_COMPARE(ended, round + 1);
    }
    QTest::qWait(300);
    QCOMPARE(posterDelegate->count() + otherDelegate->count(), qsizetype(5));
    // Each round's answer, with its request, exactly once.
    QStringList answered;
    for (const auto &delegate : {posterDelegate, otherDelegate}) {
        for (const UserNotificationResponse &response : std::as_const(delegate->responses)) {
            QCOMPARE(response.actionIdentifier, QStringLiteral("no"));
            QCOMPARE(response.request.content.userInfo.value(QStringLiteral("version")).toString(),
                     QStringLiteral("round ") + response.request.identifier.mid(1));
            answered.append(response.request.identifier);
        }
    }
    answered.sort();
    QCOMPARE(answered, (QStringList{"r0", "r1", "r2", "r3", "r4"}));
    QCOMPARE(poster.shownPostedByThisProcess(), 0);
    QCOMPARE(poster.deliveredNotifications().size(), 0);
}

void FreedesktopNotificationsTest::signalsFromAnotherSenderAreIgnored()
{
    NotificationServerProcess server;
    QVERIFY(server.start());
    QTemporaryDir dir;
    FreedesktopNotifications centre(dir.path());
    auto delegate = std::make_shared<RecordingDelegate>();
    centre.setDelegate(delegate);
    QString error;
    QVERIFY(centre.setCategories({kCategory}, &error));
    QVERIFY(centre.add(request(QStringLiteral("x"), QStringLiteral("x")), &error));
    const uint id = server.open().first().id;

    // Anyone on the bus can emit a signal on this path; only the server that shows it counts.
    QDBusMessage forged =
        QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                   QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    forged << id << QStringLiteral("yes");
    QVERIFY(QDBusConnection::sessionBus().send(forged));
    QTest::qWait(500);
    QCOMPARE(delegate->count(), qsizetype(0));
    QCOMPARE(centre.deliveredNotifications().size(), 1);

    QVERIFY(server.press(id, QStringLiteral("yes")));
    QTRY_COMPARE(delegate->count(), qsizetype(1));

    // The centre does not keep its delegate alive: the delegate usually owns the centre, and
    // a cycle would keep both, with their worker threads, running past the application's end.
    const std::weak_ptr<RecordingDelegate> watched = delegate;
    delegate.reset();
    QVERIFY(watched.expired());
}

void FreedesktopNotificationsTest::dueRequestsAreShownByTheCentreThatDelivers()
{
    NotificationServerProcess server;
    QVERIFY(server.start());
    QTemporaryDir dir;
    FreedesktopNotifications scheduler(dir.path());
    FreedesktopNotifications deliverer(dir.path());
    QString error;
    QVERIFY(scheduler.setCategories({kCategory}, &error));
    QVERIFY(scheduler.add(request(QStringLiteral("soon"), QStringLiteral("soon"), 0.5), &error));
    QTest::qWait(1000);
    QCOMPARE(server.open().size(), 0);  // nobody delivers yet

    deliverer.startScheduledDelivery();
    QVERIFY(server.waitForOpen(1));
    // The server sees the call before its reply, which records the notification, reaches us.
    QTRY_COMPARE(deliverer.shownPostedByThisProcess(), 1);
    QTRY_COMPARE(scheduler.pendingRequests().size(), 0);
    QTRY_COMPARE(scheduler.deliveredNotifications().size(), 1);

    // Scheduled while it runs: shown at its due time, not a minute later.
    QVERIFY(deliverer.add(request(QStringLiteral("next"), QStringLiteral("next"), 1.0), &error));
    QTest::qWait(300);
    QCOMPARE(server.open().size(), 1);
    QVERIFY(server.waitForOpen(2, 5000));
}

void FreedesktopNotificationsTest::anUnsafeStoreFileIsNotTrusted()
{
    NotificationServerProcess server;
    QVERIFY(server.start());
    QTemporaryDir dir;
    FreedesktopNotifications centre(dir.path());
    QString error;
    QVERIFY(centre.add(request(QStringLiteral("p"), QStringLiteral("p"), 3600), &error));
    QCOMPARE(centre.pendingRequests().size(), 1);
    const QString store = dir.path() + QStringLiteral("/user-notifications.json");

    // Open to others: whoever made it so may have written it; it is read as empty.
    ::chmod(QFile::encodeName(store).constData(), 0644);
    QCOMPARE(centre.pendingRequests().size(), 0);

    // A link in its place is not followed, and the next write replaces the link, not its target.
    ::chmod(QFile::encodeName(store).constData(), 0600);
    const QString target = dir.path() + QStringLiteral("/target.json");
    QVERIFY(QFile::rename(store, target));
    QVERIFY(QFile::link(target, store));
    QCOMPARE(centre.pendingRequests().size(), 0);
    QVERIFY(centre.add(request(QStringLiteral("q"), QStringLiteral("q"), 3600), &error));
    QCOMPARE(centre.pendingRequests().size(), 1);
    QVERIFY(!QFileInfo(store).isSymLink());
    QFile kept(target);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QVERIFY(kept.readAll().contains("\"p\""));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(FreedesktopNotificationsTest)
#include "tst_freedesktop_notifications.moc"
