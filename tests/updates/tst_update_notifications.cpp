// The update notification end to end: the real executable's modes and waiter, a running agent,
// the recording notification server on the test's private session bus (broadcasting its
// signals, or sending them only to the poster), and a stand-in systemctl on PATH that records
// each request.
#include "platform/linux/notifications/freedesktop_notifications.h"
#include "support/agent_process.h"
#include "support/notification_server.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"
#include "support/test_files.h"
#include "updates/update_notifications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

using namespace mornix;

namespace mornix {

namespace {

const QByteArray kStatusIdle = R"({"actions":[],"authorization":2,"delivered":0,"pending":0,"reminder_seconds":0})";
const QByteArray kStatusShown =
    R"({"actions":["Update now","Update later"],"authorization":2,"delivered":1,"pending":0,"reminder_seconds":0})";
const QByteArray kStatusReminder =
    R"({"actions":["Update now","Update later"],"authorization":2,"delivered":0,"pending":1,"reminder_seconds":21600})";
const QByteArray kStatusNothing =
    R"({"actions":["Update now","Update later"],"authorization":2,"delivered":0,"pending":0,"reminder_seconds":0})";
const QStringList kActions{"now", "Update now", "later", "Update later"};

// A process is gone once it has exited (an orphan may linger as a zombie until reaped).
bool processGone(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
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
        const QString bin = home.path() + u"/bin"_s;
        QDir().mkpath(bin);
        systemctlLog = home.path() + u"/systemctl.log"_s;
        writeFile(bin + u"/systemctl"_s, "#!/bin/sh\nprintf '%s %s\\n' \"$(date +%s.%N)\" \"$*\" >> '"
                                             + QFile::encodeName(systemctlLog) + "'\n");
        ::chmod(QFile::encodeName(bin + u"/systemctl"_s), 0700);
        environment = headlessEnvironment(home.environment());
        environment.insert(u"VELTRO_KEYCHAIN"_s, u"file"_s);
        environment.insert(u"PATH"_s, bin + u':' + environment.value(u"PATH"_s));
        choiceFile = home.path() + u"/Library/Application Support/Veltro/Updates/update-choice.json"_s;
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
    ProcessResult notify(const QString &version) const { return run({u"--notify-update"_s, version}); }
    QByteArray status() const { return run({u"--update-notification-status"_s}).standardOutput; }

    void writeChoice(const QByteArray &content) const
    {
        const QString directory = QFileInfo(choiceFile).path();
        QDir().mkpath(directory);
        ::chmod(QFile::encodeName(directory), 0700);
        writeFile(choiceFile, content);
        ::chmod(QFile::encodeName(choiceFile), 0600);
    }
    QByteArray choice() const { return readFile(choiceFile); }
    QString choiceAction() const { return QJsonDocument::fromJson(choice()).object().value(u"action"_s).toString(); }

    QList<SystemctlCall> systemctlCalls() const
    {
        QList<SystemctlCall> calls;
        for (const QByteArray &line : readFile(systemctlLog).split('\n')) {
            const qsizetype space = line.indexOf(' ');
            if (space > 0)
                calls.append({line.left(space).toDouble(), QString::fromUtf8(line.mid(space + 1))});
        }
        return calls;
    }

    // Posts the notification for `version` and returns it (empty when that failed).
    NotificationServerProcess::Shown post(const QString &version)
    {
        return notify(version).exitCode == 0 ? shownOne() : NotificationServerProcess::Shown{};
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
    QString choiceFile;
    QSet<qint64> posters;
};

}  // namespace

class UpdateNotificationsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:

    void refusedVersionsShowNothing()
    {
        Rig rig;
        QVERIFY(rig.server.start());
        // Two numbers, a pre-release suffix, a trailing newline, a leading v, an empty number,
        // non-ASCII digits.
        for (const QString &version :
             {u"1.2"_s, u"1.2.3-beta"_s, u"1.2.3\n"_s, u"v1.2.3"_s, u"1..3"_s, u"\u0661.\u0662.\u0663"_s}) {
            const ProcessResult result = rig.notify(version);
            QVERIFY2(result.exitCode == 1 && result.standardOutput.isEmpty() && result.standardError.isEmpty(),
                     qPrintable(version));
        }
        QCOMPARE(rig.server.historyCount(u"notify"_s), 0);
        QCOMPARE(rig.status(), kStatusIdle);
    }

