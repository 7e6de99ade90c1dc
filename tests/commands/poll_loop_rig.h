#pragma once

// The poll loop's test rigs: a scripted service and executor, the controller's side of the loop
// with recorded sleeps, and a rig for the inventory reporter alone.

#include "commands/agent_inventory_reporter.h"
#include "commands/command_poll_loop.h"
#include "commands/controller_state.h"
#include "commands/poll_timing.h"
#include "support/credentials_builder.h"

#include <QTest>

#include <QCoroTimer>

#include <deque>
#include <variant>

namespace mornix::poll_loop_test {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

inline const QString kCommandID = u"0123456789abcdef"_s;

struct Ack {
    QString commandID;
    AckStatus status;
    std::optional<KillExecutionResult> execution;
    std::optional<QString> messageOverride;
};

struct Unauthorized {};
struct Failure {};
struct Refused {};
using PollAnswer = std::variant<std::optional<KillCommand>, Unauthorized, Failure>;
// How the service answers a "received" acknowledgement: accepted, 401, a 4xx, a network failure.
enum class ReceivedAnswer { accepted, unauthorized, refused, failure };

class ScriptedService final : public DeviceServiceClient {
public:
    std::deque<PollAnswer> answers;
    std::deque<ReceivedAnswer> receivedAnswers;  // then: accepted
    QList<Ack> acks;
    int polls = 0;
    int inventoryReports = 0;

    QCoro::Task<std::optional<KillCommand>> pollNextCommand(const DeviceCredentials &) override
    {
        ++polls;
        if (answers.empty()) {
            co_await QCoro::sleepFor(5ms);  // the long poll ends without a command
            co_return std::nullopt;
        }
        PollAnswer answer = answers.front();
        answers.pop_front();
        co_await QCoro::sleepFor(0ms);
        if (std::holds_alternative<Unauthorized>(answer))
            throw ServiceUnauthorized();
        if (std::holds_alternative<Failure>(answer))
            throw std::runtime_error("connection refused");
        co_return std::get<std::optional<KillCommand>>(answer);
    }

    QCoro::Task<void> sendAck(const DeviceCredentials &, const QString &commandID, AckStatus status,
                              const std::optional<KillExecutionResult> &execution,
                              const std::optional<QString> &messageOverride) override
    {
        co_await QCoro::sleepFor(0ms);
        if (status == AckStatus::received && !receivedAnswers.empty()) {
            const ReceivedAnswer answer = receivedAnswers.front();
            receivedAnswers.pop_front();
            if (answer == ReceivedAnswer::unauthorized)
                throw ServiceUnauthorized();
            if (answer == ReceivedAnswer::refused)
                throw ServiceRefused("The service answered with HTTP status 409.");
            if (answer == ReceivedAnswer::failure)
                throw std::runtime_error("connection reset");
        }
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
        calls.append(u"kill:"_s + target.key);
        co_await QCoro::sleepFor(0ms);
        co_return KillExecutionResult{succeed, u"Target application termination confirmed."_s,
                                      QJsonObject{{u"app_key"_s, target.key}}};
    }
    QCoro::Task<KillExecutionResult> executeAgentInstance(const QString &id,
                                                          const AgentProductCatalog::Product &product,
                                                          AgentInstanceSnapshotSource *) override
    {
        calls.append(u"instance:"_s + product.key + u':' + id);
        co_await QCoro::sleepFor(0ms);
        co_return KillExecutionResult{succeed, u"Agent instance termination confirmed."_s, {}};
    }
};

inline KillCommand claudeApplicationCommand(const QString &id = kCommandID)
{
    KillCommand command;
    command.id = id;
    command.protocolVersion = 1;
    command.action = u"terminate_application"_s;
    command.appKey = u"claude"_s;
    command.targetBundleIDs = {u"com.anthropic.claudefordesktop"_s, u"com.anthropic.claude"_s,
                               u"com.anthropic.claudedesktop"_s};
    return command;
}

inline bool within20Percent(std::chrono::nanoseconds sleep, double seconds)
{
    return sleep.count() >= seconds * 0.8e9 - 1 && sleep.count() <= seconds * 1.2e9 + 1;
}

// The controller's side of the loop (state, token refresh, a pending claim) and everything one
// test needs; sleeps are recorded and end at once (after yielding). The journal is memory-only.
// Reports come from a real monitor (over a scanner that finds nothing) through a real reporter
// into the scripted service.
struct Rig final : DeviceSessionRenewal {
    explicit Rig(bool withMonitor = true, std::shared_ptr<CommandJournal> commandJournal = nullptr)
        : monitor(withMonitor ? startedMonitor() : nullptr)
        , journal(commandJournal ? std::move(commandJournal) : std::make_shared<CommandJournal>())
        , loop(state, collaborators())
    {
        state.setCredentials(CredentialsBuilder().build());
        state.setServiceClient(server);
        QObject::connect(&state, &ControllerState::lastCommandSet, &state,
                         [this](const QString &text) { lastCommands.append(text); });
    }
    static std::shared_ptr<AgentInstanceMonitor> startedMonitor()
    {
        AgentInstanceMonitor::Scanner scanner;
        scanner.reconcile = [](const AgentInstanceMonitor::InstanceMap &) { return QList<DetectedAgentInstance>{}; };
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
        c.renewal = this;
        c.reporter = &reporter;
        c.monitor = monitor;
        c.journal = journal;
        c.journalStateChanged = [this](const QString &reason) { journalStates.append(reason); };
        c.commandExecuted = [this](const KillExecutionResult &) { ++helpPages; };
        c.sleep = [this](QPointer<CancellationToken> token, std::chrono::nanoseconds d) -> QCoro::Task<bool> {
            sleeps.append(d);
            events.append(u"sleep %1"_s.arg(d.count()));
            co_await QCoro::sleepFor(0ms);
            co_return token && !token->isCancelled();
        };
        return c;
    }
    // Starts the loop, waits until `done` holds, and cancels it.
    bool runUntil(const std::function<bool()> &done)
    {
        loop.start();
        const bool reached = QTest::qWaitFor(done, 5000);
        loop.cancel();
        return reached;
    }
    // The periodic inventory report is not due: the only reports are those after commands.
    void inventoryReportedJustNow() { reporter.setLastAgentInstanceReportAttemptAt(QDateTime::currentDateTimeUtc()); }

