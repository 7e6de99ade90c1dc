#pragma once

#include <QString>

namespace mornix {

class PlatformModules;

// Whether a window system answers, checked before any GUI object exists: Qt's xcb and wayland
// platforms abort the process when they cannot connect. With QT_QPA_PLATFORM naming another
// platform (offscreen, minimal, ...) that platform is trusted. X: a real connection through
// libxcb (authentication included, from the bundle's X display module, loaded only for an X
// display; without the module the X display counts as not answering) to $DISPLAY; Wayland: the
// compositor's socket.
// Thread: main thread, before the application object is created.
struct DisplayCheck {
    bool reachable = false;
    bool configured = false;  // a display was named (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM)
    QString problem;          // why not, e.g. "cannot connect to the X display \":99\""
};

DisplayCheck checkDisplay(PlatformModules &modules);

}  // namespace mornix
