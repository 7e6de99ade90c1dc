#include "platform/linux/modules/platform_modules.h"

#include "platform/linux/updater/archive_module.h"
#include "platform/linux/platform_logging.h"
#include "platform/linux/keychain/secret_service_client.h"
#include "platform/linux/tpm/tpm_session.h"
#include "platform/linux/desktop/x_display_module.h"
#include "platform/system_log.h"
#include "support/config.h"

#include <QMutexLocker>

namespace mornix {

namespace {

PlatformModules::State stateOf(SealedModule::Outcome outcome)
{
    switch (outcome) {
    case SealedModule::Outcome::loaded: return PlatformModules::State::loaded;
    case SealedModule::Outcome::missing: return PlatformModules::State::missing;
    case SealedModule::Outcome::notSealed: return PlatformModules::State::notSealed;
    case SealedModule::Outcome::wrongSigner: return PlatformModules::State::wrongSigner;
    case SealedModule::Outcome::loadFailed: break;
    }
    return PlatformModules::State::loadFailed;
}

}  // namespace

PlatformModules::PlatformModules(QString bundlePath, QByteArray anchorsPEM, ModuleSigner signer,
                                 std::shared_ptr<SystemLog> systemLog)
    : m_bundlePath(std::move(bundlePath))
    , m_anchorsPEM(std::move(anchorsPEM))
    , m_signer(std::move(signer))
    , m_systemLog(std::move(systemLog))
{
}

std::shared_ptr<PlatformModules> PlatformModules::forBuild(QString bundlePath, const Config &config,
                                                           std::shared_ptr<SystemLog> systemLog)
{
    return std::make_shared<PlatformModules>(
        std::move(bundlePath), config.codeSigningAnchorsPEM,
        ModuleSigner{config.codeSigningTeamIdentifier, config.codeSigningIdentifier}, std::move(systemLog));
}

std::vector<ModuleSpec> PlatformModules::platformModules()
{
    return {
        {secret_service::kModulePath, secret_service::kModuleEntry, secret_service::kModuleInterfaceVersion,
         "the Secret Service module"},
        {tpm::kModulePath, tpm::kModuleEntry, tpm::kModuleInterfaceVersion, "the TPM module"},
        {x_display::kModulePath, x_display::kModuleEntry, x_display::kModuleInterfaceVersion, "the X display module"},
        {archive_module::kModulePath, archive_module::kModuleEntry, archive_module::kModuleInterfaceVersion,
         "the archive module"},
    };
}

QString PlatformModules::stateName(State state)
{
    switch (state) {
    case State::loaded: return QStringLiteral("loaded");
    case State::missing: return QStringLiteral("missing");
    case State::notSealed: return QStringLiteral("seal failed");
    case State::wrongSigner: return QStringLiteral("wrong signer");
    case State::loadFailed: break;
    }
    return QStringLiteral("load failed");
}

const void *PlatformModules::table(const ModuleSpec &module, QString *problem)
{
    QString fault;
    const void *table = nullptr;
    {
        // Held while loading: a second caller waits for the first load instead of repeating it.
        QMutexLocker locker(&m_mutex);
        const auto known = m_loaded.find(module.relativePath);
        if (known != m_loaded.end()) {
            *problem = known->second.status.reason;
            return known->second.table;
        }

        Loaded loaded;
        loaded.status.name = QLatin1String(module.name);
        loaded.status.relativePath = QLatin1String(module.relativePath);
        const SealedModule sealed = loadSealedModule(m_bundlePath, QString::fromLatin1(module.relativePath),
                                                     module.entrySymbol, m_anchorsPEM, m_signer);
        loaded.status.state = stateOf(sealed.outcome);
        if (!sealed.entry) {
            loaded.status.reason = QStringLiteral("%1 cannot be used: %2").arg(loaded.status.name, sealed.problem);
        } else {
            using Entry = const void *(*)(uint32_t);
            loaded.table = module.invoke ? module.invoke(sealed.entry, module.interfaceVersion)
                                         : reinterpret_cast<Entry>(sealed.entry)(module.interfaceVersion);
            if (!loaded.table) {
                loaded.status.state = State::loadFailed;
                loaded.status.reason =
                    QStringLiteral("%1 was built for another version of VeltroMornix").arg(loaded.status.name);
            }
        }
        table = loaded.table;
        fault = loaded.status.reason;
        *problem = fault;
        m_order.emplace_back(module.relativePath);
        m_loaded.emplace(module.relativePath, std::move(loaded));
    }
    if (!fault.isEmpty())
        report(fault);
    return table;
}

PlatformModules::Status PlatformModules::status(const ModuleSpec &module)
{
    QString problem;
    table(module, &problem);
    QMutexLocker locker(&m_mutex);
    return m_loaded.at(module.relativePath).status;
}

std::vector<PlatformModules::Status> PlatformModules::statuses() const
{
    QMutexLocker locker(&m_mutex);
    std::vector<Status> all;
    for (const std::string &path : m_order)
        all.push_back(m_loaded.at(path).status);
    return all;
}

void PlatformModules::report(const QString &line)
{
    // An installation or tampering fault: always an error, whatever the mode.
    if (m_systemLog)
        m_systemLog->error(line);
    else
        qCCritical(lcModules).noquote() << line;
    QMutexLocker locker(&m_reportMutex);
    m_faults.push_back(line);
    if (m_faultReport)
        m_faultReport(line);
}

void PlatformModules::setFaultReport(FaultReport report)
{
    QMutexLocker locker(&m_reportMutex);
    m_faultReport = std::move(report);
    if (m_faultReport) {
        for (const QString &line : m_faults)
            m_faultReport(line);
    }
}

}  // namespace mornix
