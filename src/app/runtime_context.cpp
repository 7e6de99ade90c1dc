#include "support/runtime_context.h"

#include "platform/bundle.h"

#include <QSysInfo>

namespace mornix {

QString executionModeFor(const QString &buildArchitecture, const QString &currentArchitecture)
{
    if (currentArchitecture.isEmpty() || currentArchitecture == buildArchitecture)
        return QStringLiteral("native");
    // A 32-bit build on its own 64-bit processor family runs natively.
    const bool sameFamily = (buildArchitecture == QLatin1String("i386") && currentArchitecture == QLatin1String("x86_64"))
        || (buildArchitecture == QLatin1String("arm") && currentArchitecture == QLatin1String("arm64"));
    return sameFamily ? QStringLiteral("native") : QStringLiteral("translated");
}

RuntimeContext RuntimeContext::current(const Bundle &bundle, const QStringList &arguments)
{
    RuntimeContext context;
    context.bundleID = bundle.bundleIdentifier().value_or(QStringLiteral("unknown-bundle-id"));
    context.bundlePath = bundle.bundlePath();
    context.executablePath = bundle.executablePath();
    if (context.executablePath.isEmpty())
        context.executablePath = arguments.isEmpty() ? QStringLiteral("unknown-executable-path") : arguments.first();
    context.architecture = QSysInfo::buildCpuArchitecture();
    context.executionMode = executionModeFor(context.architecture, QSysInfo::currentCpuArchitecture());
    return context;
}

}  // namespace mornix