    void withoutAServerNothingIsAuthorised()
    {
        const QDBusReply<QStringList> activatable =
            QDBusConnection::sessionBus().interface()->activatableServiceNames();
        if (activatable.value().contains(u"org.freedesktop.Notifications"_s))
            QSKIP("a notification server is activatable on this session bus");
        Rig rig;
        QCOMPARE(rig.status(),
                 QByteArray(R"({"actions":[],"authorization":0,"delivered":0,"pending":0,"reminder_seconds":0})"));
        const ProcessResult result = rig.notify(u"1.2.3"_s);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.standardOutput, QByteArray());
        // The refusal is code 2 of "UpdateNotification": the category was registered on the way.
        QCOMPARE(rig.status(), QByteArray(R"({"actions":["Update now","Update later"],"authorization":0,)"
                                          R"("delivered":0,"pending":0,"reminder_seconds":0})"));
    }

    void statusFollowsNotifyReplaceDismissAndClear()
    {
        Rig rig;
        QVERIFY(rig.server.start());
        const ProcessResult posted = rig.notify(u"1.2.3"_s);
        QCOMPARE(posted.exitCode, 0);
        QCOMPARE(posted.standardOutput, QByteArray());
        QCOMPARE(posted.standardError, QByteArray());
        const NotificationServerProcess::Shown first = rig.shownOne();
        QVERIFY(first.id != 0);
        QCOMPARE(first.summary, u"A new Veltro update is available"_s);
        QCOMPARE(first.body, u"Install Veltro 1.2.3 now, or remind me in 6 hours."_s);
        QCOMPARE(first.actions, kActions);
        QCOMPARE(first.expireTimeout, 0);
        // Raw: no newline after the object.
        QCOMPARE(rig.status(), kStatusShown);
        // The waiter stays for the answer.
        QTest::qWait(300);
        QVERIFY(!processGone(first.senderPid));

        // The same identifier replaces the notification, on the server as well; the first waiter ends.
        const NotificationServerProcess::Shown second = rig.post(u"1.2.4"_s);
        QCOMPARE(second.body, u"Install Veltro 1.2.4 now, or remind me in 6 hours."_s);
        QVERIFY(second.id != first.id);
        QCOMPARE(rig.status(), kStatusShown);
        QTRY_VERIFY_WITH_TIMEOUT(processGone(first.senderPid), 10000);

        // Dismissed by the user: no longer delivered, its waiter ends.
        QVERIFY(rig.server.dismiss(second.id));
        QTRY_VERIFY_WITH_TIMEOUT(processGone(second.senderPid), 10000);
        QCOMPARE(rig.status(), kStatusNothing);

        // Clear takes it off the server.
        const NotificationServerProcess::Shown third = rig.post(u"1.2.5"_s);
        const ProcessResult cleared = rig.run({u"--clear-update-notification"_s});
        QCOMPARE(cleared.exitCode, 0);
        QCOMPARE(cleared.standardOutput, QByteArray());
        QVERIFY(rig.server.waitForOpen(0));
        QCOMPARE(rig.status(), kStatusNothing);
        QTRY_VERIFY_WITH_TIMEOUT(processGone(third.senderPid), 10000);
    }

    // Whoever receives an answer handles it once: the waiter alone ("later": the choice six hours
    // from the real clock, the reminder scheduled), the agent alone once the waiter is gone, and
    // both ("now": recorded once, the updater started three times within five seconds, not six).
    void answersAreHandledOnceWhoeverReceivesThem()
    {
        Rig rig;
        QVERIFY(rig.server.start());
        rig.writeChoice(R"({"version":"1.2.3","action":"pending"})");
        const NotificationServerProcess::Shown shown = rig.post(u"1.2.3"_s);
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(rig.server.press(shown.id, u"later"_s));
        QTRY_VERIFY_WITH_TIMEOUT(rig.choice().contains("\"later\""), 10000);
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        const auto remindAt = [&rig] {
            return QJsonDocument::fromJson(rig.choice()).object().value(u"remindAt"_s).toInteger();
        };
        const qint64 firstRemindAt = remindAt();
        QVERIFY2(firstRemindAt >= before + 21600000 && firstRemindAt <= after + 21600000,
                 qPrintable(QString::number(firstRemindAt)));
        QTRY_VERIFY_WITH_TIMEOUT(processGone(shown.senderPid), 10000);
        QCOMPARE(rig.status(), kStatusReminder);
        QCOMPARE(rig.server.open().size(), 0);  // nothing is shown before the reminder is due

        AgentProcess agent(rig.environment);
        QVERIFY(agent.start({u"--desktop-managed"_s}));
        QVERIFY(agent.waitForLog(u"app started build="_s));
        const NotificationServerProcess::Shown lone = rig.post(u"1.2.3"_s);
        QVERIFY(lone.senderPid != agent.process().processId());
        ::kill(pid_t(lone.senderPid), SIGKILL);
        QTRY_VERIFY(processGone(lone.senderPid));
        QVERIFY(rig.server.press(lone.id, u"later"_s));
        QTRY_VERIFY_WITH_TIMEOUT(remindAt() > firstRemindAt, 10000);
        QCOMPARE(rig.status(), kStatusReminder);
        QCOMPARE(rig.systemctlCalls().size(), 0);

        const NotificationServerProcess::Shown both = rig.post(u"1.2.3"_s);
        QVERIFY(rig.server.press(both.id, u"now"_s));
        QTRY_COMPARE_WITH_TIMEOUT(rig.systemctlCalls().size(), 3, 10000);
        const QList<SystemctlCall> calls = rig.systemctlCalls();
        for (const SystemctlCall &call : calls)
            QCOMPARE(call.arguments, u"--user start ai.veltro.updater.service"_s);
        const double second = calls.at(1).time - calls.at(0).time;
        const double third = calls.at(2).time - calls.at(0).time;
        QVERIFY2(second > 1.5 && second < 3.5, qPrintable(QString::number(second)));
        QVERIFY2(third > 4.5 && third < 6.5, qPrintable(QString::number(third)));
        QCOMPARE(rig.choiceAction(), u"now"_s);
        // The waiter stays until the last start, then ends; nobody asks again.
        QTRY_VERIFY_WITH_TIMEOUT(processGone(both.senderPid), 10000);
        QTest::qWait(1000);
        QCOMPARE(rig.systemctlCalls().size(), 3);
        QCOMPARE(rig.status(), kStatusNothing);
        QVERIFY(agent.isRunning());
    }

