// The enrolled managed agent (a real process) against the reference service's fault injection:
// it backs off, keeps its credentials and recovers on its own. (At-most-once delivery under
// acknowledgement faults and restarts: tests/integration/test_command_delivery.py.)
#include "support/agent_process.h"
#include "support/dev_service.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <QUuid>

namespace mornix {

namespace {

const QStringList kIgnored{QStringLiteral("received"), QStringLiteral("ignored")};

QProcessEnvironment agentEnvironment(const TemporaryHome &home)
{
    QProcessEnvironment env = headlessEnvironment(home.environment());
    env.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
    return env;
}

int enroll(const TemporaryHome &home, const DevService &service)
{
    return runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-enroll-stdin")},
                      QJsonDocument(service.issueToken()).toJson(QJsonDocument::Compact), agentEnvironment(home))
        .exitCode;
}

// Time stamps of the log entries containing `needle`.
QList<QDateTime> entryTimes(const AgentProcess &agent, const QString &needle)
{
    QList<QDateTime> times;
    static const QRegularExpression stamp(QStringLiteral("^- `([^`]+)` (.*)$"));
    for (const QString &line : agent.logText().split(u'\n')) {
        const QRegularExpressionMatch m = stamp.match(line);
        if (m.hasMatch() && m.captured(2).contains(needle))
            times.append(QDateTime::fromString(m.captured(1), Qt::ISODate));
    }
    return times;
}

}  // namespace

class AgentReliabilityTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void serverErrorsBackOffAndRecover();
    void malformedEnvelopeIsAConnectionRetry();
    void unauthorizedWithoutRefreshAsksForAuthenticationAndKeepsCredentials();
    void serviceGoneAndBack();
    void runningAgentTakesUpADesktopEnrollment();

private:
    QString sendCommand(const QString &device = {});
    bool enrolled();

    DevService m_service;
    std::unique_ptr<TemporaryHome> m_home;
    std::unique_ptr<AgentProcess> m_agent;
    QString m_device;
};

void AgentReliabilityTest::initTestCase()
{
    QVERIFY(m_service.start());
}

void AgentReliabilityTest::init()
{
    m_home = std::make_unique<TemporaryHome>();
    QCOMPARE(enroll(*m_home, m_service), 0);
    m_device = m_service.deviceID();
    m_agent = std::make_unique<AgentProcess>(agentEnvironment(*m_home));
    QVERIFY(m_agent->start({QStringLiteral("--desktop-managed")}));
    // The first report means the agent reached the service (the first long poll may take 20 s).
    QVERIFY(m_agent->waitForLog(QStringLiteral("agent inventory reported")));
}

void AgentReliabilityTest::cleanup()
{
    m_service.admin({"fault", "clear"});
    m_agent.reset();
    m_home.reset();
}

QString AgentReliabilityTest::sendCommand(const QString &device)
{
    // A command that is received and then refused by validation: independent of what else runs
    // on the machine, and still the whole path (poll, both acknowledgements).
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QJsonObject command{{"id", id},
                              {"protocol_version", 2},
                              {"action", "terminate_agent_instance"},
                              {"app_key", "claude"},
                              {"product", "claude-code"},
                              {"instance_kind", "process"},
                              {"target_instance_id", "local_00"},
                              {"target_bundle_ids", QJsonArray()}};
    const ProcessResult sent =
        m_service.admin({"command", "send", "--device", device.isEmpty() ? m_device : device, "--raw",
                         QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact))});
    return sent.exitCode == 0 ? id : QString();
}

