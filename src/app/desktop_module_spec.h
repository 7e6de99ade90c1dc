#pragma once

#include "platform/linux/modules/platform_modules.h"

namespace mornix {

// The windows' module as the bundle's module loader knows it. Its initialisers hold Qt's, so it
// is loaded (and asked about) on the main thread only.
ModuleSpec desktopModuleSpec();

}  // namespace mornix
