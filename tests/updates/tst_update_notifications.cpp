// The update notification end to end: the real executable's modes and waiter, a running agent,
// the recording notification server on the test's private session bus (broadcasting its
// signals, or sending them only to the poster), and a stand-in systemctl on PATH that records
// each request.
#include "platform/linux/freedesktop_notifications.h"
#include "support/agent_process.h"
#include "support/notification_server.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"
#include "updates/update_notifications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace mornix;

Q_DECLARE_METATYPE(NotificationServerProcess::Mode)

namespace mornix {

namespace {

const QByteArray kStatusIdle = R"({"actions":[],"authorization":2,"delivered":0,"pending":0,"reminder_seconds":0})";
const QByteArray kStatusShown
    = R"({"actions":["Update now","Update later"],"authorization":2,"delivered":1,"pending":0,"reminder_seconds":0})";
const QByteArray kStatusReminder
    = R"({"actions":["Update now","Update later"],"authorization":2,"delivered":0,"pending":1,"reminder_seconds":21600})";
const QByteArray kStatusNothing
    = R"({"actions":["Update now","Update later"],"authorization":2,"delivered":0,"pending":0,"reminder_seconds":0})";
const QStringList kActions{"now", "Update now", "later", "Update later"};

// A process is gone once it has exited (an orphan may linger as a zombie until reaped).
bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 || text.mid(close + 2, 1) == "Z";
}

struct SystemctlCall {
    double time = 0;
    QString arguments;
};

class Rig {
public:
    explicit Rig(NotificationServerProcess::Mode mode = NotificationServerProcess::Mode::Broadcast)
        : server(mode)
    {
        const QString bin = home.path() + QStringLiteral("/bin");
        QDir().mkpath(bin);
        systemctlLog = home.path() + QStringLiteral("/systemctl.log");
        QFile script(bin + QStringLiteral("/systemctl"));
        script.open(QIODevice::WriteOnly);
        script.write("#!/bin/sh\nprintf '%s %s\\n' \"$(date +%s.%N)\" \"$*\" >> '" + QFile::encodeName(systemctlLog)
                     + "'\n");
        script.close();
        script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        environment = headlessEnvironment(home.environment());
        environment.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
        environment.insert(QStringLiteral("PATH"), bin + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
        choiceDirectory = home.path() + QStringLiteral("/Library/Application Support/Veltro/Updates");
        choiceFile = choiceDirectory + QStringLiteral("/update-choice.json");
    }
    ~Rig()
    {
        // Waiters are detached: end any this test left behind.
        for (const qint64 pid : std::as_const(posters)) {
            if (!processGone(pid))
                ::kill(pid_t(pid), SIGKILL);
        }
    }

    ProcessResult run(const QStringList &arguments) const
    {
        return runProcess(QStringLiteral(MORNIX_EXECUTABLE), arguments, {}, environment, 40000);
    }
    ProcessResult notify(const QString &version) const { return run({QStringLiteral("--notify-update"), version}); }
    QByteArray status() const { return run({QStringLiteral("--update-notification-status")}).standardOutput; }

    void writeChoice(const QByteArray &content, mode_t mode = 0600) const
    {
        QDir().mkpath(choiceDirectory);
        ::chmod(QFile::encodeName(choiceDirectory).constData(), 0700);
        QFile file(choiceFile);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(content);
        file.close();
        ::chmod(QFile::encodeName(choiceFile).constData(), mode);
    }
    QByteArray choice() const
    {
        QFile file(choiceFile);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QList<SystemctlCall> systemctlCalls() const
    {
        QList<SystemctlCall> calls;
        QFile file(systemctlLog);
        if (!file.open(QIODevice::ReadOnly))
            return calls;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const qsizetype space = line.indexOf(' ');
            if (space > 0)
                calls.append({line.left(space).toDouble(), QString::fromUtf8(line.mid(space + 1))});
        }
        return calls;
    }

    // The one notification shown, remembering its poster for the clean-up.
    NotificationServerProcess::Shown shownOne()
    {
        const QList<NotificationServerProcess::Shown> open = server.open();
        if (open.size() != 1)
            return {};
        posters.insert(open.first().senderPid);
        return open.first();
    }

    TemporaryHome home;
    NotificationServerProcess server;
    QProcessEnvironment environment;
    QString systemctlLog;
    QString choiceDirectory;
    QString choiceFile;
    QSet<qint64> posters;
};

}  // namespace

class UpdateNotificationsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void refusedVersionsShowNothing_data();
    void refusedVersionsShowNothing();
    void withoutAServerNothingIsAuthorised();
    void statusFollowsNotifyReplaceDismissAndClear();
    void laterRecordsTheChoiceAndSchedulesTheReminder_data();
    void laterRecordsTheChoiceAndSchedulesTheReminder();
    void nowStartsTheUpdaterThreeTimesWithinFiveSeconds_data();
    void nowStartsTheUpdaterThreeTimesWithinFiveSeconds();
    void answersWithoutAQualifyingFileChangeNothing_data();
    void answersWithoutAQualifyingFileChangeNothing();
    void answerReceivedByTwoProcessesIsRecordedOnce();
    void notificationsOfAServerThatHasGoneAreNotCounted();
    void dueReminderIsShownAndAnsweredByTheAgent();
};

