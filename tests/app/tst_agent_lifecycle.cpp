// The agent process's launch sequence and its distributed notifications, with real processes on
// a private session bus.
#include "platform/linux/dbus_distributed_notifications.h"
#include "support/agent_process.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

class AgentLifecycleTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void notificationsReachOtherProcessesAndEndWithTheirContext();
    void managedAgentStartsHeadlessAndStopsOnNotification();
    void secondStartGetsNoLockAndLeavesTheFirstUntouched();
    void plainStartIgnoresTheStopNotification();
    void embeddedHelperStaysIdleWithoutAPresentationSwitch();
    void updaterModeEndsWithoutTakingTheAgentLock();
};

namespace {

// A copy of the built bundle whose Info.plist marks it as an embedded helper.
QString makeHelperBundle(const QString &directory)
{
    const QString bundle = directory + QStringLiteral("/VeltroMornix.app");
    QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS"));
    QFile::copy(QStringLiteral(MORNIX_EXECUTABLE), bundle + QStringLiteral("/Contents/MacOS/VeltroMornix"));
    QFile plist(QStringLiteral(MORNIX_BUNDLE_DIR "/Contents/Info.plist"));
    plist.open(QIODevice::ReadOnly);
    QByteArray text = plist.readAll();
    text.replace("</dict>", "\t<key>VeltroStandaloneHelper</key>\n\t<true/>\n</dict>");
    QFile out(bundle + QStringLiteral("/Contents/Info.plist"));
    out.open(QIODevice::WriteOnly);
    out.write(text);
    return bundle + QStringLiteral("/Contents/MacOS/VeltroMornix");
}

}  // namespace

void AgentLifecycleTest::notificationsReachOtherProcessesAndEndWithTheirContext()
{
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    DBusDistributedNotifications notifications;
    int stops = 0;
    int others = 0;
    auto context = std::make_unique<QObject>();
    QVERIFY(notifications.observe(QStringLiteral("ai.veltro.mornix.stop-managed"), context.get(), [&] { ++stops; }));
    QVERIFY(notifications.observe(QStringLiteral("ai.veltro.mornix.credentials-updated"), this, [&] { ++others; }));

    TemporaryHome home;
    const ProcessResult result = runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-stop-managed")},
                                            {}, headlessEnvironment(home.environment()));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.standardOutput, QByteArray());
    QTRY_COMPARE(stops, 1);
    QCOMPARE(others, 0);

    // Posted from this process too; an observer whose context is gone is not called.
    context.reset();
    QVERIFY(notifications.post(QStringLiteral("ai.veltro.mornix.stop-managed")));
    QVERIFY(notifications.post(QStringLiteral("ai.veltro.mornix.credentials-updated")));
    QTRY_COMPARE(others, 1);
    QCOMPARE(stops, 1);
}

void AgentLifecycleTest::managedAgentStartsHeadlessAndStopsOnNotification()
{
    TemporaryHome home;
    AgentProcess agent(headlessEnvironment(home.environment()));
    QVERIFY(agent.start({QStringLiteral("--desktop-managed")}));
    QVERIFY(agent.waitForLog(QStringLiteral("app started build=")));
    QVERIFY(agent.waitForLog(QStringLiteral("runtime bundle_id=ai.veltro.mornix arch=")));
    QVERIFY(agent.isRunning());

    const ProcessResult stop = runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-stop-managed")},
                                          {}, headlessEnvironment(home.environment()));
    QCOMPARE(stop.exitCode, 0);
    QVERIFY(agent.waitForExit(10000));
    QCOMPARE(agent.exitCode(), 0);
}

void AgentLifecycleTest::secondStartGetsNoLockAndLeavesTheFirstUntouched()
{
    TemporaryHome home;
    AgentProcess first(headlessEnvironment(home.environment()));
    QVERIFY(first.start());
    QVERIFY(first.waitForLog(QStringLiteral("app started build=")));

    AgentProcess second(headlessEnvironment(home.environment()));
    QVERIFY(second.start());
    QVERIFY(second.waitForExit(10000));
    QCOMPARE(second.exitCode(), 0);

    QTest::qWait(300);
    QVERIFY(first.isRunning());
    QCOMPARE(first.logCount(QStringLiteral("app started build=")), 1);

    // Once the first has ended, a new start takes the lock.
    runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-stop-managed")}, {},
               headlessEnvironment(home.environment()));
    QVERIFY(first.waitForExit(10000));
    AgentProcess third(headlessEnvironment(home.environment()));
    QVERIFY(third.start());
    QVERIFY(third.waitForLog(QStringLiteral("app started build="), 15000, 2));
}

void AgentLifecycleTest::plainStartIgnoresTheStopNotification()
{
    TemporaryHome home;
    AgentProcess agent(headlessEnvironment(home.environment()));
    QVERIFY(agent.start({}));
    QVERIFY(agent.waitForLog(QStringLiteral("app started build=")));
    runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-stop-managed")}, {},
               headlessEnvironment(home.environment()));
    QTest::qWait(1000);
    QVERIFY(agent.isRunning());
}

void AgentLifecycleTest::embeddedHelperStaysIdleWithoutAPresentationSwitch()
{
    TemporaryHome home;
    const QString helper = makeHelperBundle(home.path() + QStringLiteral("/Desktop.app/Contents/Helpers"));
    QProcess idle;
    idle.setProcessEnvironment(headlessEnvironment(home.environment()));
    idle.start(helper, {});
    QVERIFY(idle.waitForStarted());
    QTest::qWait(1500);
    QCOMPARE(idle.state(), QProcess::Running);  // idle until terminated from outside
    AgentProcess probe(headlessEnvironment(home.environment()));
    QVERIFY(!QFileInfo::exists(probe.logPath()));  // no controller, no lock
    QVERIFY(!QFileInfo::exists(home.dataHome() + QStringLiteral("/VeltroMornix/runtime.lock")));
    idle.terminate();
    idle.waitForFinished(5000);

    // With a presentation switch the helper copy is the agent.
    QProcess managed;
    managed.setProcessEnvironment(headlessEnvironment(home.environment()));
    managed.start(helper, {QStringLiteral("--desktop-managed")});
    QVERIFY(probe.waitForLog(QStringLiteral("app started build=")));
    managed.terminate();
    managed.waitForFinished(5000);
}

void AgentLifecycleTest::updaterModeEndsWithoutTakingTheAgentLock()
{
    TemporaryHome home;
    AgentProcess updater(headlessEnvironment(home.environment()));
    QVERIFY(updater.start({QStringLiteral("--desktop-updater")}));
    QVERIFY(updater.waitForExit(10000));
    QCOMPARE(updater.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(home.dataHome() + QStringLiteral("/VeltroMornix/runtime.lock")));
    QVERIFY(!QFileInfo::exists(updater.logPath()));
}

QTEST_GUILESS_MAIN(AgentLifecycleTest)
#include "tst_agent_lifecycle.moc"
