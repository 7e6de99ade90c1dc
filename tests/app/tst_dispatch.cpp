#include "support/process_runner.h"
#include "support/temporary_home.h"

#include <QProcess>
#include <QTest>

namespace mornix {

// The switch order and argument rules, observed on the built executable.
namespace {

const QByteArray kBridgeVersionLine = "{\"protocol_version\":1,\"update_notifications\":true}\n";

}  // namespace

class DispatchTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void switchAsArgumentZeroCounts();
    void bridgeVersionWins_data();
    void bridgeVersionWins();
    void updateNotificationSwitchesComeFirst();
    void noModeStartsTheApplication_data();
    void noModeStartsTheApplication();
};

void DispatchTest::switchAsArgumentZeroCounts()
{
    TemporaryHome home;
    // exec -a sets argument 0 to the switch itself; no further arguments are given.
    const ProcessResult result =
        runProcess(QStringLiteral("bash"),
                   {QStringLiteral("-c"), QStringLiteral("exec -a --desktop-bridge-version \"$0\""),
                    QStringLiteral(MORNIX_EXECUTABLE)},
                   {}, home.environment());
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.standardOutput, kBridgeVersionLine);
}

void DispatchTest::bridgeVersionWins_data()
{
    QTest::addColumn<QStringList>("arguments");
    // A malformed --notify-update is ignored and dispatch goes on to the next switches.
    QTest::newRow("notify-update not followed by the last argument")
        << QStringList{"--notify-update", "1.0", "--desktop-bridge-version"};
    QTest::newRow("notify-update as last argument") << QStringList{"--desktop-bridge-version", "--notify-update"};
    // Switches later in the order never pre-empt an earlier one.
    QTest::newRow("before control status") << QStringList{"--desktop-control-status", "--desktop-bridge-version"};
    QTest::newRow("before enrollment from stdin") << QStringList{"--desktop-enroll-stdin", "--desktop-bridge-version"};
    QTest::newRow("before device-key modes") << QStringList{"--zta-enrollment-payload", "--desktop-bridge-version"};
    QTest::newRow("before agent listing") << QStringList{"--print-agent-instances", "--desktop-bridge-version"};
    QTest::newRow("unknown arguments ignored") << QStringList{"--verbose", "--desktop-bridge-version", "x"};
}

void DispatchTest::bridgeVersionWins()
{
    QFETCH(QStringList, arguments);
    TemporaryHome home;
    // Qt's diagnostics must not reach standard error: QT_DEBUG_PLUGINS makes Qt chatty.
    QProcessEnvironment env = home.environment();
    env.insert(QStringLiteral("QT_DEBUG_PLUGINS"), QStringLiteral("1"));
    const ProcessResult result =
        runProcess(QStringLiteral(MORNIX_EXECUTABLE), arguments, QByteArrayLiteral("{\"not\":\"read\"}"), env, 20000);
    QVERIFY(!result.timedOut);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.standardOutput, kBridgeVersionLine);
    QCOMPARE(result.standardError, QByteArray());
}

void DispatchTest::updateNotificationSwitchesComeFirst()
{
    // The rows above pass only if a malformed --notify-update falls through; these show that a
    // well-formed one, and the other update-notification switches, are dispatched before switch 9.
    TemporaryHome home;
    QProcessEnvironment env = home.environment();
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));  // no notification server to reach
    const auto check = [&](const QStringList &arguments, int exitCode, const QByteArray &output) {
        const ProcessResult result = runProcess(QStringLiteral(MORNIX_EXECUTABLE), arguments, {}, env, 20000);
        QVERIFY(!result.timedOut);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.standardOutput, output);
    };
    check({"--desktop-bridge-version", "--notify-update", "1.2"}, 1, {});  // the version is refused
    check({"--desktop-bridge-version", "--update-notification-status"}, 0,
          R"({"actions":[],"authorization":0,"delivered":0,"pending":0,"reminder_seconds":0})");
    // Clearing comes before notifying (which, without a session bus, would fail with 1).
    check({"--clear-update-notification", "--notify-update", "1.2.3"}, 0, {});
}

void DispatchTest::noModeStartsTheApplication_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("display");
    QTest::newRow("no arguments, offscreen") << QStringList{} << true;
    QTest::newRow("no arguments, no display") << QStringList{} << false;
    QTest::newRow("switch with a value") << QStringList{"--desktop-bridge-version=1"} << true;
    QTest::newRow("switch in other case") << QStringList{"--Desktop-Bridge-Version"} << true;
    QTest::newRow("switch prefix") << QStringList{"--desktop-bridge"} << true;
    QTest::newRow("notify-update with an extra argument") << QStringList{"--notify-update", "1.2.3", "more"} << true;
    QTest::newRow("notify-update without version") << QStringList{"--notify-update"} << false;
}

void DispatchTest::noModeStartsTheApplication()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, display);
    TemporaryHome home;
    QProcessEnvironment env = home.environment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (display)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    else
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));

    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(MORNIX_EXECUTABLE), arguments);
    QVERIFY(process.waitForStarted());
    // Still running after a second: the application's event loop, not a mode that ended.
    QVERIFY2(!process.waitForFinished(1000), qPrintable(QStringLiteral("exited with %1: %2")
                                                            .arg(process.exitCode())
                                                            .arg(QString::fromUtf8(process.readAllStandardError()))));
    QCOMPARE(process.state(), QProcess::Running);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    process.terminate();
    QVERIFY(process.waitForFinished(10000));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(DispatchTest)
#include "tst_dispatch.moc"