void UpdateNotificationsTest::refusedVersionsShowNothing_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("two numbers") << QStringLiteral("1.2");
    QTest::newRow("pre-release suffix") << QStringLiteral("1.2.3-beta");
    QTest::newRow("trailing newline") << QStringLiteral("1.2.3\n");
    QTest::newRow("leading v") << QStringLiteral("v1.2.3");
    QTest::newRow("empty number") << QStringLiteral("1..3");
    QTest::newRow("non-ASCII digits") << QStringLiteral("\u0661.\u0662.\u0663");
}

void UpdateNotificationsTest::refusedVersionsShowNothing()
{
    QFETCH(QString, version);
    Rig rig;
    QVERIFY(rig.server.start());
    const ProcessResult result = rig.notify(version);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.standardOutput, QByteArray());
    QCOMPARE(result.standardError, QByteArray());
    QCOMPARE(rig.server.historyCount(QStringLiteral("notify")), 0);
    QCOMPARE(rig.status(), kStatusIdle);
}

void UpdateNotificationsTest::withoutAServerNothingIsAuthorised()
{
    const QDBusReply<QStringList> activatable = QDBusConnection::sessionBus().interface()->activatableServiceNames();
    if (activatable.value().contains(QStringLiteral("org.freedesktop.Notifications")))
        QSKIP("a notification server is activatable on this session bus");
    Rig rig;
    QCOMPARE(rig.status(), QByteArray(R"({"actions":[],"authorization":0,"delivered":0,"pending":0,"reminder_seconds":0})"));
    const ProcessResult result = rig.notify(QStringLiteral("1.2.3"));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.standardOutput, QByteArray());
    // The refusal is code 2 of "UpdateNotification": the category was registered on the way.
    QCOMPARE(rig.status(),
             QByteArray(R"({"actions":["Update now","Update later"],"authorization":0,"delivered":0,"pending":0,"reminder_seconds":0})"));
}

