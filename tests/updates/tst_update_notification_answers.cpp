// UpdateNotifications' own decisions, with recording ports where a real desktop cannot reach
// them: refusals of notify(), which answers are acted on, and the system-log texts of failures
// (the real system log is syslog, which a test cannot read back).
#include "platform/service_manager.h"
#include "platform/user_notifications.h"
#include "support/recording_system_log.h"
#include "support/test_files.h"
#include "updates/update_notifications.h"

#include <QDir>
#include <atomic>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

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
                *error = u"refused"_s;
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
        starts.append(name);
        return startable;
    }
    qsizetype count()
    {
        QMutexLocker locker(&mutex);
        return starts.size();
    }
    QMutex mutex;
    bool startable = true;
    QStringList starts;
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
        UpdateNotifications::Dependencies deps{
            notifications,       services,  log, home.path(), home.path() + u"/data/VeltroMornix"_s,
            [] { return kNow; }, ::getuid()};
        updates = std::make_shared<UpdateNotifications>(std::move(deps));
        const QString dir = home.path() + u"/Library/Application Support/Veltro/Updates"_s;
        QDir().mkpath(dir);
        ::chmod(QFile::encodeName(dir).constData(), 0700);
        choiceFile = dir + u"/update-choice.json"_s;
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
    bool answer(const QString &action, const QVariant &version = u"1.2.3"_s)
    {
        UserNotificationResponse response;
        response.actionIdentifier = action;
        response.request.identifier = UpdateNotifications::requestIdentifier;
        response.request.content = UpdateNotifications::content(u"1.2.3"_s);
        response.request.content.userInfo.insert(u"version"_s, version);
        if (!version.isValid())
            response.request.content.userInfo.remove(u"version"_s);
        auto completed = std::make_shared<std::atomic<bool>>(false);
        updates->didReceive(response, [completed] { *completed = true; });
        return QTest::qWaitFor([&] { return *completed && updates->isIdle(); }, 10000);
    }
};

}  // namespace

class UpdateNotificationAnswersTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void notifyRefusesAndPassesErrorsOn()
    {
        Rig rig;
        rig.notifications->authorized = false;
        QCOMPARE(rig.updates->notify(u"1.2.3"_s).value_or(UpdateNotificationError{}).code, 2);
        rig.notifications->authorizationError = u"no session bus"_s;
        const auto unreachable = rig.updates->notify(u"1.2.3"_s);
        QVERIFY(unreachable);
        QCOMPARE(unreachable->code, 0);
        QCOMPARE(unreachable->message, u"no session bus"_s);

        rig.notifications->authorized = true;
        rig.notifications->authorizationError.clear();
        rig.notifications->failAdd = true;
        QCOMPARE(rig.updates->notify(u"1.2.3"_s).value_or(UpdateNotificationError{}).message, u"refused"_s);
        QCOMPARE(rig.notifications->added.size(), 0);
    }

    void answersThatAreNotActedOn_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QVariant>("version");
        QTest::newRow("notification opened") << u"default"_s << QVariant(u"1.2.3"_s);
        QTest::newRow("unknown action") << u"NOW"_s << QVariant(u"1.2.3"_s);
        QTest::newRow("no version") << u"now"_s << QVariant();
        QTest::newRow("version not a string") << u"now"_s << QVariant(123);
    }
    void answersThatAreNotActedOn()
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

    // What the answers do is seen on a real desktop; what they log when a step fails is not.
    void failedStepsAreLogged()
    {
        Rig later;
        later.writeChoice(R"({"version":"1.2.3","action":"pending"})");
        later.notifications->failAdd = true;
        QVERIFY(later.answer(u"later"_s));
        QCOMPARE(later.log->messages(), QStringList{"Veltro update reminder could not be scheduled"});
        later.notifications->failAdd = false;
        QVERIFY(later.answer(u"later"_s));  // "later" may be answered again
        QCOMPARE(later.notifications->added.size(), 1);
        QCOMPARE(later.notifications->added.first().timeInterval, std::optional<double>(21600));
        QCOMPARE(later.notifications->added.first().content, UpdateNotifications::content(u"1.2.3"_s));

        Rig now;
        now.writeChoice(R"({"version":"1.2.3","action":"later","remindAt":1})");
        now.services->startable = false;
        QVERIFY(now.answer(u"now"_s));
        QCOMPARE(now.notifications->removedPending, QStringList{"veltro-update"});
        QCOMPARE(now.services->starts, QStringList(3, u"ai.veltro.updater"_s));
        QCOMPARE(now.log->messages(), QStringList(3, u"Veltro updater could not be started"_s));

        // The lock directory cannot be made (a file is in its way): nothing is recorded or started.
        Rig blocked;
        blocked.writeChoice(R"({"version":"1.2.3","action":"pending"})");
        QVERIFY(QDir().mkpath(blocked.home.path() + u"/data"_s));
        QVERIFY(writeFile(blocked.home.path() + u"/data/VeltroMornix"_s, {}));
        QVERIFY(blocked.answer(u"now"_s));
        QCOMPARE(blocked.services->count(), 0);
        QCOMPARE(blocked.log->messages(), QStringList{"Veltro update choice could not be saved"});
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(UpdateNotificationAnswersTest)
#include "tst_update_notification_answers.moc"
