#include "platform/linux/platform_modules.h"

#include "platform/linux/platform_logging.h"
#include "platform/linux/sealed_module.h"

#include <QMutexLocker>

namespace mornix {

PlatformModules::PlatformModules(QString bundlePath, QByteArray anchorsPEM)
    : m_bundlePath(std::move(bundlePath))
    , m_anchorsPEM(std::move(anchorsPEM))
{
}

const void *PlatformModules::table(const char *relativePath, const char *entrySymbol, uint32_t interfaceVersion,
                                   const char *name, QString *problem)
{
    // Held while loading: a second caller waits for the first load instead of repeating it.
    QMutexLocker locker(&m_mutex);
    const auto known = m_loaded.find(relativePath);
    if (known != m_loaded.end()) {
        *problem = known->second.problem;
        return known->second.table;
    }

    Loaded loaded;
    const SealedModule module = loadSealedModule(m_bundlePath, QString::fromLatin1(relativePath), entrySymbol, m_anchorsPEM);
    if (!module.entry) {
        loaded.problem = QStringLiteral("%1 cannot be used: %2").arg(QLatin1String(name), module.problem);
    } else {
        using Entry = const void *(*)(uint32_t);
        loaded.table = reinterpret_cast<Entry>(module.entry)(interfaceVersion);
        if (!loaded.table)
            loaded.problem = QStringLiteral("%1 was built for another version of VeltroMornix").arg(QLatin1String(name));
    }
    if (!loaded.table)
        qCWarning(lcModules).noquote() << loaded.problem;
    *problem = loaded.problem;
    m_loaded.emplace(relativePath, loaded);
    return loaded.table;
}

}  // namespace mornix
