// What an answer to the update notification does: the choice file rules (what is rewritten,
// what is never read, how the new file is made) and UpdateNotifications' own decisions, with
// recording ports where a real desktop cannot reach them: refusals of notify(), which answers
// are acted on, and the system-log texts of failures (the real system log is syslog, which a
// test cannot read back).
#include "platform/service_manager.h"
#include "platform/user_notifications.h"
#include "support/recording_system_log.h"
#include "support/test_files.h"
#include "updates/update_choice_file.h"
#include "updates/update_notifications.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

constexpr qint64 kNow = 1700000000123;

struct Fixture {
    QTemporaryDir dir;
    QString root;
    QString file;
    QString rootForCall;  // the directory the answer is given for
    QString action = u"later"_s;
    Fixture()
    {
        root = rootForCall = dir.path() + u"/Updates"_s;
        file = root + u"/update-choice.json"_s;
        QDir().mkpath(root);
        ::chmod(QFile::encodeName(root).constData(), 0700);
    }
    void write(const QByteArray &bytes) const
    {
        writeFile(file, bytes);
        ::chmod(QFile::encodeName(file).constData(), 0600);
    }
    QByteArray read() const
    {
        // Never open a FIFO planted by a test: that would wait for a writer.
        struct stat st {};
        if (::stat(QFile::encodeName(file).constData(), &st) != 0 || !S_ISREG(st.st_mode))
            return QByteArrayLiteral("(not a regular file)");
        return readFile(file);
    }
    UpdateChoiceResult save(const QString &action) const { return saveUpdateChoice(u"1.2.3"_s, action, root, kNow); }
    QStringList entries() const
    {
        return QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
    }
};