    // Refreshes only when forced, with the scripted answer.
    QCoro::Task<std::optional<DeviceCredentials>> refreshOAuthIfNeeded(DeviceCredentials, bool force) override
    {
        forces.append(force);
        co_return force ? answerOnForce : std::nullopt;
    }
    bool hasPendingClaim() const override { return claimApprovedAfter > 0; }
    // The claim turns into credentials at the given status poll.
    QCoro::Task<void> pollPendingClaim() override
    {
        events.append(u"status"_s);
        if (++statusPolls == claimApprovedAfter) {
            claimApprovedAfter = 0;
            state.setCredentials(CredentialsBuilder().device(u"d"_s).build());
        }
        co_return;
    }

    QStringList log;
    ControllerState state{[this](const QString &line) { log.append(line); }};
    std::shared_ptr<ScriptedService> server = std::make_shared<ScriptedService>();
    QStringList lastCommands;
    QList<bool> forces;
    std::optional<DeviceCredentials> answerOnForce;
    int claimApprovedAfter = 0;
    int statusPolls = 0;
    QStringList events;  // "status" and "sleep <ns>" in order
    std::shared_ptr<RecordingExecutor> executor = std::make_shared<RecordingExecutor>();
    int queued = 0;  // reports handed to the reporter
    int helpPages = 0;
    AgentInventoryReporter reporter{AgentInventoryReporter::Dependencies{
        [this](const DeviceCredentials &, const QList<AgentInstanceReport> &reports) -> QCoro::Task<void> {
            co_await server->reportAgentInstances(*state.credentials(), reports);
        },
        [this] { return state.credentials(); }, [](const QString &) {}, [this] { ++queued; },
        std::chrono::milliseconds(150)}};
    std::shared_ptr<AgentInstanceMonitor> monitor;
    QList<std::chrono::nanoseconds> sleeps;
    std::shared_ptr<CommandJournal> journal;
    QStringList journalStates;  // reported changes: a reason, or empty when durable again
    CommandPollLoop loop;
};

inline AgentInstanceReport report(const QString &product, int n)
{
    return AgentInstanceReport{u"local_%1%2"_s.arg(product).arg(n), product,
                               product == "claude-code"_L1 ? u"process"_s : u"application"_s, std::nullopt};
}

// The reporter alone, over a scripted sender that takes 30 ms per report.
struct ReporterRig {
    QStringList log;
    QList<QList<AgentInstanceReport>> sent;
    QStringList sentDevices;
    int inFlight = 0;
    int maxInFlight = 0;
    bool fail = false;
    std::optional<DeviceCredentials> current = CredentialsBuilder().device(u"stored"_s).build();
    std::unique_ptr<AgentInventoryReporter> reporter;

    ReporterRig()
    {
        AgentInventoryReporter::Dependencies deps;
        deps.send = [this](const DeviceCredentials &c, const QList<AgentInstanceReport> &reports) -> QCoro::Task<void> {
            ++inFlight;
            maxInFlight = std::max(maxInFlight, inFlight);
            sent.append(reports);
            sentDevices.append(c.deviceID);
            QTimer timer;
            timer.setSingleShot(true);
            timer.start(30ms);
            co_await timer;
            --inFlight;
            if (fail)
                throw std::runtime_error("The request timed out.\nretry later");
        };
        deps.currentCredentials = [this] { return current; };
        deps.appendLog = [this](const QString &line) { log.append(line); };
        reporter = std::make_unique<AgentInventoryReporter>(std::move(deps));
    }
};

}  // namespace mornix::poll_loop_test
