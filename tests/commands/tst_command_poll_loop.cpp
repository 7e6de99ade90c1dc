// The poll loop against a scripted service and executor, with recorded (not waited) sleeps.
#include "commands/agent_inventory_reporter.h"
#include "commands/command_poll_loop.h"
#include "commands/poll_timing.h"
#include "core/controller_status.h"
#include "support/credentials_builder.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <QCoroTimer>

#include <deque>
#include <variant>

namespace mornix {

namespace {

using namespace std::chrono_literals;

const QString kCommandID = QStringLiteral("0123456789abcdef");

QCoro::Task<void> yieldToEventLoop(std::chrono::milliseconds delay = 0ms)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(delay);
    co_await timer;
}

struct Ack {
    QString commandID;
    AckStatus status;
    std::optional<KillExecutionResult> execution;
    std::optional<QString> messageOverride;
};

struct Unauthorized {};
struct Failure {};
struct Undecodable {
    QString id;
};
using PollAnswer = std::variant<std::optional<KillCommand>, Unauthorized, Failure, Undecodable>;

class ScriptedService final : public DeviceServiceClient {
public:
    std::deque<PollAnswer> answers;
    QList<Ack> acks;
    int polls = 0;
    int inventoryReports = 0;
    bool failAcks = false;

    QCoro::Task<std::optional<KillCommand>> pollNextCommand(const DeviceCredentials &) override
    {
        ++polls;
        if (answers.empty()) {
            co_await yieldToEventLoop(5ms);  // the long poll ends without a command
            co_return std::nullopt;
        }
        PollAnswer answer = answers.front();
        answers.pop_front();
        co_await yieldToEventLoop();
        if (std::holds_alternative<Unauthorized>(answer))
            throw ServiceUnauthorized();
        if (std::holds_alternative<Failure>(answer))
            throw std::runtime_error("connection refused");
        if (const auto *poison = std::get_if<Undecodable>(&answer))
            throw UndecodableCommand(poison->id, "command field \"action\" is missing or not a string");
        co_return std::get<std::optional<KillCommand>>(answer);
    }

    QCoro::Task<void> sendAck(const DeviceCredentials &, const QString &commandID, AckStatus status,
                              const std::optional<KillExecutionResult> &execution,
                              const std::optional<QString> &messageOverride) override
    {
        co_await yieldToEventLoop();
        if (failAcks)
            throw std::runtime_error("ack failed");
        acks.append(Ack{commandID, status, execution, messageOverride});
    }

    QCoro::Task<void> reportAgentInstances(const DeviceCredentials &, const QList<AgentInstanceReport> &) override
    {
        ++inventoryReports;
        co_return;
    }
};

class RecordingExecutor final : public CommandPollLoop::Executor {
public:
    QStringList calls;
    bool succeed = true;

    QCoro::Task<KillExecutionResult> executeKill(const KillTargetCatalog::Target &target) override
    {
        calls.append(QStringLiteral("kill:") + target.key);
        co_await yieldToEventLoop();
        co_return KillExecutionResult{succeed, QStringLiteral("Target application termination confirmed."),
                                      QJsonObject{{QStringLiteral("app_key"), target.key}}};
    }
    QCoro::Task<KillExecutionResult> executeAgentInstance(const QString &id,
                                                          const AgentProductCatalog::Product &product,
                                                          AgentInstanceSnapshotSource *) override
    {
        calls.append(QStringLiteral("instance:") + product.key + u':' + id);
        co_await yieldToEventLoop();
        co_return KillExecutionResult{succeed, QStringLiteral("Agent instance termination confirmed."), {}};
    }
};

class FakeHost final : public CommandPollLoop::Host {
public:
    explicit FakeHost(ControllerStatus &status) : m_status(status) {}

    bool pausedFlag = false;
    std::optional<DeviceCredentials> creds;
    std::shared_ptr<ScriptedService> serviceClient = std::make_shared<ScriptedService>();
    QStringList lastCommands;

