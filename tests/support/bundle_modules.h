#pragma once

#include "platform/linux/modules/platform_modules.h"
#include "support/config.h"

#include <memory>

namespace mornix {

// The modules of the build's bundle, loaded and checked against its seal and signer as the
// agent does (faults go to the lcModules logging category).
inline std::shared_ptr<PlatformModules> buildBundleModules()
{
    return PlatformModules::forBuild(QStringLiteral(MORNIX_BUNDLE_DIR), Config::defaults(), nullptr);
}

}  // namespace mornix