    void notificationsOfAServerThatHasGoneAreNotCounted()
    {
        Rig rig;
        QVERIFY(rig.server.start());
        const NotificationServerProcess::Shown shown = rig.post(u"1.2.3"_s);
        QCOMPARE(rig.status(), kStatusShown);

        // The server restarts: ids start again and the old notification is not shown any more.
        rig.server.stop();
        QVERIFY(rig.server.start());
        QCOMPARE(rig.status(), kStatusNothing);
        // Nothing is left to wait for: the waiter notices within its bus check.
        QTRY_VERIFY_WITH_TIMEOUT(processGone(shown.senderPid), 20000);
        // The new server hands out the old id again: only the new notification is counted.
        QCOMPARE(rig.notify(u"1.2.4"_s).exitCode, 0);
        QCOMPARE(rig.shownOne().id, shown.id);
        QCOMPARE(rig.status(), kStatusShown);
    }

    void dueReminderIsShownAndAnsweredByTheAgent()
    {
        // The server answers only the poster: the agent, which shows the due reminder, must handle it.
        Rig rig(NotificationServerProcess::Mode::PosterOnly);
        QVERIFY(rig.server.start());
        rig.writeChoice(R"({"version":"4.0.0","action":"later","remindAt":1})");
        {
            // A reminder due in a second, scheduled the way an earlier "later" answer does.
            FreedesktopNotifications notifications(rig.home.dataHome() + u"/VeltroMornix"_s);
            QString error;
            QVERIFY2(notifications.setCategories({UpdateNotifications::category()}, &error), qPrintable(error));
            UserNotificationRequest reminder{UpdateNotifications::requestIdentifier,
                                             UpdateNotifications::content(u"4.0.0"_s), 1.0};
            QVERIFY2(notifications.add(reminder, &error), qPrintable(error));
        }
        QCOMPARE(rig.status(), QByteArray(R"({"actions":["Update now","Update later"],"authorization":2,)"
                                          R"("delivered":0,"pending":1,"reminder_seconds":1})"));

        AgentProcess agent(rig.environment);
        QVERIFY(agent.start({u"--desktop-managed"_s}));
        QVERIFY(rig.server.waitForOpen(1, 15000));
        const NotificationServerProcess::Shown shown = rig.shownOne();
        QCOMPARE(shown.senderPid, agent.process().processId());
        QCOMPARE(shown.body, u"Install Veltro 4.0.0 now, or remind me in 6 hours."_s);
        QCOMPARE(rig.status(), kStatusShown);

        QVERIFY(rig.server.press(shown.id, u"now"_s));
        QTRY_COMPARE_WITH_TIMEOUT(rig.systemctlCalls().size(), 3, 10000);
        QCOMPARE(rig.choiceAction(), u"now"_s);
        QCOMPARE(rig.status(), kStatusNothing);
    }
};

}  // namespace mornix

QTEST_GUILESS_MAIN(UpdateNotificationsTest)
#include "tst_update_notifications.moc"
