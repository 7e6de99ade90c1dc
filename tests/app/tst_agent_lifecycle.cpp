// The agent process's launch sequence and its distributed notifications, with real processes on
// a private session bus.
#include "platform/linux/dbus_distributed_notifications.h"
#include "support/agent_process.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"

#include <QDBusConnection>
#include <QTest>

class AgentLifecycleTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void notificationsReachOtherProcessesAndEndWithTheirContext();
    void managedAgentStartsHeadlessAndStopsOnNotification();
    void secondStartGetsNoLockAndLeavesTheFirstUntouched();
    void plainStartIgnoresTheStopNotification();
};

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

QTEST_GUILESS_MAIN(AgentLifecycleTest)
#include "tst_agent_lifecycle.moc"
