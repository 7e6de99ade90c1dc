// UpdateNotifications' own decisions, with recording ports where a real desktop cannot reach
// them: refusals of notify(), which answers are acted on, and the system-log texts of failures
// (the real system log is syslog, which a test cannot read back).
#include "platform/service_manager.h"
#include "platform/user_notifications.h"
#include "support/recording_system_log.h"
#include "updates/update_notifications.h"

#include <QDir>
#include <atomic>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

class RecordingNotifications final : public UserNotifications {
public:
    UserNotificationAuthorization authorizationStatus() override { return UserNotificationAuthorization::authorized; }
    bool requestAuthorization(QString *error) override
    {
        if (!authorizationError.isEmpty() && error)
            *error = authorizationError;
        return authorized;
    }
    bool setCategories(const QList<UserNotificationCategory> &list, QString *) override
    {
        QMutexLocker locker(&mutex);
        registered = list;
        return true;
    }
    QList<UserNotificationCategory> categories() override { return registered; }
    bool add(const UserNotificationRequest &request, QString *error) override
    {
        QMutexLocker locker(&mutex);
        if (failAdd) {
            if (error)
                *error = QStringLiteral("refused");
            return false;
        }
        added.append(request);
        return true;
    }
    QList<UserNotificationRequest> pendingRequests() override { return {}; }
    QList<UserNotificationRequest> deliveredNotifications() override { return {}; }
    void removePendingRequests(const QStringList &identifiers) override
    {
        QMutexLocker locker(&mutex);
        removedPending.append(identifiers);
    }
    void removeDeliveredNotifications(const QStringList &) override {}
    void setDelegate(std::shared_ptr<UserNotificationDelegate> d) override { delegate = std::move(d); }
    void startScheduledDelivery() override {}
    int shownPostedByThisProcess() const override { return 0; }
    void observePostedEnded(QObject *, std::function<void()>) override {}

    QMutex mutex;
    bool authorized = true;
    QString authorizationError;
    bool failAdd = false;
    QList<UserNotificationCategory> registered;
    QList<UserNotificationRequest> added;
    QStringList removedPending;
    std::shared_ptr<UserNotificationDelegate> delegate;
};

class RecordingServiceManager final : public ServiceManager {
public:
    bool start(const QString &name) override
    {
        QMutexLocker locker(&mutex);
        starts.append({name, clock.elapsed()});
        return startable;
    }
    qsizetype count()
    {
        QMutexLocker locker(&mutex);
        return starts.size();
    }
    QMutex mutex;
    bool startable = true;
    QElapsedTimer clock;
    QList<QPair<QString, qint64>> starts;
};

constexpr qint64 kNow = 1800000000000;

struct Rig {
    QTemporaryDir home;
    std::shared_ptr<RecordingNotifications> notifications = std::make_shared<RecordingNotifications>();
    std::shared_ptr<RecordingServiceManager> services = std::make_shared<RecordingServiceManager>();
    std::shared_ptr<RecordingSystemLog> log = std::make_shared<RecordingSystemLog>();
    std::shared_ptr<UpdateNotifications> updates;
    QString choiceFile;

    Rig()
    {
        services->clock.start();
        UpdateNotifications::Dependencies deps{notifications, services, log, home.path(),
                                               home.path() + QStringLiteral("/data/VeltroMornix"),
                                               [] { return kNow; }, ::getuid()};
        updates = std::make_shared<UpdateNotifications>(std::move(deps));
        const QString dir = home.path() + QStringLiteral("/Library/Application Support/Veltro/Updates");
        QDir().mkpath(dir);
        ::chmod(QFile::encodeName(dir).constData(), 0700);
        choiceFile = dir + QStringLiteral("/update-choice.json");
    }
    void writeChoice(const QByteArray &bytes) const
    {
        QFile file(choiceFile);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(bytes);
        file.close();
        ::chmod(QFile::encodeName(choiceFile).constData(), 0600);
    }
    // Hands an answer over as the notification centre does and waits until it has been handled.
    bool answer(const QString &action, const QVariant &version = QStringLiteral("1.2.3"))
    {
        UserNotificationResponse response;
        response.actionIdentifier = action;
        response.request.identifier = UpdateNotifications::requestIdentifier;
        response.request.content = UpdateNotifications::content(QStringLiteral("1.2.3"));
        response.request.content.userInfo.insert(QStringLiteral("version"), version);
        if (!version.isValid())
            response.request.content.userInfo.remove(QStringLiteral("version"));
        auto completed = std::make_shared<std::atomic<bool>>(false);
        updates->didReceive(response, [completed] { *completed = true; });
        return QTest::qWaitFor([&] { return *completed && updates->isIdle(); }, 10000);
    }
};

}  // namespace

class UpdateNotificationAnswersTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void notifyRefusesAndPassesErrorsOn();
    void notifyPostsTheUpdateRequest();
    void answersThatAreNotActedOn_data();
    void answersThatAreNotActedOn();
    void laterSchedulesTheReminderOrSaysItCouldNot();
    void nowStartsTheJobThreeTimesAndSaysWhenItCannot();
    void aChoiceThatCannotBeWrittenIsLogged();
};

