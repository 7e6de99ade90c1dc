#include "app/doctor_checks.h"

#include "app/build_label.h"
#include "app/desktop_module_spec.h"
#include "commands/command_journal.h"
#include "core/desktop_module.h"
#include "discovery/agent_instance_scanner.h"
#include "discovery/allow_list.h"
#include "identity/device_enrollment_agent.h"
#include "identity/identity_error.h"
#include "identity/keychain_store.h"
#include "platform/linux/modules/platform_modules.h"
#include "platform/posix_files.h"

#include <QDateTime>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QMap>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix::doctor {

namespace {

constexpr qint64 kMaxJournalBytes = 16 * 1024 * 1024;
constexpr int kBusTimeoutMs = 1000;

QString octalMode(mode_t mode)
{
    return QStringLiteral("%1").arg(mode & 07777, 4, 8, QLatin1Char('0'));
}

// The report's name for a module: "module " and its file's name without "libmornix_" and ".so",
// underscores as hyphens ("module secret-service").
QString moduleCheckName(const ModuleSpec &module)
{
    QString name = QString::fromLatin1(module.relativePath).section(QLatin1Char('/'), -1);
    if (name.startsWith(QLatin1String("libmornix_")))
        name.remove(0, 10);
    if (name.endsWith(QLatin1String(".so")))
        name.chop(3);
    if (name == QLatin1String("xdisplay"))
        name = QStringLiteral("x-display");
    return QStringLiteral("module ") + name.replace(QLatin1Char('_'), QLatin1Char('-'));
}

DoctorCheck moduleCheck(PlatformModules &modules, const ModuleSpec &module)
{
    const PlatformModules::Status status = modules.status(module);
    const bool loaded = status.state == PlatformModules::State::loaded;
    const QJsonObject facts{{QStringLiteral("path"), QLatin1String(module.relativePath)},
                            {QStringLiteral("loaded"), loaded},
                            {QStringLiteral("state"), PlatformModules::stateName(status.state)}};
    return loaded ? DoctorCheck::pass(moduleCheckName(module), QStringLiteral("loads, sealed"), facts)
                  : DoctorCheck::problem(moduleCheckName(module), status.reason, facts);
}

// The device key: the hardware one first, as the agent looks it up; a key found must sign.
DoctorCheck checkDeviceKey(const DeviceEnrollmentAgent &agent)
{
    const auto signs = [](const DevicePrivateKey &key, QString *why) {
        return !DevicePrivateKey(key).sign(QByteArrayLiteral("veltro doctor"), *why).isEmpty();
    };
    bool noHardware = false;
    try {
        if (const std::optional<DevicePrivateKey> key =
                agent.loadExistingPrivateKey(DeviceEnrollmentAgent::baseKeyQuery())) {
            QString why;
            const QJsonObject facts{{QStringLiteral("kind"), QStringLiteral("hardware")},
                                    {QStringLiteral("loads"), true}};
            return (signs(*key, &why) ? DoctorCheck::pass(QStringLiteral("device key"),
                                                          QStringLiteral("hardware (TPM) key loads and signs"), facts)
                                      : DoctorCheck::problem(
                                          QStringLiteral("device key"),
                                          QStringLiteral("hardware (TPM) key loads but does not sign: ") + why, facts));
        }
    } catch (const IdentityError &error) {
        if (error.code() != keychain_status::missingEntitlement) {
            return DoctorCheck::problem(
                QStringLiteral("device key"),
                QStringLiteral("a hardware (TPM) key is stored but cannot be used: ") + error.localizedDescription(),
                QJsonObject{{QStringLiteral("kind"), QStringLiteral("hardware")}, {QStringLiteral("loads"), false}});
        }
        noHardware = true;
    }
    const QString tpmText = noHardware ? QStringLiteral(" (no usable TPM)") : QString();
    try {
        if (const std::optional<DevicePrivateKey> key =
                agent.loadExistingPrivateKey(DeviceEnrollmentAgent::keychainFallbackKeyQuery())) {
            QString why;
            const QJsonObject facts{{QStringLiteral("kind"), QStringLiteral("software")},
                                    {QStringLiteral("loads"), true}};
            return (signs(*key, &why)
                        ? DoctorCheck::pass(QStringLiteral("device key"),
                                            QStringLiteral("software key loads and signs") + tpmText, facts)
                        : DoctorCheck::problem(QStringLiteral("device key"),
                                               QStringLiteral("software key loads but does not sign: ") + why, facts));
        }
    } catch (const IdentityError &error) {
        return DoctorCheck::problem(
            QStringLiteral("device key"),
            QStringLiteral("the software key is stored but cannot be used: ") + error.localizedDescription(),
            QJsonObject{{QStringLiteral("kind"), QStringLiteral("software")}, {QStringLiteral("loads"), false}});
    }
    return DoctorCheck::pass(QStringLiteral("device key"),
                             QStringLiteral("none stored yet (made when this computer first signs a request)")
                                 + tpmText,
                             QJsonObject{{QStringLiteral("kind"), QStringLiteral("none")}});
}

}  // namespace

