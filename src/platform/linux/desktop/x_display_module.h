#pragma once

// The table of the bundle's X display module (libmornix_xdisplay.so), which alone links libxcb.
#include <cstdint>

namespace mornix {

namespace x_display {

struct Functions {
    bool (*answers)(const char *display);  // a connection to the display succeeds
};

inline constexpr const char *kModulePath = "Contents/PlugIns/libmornix_xdisplay.so";
inline constexpr const char *kModuleEntry = "mornix_xdisplay_module";
inline constexpr uint32_t kModuleInterfaceVersion = 1;

}  // namespace x_display

}  // namespace mornix