void UpdateNotificationsTest::statusFollowsNotifyReplaceDismissAndClear()
{
    Rig rig;
    QVERIFY(rig.server.start());
    QCOMPARE(rig.status(), kStatusIdle);

    const ProcessResult posted = rig.notify(QStringLiteral("1.2.3"));
    QCOMPARE(posted.exitCode, 0);
    QCOMPARE(posted.standardOutput, QByteArray());
    QCOMPARE(posted.standardError, QByteArray());
    const NotificationServerProcess::Shown first = rig.shownOne();
    QVERIFY(first.id != 0);
    QCOMPARE(first.summary, QStringLiteral("A new Veltro update is available"));
    QCOMPARE(first.body, QStringLiteral("Install Veltro 1.2.3 now, or remind me in 6 hours."));
    QCOMPARE(first.actions, kActions);
    QCOMPARE(first.expireTimeout, 0);
    // Raw: no newline after the object.
    QCOMPARE(rig.status(), kStatusShown);
    // The waiter stays for the answer.
    QTest::qWait(300);
    QVERIFY(!processGone(first.senderPid));

    // The same identifier replaces the notification, on the server as well; the first waiter ends.
    QCOMPARE(rig.notify(QStringLiteral("1.2.4")).exitCode, 0);
    const NotificationServerProcess::Shown second = rig.shownOne();
    QCOMPARE(second.body, QStringLiteral("Install Veltro 1.2.4 now, or remind me in 6 hours."));
    QVERIFY(second.id != first.id);
    QCOMPARE(rig.status(), kStatusShown);
    QTRY_VERIFY_WITH_TIMEOUT(processGone(first.senderPid), 10000);

    // Dismissed by the user: no longer delivered, its waiter ends.
    QVERIFY(rig.server.dismiss(second.id));
    QTRY_VERIFY_WITH_TIMEOUT(processGone(second.senderPid), 10000);
    QCOMPARE(rig.status(), kStatusNothing);

    // Clear takes it off the server.
    QCOMPARE(rig.notify(QStringLiteral("1.2.5")).exitCode, 0);
    const NotificationServerProcess::Shown third = rig.shownOne();
    const ProcessResult cleared = rig.run({QStringLiteral("--clear-update-notification")});
    QCOMPARE(cleared.exitCode, 0);
    QCOMPARE(cleared.standardOutput, QByteArray());
    QVERIFY(rig.server.waitForOpen(0));
    QCOMPARE(rig.status(), kStatusNothing);
    QTRY_VERIFY_WITH_TIMEOUT(processGone(third.senderPid), 10000);
}

void UpdateNotificationsTest::laterRecordsTheChoiceAndSchedulesTheReminder_data()
{
    QTest::addColumn<NotificationServerProcess::Mode>("mode");
    QTest::newRow("broadcasting server") << NotificationServerProcess::Mode::Broadcast;
    QTest::newRow("server answering the poster only") << NotificationServerProcess::Mode::PosterOnly;
}

void UpdateNotificationsTest::laterRecordsTheChoiceAndSchedulesTheReminder()
{
    QFETCH(NotificationServerProcess::Mode, mode);
    Rig rig(mode);
    QVERIFY(rig.server.start());
    rig.writeChoice(R"({"version":"1.2.3","action":"pending"})");
    QCOMPARE(rig.notify(QStringLiteral("1.2.3")).exitCode, 0);
    const NotificationServerProcess::Shown shown = rig.shownOne();

    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(rig.server.press(shown.id, QStringLiteral("later")));
    QTRY_VERIFY_WITH_TIMEOUT(rig.choice().contains("\"later\""), 10000);
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    const QJsonObject choice = QJsonDocument::fromJson(rig.choice()).object();
    QCOMPARE(choice.keys(), (QStringList{"action", "remindAt", "version"}));
    QCOMPARE(choice.value("version").toString(), QStringLiteral("1.2.3"));
    const qint64 remindAt = choice.value("remindAt").toInteger();
    QVERIFY2(remindAt >= before + 21600000 && remindAt <= after + 21600000, qPrintable(QString::number(remindAt)));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(rig.choiceFile).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));

    QTRY_VERIFY_WITH_TIMEOUT(processGone(shown.senderPid), 10000);
    QCOMPARE(rig.status(), kStatusReminder);
    QCOMPARE(rig.systemctlCalls().size(), 0);
    // Nothing is shown before the reminder is due.
    QCOMPARE(rig.server.open().size(), 0);
}

void UpdateNotificationsTest::nowStartsTheUpdaterThreeTimesWithinFiveSeconds_data()
{
    QTest::addColumn<NotificationServerProcess::Mode>("mode");
    QTest::newRow("broadcasting server") << NotificationServerProcess::Mode::Broadcast;
    QTest::newRow("server answering the poster only") << NotificationServerProcess::Mode::PosterOnly;
}

