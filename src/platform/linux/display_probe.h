#pragma once

#include <QString>

namespace mornix {

// Whether a window system answers, checked before any GUI object exists: Qt's xcb and wayland
// platforms abort the process when they cannot connect. With QT_QPA_PLATFORM naming another
// platform (offscreen, minimal, ...) that platform is trusted. X: a real connection through
// libxcb (authentication included) to $DISPLAY; Wayland: the compositor's socket.
// Thread: main thread, before the application object is created.
struct DisplayCheck {
    bool reachable = false;
    bool configured = false;  // a display was named (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM)
    QString problem;          // why not, e.g. "cannot connect to the X display \":99\""
};

DisplayCheck checkDisplay();

}  // namespace mornix
