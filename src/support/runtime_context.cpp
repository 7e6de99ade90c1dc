#include "support/runtime_context.h"

namespace mornix {

QString executionModeFor(const QString &buildArchitecture, const QString &currentArchitecture)
{
    if (currentArchitecture.isEmpty() || currentArchitecture == buildArchitecture)
        return QStringLiteral("native");
    // A 32-bit build on its own 64-bit processor family runs natively.
    const bool sameFamily =
        (buildArchitecture == QLatin1String("i386") && currentArchitecture == QLatin1String("x86_64"))
        || (buildArchitecture == QLatin1String("arm") && currentArchitecture == QLatin1String("arm64"));
    return sameFamily ? QStringLiteral("native") : QStringLiteral("translated");
}

}  // namespace mornix
