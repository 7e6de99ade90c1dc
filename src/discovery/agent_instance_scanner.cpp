#include "discovery/agent_instance_scanner.h"

#include "support/crypto.h"

#include <QMap>
#include <QSet>

#include <charconv>

namespace mornix {

namespace {

QString normalised(const QString &text)
{
    return text.trimmed().toLower();
}

bool hasIdentity(const std::optional<SigningInformation> &info)
{
    return info && !info->identifier.isEmpty() && !info->teamIdentifier.isEmpty();
}

}  // namespace

AgentInstanceScanner::AgentInstanceScanner(std::shared_ptr<Workspace> workspace,
                                           std::shared_ptr<ProcessTable> processTable,
                                           std::shared_ptr<CodeSigning> codeSigning)
    : m_workspace(std::move(workspace))
    , m_processTable(std::move(processTable))
    , m_codeSigning(std::move(codeSigning))
{
}

QString AgentInstanceScanner::applicationLaunchIdentity(double secondsSince1970)
{
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, secondsSince1970, std::chars_format::fixed);
    if (error != std::errc())
        return {};
    QString text = QString::fromLatin1(buffer, end - buffer);
    if (!text.contains(QLatin1Char('.')))
        text += QStringLiteral(".0");
    return text;
}

bool AgentInstanceScanner::isBundledApplicationExecutable(const QString &path)
{
    for (const QString &part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part.toLower().endsWith(QLatin1String(".app")))
            return true;
    }
    return false;
}

