// The agent process's launch sequence and its distributed notifications, with real processes on
// a private session bus.
#include "platform/linux/notifications/dbus_distributed_notifications.h"
#include "secret_service_fixture.h"
#include "support/agent_process.h"
#include "support/process_runner.h"
#include "support/status_notifier_host.h"
#include "support/temporary_home.h"
#include "support/test_files.h"
#include "support/virtual_display.h"

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/types.h>

namespace mornix {

class AgentLifecycleTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void notificationsReachOtherProcessesAndEndWithTheirContext();
    void secondStartGetsNoLockAndLeavesTheFirstUntouched();
    void secondStartShowsTheRunningAgentsDashboard();
    void embeddedHelperStaysIdleWithoutAPresentationSwitch();
    void updaterModeEndsWithoutTakingTheAgentLock();
    void displayThatDoesNotAnswer();
    void unusableRuntimeLockIsReportedAndEndsTheStart();
    void missingSessionBusIsLogged();
    void keyringThatDoesNotAnswerNeverFreezesTheAgent();
};

namespace {

ProcessResult postStopManaged(const TemporaryHome &home)
{
    return runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-stop-managed")}, {},
                      headlessEnvironment(home.environment()));
}

// A copy of the built bundle whose Info.plist marks it as an embedded helper.
QString makeHelperBundle(const QString &directory)
{
    const QString bundle = directory + QStringLiteral("/VeltroMornix.app");
    QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS"));
    QFile::copy(QStringLiteral(MORNIX_EXECUTABLE), bundle + QStringLiteral("/Contents/MacOS/VeltroMornix"));
    const QByteArray plist = readFile(QStringLiteral(MORNIX_BUNDLE_DIR "/Contents/Info.plist"));
    writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
              QByteArray(plist).replace("</dict>", "\t<key>VeltroStandaloneHelper</key>\n\t<true/>\n</dict>"));
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
    const ProcessResult result = postStopManaged(home);
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

// A plain start holds the lock and ignores the stop notification; a second start ends at once.
void AgentLifecycleTest::secondStartGetsNoLockAndLeavesTheFirstUntouched()
{
    TemporaryHome home;
    auto first = std::make_unique<AgentProcess>(headlessEnvironment(home.environment()));
    QVERIFY(first->start({}));
    QVERIFY(first->waitForLog(QStringLiteral("app started build=")));

    AgentProcess second(headlessEnvironment(home.environment()));
    QVERIFY(second.start());
    QVERIFY(second.waitForExit(10000));
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(postStopManaged(home).exitCode, 0);
    QTest::qWait(1000);
    QVERIFY(first->isRunning());
    QCOMPARE(first->logCount(QStringLiteral("app started build=")), 1);

    // Once the first has ended, a new start takes the lock.
    first.reset();
    AgentProcess third(headlessEnvironment(home.environment()));
    QVERIFY(third.start());
    QVERIFY(third.waitForLog(QStringLiteral("app started build="), 15000, 2));
}

// A second start while the agent runs on a desktop with a tray: the running agent shows its
// dashboard (a visible window, as the X server reports it) and the second start ends; the first
// runs on.
void AgentLifecycleTest::secondStartShowsTheRunningAgentsDashboard()
{
    StatusNotifierHost tray;  // with a tray the agent starts without opening its dashboard
    QVERIFY(tray.registerOnSessionBus());
    VirtualDisplay display;
    if (!display.start())
        QSKIP("Xvfb is not available");
    TemporaryHome home;
    QProcessEnvironment environment = xcbEnvironment(home.environment(), display.display());
    environment.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
    const QString dashboard = QStringLiteral("^VeltroMornix$");  // the dashboard window's title
    AgentProcess first(environment);
    QVERIFY(first.start({QStringLiteral("--standalone-menu-bar")}));
    QVERIFY(first.waitForLog(QStringLiteral("app started build=")));
    QTRY_VERIFY_WITH_TIMEOUT(!tray.registered.isEmpty(), 20000);  // its tray item is up
    QVERIFY(!display.hasWindow(dashboard));

    AgentProcess second(environment);
    QVERIFY(second.start({QStringLiteral("--standalone-menu-bar")}));
    QVERIFY(second.waitForExit(15000));
    QCOMPARE(second.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(display.hasWindow(dashboard), 15000);
    QVERIFY(first.isRunning());
    QCOMPARE(first.logCount(QStringLiteral("app started build=")), 1);
    QCOMPARE(tray.registered.size(), 1);  // the second start put up no tray item of its own
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

namespace {

// A display name that no server answers.
QProcessEnvironment deadDisplay(const TemporaryHome &home)
{
    QProcessEnvironment env = headlessEnvironment(home.environment());
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":99"));
    env.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
    return env;
}

// Starts the agent with stderr captured; returns once it runs.
bool startCapturing(QProcess &process, const QProcessEnvironment &env, const QStringList &arguments)
{
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(MORNIX_EXECUTABLE), arguments);
    return process.waitForStarted(10000);
}

void stopAgent(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

}  // namespace

