#include "commands/command_poll_loop.h"

#include "commands/command_validation.h"
#include "commands/poll_timing.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcExecutor)  // "mornix.commands", defined with the executor

namespace {

QString shortID(const QString &id)
{
    return id.left(8);
}

QCoro::Task<bool> defaultSleep(QPointer<CancellationToken> token, std::chrono::nanoseconds duration)
{
    co_return co_await cancellableSleep(token, std::chrono::duration_cast<std::chrono::milliseconds>(duration));
}

}  // namespace

CommandPollLoop::CommandPollLoop(Host &host, std::shared_ptr<Executor> executor, Sleep sleep, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_executor(std::move(executor))
    , m_sleep(sleep ? std::move(sleep) : Sleep(&defaultSleep))
    , m_token(new CancellationToken(this))
{
}

CommandPollLoop::~CommandPollLoop()
{
    m_token->cancel();
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

    while (self && !m_token->isCancelled()) {
        if (m_host.paused()) {
            m_host.setConnected(false);
            co_await nap(poll_timing::pausedNap);
            continue;
        }

        std::optional<DeviceCredentials> credentials = m_host.credentials();
        std::shared_ptr<DeviceServiceClient> service = m_host.service();
        if (!credentials && m_host.hasPendingClaim() && service) {
            co_await m_host.resumeApprovedClaimIfNeeded();
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
        try {
            const qint64 now = QDateTime::currentSecsSinceEpoch();
            const bool force = credentials->tokenExpiresAt
                && *credentials->tokenExpiresAt - poll_timing::tokenRefreshMarginSeconds <= double(now);
            if (std::optional<DeviceCredentials> refreshed = co_await m_host.refreshOAuthIfNeeded(*credentials, force))
                credentials = std::move(refreshed);
            if (!self)
                co_return;

            const std::optional<QDateTime> last = m_host.lastAgentInstanceReportAttemptAt();
            const QDateTime nowTime = QDateTime::currentDateTimeUtc();
            if (!last || last->secsTo(nowTime) >= poll_timing::inventorySpacingSeconds) {
                if (std::optional<QList<AgentInstanceReport>> reports = m_host.currentReportsIfReady()) {
                    m_host.setLastAgentInstanceReportAttemptAt(nowTime);
                    m_host.queueAgentInventoryReport(*reports, credentials, true);
                }
            }

            if (m_host.paused()) {
                m_host.setConnected(true);
                co_await nap(poll_timing::pausedAfterTokenCheckNap);
                continue;
            }

            const std::optional<KillCommand> command = co_await service->pollNextCommand(*credentials);
            if (!self)
                co_return;
            m_host.setConnected(true);
            if (!command) {
                retryDelay = poll_timing::initialRetryDelay;
                continue;
            }
            co_await handleCommand(*command, *credentials, service);
            if (!self)
                co_return;
            retryDelay = poll_timing::initialRetryDelay;
            continue;
        } catch (const ServiceUnauthorized &) {
            unauthorized = true;
        } catch (const std::exception &error) {
            qCInfo(lcExecutor) << "poll error:" << error.what();
            failed = true;
        } catch (...) {
            failed = true;
        }
        if (!self)
            co_return;

        if (unauthorized) {
            std::optional<DeviceCredentials> refreshed = co_await m_host.refreshOAuthIfNeeded(*credentials, true);
            if (!self)
                co_return;
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

QCoro::Task<void> CommandPollLoop::handleCommand(KillCommand command, DeviceCredentials credentials,
                                                 std::shared_ptr<DeviceServiceClient> service)
{
    QPointer<CommandPollLoop> self(this);
    const QString id = shortID(command.id);
    m_host.setLastCommand(QStringLiteral("received ") + id);
    co_await service->sendAck(credentials, command.id, AckStatus::Received, std::nullopt, std::nullopt);
    if (!self)
        co_return;

    // A command the service hands out again after its outcome was acknowledged (a lost answer,
    // a redelivery) is never carried out twice: the same outcome is acknowledged again, with the
    // same idempotency key.
    if (const auto done = m_carriedOut.constFind(command.id); done != m_carriedOut.cend()) {
        const KillExecutionResult previous = *done;
        co_await service->sendAck(credentials, command.id, previous.succeeded ? AckStatus::Executed : AckStatus::Failed,
                                  previous, std::nullopt);
        if (!self)
            co_return;
        m_host.setLastCommand((previous.succeeded ? QStringLiteral("executed ") : QStringLiteral("failed ")) + id);
        co_return;
    }

    std::optional<KillTargetCatalog::Target> target;
    std::optional<AgentProductCatalog::Product> product;
    QString refusal;
    if (command.protocolVersion == 2) {
        product = AgentProductCatalog::validatedCommandProduct(command.protocolVersion, command.action, command.product,
                                                               command.instanceKind, command.appKey,
                                                               command.targetInstanceID, command.targetBundleIDs);
        refusal = kInstanceCommandRefusedMessage.toString();
    } else {
        target = KillTargetCatalog::validatedTarget(command.protocolVersion, command.action, command.appKey,
                                                    command.targetBundleIDs);
        refusal = kApplicationCommandRefusedMessage.toString();
    }
    if (!target && !product) {
        co_await service->sendAck(credentials, command.id, AckStatus::Ignored, std::nullopt, refusal);
        if (!self)
            co_return;
        m_host.setLastCommand(QStringLiteral("ignored ") + id);
        co_return;
    }

    // (Two statements: GCC mis-compiles co_await inside a conditional expression.)
    KillExecutionResult result;
    if (target) {
        result = co_await m_executor->executeKill(*target);
    } else {
        const std::shared_ptr<AgentInstanceSnapshotSource> monitor = m_host.agentInstanceMonitor();
        const QString instanceID = command.targetInstanceID.value_or(QString());
        result = co_await m_executor->executeAgentInstance(instanceID, *product, monitor.get());
    }
    if (!self)
        co_return;
    rememberCarriedOut(command.id, result);
    co_await service->sendAck(credentials, command.id, result.succeeded ? AckStatus::Executed : AckStatus::Failed,
                              result, std::nullopt);
    if (!self)
        co_return;
    if (result.succeeded)
        m_host.openHelpPage();
    if (std::optional<QList<AgentInstanceReport>> reports = m_host.currentReportsIfReady())
        m_host.queueAgentInventoryReport(*reports, credentials, true);
    m_host.setLastCommand((result.succeeded ? QStringLiteral("executed ") : QStringLiteral("failed ")) + id);
}

void CommandPollLoop::rememberCarriedOut(const QString &commandID, const KillExecutionResult &result)
{
    if (!m_carriedOut.contains(commandID))
        m_carriedOutOrder.append(commandID);
    m_carriedOut.insert(commandID, result);
    while (m_carriedOutOrder.size() > kRememberedCommands)
        m_carriedOut.remove(m_carriedOutOrder.takeFirst());
}
