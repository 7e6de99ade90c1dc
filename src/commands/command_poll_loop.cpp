#include "commands/command_poll_loop.h"

#include "commands/commands_logging.h"
#include "commands/poll_timing.h"
#include "support/blocking_call.h"

#include <QLoggingCategory>

#include <QCoroFuture>

#include <exception>

namespace mornix {

namespace {

QCoro::Task<bool> defaultSleep(QPointer<CancellationToken> token, std::chrono::nanoseconds duration)
{
    co_return co_await cancellableSleep(token, std::chrono::duration_cast<std::chrono::milliseconds>(duration));
}

}  // namespace

CommandPollLoop::CommandPollLoop(ControllerState &state, Collaborators collaborators, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_executor(std::move(collaborators.executor))
    , m_renewal(collaborators.renewal)
    , m_reporter(collaborators.reporter)
    , m_monitor(std::move(collaborators.monitor))
    , m_commandExecuted(std::move(collaborators.commandExecuted))
    , m_sleep(collaborators.sleep ? std::move(collaborators.sleep) : Sleep(&defaultSleep))
    , m_token(new CancellationToken(this))
    , m_retryDelay(poll_timing::initialRetryDelay)
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
    co_return self &&slept && !m_token->isCancelled();
}

QCoro::Task<void> CommandPollLoop::pollLoop()
{
    QPointer<CommandPollLoop> self(this);
    while (self && !m_token->isCancelled()) {
        const std::optional<Session> session = co_await readySession();
        if (!self)
            co_return;
        if (!session)
            continue;
        const Round round = co_await pollRound(*session);
        if (round == Round::gone || !self)
            co_return;
        if (round == Round::next)
            continue;
        if (!co_await nap(jitteredNanoseconds(m_retryDelay, poll_timing::errorJitterFraction)))
            break;
        m_retryDelay = std::min(m_retryDelay * 2, poll_timing::retryDelayCap);
    }
    if (self)
        m_running = false;
}

QCoro::Task<std::optional<CommandPollLoop::Session>> CommandPollLoop::readySession()
{
    QPointer<CommandPollLoop> self(this);
    if (m_state.paused()) {
        m_state.setConnected(false);
        co_await nap(poll_timing::pausedNap);
        co_return std::nullopt;
    }
    const std::optional<DeviceCredentials> credentials = m_state.credentials();
    std::shared_ptr<DeviceServiceClient> service = m_state.serviceClient();
    if (!credentials && m_renewal && m_renewal->hasPendingClaim() && service) {
        co_await m_renewal->pollPendingClaim();
        if (self && !m_state.credentials())
            co_await nap(poll_timing::pendingClaimNap);
        co_return std::nullopt;
    }
    if (!credentials || !service) {
        m_state.setConnected(false);
        co_await nap(poll_timing::unenrolledNap);
        co_return std::nullopt;
    }
    co_return Session{*credentials, std::move(service)};
}

void CommandPollLoop::reportInventoryIfDue(const DeviceCredentials &credentials)
{
    if (!m_reporter)
        return;
    const std::optional<QDateTime> last = m_reporter->lastAgentInstanceReportAttemptAt();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (last && last->secsTo(now) < poll_timing::inventorySpacingSeconds)
        return;
    if (std::optional<QList<AgentInstanceReport>> reports = currentReportsIfReady()) {
        m_reporter->setLastAgentInstanceReportAttemptAt(now);
        m_reporter->queueAgentInventoryReport(*reports, credentials, true);
    }
}

QCoro::Task<CommandPollLoop::Round> CommandPollLoop::pollRound(Session session)
{
    QPointer<CommandPollLoop> self(this);
    bool unauthorized = false;
    bool failed = false;
    std::optional<QString> undecodableID;
    try {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const bool force =
            session.credentials.tokenExpiresAt
            && *session.credentials.tokenExpiresAt - poll_timing::tokenRefreshMarginSeconds <= double(now);
        if (m_renewal) {
            const DeviceCredentials current = session.credentials;
            if (std::optional<DeviceCredentials> refreshed = co_await m_renewal->refreshOAuthIfNeeded(current, force))
                session.credentials = std::move(*refreshed);
            if (!self)
                co_return Round::gone;
        }
        reportInventoryIfDue(session.credentials);
        if (m_state.paused()) {
            m_state.setConnected(true);
            co_await nap(poll_timing::pausedAfterTokenCheckNap);
            co_return Round::next;
        }
        co_await pollAndHandle(session);
        if (!self)
            co_return Round::gone;
        m_retryDelay = poll_timing::initialRetryDelay;
        co_return Round::next;
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
        co_return Round::gone;

    // An envelope that does not decode but names a safe id is answered "ignored" at once, so
    // it cannot hold up the commands behind it. (Awaited here: not inside a handler.)
    if (undecodableID) {
        m_state.setConnected(true);
        try {
            const std::optional<KillCommand> none;  // named: GCC 12 destroys awaited temporaries twice
            co_await handleCommand(none, *undecodableID, session.credentials, session.service);
            if (!self)
                co_return Round::gone;
            m_retryDelay = poll_timing::initialRetryDelay;
            co_return Round::next;
        } catch (const ServiceUnauthorized &) {
            unauthorized = true;
        } catch (...) {
            failed = true;
        }
        if (!self)
            co_return Round::gone;
    }

    if (unauthorized)
        co_return co_await renewAfterRefusal(session.credentials);
    if (failed) {
        m_state.setConnected(false);
        m_state.setLastCommand(QStringLiteral("connection retry"));
    }
    co_return Round::backOff;
}

QCoro::Task<void> CommandPollLoop::pollAndHandle(Session session)
{
    QPointer<CommandPollLoop> self(this);
    if (!m_outboxSentAtStart) {
        m_outboxSentAtStart = true;
        co_await flushOutbox(session.credentials, session.service);
        if (!self)
            co_return;
    }
    const std::optional<KillCommand> command = co_await session.service->pollNextCommand(session.credentials);
    if (!self)
        co_return;
    m_state.setConnected(true);
    if (command) {
        const QString commandID = command->id;
        co_await handleCommand(command, commandID, session.credentials, session.service);
        if (!self)
            co_return;
    }
    // After every successful poll (a re-delivered command has just had its outcome sent).
    co_await flushOutbox(session.credentials, session.service);
}

QCoro::Task<CommandPollLoop::Round> CommandPollLoop::renewAfterRefusal(DeviceCredentials credentials)
{
    QPointer<CommandPollLoop> self(this);
    std::optional<DeviceCredentials> refreshed;
    if (m_renewal) {
        refreshed = co_await m_renewal->refreshOAuthIfNeeded(credentials, true);
        if (!self)
            co_return Round::gone;
    }
    if (refreshed) {
        m_state.setCredentials(*refreshed);
        m_state.setLastCommand(QStringLiteral("token refreshed"));
        co_return Round::next;
    }
    m_state.setConnected(false);
    m_state.setLastCommand(QStringLiteral("authentication required"));
    co_return Round::backOff;
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

}  // namespace mornix