uid_t nobody()
{
    const passwd *entry = ::getpwnam("nobody");
    return entry ? entry->pw_uid : uid_t(65534);
}

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
    void removePendingRequests(const QStringList &) override {}
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
            notifications, services, log, home.path(), home.path() + u"/data/VeltroMornix"_s, [] { return kNow; }};
        updates = std::make_shared<UpdateNotifications>(std::move(deps));
        const QString dir = home.path() + u"/Library/Application Support/Veltro/Updates"_s;
        QDir().mkpath(dir);
        ::chmod(QFile::encodeName(dir).constData(), 0700);
        choiceFile = dir + u"/update-choice.json"_s;
    }
    void writeChoice(const QByteArray &bytes, mode_t mode = 0600) const
    {
        writeFile(choiceFile, bytes);
        ::chmod(QFile::encodeName(choiceFile).constData(), mode);
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

class UpdateAnswersTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void answerRewritesAQualifyingFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("action");
        QTest::newRow("pending, later") << QByteArray(R"({"version":"1.2.3","action":"pending"})") << u"later"_s;
        QTest::newRow("pending, now") << QByteArray(R"({"version":"1.2.3","action":"pending","extra":[1,2]})")
                                      << u"now"_s;
        QTest::newRow("later answered again")
            << QByteArray(R"({"version":"1.2.3","action":"later","remindAt":5})") << u"later"_s;
        // Exactly 4096 bytes is still read.
        QByteArray padded = R"({"version":"1.2.3","action":"pending"})";
        padded.append(QByteArray(4096 - padded.size(), ' '));
        QTest::newRow("4096 bytes") << padded << u"now"_s;
    }

    void answerRewritesAQualifyingFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, action);
        Fixture f;
        f.write(content);
        const mode_t savedUmask = ::umask(0);  // the new file is private whatever the umask
        const UpdateChoiceResult result = f.save(action);
        ::umask(savedUmask);
        QCOMPARE(int(result.outcome), int(UpdateChoiceResult::Outcome::saved));

        const QJsonObject written = QJsonDocument::fromJson(f.read()).object();
        QCOMPARE(written.keys(), (QStringList{"action", "remindAt", "version"}));
        QCOMPARE(written.value("version").toString(), u"1.2.3"_s);
        QCOMPARE(written.value("action").toString(), action);
        // An integer in the text, not a float: the companion reads a signed 64-bit value.
        QVERIFY(f.read().contains("\"remindAt\":" + QByteArray::number(kNow + 21600000)));
        QCOMPARE(modeOf(f.file), mode_t(0600));
        QCOMPARE(f.entries(), QStringList{"update-choice.json"});  // no temporary left behind

        // A file in state "now" is not rewritten by a second answer; after "later", "now" replaces
        // the file (not an overwrite in place: a reader holding the old file keeps the old bytes).
        QFile held(f.file);
        QVERIFY(held.open(QIODevice::ReadOnly));
        const QByteArray after = held.readAll();
        const UpdateChoiceResult second = f.save(u"now"_s);
        QCOMPARE(int(second.outcome), int(action == "now"_L1 ? UpdateChoiceResult::Outcome::notRecorded
                                                             : UpdateChoiceResult::Outcome::saved));
        QCOMPARE(f.read() == after, action == "now"_L1);
        held.seek(0);
        QCOMPARE(held.readAll(), after);
    }

    // Each case changes a qualifying set-up one way; the answer must then change nothing at all.
    void unsafeOrUnqualifiedFilesAreNeverRead()
    {
        const QByteArray pending = R"({"version":"1.2.3","action":"pending"})";
        const auto chmodFile = [](mode_t mode) {
            return [mode](Fixture &f) { ::chmod(QFile::encodeName(f.file), mode); };
        };
        const auto content = [](QByteArray bytes) { return [bytes](Fixture &f) { f.write(bytes); }; };
        const auto replaced = [](std::function<bool(const QString &)> make) {
            return [make](Fixture &f) { QVERIFY(QFile::remove(f.file) && make(f.file)); };
        };
        const std::pair<const char *, std::function<void(Fixture &)>> cases[] = {
            {"file 0644", chmodFile(0644)},
            {"file 0640", chmodFile(0640)},
            {"file of another user", [](Fixture &f) { QCOMPARE(::chown(QFile::encodeName(f.file), nobody(), -1), 0); }},
            {"file is a symbolic link",
             [](Fixture &f) {
                 QVERIFY(QFile::rename(f.file, f.dir.filePath(u"elsewhere.json"_s)));
                 QVERIFY(QFile::link(f.dir.filePath(u"elsewhere.json"_s), f.file));
             }},
            {"file is a FIFO",
             replaced([](const QString &path) { return ::mkfifo(QFile::encodeName(path), 0600) == 0; })},
            {"file is a directory", replaced([](const QString &path) { return QDir().mkdir(path); })},
            {"4097 bytes", content(pending + QByteArray(4097 - pending.size(), ' '))},
            {"another version", content(R"({"version":"1.2.4","action":"pending"})")},
            {"state now", content(R"({"version":"1.2.3","action":"now","remindAt":1})")},
            {"no action", content(R"({"version":"1.2.3"})")},
            {"action not a string", content(R"({"version":"1.2.3","action":1})")},
            {"not a JSON object", content(R"(["1.2.3","pending"])")},
            {"no file", [](Fixture &f) { QVERIFY(QFile::remove(f.file)); }},
            {"directory 0755", [](Fixture &f) { ::chmod(QFile::encodeName(f.root), 0755); }},
            {"directory of another user",
             [](Fixture &f) { QCOMPARE(::chown(QFile::encodeName(f.root), nobody(), -1), 0); }},
            {"directory is a symbolic link",
             [](Fixture &f) {
                 QVERIFY(QFile::link(f.root, f.dir.filePath(u"LinkedUpdates"_s)));
                 f.rootForCall = f.dir.filePath(u"LinkedUpdates"_s);
             }},
            {"no directory", [](Fixture &f) { f.rootForCall = f.dir.filePath(u"Missing"_s); }},
            {"opening the notification", [](Fixture &f) { f.action = u"default"_s; }},
        };
        for (const auto &[name, setup] : cases) {
            Fixture f;
            f.write(pending);
            setup(f);
            const QByteArray before = f.read();
            const mode_t modeBefore = modeOf(f.file);
            const QStringList entriesBefore = f.entries();
            const UpdateChoiceResult result = saveUpdateChoice(u"1.2.3"_s, f.action, f.rootForCall, kNow);
            QVERIFY2(result.outcome == UpdateChoiceResult::Outcome::notRecorded, name);
            QVERIFY2(f.read() == before && modeOf(f.file) == modeBefore && f.entries() == entriesBefore, name);
        }
    }

    void writeFailureIsReportedAndLeavesTheFile()
    {
        // A file-size limit below the new content makes the write fail, for root as well.
        Fixture f;
        const QByteArray pending = R"({"version":"1.2.3","action":"pending"})";
        f.write(pending);
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = 16;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const UpdateChoiceResult result = f.save(u"later"_s);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        QCOMPARE(int(result.outcome), int(UpdateChoiceResult::Outcome::failed));
        QVERIFY(!result.error.isEmpty());
        QCOMPARE(f.read(), pending);
        QCOMPARE(f.entries(), QStringList{"update-choice.json"});
    }

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

    // Answers that are not for this version's notification, or without a choice file that
    // qualifies, change nothing.
    void answersThatAreNotActedOn_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QVariant>("version");
        QTest::addColumn<QByteArray>("choice");  // empty: no choice file
        QTest::addColumn<int>("mode");
        const QByteArray pending = R"({"version":"1.2.3","action":"pending"})";
        const QVariant version(u"1.2.3"_s);
        QTest::newRow("notification opened") << u"default"_s << version << pending << 0600;
        QTest::newRow("unknown action") << u"NOW"_s << version << pending << 0600;
        QTest::newRow("no version") << u"now"_s << QVariant() << pending << 0600;
        QTest::newRow("version not a string") << u"now"_s << QVariant(123) << pending << 0600;
        QTest::newRow("now without a choice file") << u"now"_s << version << QByteArray() << 0600;
        QTest::newRow("later with a file open to others") << u"later"_s << version << pending << 0644;
    }
    void answersThatAreNotActedOn()
    {
        QFETCH(QString, action);
        QFETCH(QVariant, version);
        QFETCH(QByteArray, choice);
        QFETCH(int, mode);
        Rig rig;
        if (!choice.isEmpty())
            rig.writeChoice(choice, mode_t(mode));
        QVERIFY(rig.answer(action, version));
        QTest::qWait(100);
        QCOMPARE(rig.services->count(), 0);
        QCOMPARE(rig.notifications->added.size(), 0);
        QCOMPARE(readFile(rig.choiceFile), choice);
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
        QCOMPARE(later.notifications->added.first().content, UpdateNotifications::content(u"1.2.3"_s));

        Rig now;
        now.writeChoice(R"({"version":"1.2.3","action":"later","remindAt":1})");
        now.services->startable = false;
        QVERIFY(now.answer(u"now"_s));
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

QTEST_GUILESS_MAIN(UpdateAnswersTest)
#include "tst_update_answers.moc"