void AgentLifecycleTest::displayThatDoesNotAnswer()
{
    TemporaryHome home;
    // Modes that need no window never touch the display: same result as without one.
    for (const QString &mode : {QStringLiteral("--desktop-bridge-version"), QStringLiteral("--desktop-control-status"),
                                QStringLiteral("--print-agent-instances"), QStringLiteral("--desktop-stop-managed"),
                                QStringLiteral("--broker-grant-read"), QStringLiteral("--zta-enrollment-payload")}) {
        QProcessEnvironment headless = deadDisplay(home);
        headless.remove(QStringLiteral("DISPLAY"));
        const ProcessResult expected = runProcess(QStringLiteral(MORNIX_EXECUTABLE), {mode}, {}, headless);
        const ProcessResult result = runProcess(QStringLiteral(MORNIX_EXECUTABLE), {mode}, {}, deadDisplay(home));
        QVERIFY2(!result.crashed, qPrintable(mode));
        QCOMPARE(result.exitCode, expected.exitCode);
        if (mode != QLatin1String("--zta-enrollment-payload"))  // (signed with a fresh timestamp each time)
            QCOMPARE(result.standardOutput, expected.standardOutput);
        QCOMPARE(result.standardError, expected.standardError);
    }

    // The managed agent runs and says nothing about displays.
    {
        QProcess managed;
        QVERIFY(startCapturing(managed, deadDisplay(home), {QStringLiteral("--desktop-managed")}));
        AgentProcess probe(deadDisplay(home));
        QVERIFY(probe.waitForLog(QStringLiteral("app started build=")));
        QCOMPARE(managed.state(), QProcess::Running);
        stopAgent(managed);
        QCOMPARE(managed.readAllStandardError(), QByteArray());
    }
    // A window presentation runs without menu-bar item and windows, and says why in one line.
    for (const QString &platform : {QString(), QStringLiteral("xcb")}) {
        TemporaryHome own;
        QProcessEnvironment env = deadDisplay(own);
        if (!platform.isEmpty())
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        QProcess plain;
        QVERIFY(startCapturing(plain, env, {QStringLiteral("--standalone-menu-bar")}));
        AgentProcess probe(env);
        QVERIFY(probe.waitForLog(QStringLiteral("app started build=")));
        QCOMPARE(plain.state(), QProcess::Running);
        stopAgent(plain);
        QCOMPARE(plain.readAllStandardError(),
                 QByteArray(
                     "VeltroMornix runs without menu-bar item and windows: cannot connect to the X display \":99\"\n"));
    }
}

void AgentLifecycleTest::unusableRuntimeLockIsReportedAndEndsTheStart()
{
    TemporaryHome home;
    const QString directory = home.dataHome() + QStringLiteral("/VeltroMornix");
    QVERIFY(QDir().mkpath(directory));
    const QString target = home.path() + QStringLiteral("/target");
    QVERIFY(writeFile(target, {}));
    QCOMPARE(::chmod(QFile::encodeName(target).constData(), 0604), 0);
    QVERIFY(QFile::link(target, directory + QStringLiteral("/runtime.lock")));
    const ProcessResult result = runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-managed")},
                                            {}, headlessEnvironment(home.environment()), 20000);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.standardError,
             QString(QStringLiteral("VeltroMornix cannot start: the runtime lock cannot be used: ") + directory
                     + QStringLiteral("/runtime.lock is a symbolic link\n"))
                 .toUtf8());
    QCOMPARE(modeOf(target), mode_t(0604));  // the target's mode is never changed
    AgentProcess probe(headlessEnvironment(home.environment()));
    QVERIFY(!QFileInfo::exists(probe.logPath()));  // no controller started
}

void AgentLifecycleTest::missingSessionBusIsLogged()
{
    TemporaryHome home;
    QProcessEnvironment env = headlessEnvironment(home.environment());
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
    AgentProcess agent(env);
    QVERIFY(agent.start({QStringLiteral("--desktop-managed")}));
    QVERIFY(agent.waitForLog(QStringLiteral("no session bus: the stop-managed and credentials-updated notifications "
                                            "cannot be received")));
    QVERIFY(agent.isRunning());
}

void AgentLifecycleTest::keyringThatDoesNotAnswerNeverFreezesTheAgent()
{
    TemporaryHome home;
    SecretServiceFixture keyring;
    QVERIFY2(keyring.isRunning(), qPrintable(keyring.error()));
    // A keyring daemon that is stopped answers no call (like one waiting on its unlock prompt).
    QCOMPARE(::kill(static_cast<pid_t>(keyring.processId()), SIGSTOP), 0);
    struct Continue {
        qint64 pid;
        ~Continue() { ::kill(static_cast<pid_t>(pid), SIGCONT); }
    } resume{keyring.processId()};

    AgentProcess agent(headlessEnvironment(home.environment()));
    QVERIFY(agent.start({QStringLiteral("--desktop-managed")}));
    // The start, its log lines and the stop notification are all main-thread work.
    QVERIFY(agent.waitForLog(QStringLiteral("app started build="), 8000));
    const ProcessResult stop = postStopManaged(home);
    QCOMPARE(stop.exitCode, 0);
    QVERIFY(agent.waitForExit(5000));  // nothing waits for the stuck keychain call at exit
    QCOMPARE(agent.exitCode(), 0);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(AgentLifecycleTest)
#include "tst_agent_lifecycle.moc"
