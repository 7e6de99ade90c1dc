#pragma once

#include <QByteArray>
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

// The variables that name the window system, as the composition root read them (each empty when
// unset).
struct DisplayEnvironment {
    QByteArray display;           // DISPLAY
    QByteArray waylandDisplay;    // WAYLAND_DISPLAY
    QByteArray platform;          // QT_QPA_PLATFORM
    QByteArray runtimeDirectory;  // XDG_RUNTIME_DIR, where a relative WAYLAND_DISPLAY lives
};

DisplayCheck checkDisplay(PlatformModules &modules, const DisplayEnvironment &environment);

}  // namespace mornix