DoctorCheck checkBuild(const Bundle &bundle, CodeSigning &codeSigning, const QString &argument0)
{
    const QString label = computeBuildLabel(bundle, argument0);
    const QJsonObject base{{QStringLiteral("label"), label}, {QStringLiteral("bundle"), bundle.bundlePath()}};
    // The running image against the signed code directory, and the whole bundle's seal.
    const qint32 pid = qint32(::getpid());
    const std::optional<SigningInformation> signing =
        bundle.bundleIdentifier() ? codeSigning.applicationSigningInformation(pid, bundle.bundlePath())
                                  : codeSigning.dynamicSigningInformation(pid);
    QJsonObject facts = base;
    facts.insert(QStringLiteral("signature_valid"), signing.has_value());
    if (!signing)
        return DoctorCheck::problem(
            QStringLiteral("build"),
            label + QStringLiteral("; the bundle is not signed, or its signature or seal does not verify"), facts);
    facts.insert(QStringLiteral("identifier"), signing->identifier);
    facts.insert(QStringLiteral("team"), signing->teamIdentifier);
    return DoctorCheck::pass(QStringLiteral("build"),
                             QStringLiteral("%1; signature and seal verify (%2, team %3)")
                                 .arg(label, signing->identifier, signing->teamIdentifier),
                             facts);
}

QList<DoctorCheck> checkModules(const std::shared_ptr<PlatformModules> &modules)
{
    QList<DoctorCheck> checks;
    for (const ModuleSpec &module : PlatformModules::platformModules())
        checks << moduleCheck(*modules, module);
    checks << moduleCheck(*modules, desktopModuleSpec());
    return checks;
}

IdentityFindings checkIdentity(const DoctorKeychain &keychain, std::shared_ptr<HardwareKey> hardwareKey,
                               std::shared_ptr<HardwareIdentity> hardwareIdentity,
                               std::shared_ptr<PostureProbes> postureProbes)
{
    IdentityFindings findings;
    QJsonObject keychainFacts{{QStringLiteral("backend"), keychain.backend},
                              {QStringLiteral("choice"), keychain.choice},
                              {QStringLiteral("location"), keychain.location}};
    const QString backendText =
        keychain.backend.isEmpty()
            ? QStringLiteral("none")
            : QStringLiteral("%1 (%2) at %3").arg(keychain.backend, keychain.choice, keychain.location);
    if (!keychain.keychain) {
        findings.checks << DoctorCheck::problem(QStringLiteral("keychain"),
                                                backendText + QStringLiteral(": ") + keychain.problem, keychainFacts)
                        << DoctorCheck::problem(QStringLiteral("enrollment"),
                                                QStringLiteral("unknown: the keychain cannot be read"))
                        << DoctorCheck::problem(QStringLiteral("device key"),
                                                QStringLiteral("unknown: the keychain cannot be read"));
        return findings;
    }

    // Credentials and the pending claim. A record that does not decode is reported without the
    // decoder's text, which may quote stored bytes.
    const KeychainStore store(keychain.keychain);
    QString credentialsProblem;
    try {
        findings.credentials = store.loadCredentials();
    } catch (const DecodingError &) {
        credentialsProblem = QStringLiteral("the stored device credentials do not decode");
    } catch (const IdentityError &error) {
        credentialsProblem = error.localizedDescription();
    }
    keychainFacts.insert(QStringLiteral("credentials_readable"), credentialsProblem.isEmpty());
    keychainFacts.insert(QStringLiteral("credentials_stored"), findings.credentials.has_value());
    if (!credentialsProblem.isEmpty())
        findings.checks << DoctorCheck::problem(
            QStringLiteral("keychain"),
            backendText + QStringLiteral("; device credentials cannot be read: ") + credentialsProblem, keychainFacts);
    else
        findings.checks << DoctorCheck::pass(QStringLiteral("keychain"),
                                             backendText
                                                 + (findings.credentials
                                                        ? QStringLiteral("; device credentials readable")
                                                        : QStringLiteral("; no device credentials stored")),
                                             keychainFacts);

    std::optional<PendingClaimState> claim;
    QString claimProblem;
    try {
        claim = store.loadPendingClaim();
    } catch (const DecodingError &) {
        claimProblem = QStringLiteral("the stored pending claim does not decode");
    } catch (const IdentityError &error) {
        claimProblem = error.localizedDescription();
    }
    QJsonObject enrollment{{QStringLiteral("enrolled"), findings.credentials.has_value()}};
    QString claimText;
    if (claim) {
        const QString since = QDateTime::fromSecsSinceEpoch(qint64(claim->createdAt), Qt::UTC).toString(Qt::ISODate);
        enrollment.insert(QStringLiteral("pending_claim"),
                          QJsonObject{{QStringLiteral("claim_id"), claim->claimID},
                                      {QStringLiteral("api_base_url"), claim->apiBaseURL},
                                      {QStringLiteral("created_at"), since}});
        claimText = QStringLiteral("; a claim waits for approval (claim %1 at %2, since %3)")
                        .arg(claim->claimID, claim->apiBaseURL, since);
    } else if (!claimProblem.isEmpty()) {
        claimText = QStringLiteral("; the pending claim cannot be read: ") + claimProblem;
    }
    if (findings.credentials) {
        const DeviceCredentials &c = *findings.credentials;
        enrollment.insert(QStringLiteral("device_id"), c.deviceID);
        enrollment.insert(QStringLiteral("org_id"), c.orgID);
        enrollment.insert(QStringLiteral("project_id"), c.projectID);
        enrollment.insert(QStringLiteral("api_base_url"), c.apiBaseURL);
        const QString text = QStringLiteral("device %1, org %2, project %3, service %4")
                                 .arg(c.deviceID, c.orgID, c.projectID, c.apiBaseURL)
                             + claimText;
        findings.checks << (claimProblem.isEmpty()
                                ? DoctorCheck::pass(QStringLiteral("enrollment"), text, enrollment)
                                : DoctorCheck::problem(QStringLiteral("enrollment"), text, enrollment));
    } else {
        findings.checks << DoctorCheck::problem(QStringLiteral("enrollment"),
                                                (credentialsProblem.isEmpty()
                                                     ? QStringLiteral("not enrolled")
                                                     : QStringLiteral("unknown: the credentials cannot be read"))
                                                    + claimText,
                                                enrollment);
    }

    const DeviceEnrollmentAgent agent(IdentityPorts{keychain.keychain, std::move(hardwareKey),
                                                    std::move(hardwareIdentity), std::move(postureProbes)});
    findings.checks << checkDeviceKey(agent);
    return findings;
}