bool AgentInstanceScanner::isCandidateExecutableName(const QString &path)
{
    // Asked for every process of every rescan: compared in place, no copy of the name, against a
    // flat copy of the catalog's names (walking its hash set costs more than the comparisons).
    static const QList<QString> names = AgentProductCatalog::processExecutableNames().values();
    const QStringView name = QStringView(path).mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    for (const QString &candidate : names) {
        if (candidate.size() == name.size() && name.compare(candidate, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString AgentInstanceScanner::instanceIDText(const AgentProductCatalog::Product &product, qint32 pid,
                                             const QString &signingIdentifier, const std::optional<QString> &bundleID,
                                             const QString &launchIdentity)
{
    return QStringList{product.key,    product.kind,      QString::number(pid),
                       launchIdentity, signingIdentifier, bundleID ? bundleID->toLower() : QString()}
        .join(QLatin1Char(':'));
}

DetectedAgentInstance AgentInstanceScanner::detected(const AgentProductCatalog::Product &product, qint32 pid,
                                                     const QString &signingIdentifier,
                                                     const std::optional<QString> &bundleID,
                                                     const QString &launchIdentity)
{
    const QString text = instanceIDText(product, pid, signingIdentifier, bundleID, launchIdentity);
    DetectedAgentInstance instance;
    instance.report.localInstanceID = QStringLiteral("local_") + crypto::sha256Hex(text.toUtf8());
    instance.report.product = product.key;
    instance.report.kind = product.kind;
    if (bundleID)
        instance.report.bundleID = bundleID->toLower();
    instance.processIdentifier = pid;
    instance.launchIdentity = launchIdentity;
    return instance;
}

std::optional<SigningInformation> AgentInstanceScanner::applicationSigningIdentity(
    const RunningApplication &application) const
{
    if (application.bundlePath.isEmpty())
        return std::nullopt;
    // The bytes the process runs must be the bundle's signed main executable; a signed bundle
    // beside an impostor's process proves nothing.
    std::optional<SigningInformation> info =
        m_codeSigning->applicationSigningInformation(application.pid, application.bundlePath);
    return hasIdentity(info) ? info : std::nullopt;
}

std::optional<SigningInformation> AgentInstanceScanner::signingIdentity(qint32 pid) const
{
    std::optional<SigningInformation> info = m_codeSigning->dynamicSigningInformation(pid);
    return hasIdentity(info) ? info : std::nullopt;
}

std::optional<DetectedAgentInstance> AgentInstanceScanner::applicationInstance(
    const RunningApplication &application) const
{
    if (!application.bundleIdentifier
        || !AgentProductCatalog::applicationBundleIDs().contains(normalised(*application.bundleIdentifier)))
        return std::nullopt;
    if (!application.launchDate)
        return std::nullopt;
    const QString launchIdentity = applicationLaunchIdentity(*application.launchDate);
    const std::optional<SigningInformation> signing = applicationSigningIdentity(application);
    if (!signing)
        return std::nullopt;
    const std::optional<AgentProductCatalog::Product> product = AgentProductCatalog::applicationProduct(
        *application.bundleIdentifier, application.localizedName, signing->teamIdentifier);
    if (!product)
        return std::nullopt;
    return detected(*product, application.pid, signing->identifier, application.bundleIdentifier->toLower(),
                    launchIdentity);
}

QList<AgentInstanceScanner::CandidateProcess> AgentInstanceScanner::candidateProcesses() const
{
    QList<CandidateProcess> result;
    // Held const: iterating the returned list itself would copy every record (detach).
    const QList<ProcessRecord> processes = m_processTable->processes();
    for (const ProcessRecord &process : processes) {
        if (!isCandidateExecutableName(process.executablePath)
            || isBundledApplicationExecutable(process.executablePath))
            continue;
        const ProcessStartObservation start = m_processTable->startIdentity(process.pid);
        if (start.state == ProcessStartObservation::State::observed)
            result.append({process.pid, start.startText, start.startTicks, process.image});
    }
    return result;
}

ProcessStartObservation AgentInstanceScanner::processStartIdentity(qint32 pid) const
{
    return m_processTable->startIdentity(pid);
}

QList<DetectedAgentInstance> AgentInstanceScanner::reconcile(const QHash<qint32, DetectedAgentInstance> &existing) const
{
    QSet<qint32> claimed;
    QList<DetectedAgentInstance> collected;

    for (const RunningApplication &application : m_workspace->runningApplications()) {
        if (!application.bundleIdentifier
            || !AgentProductCatalog::applicationBundleIDs().contains(normalised(*application.bundleIdentifier)))
            continue;
        if (!application.launchDate)
            continue;
        claimed.insert(application.pid);
        const QString launchIdentity = applicationLaunchIdentity(*application.launchDate);
        const auto previous = existing.constFind(application.pid);
        if (previous != existing.constEnd() && previous->report.kind == AgentProductCatalog::kApplicationKind
            && previous->report.bundleID
            && previous->report.bundleID->toLower() == application.bundleIdentifier->toLower()
            && previous->launchIdentity == launchIdentity) {
            collected.append(*previous);
            continue;
        }
        if (std::optional<DetectedAgentInstance> instance = applicationInstance(application))
            collected.append(std::move(*instance));
    }

    int evaluations = 0;
    for (const CandidateProcess &candidate : candidateProcesses()) {
        if (claimed.contains(candidate.pid))
            continue;
        const auto previous = existing.constFind(candidate.pid);
        if (previous != existing.constEnd() && previous->report.kind == AgentProductCatalog::kProcessKind
            && previous->launchIdentity == candidate.launchIdentity
            && previous->verifiedStartTicks == candidate.startTicks && previous->verifiedImage == candidate.image) {
            collected.append(*previous);
            continue;
        }
        if (evaluations >= kMaxSignatureEvaluations)
            continue;
        ++evaluations;
        const std::optional<SigningInformation> signing = signingIdentity(candidate.pid);
        if (!signing)
            continue;
        const std::optional<AgentProductCatalog::Product> product =
            AgentProductCatalog::processProduct(signing->identifier, signing->teamIdentifier);
        if (product) {
            DetectedAgentInstance instance =
                detected(*product, candidate.pid, signing->identifier, std::nullopt, candidate.launchIdentity);
            instance.verifiedStartTicks = candidate.startTicks;
            instance.verifiedImage = candidate.image;
            collected.append(std::move(instance));
        }
    }

    // Keyed by id (a later one replaces an earlier); QMap orders by QString, i.e. by UTF-16
    // code unit, which for these ASCII ids is character by character.
    QMap<QString, DetectedAgentInstance> byID;
    for (DetectedAgentInstance &instance : collected)
        byID.insert(instance.report.localInstanceID, std::move(instance));
    QList<DetectedAgentInstance> result = byID.values();
    if (result.size() > kMaxInstances)
        result.resize(kMaxInstances);
    return result;
}

AgentInstanceLiveness AgentInstanceScanner::liveness(const DetectedAgentInstance &instance) const
{
    if (instance.report.kind == AgentProductCatalog::kApplicationKind) {
        const std::optional<RunningApplication> application =
            m_workspace->runningApplication(instance.processIdentifier);
        if (!application || m_workspace->isTerminated(*application))
            return AgentInstanceLiveness::stopped;
        const bool hasNow = application->bundleIdentifier.has_value();
        const bool hadThen = instance.report.bundleID.has_value();
        if (hasNow != hadThen
            || (hasNow && application->bundleIdentifier->toLower() != instance.report.bundleID->toLower()))
            return AgentInstanceLiveness::stopped;
        if (!application->launchDate)
            return AgentInstanceLiveness::indeterminate;
        return applicationLaunchIdentity(*application->launchDate) == instance.launchIdentity
                   ? AgentInstanceLiveness::running
                   : AgentInstanceLiveness::stopped;
    }
    const ProcessStartObservation start = processStartIdentity(instance.processIdentifier);
    switch (start.state) {
    case ProcessStartObservation::State::notRunning: return AgentInstanceLiveness::stopped;
    case ProcessStartObservation::State::unavailable: return AgentInstanceLiveness::indeterminate;
    case ProcessStartObservation::State::observed: break;
    }
    return start.startText == instance.launchIdentity ? AgentInstanceLiveness::running : AgentInstanceLiveness::stopped;
}

std::optional<AgentInstanceScanner::Authorization> AgentInstanceScanner::currentAuthorization(
    const DetectedAgentInstance &instance) const
{
    if (instance.report.kind == AgentProductCatalog::kApplicationKind) {
        if (liveness(instance) != AgentInstanceLiveness::running)
            return std::nullopt;
        std::optional<RunningApplication> application = m_workspace->runningApplication(instance.processIdentifier);
        if (!application)
            return std::nullopt;
        const std::optional<DetectedAgentInstance> fresh = applicationInstance(*application);
        if (!fresh || !(*fresh == instance))
            return std::nullopt;
        return Authorization{std::move(application), {}};
    }
    const ProcessStartObservation before = processStartIdentity(instance.processIdentifier);
    if (before.state != ProcessStartObservation::State::observed || before.startText != instance.launchIdentity)
        return std::nullopt;
    const std::optional<SigningInformation> signing = signingIdentity(instance.processIdentifier);
    if (!signing)
        return std::nullopt;
    const std::optional<AgentProductCatalog::Product> product =
        AgentProductCatalog::processProduct(signing->identifier, signing->teamIdentifier);
    if (!product
        || !(detected(*product, instance.processIdentifier, signing->identifier, std::nullopt, instance.launchIdentity)
             == instance))
        return std::nullopt;
    // The same process from before the check to after it (a pid reused within the second has
    // another start tick).
    const ProcessStartObservation after = processStartIdentity(instance.processIdentifier);
    if (after.state != ProcessStartObservation::State::observed || after.startText != before.startText
        || after.startTicks != before.startTicks)
        return std::nullopt;
    return Authorization{std::nullopt, before};
}

}  // namespace mornix
