#include "commands/command_poll_loop.h"

#include "commands/command_validation.h"
#include "commands/commands_logging.h"

#include <QLoggingCategory>

#include <exception>

// The steps of one received command: replay from the journal, receipt, validation, execution
// and settling its outcome.

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

}  // namespace

QCoro::Task<void> CommandPollLoop::handleCommand(std::optional<KillCommand> command, QString commandID,
                                                 DeviceCredentials credentials,
                                                 std::shared_ptr<DeviceServiceClient> service)
{
    QPointer<CommandPollLoop> self(this);
    // Before each command: a journal that could not be used is tried again (on the journal's
    // thread, as its file work always is; a durable journal costs no trip there).
    if (m_journal->needsReopen()) {
        const auto reopen = [](CommandJournal &j) { return j.reopen(); };
        co_await journalStep(reopen);
        if (!self)
            co_return;
    }
    const std::optional<JournalEntry> known = m_journal->entry(commandID);
    if (known && (known->outcome || known->intent)) {
        const JournalEntry entry = *known;
        co_await replayFromJournal(entry, credentials, service);
        co_return;
    }
    const bool recordID = !known;
    if (!co_await acknowledgeReceipt(commandID, recordID, credentials, service))
        co_return;
    const Validation validation = validate(command);
    const QString deviceID = credentials.deviceID;
    const std::optional<Execution> execution = co_await execute(command, validation, commandID, deviceID);
    if (!self || !execution)
        co_return;
    const Execution done = *execution;
    co_await settle(commandID, done, credentials, service);
}

QCoro::Task<void> CommandPollLoop::replayFromJournal(JournalEntry known, DeviceCredentials credentials,
                                                     std::shared_ptr<DeviceServiceClient> service)
{
    QPointer<CommandPollLoop> self(this);
    const QString commandID = known.id;
    const QString id = shortID(commandID);
    // Handed out again after its outcome was recorded: never carried out a second time, and
    // never answered with another outcome. The same one goes again, with its own idempotency key.
    if (known.outcome) {
        const JournalOutcome outcome = *known.outcome;
        m_state.setLastCommand(outcomeWord(outcome.status) + id);
        co_await deliverOutcome(commandID, outcome, credentials, service);
        co_return;
    }
    // Its intent was recorded by this process and its outcome is not yet: it is being carried out
    // right now (by a loop that was replaced meanwhile), which records and sends the outcome.
    if (known.intentHere) {
        qCInfo(lcCommands) << "command" << commandID << "handed out again while it is being carried out";
        co_return;
    }
    // Its intent came from the file: an earlier process stopped while carrying it out (it may have
    // signalled). Acknowledged "failed", never carried out again.
    const KillExecutionResult interrupted{
        false, kInterruptedMessage.toString(),
        QJsonObject{{QStringLiteral("interrupted_by_agent_restart"), true}, {QStringLiteral("all_stopped"), false}}};
    const JournalOutcome outcome =
        makeOutcome(commandID, credentials.deviceID, AckStatus::failed, interrupted, std::nullopt);
    const auto record = [commandID, outcome](CommandJournal &j) { return j.recordOutcome(commandID, outcome); };
    co_await journalStep(record);
    if (!self)
        co_return;
    m_state.setLastCommand(outcomeWord(outcome.status) + id);
    co_await deliverOutcome(commandID, outcome, credentials, service);
}

