#pragma once

#include "platform/linux/platform_modules.h"
#include "support/config.h"

#include <memory>

namespace mornix {

// The modules of the build's bundle, loaded and checked against its seal as the agent does.
inline std::shared_ptr<PlatformModules> buildBundleModules()
{
    return std::make_shared<PlatformModules>(QStringLiteral(MORNIX_BUNDLE_DIR), Config::defaults().codeSigningAnchorsPEM);
}

}  // namespace mornix
