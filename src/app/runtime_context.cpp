#include "app/runtime_context.h"

#include "platform/bundle.h"

#include <QSysInfo>

namespace mornix {

RuntimeContext currentRuntimeContext(const Bundle &bundle, const QStringList &arguments)
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