void UpdateNotificationAnswersTest::notifyRefusesAndPassesErrorsOn()
{
    Rig rig;
    rig.notifications->authorized = false;
    auto error = rig.updates->notify(QStringLiteral("1.2.3"));
    QVERIFY(error);
    QCOMPARE(error->code, 2);
    rig.notifications->authorizationError = QStringLiteral("no session bus");
    error = rig.updates->notify(QStringLiteral("1.2.3"));
    QVERIFY(error);
    QCOMPARE(error->code, 0);
    QCOMPARE(error->message, QStringLiteral("no session bus"));

    rig.notifications->authorized = true;
    rig.notifications->authorizationError.clear();
    rig.notifications->failAdd = true;
    error = rig.updates->notify(QStringLiteral("1.2.3"));
    QVERIFY(error);
    QCOMPARE(error->message, QStringLiteral("refused"));
    QCOMPARE(rig.notifications->added.size(), 0);
}

void UpdateNotificationAnswersTest::notifyPostsTheUpdateRequest()
{
    Rig rig;
    QVERIFY(!rig.updates->notify(QStringLiteral("10.20.30")));
    QCOMPARE(rig.notifications->delegate.get(), rig.updates.get());
    QCOMPARE(rig.notifications->registered, QList<UserNotificationCategory>{UpdateNotifications::category()});
    QCOMPARE(rig.notifications->added.size(), 1);
    const UserNotificationRequest request = rig.notifications->added.first();
    QCOMPARE(request.timeInterval, std::nullopt);
    QCOMPARE(request.content.userInfo, (QVariantMap{{"version", "10.20.30"}}));
}

void UpdateNotificationAnswersTest::answersThatAreNotActedOn_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QVariant>("version");
    QTest::newRow("notification opened") << QStringLiteral("default") << QVariant(QStringLiteral("1.2.3"));
    QTest::newRow("unknown action") << QStringLiteral("NOW") << QVariant(QStringLiteral("1.2.3"));
    QTest::newRow("no version") << QStringLiteral("now") << QVariant();
    QTest::newRow("version not a string") << QStringLiteral("now") << QVariant(123);
}

void UpdateNotificationAnswersTest::answersThatAreNotActedOn()
{
    QFETCH(QString, action);
    QFETCH(QVariant, version);
    Rig rig;
    rig.writeChoice(R"({"version":"1.2.3","action":"pending"})");
    QVERIFY(rig.answer(action, version));
    QTest::qWait(100);
    QCOMPARE(rig.services->count(), 0);
    QCOMPARE(rig.notifications->added.size(), 0);
    QFile file(rig.choiceFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray(R"({"version":"1.2.3","action":"pending"})"));
    QCOMPARE(rig.log->messages(), QStringList());
}

void UpdateNotificationAnswersTest::laterSchedulesTheReminderOrSaysItCouldNot()
{
    Rig rig;
    rig.writeChoice(R"({"version":"1.2.3","action":"pending"})");
    QVERIFY(rig.answer(QStringLiteral("later")));
    QCOMPARE(rig.notifications->added.size(), 1);
    QCOMPARE(rig.notifications->added.first().timeInterval, std::optional<double>(21600));
    QCOMPARE(rig.notifications->added.first().content, UpdateNotifications::content(QStringLiteral("1.2.3")));
    QCOMPARE(rig.services->count(), 0);

    rig.notifications->failAdd = true;
    QVERIFY(rig.answer(QStringLiteral("later")));   // "later" may be answered again
    QCOMPARE(rig.log->messages(), QStringList{"Veltro update reminder could not be scheduled"});
}

void UpdateNotificationAnswersTest::nowStartsTheJobThreeTimesAndSaysWhenItCannot()
{
    Rig rig;
    rig.writeChoice(R"({"version":"1.2.3","action":"later","remindAt":1})");
    rig.services->startable = false;
    QVERIFY(rig.answer(QStringLiteral("now")));
    QCOMPARE(rig.notifications->removedPending, QStringList{"veltro-update"});
    QCOMPARE(rig.services->count(), 3);
    for (const auto &start : std::as_const(rig.services->starts))
        QCOMPARE(start.first, QStringLiteral("ai.veltro.updater"));
    const qint64 first = rig.services->starts.at(0).second;
    QVERIFY(rig.services->starts.at(1).second - first >= 1900);
    QVERIFY(rig.services->starts.at(2).second - first >= 4900);
    QCOMPARE(rig.log->messages(), QStringList(3, QStringLiteral("Veltro updater could not be started")));
}

void UpdateNotificationAnswersTest::aChoiceThatCannotBeWrittenIsLogged()
{
    // The lock directory cannot be made (a file is in its way): nothing is recorded or started.
    Rig rig;
    rig.writeChoice(R"({"version":"1.2.3","action":"pending"})");
    QDir().mkpath(rig.home.path() + QStringLiteral("/data"));
    QFile blocker(rig.home.path() + QStringLiteral("/data/VeltroMornix"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(rig.answer(QStringLiteral("now")));
    QCOMPARE(rig.services->count(), 0);
    QCOMPARE(rig.log->messages(), QStringList{"Veltro update choice could not be saved"});
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(UpdateNotificationAnswersTest)
#include "tst_update_notification_answers.moc"
