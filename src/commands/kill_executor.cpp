#include "commands/kill_executor.h"

#include "commands/commands_logging.h"
#include "support/blocking_call.h"

#include <QCoroFuture>

#include <QJsonArray>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <QCoroSignal>

#include <algorithm>
#include <csignal>
#include <optional>

namespace mornix {

namespace {

using namespace std::chrono;

QJsonArray sortedArray(QStringList values)
{
    std::sort(values.begin(), values.end());
    return QJsonArray::fromStringList(values);
}

KillExecutionResult instanceResult(bool succeeded, const QString &message, const QString &instanceID,
                                   const AgentProductCatalog::Product &product, std::optional<bool> allStopped)
{
    QJsonObject payload{{QStringLiteral("instance_id"), instanceID}, {QStringLiteral("product"), product.key}};
    if (allStopped) {
        payload.insert(QStringLiteral("kind"), product.kind);
        payload.insert(QStringLiteral("all_stopped"), *allStopped);
    }
    return KillExecutionResult{succeeded, message, payload};
}

}  // namespace

KillExecutor::KillExecutor(std::shared_ptr<Workspace> workspace, std::shared_ptr<ProcessTable> processTable,
                           std::shared_ptr<CodeSigning> codeSigning,
                           std::shared_ptr<const AgentInstanceScanner> scanner)
    : KillExecutor(std::move(workspace), std::move(processTable), std::move(codeSigning), std::move(scanner), Timing())
{
}

KillExecutor::KillExecutor(std::shared_ptr<Workspace> workspace, std::shared_ptr<ProcessTable> processTable,
                           std::shared_ptr<CodeSigning> codeSigning,
                           std::shared_ptr<const AgentInstanceScanner> scanner, Timing timing)
    : m_workspace(std::move(workspace))
    , m_processTable(std::move(processTable))
    , m_codeSigning(std::move(codeSigning))
    , m_scanner(std::move(scanner))
    , m_timing(timing)
{
}

QCoro::Task<bool> KillExecutor::sleepFor(nanoseconds duration, const ProcessExitWatch *exitWatch)
{
    const auto ms = duration_cast<milliseconds>(duration + nanoseconds(999'999));
    if (ms.count() <= 0)
        co_return false;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    timer.start(ms);
    // The exit turns the watch readable: the timer then fires at once.
    std::optional<QSocketNotifier> watch;
    bool exited = false;
    if (exitWatch) {
        watch.emplace(exitWatch->descriptor(), QSocketNotifier::Read);
        QObject::connect(&*watch, &QSocketNotifier::activated, &timer, [&timer, &watch, &exited] {
            watch->setEnabled(false);
            exited = true;
            timer.start(0);
        });
    }
    co_await qCoro(&timer, &QTimer::timeout);
    co_return exited;
}

QCoro::Task<KillExecutionResult> KillExecutor::executeKill(const KillTargetCatalog::Target &targetArgument)
{
    const KillTargetCatalog::Target target = targetArgument;
    QStringList terminated, forced, alreadyStopped, signatureRejected;
    QStringList bundleIDs = target.bundleIDs.values();
    std::sort(bundleIDs.begin(), bundleIDs.end());

    for (const QString &bundleID : bundleIDs) {
        auto workspace = m_workspace;
        QFuture<QList<RunningApplication>> listing =
            startBlockingCall([workspace, bundleID] { return workspace->runningApplications(bundleID); });
        const QList<RunningApplication> copies = co_await listing;
        if (copies.isEmpty()) {
            alreadyStopped.append(bundleID);
            continue;
        }
        bool actedOn = false;
        for (const RunningApplication &copy : copies) {
            // The check before every signal: the bytes this copy runs are its bundle's signed
            // main executable, signed by one of the target's teams.
            const std::optional<QString> team = co_await runningCopyTeam(copy);
            if (!team || !target.teamIdentifiers.contains(*team)) {
                qCInfo(lcCommands) << "left a copy with a foreign signature running, pid" << copy.pid;
                signatureRejected.append(bundleID);
                continue;
            }
            actedOn = true;
            if (m_workspace->terminate(copy)) {
                co_await sleepFor(m_timing.gracePeriod);
                if (m_workspace->isTerminated(copy))
                    continue;
            }
            const std::optional<QString> teamNow = co_await runningCopyTeam(copy);
            if (!teamNow || !target.teamIdentifiers.contains(*teamNow)) {
                qCInfo(lcCommands) << "a copy changed its signed identity before the forced stop, pid" << copy.pid;
                signatureRejected.append(bundleID);
                continue;
            }
            m_workspace->forceTerminate(copy);
            forced.append(bundleID);
            // SIGKILL is asynchronous: give the copy a moment to disappear before the final check.
            const auto deadline = steady_clock::now() + m_timing.forcedStopWait;
            while (!m_workspace->isTerminated(copy) && steady_clock::now() < deadline)
                co_await sleepFor(std::min<nanoseconds>(m_timing.pollStep, deadline - steady_clock::now()));
        }
        if (actedOn)
            terminated.append(bundleID);
    }

    bool stillRunning = false;
    for (const QString &bundleID : bundleIDs) {
        auto workspace = m_workspace;
        QFuture<QList<RunningApplication>> listing =
            startBlockingCall([workspace, bundleID] { return workspace->runningApplications(bundleID); });
        const QList<RunningApplication> copies = co_await listing;
        if (!copies.isEmpty()) {
            stillRunning = true;
            break;
        }
    }

    QJsonObject payload;
    payload.insert(QStringLiteral("app_key"), target.key);
    payload.insert(QStringLiteral("requested_bundle_ids"), sortedArray(bundleIDs));
    payload.insert(QStringLiteral("terminated_bundle_ids"), sortedArray(terminated));
    payload.insert(QStringLiteral("forced_bundle_ids"), sortedArray(forced));
    payload.insert(QStringLiteral("already_stopped_bundle_ids"), sortedArray(alreadyStopped));
    payload.insert(QStringLiteral("signature_rejected_bundle_ids"), sortedArray(signatureRejected));
    payload.insert(QStringLiteral("all_stopped"), !stillRunning);
    const QString message = !stillRunning                  ? kApplicationConfirmed
                            : !signatureRejected.isEmpty() ? kApplicationSignatureRejected
                                                           : kApplicationRemained;
    co_return KillExecutionResult{!stillRunning, message, payload};
}

QCoro::Task<std::optional<AgentInstanceScanner::Authorization>> KillExecutor::currentAuthorization(
    const DetectedAgentInstance &instance)
{
    auto scanner = m_scanner;
    const DetectedAgentInstance copy = instance;
    QFuture<std::optional<AgentInstanceScanner::Authorization>> check =
        startBlockingCall([scanner, copy] { return scanner->currentAuthorization(copy); });
    std::optional<AgentInstanceScanner::Authorization> authorization = co_await check;
    co_return authorization;
}

QCoro::Task<std::optional<QString>> KillExecutor::runningCopyTeam(const RunningApplication &copyArgument)
{
    auto codeSigning = m_codeSigning;
    const RunningApplication copy = copyArgument;
    QFuture<std::optional<SigningInformation>> check = startBlockingCall(
        [codeSigning, copy] { return codeSigning->applicationSigningInformation(copy.pid, copy.bundlePath); });
    const std::optional<SigningInformation> signing = co_await check;
    if (!signing || signing->teamIdentifier.isEmpty())
        co_return std::nullopt;
    co_return signing->teamIdentifier;
}

QCoro::Task<AgentInstanceLiveness> KillExecutor::waitForStop(const DetectedAgentInstance &instance, nanoseconds timeout)
{
    // Opened before the liveness check: when the instance is still running after it, the watch
    // holds the instance (a pid is not handed on while its process lives).
    std::unique_ptr<ProcessExitWatch> exitWatch = m_processTable->watchExit(instance.processIdentifier);
    AgentInstanceLiveness state = m_scanner->liveness(instance);
    if (state != AgentInstanceLiveness::running)
        co_return state;
    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        const auto now = steady_clock::now();
        if (now >= deadline)
            break;
        const bool exited =
            co_await sleepFor(std::min<nanoseconds>(deadline - now, m_timing.pollStep), exitWatch.get());
        state = m_scanner->liveness(instance);
        if (state != AgentInstanceLiveness::running)
            co_return state;
        // Readable yet still running (the watch cannot help any more): plain steps from now on.
        if (exited)
            exitWatch.reset();
    }
    co_return m_scanner->liveness(instance);
}

bool KillExecutor::sendStop(const DetectedAgentInstance &instance,
                            const AgentInstanceScanner::Authorization &authorization, bool force)
{
    if (instance.report.kind == AgentProductCatalog::kApplicationKind) {
        // The verified launch (its precise start); a newer application on the pid is left alone.
        if (!authorization.application)
            return false;
        return force ? m_workspace->forceTerminate(*authorization.application)
                     : m_workspace->terminate(*authorization.application);
    }
    return m_processTable->sendSignal(instance.processIdentifier, authorization.processStart,
                                      force ? SIGKILL : SIGTERM);
}

QCoro::Task<KillExecutionResult> KillExecutor::executeAgentInstance(
    const QString &targetInstanceIDArgument, const AgentProductCatalog::Product &expectedProductArgument,
    AgentInstanceSnapshotSource *monitor)
{
    const QString targetInstanceID = targetInstanceIDArgument;
    const AgentProductCatalog::Product expectedProduct = expectedProductArgument;
    std::optional<QList<DetectedAgentInstance>> candidates;
    if (monitor)
        candidates = monitor->publishedInstancesIfReady();
    if (!candidates) {
        auto scanner = m_scanner;
        QFuture<QList<DetectedAgentInstance>> scan = startBlockingCall([scanner] { return scanner->reconcile({}); });
        candidates = co_await scan;
    }

    std::optional<DetectedAgentInstance> instance;
    for (const DetectedAgentInstance &candidate : *candidates) {
        if (candidate.report.localInstanceID == targetInstanceID && candidate.report.product == expectedProduct.key
            && candidate.report.kind == expectedProduct.kind) {
            instance = candidate;
            break;
        }
    }
    if (!instance)
        co_return instanceResult(false, kInstanceNotFound, targetInstanceID, expectedProduct, std::nullopt);
    const std::optional<AgentInstanceScanner::Authorization> authorization = co_await currentAuthorization(*instance);
    if (!authorization)
        co_return instanceResult(false, kInstanceNotFound, targetInstanceID, expectedProduct, std::nullopt);

    // Graceful stop.
    const bool sent = sendStop(*instance, *authorization, false);
    AgentInstanceLiveness state = m_scanner->liveness(*instance);
    bool escalate = false;
    if (sent && state == AgentInstanceLiveness::running) {
        state = co_await waitForStop(*instance, m_timing.gracePeriod);
        escalate = state == AgentInstanceLiveness::running;
    } else if (state == AgentInstanceLiveness::running) {
        escalate = true;
    }

    if (escalate) {
        // Never force a stop without a fresh identity and signature check right before it.
        const std::optional<AgentInstanceScanner::Authorization> again = co_await currentAuthorization(*instance);
        if (!again)
            co_return instanceResult(false, kInstanceIdentityChanged, targetInstanceID, expectedProduct, std::nullopt);
        sendStop(*instance, *again, true);
        state = co_await waitForStop(*instance, m_timing.forcedStopWait);
        if (state == AgentInstanceLiveness::running)
            co_return instanceResult(false, kInstanceRemained, targetInstanceID, expectedProduct, false);
    }

    if (state == AgentInstanceLiveness::stopped) {
        if (monitor)
            monitor->removeStopped(*instance);
        co_return instanceResult(true, kInstanceConfirmed, targetInstanceID, expectedProduct, true);
    }
    co_return instanceResult(false, kInstanceUnverified, targetInstanceID, expectedProduct, std::nullopt);
}

}  // namespace mornix
