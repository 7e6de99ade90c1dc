#include "commands/command_poll_loop.h"

#include "commands/command_validation.h"
#include "commands/commands_logging.h"
#include "commands/poll_timing.h"
#include "support/blocking_call.h"

#include <QLoggingCategory>

#include <QCoroFuture>

#include <exception>

namespace mornix {

namespace {

QString shortID(const QString &id)
{
    return id.left(8);
}

QString outcomeWord(AckStatus status)
{
    return ackStatusText(status) + QLatin1Char(' ');
}

// The outcome acknowledgement as it will be sent, every time: message and payload as
// CommandAcknowledgement builds them, with their idempotency key.
JournalOutcome makeOutcome(const QString &commandID, const QString &deviceID, AckStatus status,
                           const std::optional<KillExecutionResult> &result, const std::optional<QString> &message)
{
    const CommandAcknowledgement ack = CommandAcknowledgement::make(commandID, deviceID, status, result, message);
    return JournalOutcome{status, ack.message, ack.payload, ack.idempotencyKey, deviceID};
}

QCoro::Task<bool> defaultSleep(QPointer<CancellationToken> token, std::chrono::nanoseconds duration)
{
    co_return co_await cancellableSleep(token, std::chrono::duration_cast<std::chrono::milliseconds>(duration));
}

}  // namespace

CommandPollLoop::CommandPollLoop(Host &host, Collaborators collaborators, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_executor(std::move(collaborators.executor))
    , m_renewal(collaborators.renewal)
    , m_reporter(collaborators.reporter)
    , m_monitor(std::move(collaborators.monitor))
    , m_commandExecuted(std::move(collaborators.commandExecuted))
    , m_sleep(collaborators.sleep ? std::move(collaborators.sleep) : Sleep(&defaultSleep))
    , m_token(new CancellationToken(this))
    , m_journal(collaborators.journal ? std::move(collaborators.journal) : std::make_shared<CommandJournal>())
    , m_journalQueue(QStringLiteral("command journal"))
{
}

CommandPollLoop::~CommandPollLoop()
{
    m_token->cancel();
    m_journalQueue.drain();  // every journal step already started is written
}

QCoro::Task<bool> CommandPollLoop::journalStep(std::function<bool(CommandJournal &)> step)
{
    const std::shared_ptr<CommandJournal> journal = m_journal;
    auto run = [journal, step]() { return step(*journal); };
    QFuture<bool> done = startBlockingCall(m_journalQueue, std::move(run));
    const bool durable = co_await done;
    if (!durable)
        qCWarning(lcCommands) << "command journal:" << journal->lastError();
    co_return durable;
}

std::optional<QList<AgentInstanceReport>> CommandPollLoop::currentReportsIfReady() const
{
    if (!m_monitor)
        return std::nullopt;
    return m_monitor->currentReportsIfReady();
}

void CommandPollLoop::start()
{
    if (m_running || m_token->isCancelled())
        return;
    m_running = true;
    pollLoop();
}

void CommandPollLoop::cancel()
{
    m_token->cancel();
}

QCoro::Task<bool> CommandPollLoop::nap(std::uint64_t nanoseconds)
{
    QPointer<CommandPollLoop> self(this);
    const QPointer<CancellationToken> token(m_token);
    const bool slept = co_await m_sleep(token, std::chrono::nanoseconds(nanoseconds));
    co_return self && slept && !m_token->isCancelled();
}

QCoro::Task<void> CommandPollLoop::pollLoop()
{
    QPointer<CommandPollLoop> self(this);
    std::uint64_t retryDelay = poll_timing::initialRetryDelay;
    bool outboxSentAtStart = false;

    while (self && !m_token->isCancelled()) {
        if (m_host.paused()) {
            m_host.setConnected(false);
            co_await nap(poll_timing::pausedNap);
            continue;
        }

        std::optional<DeviceCredentials> credentials = m_host.credentials();
        std::shared_ptr<DeviceServiceClient> service = m_host.service();
        if (!credentials && m_renewal && m_renewal->hasPendingClaim() && service) {
            co_await m_renewal->pollPendingClaim();
            if (self && !m_host.credentials())
                co_await nap(poll_timing::pendingClaimNap);
            continue;
        }
        if (!credentials || !service) {
            m_host.setConnected(false);
            co_await nap(poll_timing::unenrolledNap);
            continue;
        }

        bool unauthorized = false;
        bool failed = false;
        std::optional<QString> undecodableID;
        try {
            const qint64 now = QDateTime::currentSecsSinceEpoch();
            const bool force = credentials->tokenExpiresAt
                && *credentials->tokenExpiresAt - poll_timing::tokenRefreshMarginSeconds <= double(now);
            if (m_renewal) {
                const DeviceCredentials current = *credentials;
                if (std::optional<DeviceCredentials> refreshed = co_await m_renewal->refreshOAuthIfNeeded(current, force))
                    credentials = std::move(refreshed);
                if (!self)
                    co_return;
            }

            if (m_reporter) {
                const std::optional<QDateTime> last = m_reporter->lastAgentInstanceReportAttemptAt();
                const QDateTime nowTime = QDateTime::currentDateTimeUtc();
                if (!last || last->secsTo(nowTime) >= poll_timing::inventorySpacingSeconds) {
                    if (std::optional<QList<AgentInstanceReport>> reports = currentReportsIfReady()) {
                        m_reporter->setLastAgentInstanceReportAttemptAt(nowTime);
                        m_reporter->queueAgentInventoryReport(*reports, credentials, true);
                    }
                }
            }

            if (m_host.paused()) {
                m_host.setConnected(true);
                co_await nap(poll_timing::pausedAfterTokenCheckNap);
                continue;
            }

            if (!outboxSentAtStart) {
                outboxSentAtStart = true;
                co_await flushOutbox(*credentials, service);
                if (!self)
                    co_return;
            }

            const std::optional<KillCommand> command = co_await service->pollNextCommand(*credentials);
            if (!self)
                co_return;
            m_host.setConnected(true);
            if (command) {
                const QString commandID = command->id;
                co_await handleCommand(command, commandID, *credentials, service);
                if (!self)
                    co_return;
            }
            // After every successful poll (a re-delivered command has just had its outcome sent).
            co_await flushOutbox(*credentials, service);
            if (!self)
                co_return;
            retryDelay = poll_timing::initialRetryDelay;
            continue;
        } catch (const UndecodableCommand &poison) {
            undecodableID = poison.commandID();
        } catch (const ServiceUnauthorized &) {
            unauthorized = true;
        } catch (const std::exception &error) {
            qCInfo(lcCommands) << "poll error:" << error.what();
            failed = true;
        } catch (...) {
            failed = true;
        }
        if (!self)
            co_return;

        // An envelope that does not decode but names a safe id is answered "ignored" at once, so
        // it cannot hold up the commands behind it. (Awaited here: not inside a handler.)
        if (undecodableID) {
            m_host.setConnected(true);
            try {
                const std::optional<KillCommand> none;  // named: GCC 12 destroys awaited temporaries twice
                co_await handleCommand(none, *undecodableID, *credentials, service);
                if (!self)
                    co_return;
                retryDelay = poll_timing::initialRetryDelay;
                continue;
            } catch (const ServiceUnauthorized &) {
                unauthorized = true;
            } catch (...) {
                failed = true;
            }
            if (!self)
                co_return;
        }

        if (unauthorized) {
            std::optional<DeviceCredentials> refreshed;
            if (m_renewal) {
                const DeviceCredentials current = *credentials;
                refreshed = co_await m_renewal->refreshOAuthIfNeeded(current, true);
                if (!self)
                    co_return;
            }
            if (refreshed) {
                m_host.setCredentials(*refreshed);
                m_host.setLastCommand(QStringLiteral("token refreshed"));
                continue;
            }
            m_host.setConnected(false);
            m_host.setLastCommand(QStringLiteral("authentication required"));
        } else if (failed) {
            m_host.setConnected(false);
            m_host.setLastCommand(QStringLiteral("connection retry"));
        }
        if (!co_await nap(jitteredNanoseconds(retryDelay, poll_timing::errorJitterFraction)))
            break;
        retryDelay = std::min(retryDelay * 2, poll_timing::retryDelayCap);
    }
    if (self)
        m_running = false;
}

QCoro::Task<void> CommandPollLoop::deliverOutcome(QString commandID, JournalOutcome outcome,
                                                  DeviceCredentials credentials,
                                                  std::shared_ptr<DeviceServiceClient> service)
{
    QPointer<CommandPollLoop> self(this);
    // The journaled message goes back in as the message, so every send has the same body.
    const std::optional<KillExecutionResult> result =
        KillExecutionResult{outcome.status == AckStatus::executed, outcome.message, outcome.payload};
    const std::optional<QString> message = outcome.message;
    try {
        co_await service->sendAck(credentials, commandID, outcome.status, result, message);
    } catch (const ServiceRefused &error) {
        // The service will never take this outcome (an unknown command, a conflicting key):
        // sending it again cannot help.
        qCWarning(lcCommands) << "outcome of" << commandID << "refused for good:" << error.what();
    }
    if (!self)
        co_return;
    const QString id = commandID;
    const auto settle = [id](CommandJournal &journal) { return journal.recordSettled(id); };
    co_await journalStep(settle);
}

QCoro::Task<void> CommandPollLoop::flushOutbox(DeviceCredentials credentials,
                                               std::shared_ptr<DeviceServiceClient> service)
{
    QPointer<CommandPollLoop> self(this);
    const QList<JournalEntry> pending = m_journal->unsettledOutcomes();
    for (const JournalEntry &entry : pending) {
        if (!self || m_token->isCancelled())
            co_return;
        // Another device's outcome (the agent was enrolled again) cannot be sent with these
        // credentials; it stays until the journal drops it.
        if (entry.outcome->deviceID != credentials.deviceID)
            continue;
        try {
            co_await deliverOutcome(entry.id, *entry.outcome, credentials, service);
        } catch (const std::exception &error) {
            qCInfo(lcCommands) << "outbox: outcome of" << entry.id << "not delivered yet:" << error.what();
            co_return;
        } catch (...) {
            co_return;
        }
    }
}

QCoro::Task<void> CommandPollLoop::handleCommand(std::optional<KillCommand> command, QString commandID,
                                                 DeviceCredentials credentials,
                                                 std::shared_ptr<DeviceServiceClient> service)
{
    QPointer<CommandPollLoop> self(this);
    const QString id = shortID(commandID);
    const std::optional<JournalEntry> known = m_journal->entry(commandID);

    // Handed out again after its outcome was journaled, or after the agent stopped while
    // carrying it out: never carried out a second time. The journaled outcome is acknowledged
    // again with its own idempotency key; an interrupted one is acknowledged "failed".
    if (known && (known->outcome || known->intent)) {
        JournalOutcome outcome;
        if (known->outcome) {
            outcome = *known->outcome;
        } else {
            const KillExecutionResult interrupted{
                false, kInterruptedMessage.toString(),
                QJsonObject{{QStringLiteral("interrupted_by_agent_restart"), true}, {QStringLiteral("all_stopped"), false}}};
            outcome = makeOutcome(commandID, credentials.deviceID, AckStatus::failed, interrupted, std::nullopt);
            const auto record = [commandID, outcome](CommandJournal &journal) {
                return journal.recordOutcome(commandID, outcome);
            };
            co_await journalStep(record);
            if (!self)
                co_return;
        }
        m_host.setLastCommand(outcomeWord(outcome.status) + id);
        co_await deliverOutcome(commandID, outcome, credentials, service);
        co_return;
    }

    m_host.setLastCommand(QStringLiteral("received ") + id);
    if (!known) {
        const auto record = [commandID](CommandJournal &journal) { return journal.recordReceived(commandID, false); };
        co_await journalStep(record);
        if (!self)
            co_return;
    }
    // The id is written (a process that dies now loses nothing); it reaches the disk with the
    // intent, before anything is signalled, or with the outcome. Until then the command was not
    // carried out, so a machine that goes down meanwhile cannot make it run twice.
    // A lost "received" does not stop the command: its outcome is what the service must learn.
    try {
        co_await service->sendAck(credentials, commandID, AckStatus::received, std::nullopt, std::nullopt);
    } catch (const std::exception &error) {
        qCInfo(lcCommands) << "received acknowledgement of" << commandID << "failed:" << error.what();
    }
    if (!self)
        co_return;

    std::optional<KillTargetCatalog::Target> target;
    std::optional<AgentProductCatalog::Product> product;
    QString refusal = kUndecodableMessage.toString();
    if (command && command->protocolVersion == 2) {
        product = CommandValidation::validatedCommandProduct(command->protocolVersion, command->action,
                                                               command->product, command->instanceKind,
                                                               command->appKey, command->targetInstanceID,
                                                               command->targetBundleIDs);
        refusal = kInstanceCommandRefusedMessage.toString();
    } else if (command) {
        target = CommandValidation::validatedTarget(command->protocolVersion, command->action, command->appKey,
                                                    command->targetBundleIDs);
        refusal = kApplicationCommandRefusedMessage.toString();
    }

    JournalOutcome outcome;
    bool carriedOut = false;
    KillExecutionResult result;
    if (!target && !product) {
        outcome = makeOutcome(commandID, credentials.deviceID, AckStatus::ignored, std::nullopt, refusal);
    } else {
        const auto intent = [commandID](CommandJournal &journal) { return journal.recordIntent(commandID); };
        const bool durable = co_await journalStep(intent);
        if (!self)
            co_return;
        if (!durable) {
            // Without a durable intent a restart could carry the command out a second time.
            outcome = makeOutcome(commandID, credentials.deviceID, AckStatus::failed, std::nullopt,
                                  kJournalUnavailableMessage.toString());
        } else {
            // (Two statements: GCC mis-compiles co_await inside a conditional expression.)
            if (target) {
                result = co_await m_executor->executeKill(*target);
            } else {
                const std::shared_ptr<AgentInstanceMonitor> monitor = m_monitor;  // alive for the command
                const QString instanceID = command->targetInstanceID.value_or(QString());
                result = co_await m_executor->executeAgentInstance(instanceID, *product, monitor.get());
            }
            if (!self)
                co_return;
            carriedOut = true;
            outcome = makeOutcome(commandID, credentials.deviceID,
                                  result.succeeded ? AckStatus::executed : AckStatus::failed, result, std::nullopt);
        }
    }
    const auto record = [commandID, outcome](CommandJournal &journal) {
        return journal.recordOutcome(commandID, outcome, false);
    };
    co_await journalStep(record);
    if (!self)
        co_return;

    // The outcome is written; it reaches the disk while it is being sent (the task starts now
    // and runs ahead of the "settled" step on the journal's one thread).
    const auto flush = [](CommandJournal &journal) { return journal.flush(); };
    QCoro::Task<bool> outcomeFlushing = journalStep(flush);
    std::exception_ptr undelivered;
    try {
        co_await deliverOutcome(commandID, outcome, credentials, service);
    } catch (...) {
        undelivered = std::current_exception();  // stays in the outbox
    }
    co_await outcomeFlushing;
    if (!self)
        co_return;
    if (carriedOut) {
        if (outcome.status == AckStatus::executed && m_commandExecuted)
            m_commandExecuted(result);
        std::optional<QList<AgentInstanceReport>> reports = currentReportsIfReady();
        if (reports && m_reporter)
            m_reporter->queueAgentInventoryReport(*reports, credentials, true);
    }
    m_host.setLastCommand(outcomeWord(outcome.status) + id);
    if (undelivered)
        std::rethrow_exception(undelivered);
}

}  // namespace mornix