    bool paused() const override { return pausedFlag; }
    void setConnected(bool connected) override { m_status.setConnected(connected); }
    void setLastCommand(const QString &text) override
    {
        lastCommands.append(text);
        m_status.setLastCommand(text);
    }
    std::optional<DeviceCredentials> credentials() const override { return creds; }
    void setCredentials(const DeviceCredentials &credentials) override { creds = credentials; }
    std::shared_ptr<DeviceServiceClient> service() const override { return serviceClient; }

private:
    ControllerStatus &m_status;
};

// Refreshes only when forced, with the scripted answer.
class ScriptedRenewal final : public DeviceSessionRenewal {
public:
    QList<bool> forces;
    std::optional<DeviceCredentials> answerOnForce;

    QCoro::Task<std::optional<DeviceCredentials>> refreshOAuthIfNeeded(DeviceCredentials, bool force) override
    {
        forces.append(force);
        co_return force ? answerOnForce : std::nullopt;
    }
    bool hasPendingClaim() const override { return false; }
    QCoro::Task<void> pollPendingClaim() override { co_return; }
};

DeviceCredentials credentialsExpiringIn(std::optional<qint64> seconds)
{
    CredentialsBuilder c;
    if (seconds)
        c.expiringIn(*seconds);
    return c;
}

KillCommand claudeApplicationCommand()
{
    KillCommand command;
    command.id = kCommandID;
    command.protocolVersion = 1;
    command.action = QStringLiteral("terminate_application");
    command.appKey = QStringLiteral("claude");
    command.targetBundleIDs = {QStringLiteral("com.anthropic.claudefordesktop"), QStringLiteral("com.anthropic.claude"),
                               QStringLiteral("com.anthropic.claudedesktop")};
    return command;
}

// Everything one test needs; sleeps are recorded and end at once (after yielding). The journal
// is memory-only unless a test hands one in. Reports come from a real monitor (over a scanner
// that finds nothing) through a real reporter into the scripted service.
struct Rig {
    explicit Rig(std::shared_ptr<CommandJournal> commandJournal = std::make_shared<CommandJournal>(),
                 bool withMonitor = true)
        : journal(std::move(commandJournal))
        , monitor(withMonitor ? startedMonitor() : nullptr)
        , loop(host, collaborators())
    {
    }
    static std::shared_ptr<AgentInstanceMonitor> startedMonitor()
    {
        AgentInstanceMonitor::Scanner scanner;
        scanner.reconcile = [](const AgentInstanceMonitor::InstanceMap &) { return QList<DetectedAgentInstance>{}; };
        scanner.applicationInstance = [](qint32, const QString &, const QString &) {
            return std::optional<DetectedAgentInstance>();
        };
        auto monitor = std::make_shared<AgentInstanceMonitor>(scanner, std::chrono::hours(1),
                                                              [](const QList<AgentInstanceReport> &) {});
        monitor->start();
        if (!QTest::qWaitFor([&monitor] { return monitor->currentReportsIfReady().has_value(); }))
            QTest::qFail("the instance monitor never reported", __FILE__, __LINE__);
        return monitor;
    }
    CommandPollLoop::Collaborators collaborators()
    {
        CommandPollLoop::Collaborators c;
        c.executor = executor;
        c.renewal = &renewal;
        c.reporter = &reporter;
        c.monitor = monitor;
        c.journal = journal;
        c.commandExecuted = [this] { ++helpPages; };
        c.sleep = [this](QPointer<CancellationToken> token, std::chrono::nanoseconds d) -> QCoro::Task<bool> {
            sleeps.append(d);
            co_await yieldToEventLoop();
            co_return token && !token->isCancelled();
        };
        return c;
    }
    std::shared_ptr<CommandJournal> journal;
    QStringList log;
    ControllerStatus status{[this](const QString &line) { log.append(line); }};
    FakeHost host{status};
    std::shared_ptr<RecordingExecutor> executor = std::make_shared<RecordingExecutor>();
    ScriptedRenewal renewal;
    int queued = 0;  // reports handed to the reporter
    int helpPages = 0;
    AgentInventoryReporter reporter{AgentInventoryReporter::Dependencies{
        [this](const DeviceCredentials &, const QList<AgentInstanceReport> &reports) -> QCoro::Task<void> {
            co_await host.serviceClient->reportAgentInstances(*host.creds, reports);
        },
        [this] { return host.creds; }, [](const QString &) {}, [this] { ++queued; }, std::chrono::milliseconds(150)}};
    std::shared_ptr<AgentInstanceMonitor> monitor;
    QList<std::chrono::nanoseconds> sleeps;
    CommandPollLoop loop;
};

}  // namespace

class CommandPollLoopTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void jitterStaysWithinTwentyPercent();
    void pausedLoopNeverFetches();
    void withoutCredentialsTheLoopNaps();
    void errorsBackOffDoublingToThirtySeconds();
    void unauthorizedWithRefreshFetchesAgainAtOnce();
    void unauthorizedWithoutRefreshAsksForAuthentication();
    void tokenNearExpiryIsRefreshedWithForce();
    void validCommandIsAcknowledgedExecutedAndReported();
    void malformedInstanceCommandIsIgnored();
    void undeliveredOutcomeIsResentNeverCarriedOutAgain();
    void redeliveredCommandIsNotCarriedOutTwice();
    void interruptedCommandIsReportedFailedNotCarriedOut();
    void undecodableEnvelopesDoNotHoldUpTheNextCommand();
    void periodicInventoryIsSpacedFifteenSeconds();
    void cancelEndsTheLoop();
};

void CommandPollLoopTest::jitterStaysWithinTwentyPercent()
{
    QCOMPARE(jitteredNanoseconds(0, 0.2), std::uint64_t(0));
    QCOMPARE(jitteredNanoseconds(1000, 0), std::uint64_t(1000));
    std::uint64_t low = UINT64_MAX, high = 0;
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t v = jitteredNanoseconds(1'000'000'000, 0.2);
        low = std::min(low, v);
        high = std::max(high, v);
    }
    QVERIFY(low >= 800'000'000 && high <= 1'200'000'000);
    QVERIFY(low < 850'000'000 && high > 1'150'000'000);  // the whole range is used
}

void CommandPollLoopTest::pausedLoopNeverFetches()
{
    Rig rig;
    rig.host.creds = credentialsExpiringIn(std::nullopt);
    rig.host.pausedFlag = true;
    rig.status.setConnected(true);
    rig.log.clear();
    rig.loop.start();
    QTRY_VERIFY(rig.sleeps.size() >= 5);
    rig.loop.cancel();
    QCOMPARE(rig.host.serviceClient->polls, 0);
    for (auto d : rig.sleeps)
        QCOMPARE(d, std::chrono::nanoseconds(500'000'000));
    QCOMPARE(rig.log, QStringList{QStringLiteral("connected=false")});
    QCOMPARE(rig.status.activity().constLast().title, QStringLiteral("Connection changed"));
}

void CommandPollLoopTest::withoutCredentialsTheLoopNaps()
{
    Rig rig;
    rig.loop.start();
    QTRY_VERIFY(rig.sleeps.size() >= 3);
    rig.loop.cancel();
    QCOMPARE(rig.sleeps.first(), std::chrono::nanoseconds(800'000'000));
    QCOMPARE(rig.host.serviceClient->polls, 0);
    QVERIFY(!rig.status.connected());
}

void CommandPollLoopTest::errorsBackOffDoublingToThirtySeconds()
{
    Rig rig;
    rig.host.creds = credentialsExpiringIn(std::nullopt);
    for (int i = 0; i < 7; ++i)
        rig.host.serviceClient->answers.push_back(Failure{});
    rig.loop.start();
    QTRY_COMPARE(rig.sleeps.size(), 7);
    const double bases[] = {1, 2, 4, 8, 16, 30, 30};
    for (int i = 0; i < 7; ++i) {
        const double seconds = rig.sleeps[i].count() / 1e9;
        QVERIFY2(seconds >= bases[i] * 0.8 - 1e-9 && seconds <= bases[i] * 1.2 + 1e-9,
                 qPrintable(QStringLiteral("sleep %1 was %2 s").arg(i).arg(seconds)));
    }
    // Then a successful poll resets the delay and the status.
    QTRY_VERIFY(rig.status.connected());
    rig.host.serviceClient->answers.push_back(Failure{});
    QTRY_COMPARE(rig.sleeps.size(), 8);
    QVERIFY(rig.sleeps[7].count() <= 1'200'000'000);
    rig.loop.cancel();
    QCOMPARE(rig.log.count(QStringLiteral("connection retry")), 1);  // logged on change only
    QVERIFY(rig.host.creds);                                         // credentials kept
}

void CommandPollLoopTest::unauthorizedWithRefreshFetchesAgainAtOnce()
{
    Rig rig;
    rig.host.creds = credentialsExpiringIn(3600);
    DeviceCredentials refreshed = *rig.host.creds;
    refreshed.bearerToken = QStringLiteral("fresh");
    rig.renewal.answerOnForce = refreshed;
    rig.host.serviceClient->answers.push_back(Unauthorized{});
    rig.loop.start();
    QTRY_VERIFY(rig.host.serviceClient->polls >= 2);
    rig.loop.cancel();
    QVERIFY(rig.sleeps.isEmpty());
    QCOMPARE(rig.host.creds->bearerToken, QStringLiteral("fresh"));
    QVERIFY(rig.log.contains(QStringLiteral("token refreshed")));
    QCOMPARE(rig.renewal.forces.mid(0, 2), (QList<bool>{false, true}));
}

void CommandPollLoopTest::unauthorizedWithoutRefreshAsksForAuthentication()
{
    Rig rig;
    rig.host.creds = credentialsExpiringIn(std::nullopt);
    rig.host.serviceClient->answers.push_back(Unauthorized{});
    rig.host.serviceClient->answers.push_back(Unauthorized{});
    rig.loop.start();
    QTRY_COMPARE(rig.sleeps.size(), 2);
    rig.loop.cancel();
    QCOMPARE(rig.log.count(QStringLiteral("authentication required")), 1);
    // The delay doubles: 1 s then 2 s, each within 20 %.
    QVERIFY2(rig.sleeps[0].count() >= 800'000'000 && rig.sleeps[0].count() <= 1'200'000'000,
             qPrintable(QString::number(rig.sleeps[0].count())));
    QVERIFY2(rig.sleeps[1].count() >= 1'600'000'000 && rig.sleeps[1].count() <= 2'400'000'000,
             qPrintable(QString::number(rig.sleeps[1].count())));
    QVERIFY(rig.host.creds);
}

void CommandPollLoopTest::tokenNearExpiryIsRefreshedWithForce()
{
    for (const qint64 seconds : {30, 120}) {
        Rig rig;
        rig.host.creds = credentialsExpiringIn(seconds);
        rig.loop.start();
        QTRY_VERIFY(!rig.renewal.forces.isEmpty());
        rig.loop.cancel();
        QCOMPARE(rig.renewal.forces.first(), seconds < 60);
    }
}

void CommandPollLoopTest::validCommandIsAcknowledgedExecutedAndReported()
{
    Rig rig;
    rig.host.creds = credentialsExpiringIn(std::nullopt);
    rig.reporter.setLastAgentInstanceReportAttemptAt(QDateTime::currentDateTimeUtc());  // the periodic report is not due
    rig.host.serviceClient->answers.push_back(claudeApplicationCommand());
    rig.loop.start();
    QTRY_COMPARE(rig.host.serviceClient->acks.size(), 2);
    QTRY_VERIFY(rig.host.lastCommands.contains(QStringLiteral("executed 01234567")));
    rig.loop.cancel();
    const auto &acks = rig.host.serviceClient->acks;
    QCOMPARE(acks[0].status, AckStatus::received);
    QVERIFY(!acks[0].execution && !acks[0].messageOverride);
    QCOMPARE(acks[1].status, AckStatus::executed);
    QCOMPARE(acks[1].execution->payload.value(QStringLiteral("app_key")).toString(), QStringLiteral("claude"));
    QCOMPARE(rig.executor->calls, QStringList{QStringLiteral("kill:claude")});
    QCOMPARE(rig.helpPages, 1);
    QCOMPARE(rig.queued, 1);
    QTRY_COMPARE(rig.host.serviceClient->inventoryReports, 1);  // sent, not only queued
    QCOMPARE(rig.host.lastCommands.mid(0, 2),
             (QStringList{QStringLiteral("received 01234567"), QStringLiteral("executed 01234567")}));

    // A failed stop: "failed", no help page, still an inventory report.
    Rig failing;
    failing.executor->succeed = false;
    failing.host.creds = credentialsExpiringIn(std::nullopt);
    failing.reporter.setLastAgentInstanceReportAttemptAt(QDateTime::currentDateTimeUtc());
    failing.host.serviceClient->answers.push_back(claudeApplicationCommand());
    failing.loop.start();
    QTRY_VERIFY(failing.host.lastCommands.contains(QStringLiteral("failed 01234567")));
    failing.loop.cancel();
    QCOMPARE(failing.host.serviceClient->acks[1].status, AckStatus::failed);
    QCOMPARE(failing.helpPages, 0);
    QCOMPARE(failing.queued, 1);
}

void CommandPollLoopTest::malformedInstanceCommandIsIgnored()
{
    Rig rig;
    rig.host.creds = credentialsExpiringIn(std::nullopt);
    KillCommand command;
    command.id = kCommandID;
    command.protocolVersion = 2;
    command.action = QStringLiteral("terminate_agent_instance");
    command.appKey = QStringLiteral("claude");
    command.product = QStringLiteral("claude-code");
    command.instanceKind = QStringLiteral("process");
    command.targetInstanceID = QStringLiteral("local_xyz");
    rig.host.serviceClient->answers.push_back(command);
    KillCommand protocolOne = claudeApplicationCommand();
    protocolOne.id = QStringLiteral("fedcba9876543210");
    protocolOne.targetBundleIDs = {QStringLiteral("com.anthropic.claude")};
    rig.host.serviceClient->answers.push_back(protocolOne);
    rig.loop.start();
    QTRY_COMPARE(rig.host.serviceClient->acks.size(), 4);
    // The status text follows the acknowledgement once the journal has settled the outcome.
    QTRY_VERIFY(rig.host.lastCommands.contains(QStringLiteral("ignored fedcba98")));
    rig.loop.cancel();
    const auto &acks = rig.host.serviceClient->acks;
    QCOMPARE(acks[1].status, AckStatus::ignored);
    QCOMPARE(acks[1].messageOverride, std::optional<QString>(QStringLiteral("agent instance command validation failed")));
    QCOMPARE(acks[3].status, AckStatus::ignored);
    QCOMPARE(acks[3].messageOverride,
             std::optional<QString>(QStringLiteral("command protocol or target validation failed")));
    QVERIFY(rig.executor->calls.isEmpty());
    QVERIFY(rig.host.lastCommands.contains(QStringLiteral("ignored 01234567")));
}

// The outcome acknowledgement fails: the command was carried out once, its outcome waits in
// the outbox and goes out after the next successful poll with the same message and payload
// (hence the same idempotency key); a later re-delivery is answered, never carried out again.
void CommandPollLoopTest::undeliveredOutcomeIsResentNeverCarriedOutAgain()
{
    Rig rig;
    rig.host.creds = credentialsExpiringIn(std::nullopt);
    rig.reporter.setLastAgentInstanceReportAttemptAt(QDateTime::currentDateTimeUtc());
    rig.host.serviceClient->failAcks = true;
    rig.host.serviceClient->answers.push_back(claudeApplicationCommand());
    rig.loop.start();
    QTRY_COMPARE(rig.sleeps.size(), 1);
    QCOMPARE(rig.executor->calls, QStringList{QStringLiteral("kill:claude")});
    QCOMPARE(rig.host.lastCommands.constLast(), QStringLiteral("connection retry"));
    QCOMPARE(rig.journal->unsettledOutcomes().size(), 1);

    rig.host.serviceClient->failAcks = false;
    QTRY_COMPARE(rig.host.serviceClient->acks.size(), 1);
    QTRY_VERIFY(rig.journal->unsettledOutcomes().isEmpty());
    const Ack resent = rig.host.serviceClient->acks[0];
    QCOMPARE(resent.status, AckStatus::executed);
    QCOMPARE(resent.messageOverride, std::optional<QString>(QStringLiteral("Target application termination confirmed.")));
    QCOMPARE(resent.execution->payload, (QJsonObject{{QStringLiteral("app_key"), QStringLiteral("claude")}}));

    rig.host.serviceClient->answers.push_back(claudeApplicationCommand());
    QTRY_COMPARE(rig.host.serviceClient->acks.size(), 2);
    rig.loop.cancel();
    QCOMPARE(rig.host.serviceClient->acks[1].status, AckStatus::executed);
    QCOMPARE(rig.host.serviceClient->acks[1].execution, resent.execution);
    QCOMPARE(rig.host.serviceClient->acks[1].messageOverride, resent.messageOverride);
    QCOMPARE(rig.executor->calls.size(), 1);
    QCOMPARE(rig.sleeps.size(), 1);
}

void CommandPollLoopTest::redeliveredCommandIsNotCarriedOutTwice()
{
    Rig rig;
    rig.host.creds = credentialsExpiringIn(std::nullopt);
    rig.host.serviceClient->answers.push_back(claudeApplicationCommand());
    rig.host.serviceClient->answers.push_back(claudeApplicationCommand());
    rig.loop.start();
    QTRY_COMPARE(rig.host.serviceClient->acks.size(), 3);
    QTRY_COMPARE(rig.host.lastCommands.count(QStringLiteral("executed 01234567")), 2);
    rig.loop.cancel();
    QCOMPARE(rig.executor->calls.size(), 1);
    const auto &acks = rig.host.serviceClient->acks;
    QCOMPARE(acks[1].status, AckStatus::executed);
    QCOMPARE(acks[2].status, AckStatus::executed);  // the outcome again, no second "received"
    QCOMPARE(acks[2].execution, acks[1].execution);
    QCOMPARE(rig.helpPages, 1);
}

// The agent stopped between journaling the intent and the outcome: the re-delivered command
// is reported "failed" and never carried out; the journal on disk then holds that outcome.
void CommandPollLoopTest::interruptedCommandIsReportedFailedNotCarriedOut()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Commands"));
    {
        CommandJournal before(path);
        QVERIFY(before.open().isEmpty());
        QVERIFY(before.recordReceived(kCommandID));
        QVERIFY(before.recordIntent(kCommandID));
    }
    auto journal = std::make_shared<CommandJournal>(path);
    QVERIFY(journal->open().isEmpty());
    Rig rig(journal);
    rig.host.creds = credentialsExpiringIn(std::nullopt);
    rig.host.serviceClient->answers.push_back(claudeApplicationCommand());
    rig.loop.start();
    QTRY_COMPARE(rig.host.serviceClient->acks.size(), 1);
    QTRY_VERIFY(journal->entry(kCommandID)->settled);
    rig.loop.cancel();
    const Ack ack = rig.host.serviceClient->acks[0];
    QCOMPARE(ack.status, AckStatus::failed);
    QCOMPARE(ack.messageOverride, std::optional<QString>(QStringLiteral("interrupted by agent restart")));
    QCOMPARE(ack.execution->payload.value(QStringLiteral("interrupted_by_agent_restart")), QJsonValue(true));
    QVERIFY(rig.executor->calls.isEmpty());
    QCOMPARE(rig.helpPages, 0);
    QCOMPARE(rig.host.lastCommands, QStringList{QStringLiteral("failed 01234567")});

    CommandJournal after(path);
    QVERIFY(after.open().isEmpty());
    const std::optional<JournalEntry> entry = after.entry(kCommandID);
    QVERIFY(entry && entry->outcome && entry->settled);
    QCOMPARE(entry->outcome->status, AckStatus::failed);
    QCOMPARE(entry->outcome->idempotencyKey,
             CommandAcknowledgement::idempotencyKeyFor(kCommandID, QStringLiteral("device-1"), AckStatus::failed,
                                                       ack.execution->payload));
}

// Envelopes that do not decode but name an id are acknowledged "received" and "ignored" at once:
// no back-off, and the valid command behind them is carried out straight away.
void CommandPollLoopTest::undecodableEnvelopesDoNotHoldUpTheNextCommand()
{
    Rig rig;
    rig.host.creds = credentialsExpiringIn(std::nullopt);
    rig.reporter.setLastAgentInstanceReportAttemptAt(QDateTime::currentDateTimeUtc());
    rig.host.serviceClient->answers.push_back(Undecodable{QStringLiteral("poison-1")});
    rig.host.serviceClient->answers.push_back(Undecodable{QStringLiteral("poison-2")});
    rig.host.serviceClient->answers.push_back(claudeApplicationCommand());
    rig.loop.start();
    QTRY_COMPARE(rig.host.serviceClient->acks.size(), 6);
    rig.loop.cancel();
    const auto &acks = rig.host.serviceClient->acks;
    for (int i : {0, 2}) {
        const QString id = i == 0 ? QStringLiteral("poison-1") : QStringLiteral("poison-2");
        QCOMPARE(acks[i].commandID, id);
        QCOMPARE(acks[i].status, AckStatus::received);
        QCOMPARE(acks[i + 1].commandID, id);
        QCOMPARE(acks[i + 1].status, AckStatus::ignored);
        QCOMPARE(acks[i + 1].messageOverride, std::optional<QString>(QStringLiteral("command could not be decoded")));
        QCOMPARE(acks[i + 1].execution->payload, QJsonObject());
    }
    QCOMPARE(acks[5].status, AckStatus::executed);
    QVERIFY(rig.sleeps.isEmpty());
    QCOMPARE(rig.executor->calls, QStringList{QStringLiteral("kill:claude")});
    QVERIFY(rig.host.lastCommands.contains(QStringLiteral("ignored poison-1")));
    QVERIFY(!rig.host.lastCommands.contains(QStringLiteral("connection retry")));
}

void CommandPollLoopTest::periodicInventoryIsSpacedFifteenSeconds()
{
    Rig rig;
    rig.host.creds = credentialsExpiringIn(std::nullopt);
    rig.loop.start();
    QTRY_VERIFY(rig.host.serviceClient->polls >= 5);
    QCOMPARE(rig.queued, 1);  // one, not one per poll
    rig.reporter.setLastAgentInstanceReportAttemptAt(QDateTime::currentDateTimeUtc().addSecs(-15));
    QTRY_COMPARE(rig.queued, 2);
    rig.loop.cancel();

    // Not ready: nothing is queued.
    Rig notReady(std::make_shared<CommandJournal>(), false);
    notReady.host.creds = credentialsExpiringIn(std::nullopt);
    notReady.loop.start();
    QTRY_VERIFY(notReady.host.serviceClient->polls >= 2);
    notReady.loop.cancel();
    QCOMPARE(notReady.queued, 0);
    QVERIFY(!notReady.reporter.lastAgentInstanceReportAttemptAt());
}

void CommandPollLoopTest::cancelEndsTheLoop()
{
    ControllerStatus status{[](const QString &) {}};
    FakeHost host(status);
    // Real sleeps: a cancelled loop must not sit out its back-off.
    CommandPollLoop::Collaborators collaborators;
    collaborators.executor = std::make_shared<RecordingExecutor>();
    CommandPollLoop loop(host, collaborators);
    host.creds = credentialsExpiringIn(std::nullopt);
    host.serviceClient->answers.push_back(Failure{});
    loop.start();
    QTRY_COMPARE(host.lastCommands.value(0), QStringLiteral("connection retry"));
    QVERIFY(loop.isRunning());
    QElapsedTimer timer;
    timer.start();
    loop.cancel();
    QTRY_VERIFY(!loop.isRunning());
    QVERIFY(timer.elapsed() < 500);
    QCOMPARE(host.serviceClient->polls, 1);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CommandPollLoopTest)
#include "tst_command_poll_loop.moc"