void UpdateNotificationsTest::nowStartsTheUpdaterThreeTimesWithinFiveSeconds()
{
    QFETCH(NotificationServerProcess::Mode, mode);
    Rig rig(mode);
    QVERIFY(rig.server.start());
    rig.writeChoice(R"({"version":"2.0.1","action":"later","remindAt":1})");
    QCOMPARE(rig.notify(QStringLiteral("2.0.1")).exitCode, 0);
    const NotificationServerProcess::Shown shown = rig.shownOne();
    QVERIFY(rig.server.press(shown.id, QStringLiteral("now")));

    QTRY_COMPARE_WITH_TIMEOUT(rig.systemctlCalls().size(), 3, 10000);
    const QList<SystemctlCall> calls = rig.systemctlCalls();
    for (const SystemctlCall &call : calls)
        QCOMPARE(call.arguments, QStringLiteral("--user start ai.veltro.updater.service"));
    const double second = calls.at(1).time - calls.at(0).time;
    const double third = calls.at(2).time - calls.at(0).time;
    QVERIFY2(second > 1.5 && second < 3.5, qPrintable(QString::number(second)));
    QVERIFY2(third > 4.5 && third < 6.5, qPrintable(QString::number(third)));
    QCOMPARE(QJsonDocument::fromJson(rig.choice()).object().value("action").toString(), QStringLiteral("now"));

    // The waiter stays until the last start, then ends; nobody asks again.
    QTRY_VERIFY_WITH_TIMEOUT(processGone(shown.senderPid), 10000);
    QTest::qWait(500);
    QCOMPARE(rig.systemctlCalls().size(), 3);
    QCOMPARE(rig.status(), kStatusNothing);
}

void UpdateNotificationsTest::answersWithoutAQualifyingFileChangeNothing_data()
{
    QTest::addColumn<QByteArray>("content");   // empty: no choice file at all
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("action");
    QTest::newRow("now without a choice file") << QByteArray() << 0600 << "now";
    QTest::newRow("later with a file open to others") << QByteArray(R"({"version":"1.2.3","action":"pending"})") << 0644 << "later";
    QTest::newRow("now with a file for another version") << QByteArray(R"({"version":"1.2.2","action":"pending"})") << 0600 << "now";
}

void UpdateNotificationsTest::answersWithoutAQualifyingFileChangeNothing()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QString, action);
    Rig rig;
    QVERIFY(rig.server.start());
    if (!content.isEmpty())
        rig.writeChoice(content, mode_t(mode));
    QCOMPARE(rig.notify(QStringLiteral("1.2.3")).exitCode, 0);
    const NotificationServerProcess::Shown shown = rig.shownOne();
    QVERIFY(rig.server.press(shown.id, action));
    // The waiter ends once the answer is handled; by then anything it would do is done.
    QTRY_VERIFY_WITH_TIMEOUT(processGone(shown.senderPid), 10000);
    QCOMPARE(rig.systemctlCalls().size(), 0);
    QCOMPARE(rig.choice(), content);
    QCOMPARE(rig.status(), kStatusNothing);
}