bool AgentReliabilityTest::enrolled()
{
    const ProcessResult status = runProcess(
        QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-control-status")}, {}, agentEnvironment(*m_home));
    return QJsonDocument::fromJson(status.standardOutput).object().value(QStringLiteral("enrolled")).toBool();
}

void AgentReliabilityTest::serverErrorsBackOffAndRecover()
{
    // Three failing polls: whichever command comes after them is fetched only after the back-off.
    QCOMPARE(m_service.admin({"fault", "set", "commands-next", "--status", "500", "--count", "3"}).exitCode, 0);
    QTest::qWait(300);
    const QString first = sendCommand();
    const QString second = sendCommand();
    QTRY_COMPARE_WITH_TIMEOUT(m_service.ackStatuses(second), kIgnored, 20000);
    QCOMPARE(m_service.ackStatuses(first), kIgnored);
    // Back-off 1, 2 and 4 s (each within 20 %) lies between the failure and the recovery.
    const QDateTime failed = entryTimes(*m_agent, QStringLiteral("connected=false")).value(0);
    // connected=true is logged on change only: its second entry is the recovery.
    const QDateTime recovered = entryTimes(*m_agent, QStringLiteral("connected=true")).value(1);
    const qint64 seconds = failed.secsTo(recovered);
    QVERIFY2(seconds >= 5 && seconds <= 10,
             qPrintable(QStringLiteral("recovered after %1 s\n%2").arg(seconds).arg(m_agent->logText())));
    QCOMPARE(m_agent->logCount(QStringLiteral("connection retry")), 1);
    QVERIFY(enrolled());
    QVERIFY(m_agent->isRunning());
}

void AgentReliabilityTest::malformedEnvelopeIsAConnectionRetry()
{
    QCOMPARE(m_service.admin({"fault", "set", "commands-next", "--malformed", "--count", "1"}).exitCode, 0);
    const QString command = sendCommand();
    QVERIFY(m_agent->waitForLog(QStringLiteral("connection retry"), 15000));
    QTRY_COMPARE_WITH_TIMEOUT(m_service.ackStatuses(command), kIgnored, 15000);
    QVERIFY(m_agent->isRunning());
}

void AgentReliabilityTest::unauthorizedWithoutRefreshAsksForAuthenticationAndKeepsCredentials()
{
    QCOMPARE(m_service.admin({"fault", "set", "commands-next", "--status", "401", "--count", "2"}).exitCode, 0);
    const QString command = sendCommand();
    QVERIFY(m_agent->waitForLog(QStringLiteral("authentication required"), 15000));
    QCOMPARE(m_agent->logCount(QStringLiteral("token refreshed")), 0);  // shared-grant credentials cannot refresh
    QTRY_COMPARE_WITH_TIMEOUT(m_service.ackStatuses(command), kIgnored, 20000);
    QVERIFY(enrolled());
}

void AgentReliabilityTest::serviceGoneAndBack()
{
    m_service.stop();
    QVERIFY(m_agent->waitForLog(QStringLiteral("connection retry"), 30000));
    QTest::qWait(2000);
    QVERIFY(m_service.start());
    const QString command = sendCommand();
    QTRY_COMPARE_WITH_TIMEOUT(m_service.ackStatuses(command), kIgnored, 30000);
    QVERIFY(m_agent->isRunning());
    QVERIFY(enrolled());
}

void AgentReliabilityTest::runningAgentTakesUpADesktopEnrollment()
{
    // A second computer: the agent runs first, the companion application enrolls it afterwards,
    // and the running agent serves the new device without a restart.
    TemporaryHome home;
    AgentProcess agent(agentEnvironment(home));
    QVERIFY(agent.start({QStringLiteral("--desktop-managed")}));
    QVERIFY(agent.waitForLog(QStringLiteral("app started build=")));
    QCOMPARE(enroll(home, m_service), 0);
    const QString device = m_service.deviceID();
    QVERIFY(device != m_device);
    const QString id = sendCommand(device);
    QTRY_COMPARE_WITH_TIMEOUT(m_service.ackStatuses(id), kIgnored, 15000);
    QCOMPARE(agent.logCount(QStringLiteral("app started build=")), 1);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(AgentReliabilityTest)
#include "tst_agent_reliability.moc"