DoctorCheck checkJournal(const QString &directory)
{
    const QString name = QStringLiteral("journal");
    QJsonObject facts{{QStringLiteral("directory"), directory}};
    const QByteArray path = QFile::encodeName(directory);
    const posix::UniqueFd dir(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.isValid()) {
        if (errno == ENOENT)
            return DoctorCheck::pass(
                name, directory + QStringLiteral(": not created yet (the agent makes it when it starts)"), facts);
        return DoctorCheck::problem(
            name,
            QStringLiteral("%1: %2").arg(directory, errno == ELOOP || errno == ENOTDIR
                                                        ? QStringLiteral("is a symbolic link or not a directory")
                                                        : posix::errorText(errno)),
            facts);
    }
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0)
        return DoctorCheck::problem(name, QStringLiteral("%1: %2").arg(directory, posix::errorText(errno)), facts);
    facts.insert(QStringLiteral("directory_mode"), octalMode(st.st_mode));
    if (st.st_uid != ::getuid())
        return DoctorCheck::problem(name, directory + QStringLiteral(" is owned by another user"), facts);
    if ((st.st_mode & 077) != 0)
        return DoctorCheck::problem(name,
                                    QStringLiteral("%1 is open to other users (mode %2); the journal refuses it")
                                        .arg(directory, octalMode(st.st_mode)),
                                    facts);
    if (::faccessat(dir.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return DoctorCheck::problem(
            name, QStringLiteral("%1 is not writable: %2").arg(directory, posix::errorText(errno)), facts);

    const QString filePath = directory + QLatin1Char('/') + QLatin1String(CommandJournal::kFileName);
    facts.insert(QStringLiteral("path"), filePath);
    const posix::OpenResult file = posix::openOwnFileAt(dir.get(), QLatin1String(CommandJournal::kFileName), O_RDONLY,
                                                        posix::ModeRule::requirePrivate, filePath);
    if (!file.ok()) {
        if (file.error == ENOENT)
            return DoctorCheck::pass(name, filePath + QStringLiteral(": private and writable, no records yet"), facts);
        return DoctorCheck::problem(name, file.description, facts);
    }
    if (::faccessat(dir.get(), CommandJournal::kFileName, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return DoctorCheck::problem(
            name, QStringLiteral("%1 is not writable: %2").arg(filePath, posix::errorText(errno)), facts);
    QByteArray bytes;
    if (!posix::readAll(file.fd.get(), kMaxJournalBytes, &bytes))
        return DoctorCheck::problem(name, QStringLiteral("cannot read %1: %2").arg(filePath, posix::errorText(errno)),
                                    facts);

    const ParsedCommandJournal parsed = parseCommandJournal(bytes);
    qsizetype waiting = 0;
    for (const JournalEntry &entry : parsed.entries) {
        if (entry.outcome && !entry.settled)
            ++waiting;
    }
    facts.insert(QStringLiteral("records"), qint64(parsed.entries.size()));
    facts.insert(QStringLiteral("outcomes_waiting"), qint64(waiting));
    facts.insert(QStringLiteral("damaged_lines"), parsed.damagedLines);
    const QString text = QStringLiteral("%1: private and writable; %2 record(s), %3 outcome(s) waiting to be sent")
                             .arg(filePath)
                             .arg(parsed.entries.size())
                             .arg(waiting);
    if (parsed.damagedLines > 0)
        return DoctorCheck::problem(name, text + QStringLiteral("; %1 damaged line(s)").arg(parsed.damagedLines),
                                    facts);
    return DoctorCheck::pass(name, text, facts);
}

DoctorCheck checkRunningAgent(const QString &lockPath)
{
    const QString name = QStringLiteral("agent");
    QJsonObject facts{{QStringLiteral("lock"), lockPath}};
    // Read-only and never locked by this process, so closing it drops nothing.
    const posix::UniqueFd fd(
        ::open(QFile::encodeName(lockPath).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.isValid()) {
        if (errno == ENOENT)
            return DoctorCheck::pass(name, QStringLiteral("not running"), facts);
        return DoctorCheck::problem(name, QStringLiteral("%1: %2").arg(lockPath, posix::errorText(errno)), facts);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid())
        return DoctorCheck::problem(name, lockPath + QStringLiteral(" is not a lock file of this user's"), facts);
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    if (::fcntl(fd.get(), F_GETLK, &query) != 0)
        return DoctorCheck::problem(name, QStringLiteral("cannot query %1: %2").arg(lockPath, posix::errorText(errno)),
                                    facts);
    if (query.l_type == F_UNLCK)
        return DoctorCheck::pass(name, QStringLiteral("not running"), facts);
    facts.insert(QStringLiteral("pid"), qint64(query.l_pid));
    return DoctorCheck::pass(name, QStringLiteral("running, pid %1").arg(query.l_pid), facts);
}

DoctorCheck checkDesktop()
{
    const QString name = QStringLiteral("desktop");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return DoctorCheck::problem(name, QStringLiteral("no session bus: no tray icon and no notifications"));
    const auto owned = [&bus](const QString &service) -> std::optional<bool> {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
        call << service;
        const QDBusMessage reply = bus.call(call, QDBus::Block, kBusTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return std::nullopt;
        return reply.arguments().constFirst().toBool();
    };
    const std::optional<bool> tray = owned(QStringLiteral("org.kde.StatusNotifierWatcher"));
    const std::optional<bool> notifications = owned(QStringLiteral("org.freedesktop.Notifications"));
    const QJsonObject facts{{QStringLiteral("tray_host"), tray.value_or(false)},
                            {QStringLiteral("notification_server"), notifications.value_or(false)}};
    const auto say = [](const std::optional<bool> &present, const QString &what) {
        return !present ? what + QStringLiteral(" unknown (the bus did not answer)")
                        : (*present ? what + QStringLiteral(" present") : QStringLiteral("no ") + what);
    };
    const QString text = say(tray, QStringLiteral("tray host (org.kde.StatusNotifierWatcher)")) + QStringLiteral(", ")
                         + say(notifications, QStringLiteral("notification server (org.freedesktop.Notifications)"));
    return tray.value_or(false) && notifications.value_or(false) ? DoctorCheck::pass(name, text, facts)
                                                                 : DoctorCheck::problem(name, text, facts);
}

ClientFindings checkClients(const Ports &ports)
{
    const AgentInstanceScanner scanner(ports.workspace, ports.processTable, ports.codeSigning);
    ClientFindings findings;
    QMap<QString, int> byProduct;
    for (const DetectedAgentInstance &instance : scanner.reconcile({})) {
        findings.reports << instance.report;
        QString label = instance.report.product;
        for (const AllowList::ProductEntry &product : AllowList::products()) {
            if (product.key == instance.report.product && product.kind == instance.report.kind)
                label = product.label;
        }
        ++byProduct[label];
    }
    QStringList parts;
    QJsonObject facts;
    for (auto it = byProduct.cbegin(); it != byProduct.cend(); ++it) {
        parts << QStringLiteral("%1 (%2)").arg(it.key()).arg(it.value());
        facts.insert(it.key(), it.value());
    }
    findings.check =
        DoctorCheck::pass(QStringLiteral("clients"),
                          parts.isEmpty() ? QStringLiteral("no verified agent client running")
                                          : QStringLiteral("verified and running: ") + parts.join(QStringLiteral(", ")),
                          QJsonObject{{QStringLiteral("running"), facts}});
    return findings;
}

}  // namespace mornix::doctor
