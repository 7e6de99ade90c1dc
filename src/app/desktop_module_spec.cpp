#include "app/desktop_module_spec.h"

#include "core/desktop_module.h"

namespace mornix {

ModuleSpec desktopModuleSpec()
{
    return ModuleSpec{kDesktopModulePath, kDesktopModuleEntry, kDesktopModuleInterfaceVersion, "the desktop module",
                      [](void *entry, uint32_t version) -> const void * {
                          return reinterpret_cast<DesktopModuleEntry>(entry)(static_cast<int>(version));
                      }};
}

}  // namespace mornix