QCoro::Task<bool> CommandPollLoop::acknowledgeReceipt(QString commandID, bool recordID, DeviceCredentials credentials,
                                                      std::shared_ptr<DeviceServiceClient> service)
{
    QPointer<CommandPollLoop> self(this);
    m_state.setLastCommand(QStringLiteral("received ") + shortID(commandID));
    if (recordID) {
        const auto record = [commandID](CommandJournal &j) { return j.recordReceived(commandID, false); };
        co_await journalStep(record);
        if (!self)
            co_return false;
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
        co_return false;
    // The token refresh first; the service hands the command out again afterwards.
    if (unauthorized)
        throw ServiceUnauthorized();
    // The service no longer wants this command (cancelled, unknown, settled): nothing is done.
    if (refusal) {
        const auto record = [commandID](CommandJournal &j) { return j.recordRefused(commandID); };
        co_await journalStep(record);
        if (!self)
            co_return false;
        m_state.setLastCommand(QStringLiteral("refused ") + shortID(commandID));
        std::rethrow_exception(refusal);
    }
    co_return true;
}

CommandPollLoop::Validation CommandPollLoop::validate(const std::optional<KillCommand> &command)
{
    Validation validation;
    validation.refusalMessage = kUndecodableMessage.toString();
    if (command && command->protocolVersion == 2) {
        validation.product = CommandValidation::validatedCommandProduct(
            command->protocolVersion, command->action, command->product, command->instanceKind, command->appKey,
            command->targetInstanceID, command->targetBundleIDs);
        validation.refusalMessage = kInstanceCommandRefusedMessage.toString();
    } else if (command) {
        validation.target = CommandValidation::validatedTarget(command->protocolVersion, command->action,
                                                               command->appKey, command->targetBundleIDs);
        validation.refusalMessage = kApplicationCommandRefusedMessage.toString();
    }
    return validation;
}

QCoro::Task<std::optional<CommandPollLoop::Execution>> CommandPollLoop::execute(std::optional<KillCommand> command,
                                                                                Validation validation,
                                                                                QString commandID, QString deviceID)
{
    if (!validation.target && !validation.product) {
        co_return Execution{
            makeOutcome(commandID, deviceID, AckStatus::ignored, std::nullopt, validation.refusalMessage),
            std::nullopt};
    }
    QPointer<CommandPollLoop> self(this);
    // Held here: once the intent is recorded the command is carried out and its outcome recorded,
    // even when the loop goes away meanwhile.
    const std::shared_ptr<CommandJournal> journal = m_journal;
    const std::shared_ptr<Executor> executor = m_executor;
    const std::shared_ptr<AgentInstanceMonitor> monitor = m_monitor;
    // Durable or not, the intent is in memory: a journal that cannot be written still keeps
    // the command from running twice in this process. From here to the recorded outcome the
    // command is finished whatever happens to the loop.
    const auto intent = [commandID](CommandJournal &j) { return j.recordIntent(commandID); };
    co_await journalStep(intent);
    KillExecutionResult result;
    // (Two statements: GCC mis-compiles co_await inside a conditional expression.)
    try {
        if (validation.target) {
            result = co_await executor->executeKill(*validation.target);
        } else {
            const QString instanceID = command->targetInstanceID.value_or(QString());
            result = co_await executor->executeAgentInstance(instanceID, *validation.product, monitor.get());
        }
    } catch (const std::exception &error) {
        qCWarning(lcCommands) << "carrying out" << commandID << "failed:" << error.what();
        result = KillExecutionResult{false, kExecutionErrorMessage.toString(),
                                     QJsonObject{{QStringLiteral("all_stopped"), false}}};
    }
    const JournalOutcome outcome = makeOutcome(
        commandID, deviceID, result.succeeded ? AckStatus::executed : AckStatus::failed, result, std::nullopt);
    if (!self) {
        // The loop is gone: the outcome is recorded here (on this thread: a rare path) and
        // goes out from the outbox of the next loop.
        journal->recordOutcome(commandID, outcome);
        co_return std::nullopt;
    }
    co_return Execution{outcome, result};
}

QCoro::Task<void> CommandPollLoop::settle(QString commandID, Execution execution, DeviceCredentials credentials,
                                          std::shared_ptr<DeviceServiceClient> service)
{
    QPointer<CommandPollLoop> self(this);
    const JournalOutcome outcome = execution.outcome;
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
    if (execution.result) {
        if (outcome.status == AckStatus::executed && m_commandExecuted)
            m_commandExecuted(*execution.result);
        std::optional<QList<AgentInstanceReport>> reports = currentReportsIfReady();
        if (reports && m_reporter)
            m_reporter->queueAgentInventoryReport(*reports, credentials, true);
    }
    m_state.setLastCommand(outcomeWord(outcome.status) + shortID(commandID));
    if (undelivered)
        std::rethrow_exception(undelivered);
}

}  // namespace mornix
