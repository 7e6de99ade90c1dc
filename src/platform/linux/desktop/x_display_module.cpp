// The X display module (libmornix_xdisplay.so): libxcb for the display check, so that only a
// start that wants windows maps it. Built with hidden symbols; only the entry is exported.
#include "platform/linux/desktop/x_display_module.h"

#include <xcb/xcb.h>

namespace mornix {
namespace x_display {
namespace {

// A real connection, authentication included.
bool answers(const char *display)
{
    xcb_connection_t *connection = xcb_connect(display, nullptr);
    const bool ok = connection && xcb_connection_has_error(connection) == 0;
    if (connection)
        xcb_disconnect(connection);
    return ok;
}

constexpr Functions kFunctions = {answers};

}  // namespace
}  // namespace x_display
}  // namespace mornix

extern "C" __attribute__((visibility("default"))) const void *mornix_xdisplay_module(uint32_t interfaceVersion)
{
    using namespace mornix::x_display;
    return interfaceVersion == kModuleInterfaceVersion ? &kFunctions : nullptr;
}
