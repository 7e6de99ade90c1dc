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
    , m_journalStateChanged(std::move(collaborators.journalStateChanged))
    , m_journalDegradedReason(m_journal->degradedReason())
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
    // Safe to finish after the loop is gone: only locals are touched after the await.
    QPointer<CommandPollLoop> self(this);
    const std::shared_ptr<CommandJournal> journal = m_journal;
    auto run = [journal, step]() { return step(*journal); };
    QFuture<bool> done = startBlockingCall(m_journalQueue, std::move(run));
    const bool durable = co_await done;
    if (self)
        noteJournalState();
    co_return durable;
}

void CommandPollLoop::noteJournalState()
{
    const QString reason = m_journal->degradedReason();
    if (reason.isEmpty() == m_journalDegradedReason.isEmpty())
        return;  // once per episode: not again for every failing step, nor for another reason
    m_journalDegradedReason = reason;
    if (!reason.isEmpty())
        qCWarning(lcCommands).noquote() << "command journal kept in memory only:" << reason;
    else
        qCInfo(lcCommands).noquote() << "command journal durable again:" << m_journal->filePath();
    if (m_journalStateChanged)
        m_journalStateChanged(reason);
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
    // Held here: once the intent is recorded the command is carried out and its outcome recorded,
    // even when the loop goes away meanwhile.
    const std::shared_ptr<CommandJournal> journal = m_journal;
    const std::shared_ptr<Executor> executor = m_executor;
    const std::shared_ptr<AgentInstanceMonitor> monitor = m_monitor;

    // Before each command: a journal that could not be used is tried again.
    const auto reopen = [](CommandJournal &j) { return j.reopen(); };
    co_await journalStep(reopen);
    if (!self)
        co_return;
    const std::optional<JournalEntry> known = journal->entry(commandID);

    // Handed out again after its outcome was recorded: never carried out a second time, and
    // never answered with another outcome. The same one goes again, with its own idempotency key.
    if (known && known->outcome) {
        const JournalOutcome outcome = *known->outcome;
        m_host.setLastCommand(outcomeWord(outcome.status) + id);
        co_await deliverOutcome(commandID, outcome, credentials, service);
        co_return;
    }
    // Its intent was recorded by this process and its outcome is not yet: it is being carried out
    // right now (by a loop that was replaced meanwhile), which records and sends the outcome.
    if (known && known->intent && known->intentHere) {
        qCInfo(lcCommands) << "command" << commandID << "handed out again while it is being carried out";
        co_return;
    }
    // Its intent came from the file: an earlier process stopped while carrying it out (it may have
    // signalled). Acknowledged "failed", never carried out again.
    if (known && known->intent) {
        const KillExecutionResult interrupted{
            false, kInterruptedMessage.toString(),
            QJsonObject{{QStringLiteral("interrupted_by_agent_restart"), true}, {QStringLiteral("all_stopped"), false}}};
        const JournalOutcome outcome = makeOutcome(commandID, credentials.deviceID, AckStatus::failed, interrupted, std::nullopt);
        const auto record = [commandID, outcome](CommandJournal &j) { return j.recordOutcome(commandID, outcome); };
        co_await journalStep(record);
        if (!self)
            co_return;
        m_host.setLastCommand(outcomeWord(outcome.status) + id);
        co_await deliverOutcome(commandID, outcome, credentials, service);
        co_return;
    }

    m_host.setLastCommand(QStringLiteral("received ") + id);
    if (!known) {
        const auto record = [commandID](CommandJournal &j) { return j.recordReceived(commandID, false); };
        co_await journalStep(record);
        if (!self)
            co_return;
    }
    // The id is written (a process that dies now loses nothing); it reaches the disk with the
    // intent, before anything is signalled, or with the outcome. Until then the command was not
    // carried out, so a machine that goes down meanwhile cannot make it run twice.
    // A "received" lost to the network or a 5xx does not stop the command: its outcome is what
    // the service must learn. (No co_await inside a handler: the answers are noted first.)
    bool unauthorized = false;
    std::exception_ptr refusal;
    try {
        co_await service->sendAck(credentials, commandID, AckStatus::received, std::nullopt, std::nullopt);
    } catch (const ServiceUnauthorized &) {
        unauthorized = true;
    } catch (const ServiceRefused &error) {
        qCWarning(lcCommands) << "received acknowledgement of" << commandID << "refused:" << error.what();
        refusal = std::current_exception();
    } catch (const std::exception &error) {
        qCInfo(lcCommands) << "received acknowledgement of" << commandID << "failed:" << error.what();
    }
    if (!self)
        co_return;
    // The token refresh first; the service hands the command out again afterwards.
    if (unauthorized)
        throw ServiceUnauthorized();
    // The service no longer wants this command (cancelled, unknown, settled): nothing is done.
    if (refusal) {
        const auto record = [commandID](CommandJournal &j) { return j.recordRefused(commandID); };
        co_await journalStep(record);
        if (!self)
            co_return;
        m_host.setLastCommand(QStringLiteral("refused ") + id);
        std::rethrow_exception(refusal);
    }

    std::optional<KillTargetCatalog::Target> target;
    std::optional<AgentProductCatalog::Product> product;
    QString refusalMessage = kUndecodableMessage.toString();
    if (command && command->protocolVersion == 2) {
        product = CommandValidation::validatedCommandProduct(command->protocolVersion, command->action,
                                                               command->product, command->instanceKind,
                                                               command->appKey, command->targetInstanceID,
                                                               command->targetBundleIDs);
        refusalMessage = kInstanceCommandRefusedMessage.toString();
    } else if (command) {
        target = CommandValidation::validatedTarget(command->protocolVersion, command->action, command->appKey,
                                                    command->targetBundleIDs);
        refusalMessage = kApplicationCommandRefusedMessage.toString();
    }

    JournalOutcome outcome;
    bool carriedOut = false;
    KillExecutionResult result;
    if (!target && !product) {
        outcome = makeOutcome(commandID, credentials.deviceID, AckStatus::ignored, std::nullopt, refusalMessage);
    } else {
        // Durable or not, the intent is in memory: a journal that cannot be written still keeps
        // the command from running twice in this process. From here to the recorded outcome the
        // command is finished whatever happens to the loop.
        const auto intent = [commandID](CommandJournal &j) { return j.recordIntent(commandID); };
        co_await journalStep(intent);
        // (Two statements: GCC mis-compiles co_await inside a conditional expression.)
        try {
            if (target) {
                result = co_await executor->executeKill(*target);
            } else {
                const QString instanceID = command->targetInstanceID.value_or(QString());
                result = co_await executor->executeAgentInstance(instanceID, *product, monitor.get());
            }
        } catch (const std::exception &error) {
            qCWarning(lcCommands) << "carrying out" << commandID << "failed:" << error.what();
            result = KillExecutionResult{false, kExecutionErrorMessage.toString(),
                                         QJsonObject{{QStringLiteral("all_stopped"), false}}};
        }
        carriedOut = true;
        outcome = makeOutcome(commandID, credentials.deviceID,
                              result.succeeded ? AckStatus::executed : AckStatus::failed, result, std::nullopt);
        if (!self) {
            // The loop is gone: the outcome is recorded here (on this thread: a rare path) and
            // goes out from the outbox of the next loop.
            journal->recordOutcome(commandID, outcome);
            co_return;
        }
    }
    const auto record = [commandID, outcome](CommandJournal &j) { return j.recordOutcome(commandID, outcome, false); };
    co_await journalStep(record);
    if (!self)
        co_return;

    // The outcome is written; it reaches the disk while it is being sent (the task starts now
    // and runs ahead of the "settled" step on the journal's one thread).
    const auto flush = [](CommandJournal &j) { return j.flush(); };
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