void UpdateNotificationsTest::answerReceivedByTwoProcessesIsRecordedOnce()
{
    Rig rig(NotificationServerProcess::Mode::Broadcast);
    QVERIFY(rig.server.start());
    AgentProcess agent(rig.environment);
    QVERIFY(agent.start({QStringLiteral("--desktop-managed")}));
    QVERIFY(agent.waitForLog(QStringLiteral("app started build=")));

    // The agent alone: the waiter is gone before the answer, the agent handles it.
    rig.writeChoice(R"({"version":"3.1.4","action":"pending"})");
    QCOMPARE(rig.notify(QStringLiteral("3.1.4")).exitCode, 0);
    const NotificationServerProcess::Shown lone = rig.shownOne();
    QVERIFY(lone.senderPid != agent.process().processId());
    ::kill(pid_t(lone.senderPid), SIGKILL);
    QTRY_VERIFY(processGone(lone.senderPid));
    QVERIFY(rig.server.press(lone.id, QStringLiteral("later")));
    QTRY_VERIFY_WITH_TIMEOUT(rig.choice().contains("\"later\""), 10000);
    QCOMPARE(rig.status(), kStatusReminder);

    // Both receive the answer: it is recorded once and the updater asked for three times, not six.
    QCOMPARE(rig.notify(QStringLiteral("3.1.4")).exitCode, 0);
    const NotificationServerProcess::Shown both = rig.shownOne();
    QVERIFY(rig.server.press(both.id, QStringLiteral("now")));
    QTRY_COMPARE_WITH_TIMEOUT(rig.systemctlCalls().size(), 3, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(processGone(both.senderPid), 10000);
    QTest::qWait(1000);
    QCOMPARE(rig.systemctlCalls().size(), 3);
    QCOMPARE(QJsonDocument::fromJson(rig.choice()).object().value("action").toString(), QStringLiteral("now"));
    QVERIFY(agent.isRunning());
}

void UpdateNotificationsTest::notificationsOfAServerThatHasGoneAreNotCounted()
{
    Rig rig;
    QVERIFY(rig.server.start());
    QCOMPARE(rig.notify(QStringLiteral("1.2.3")).exitCode, 0);
    const NotificationServerProcess::Shown shown = rig.shownOne();
    QCOMPARE(rig.status(), kStatusShown);

    // The server restarts: ids start again and the old notification is not shown any more.
    rig.server.stop();
    QVERIFY(rig.server.start());
    QCOMPARE(rig.status(), kStatusNothing);
    // Nothing is left to wait for: the waiter notices within its bus check.
    QTRY_VERIFY_WITH_TIMEOUT(processGone(shown.senderPid), 20000);
    // The new server hands out the old id again: only the new notification is counted.
    QCOMPARE(rig.notify(QStringLiteral("1.2.4")).exitCode, 0);
    QCOMPARE(rig.shownOne().id, shown.id);
    QCOMPARE(rig.status(), kStatusShown);
}

void UpdateNotificationsTest::dueReminderIsShownAndAnsweredByTheAgent()
{
    // The server answers only the poster: the agent, which shows the due reminder, must handle it.
    Rig rig(NotificationServerProcess::Mode::PosterOnly);
    QVERIFY(rig.server.start());
    rig.writeChoice(R"({"version":"4.0.0","action":"later","remindAt":1})");
    {
        // A reminder due in a second, scheduled the way an earlier "later" answer does.
        FreedesktopNotifications notifications(rig.home.dataHome() + QStringLiteral("/VeltroMornix"));
        QString error;
        QVERIFY2(notifications.setCategories({UpdateNotifications::category()}, &error), qPrintable(error));
        UserNotificationRequest reminder{UpdateNotifications::requestIdentifier,
                                         UpdateNotifications::content(QStringLiteral("4.0.0")), 1.0};
        QVERIFY2(notifications.add(reminder, &error), qPrintable(error));
    }
    QCOMPARE(rig.status(),
             QByteArray(R"({"actions":["Update now","Update later"],"authorization":2,"delivered":0,"pending":1,"reminder_seconds":1})"));

    AgentProcess agent(rig.environment);
    QVERIFY(agent.start({QStringLiteral("--desktop-managed")}));
    QVERIFY(rig.server.waitForOpen(1, 15000));
    const NotificationServerProcess::Shown shown = rig.shownOne();
    QCOMPARE(shown.senderPid, agent.process().processId());
    QCOMPARE(shown.body, QStringLiteral("Install Veltro 4.0.0 now, or remind me in 6 hours."));
    QCOMPARE(rig.status(), kStatusShown);

    QVERIFY(rig.server.press(shown.id, QStringLiteral("now")));
    QTRY_COMPARE_WITH_TIMEOUT(rig.systemctlCalls().size(), 3, 10000);
    QCOMPARE(QJsonDocument::fromJson(rig.choice()).object().value("action").toString(), QStringLiteral("now"));
    QCOMPARE(rig.status(), kStatusNothing);
}

}  // namespace mornix

QTEST_GUILESS_MAIN(UpdateNotificationsTest)
#include "tst_update_notifications.moc"
