#include "platform/linux/desktop/display_probe.h"

#include "platform/linux/modules/platform_modules.h"
#include "platform/linux/desktop/x_display_module.h"
#include "platform/posix_files.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace mornix {

namespace {

bool xDisplayAnswers(PlatformModules &modules, const QByteArray &display, QString *why)
{
    const auto *x = static_cast<const x_display::Functions *>(
        modules.table(x_display::kModulePath, x_display::kModuleEntry, x_display::kModuleInterfaceVersion,
                      "the X display module", why));
    return x && x->answers(display.constData());
}

bool waylandAnswers(const QByteArray &display, const QByteArray &runtime, QString *why)
{
    QByteArray path = display;
    if (!path.startsWith('/')) {
        if (runtime.isEmpty()) {
            *why = QStringLiteral("XDG_RUNTIME_DIR is not set");
            return false;
        }
        path = runtime + '/' + path;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= static_cast<qsizetype>(sizeof address.sun_path)) {
        *why = QStringLiteral("the socket path is too long");
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    const posix::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.isValid() || ::connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        *why = posix::errorText(errno);
        return false;
    }
    return true;
}

}  // namespace

DisplayCheck checkDisplay(PlatformModules &modules, const DisplayEnvironment &environment)
{
    DisplayCheck check;
    check.configured =
        !environment.display.isEmpty() || !environment.waylandDisplay.isEmpty() || !environment.platform.isEmpty();
    // The platform's name, without fallbacks (";") and options (":").
    QByteArray platform = environment.platform;
    for (const char separator : {';', ':'}) {
        const qsizetype at = platform.indexOf(separator);
        if (at >= 0)
            platform.truncate(at);
    }
    platform = platform.trimmed();
    if (!platform.isEmpty() && platform != "xcb" && !platform.startsWith("wayland")) {
        check.reachable = true;  // chosen explicitly: needs no display server we could check
        return check;
    }
    const QByteArray &x = environment.display;
    const QByteArray &wayland = environment.waylandDisplay;
    const bool tryX = platform == "xcb" || (platform.isEmpty() && !x.isEmpty());
    const bool tryWayland = platform.startsWith("wayland") || (platform.isEmpty() && !wayland.isEmpty());
    if (!tryX && !tryWayland) {
        check.problem = QStringLiteral("no display (DISPLAY and WAYLAND_DISPLAY are not set)");
        return check;
    }
    QStringList problems;
    if (tryWayland) {
        QString why;
        if (!wayland.isEmpty() && waylandAnswers(wayland, environment.runtimeDirectory, &why)) {
            check.reachable = true;
            return check;
        }
        problems << (wayland.isEmpty() ? QStringLiteral("WAYLAND_DISPLAY is not set")
                                       : QStringLiteral("cannot connect to the Wayland display \"%1\": %2")
                                             .arg(QString::fromLocal8Bit(wayland), why));
    }
    if (tryX) {
        QString why;
        if (!x.isEmpty() && xDisplayAnswers(modules, x, &why)) {
            check.reachable = true;
            return check;
        }
        QString problem = x.isEmpty()
                              ? QStringLiteral("DISPLAY is not set")
                              : QStringLiteral("cannot connect to the X display \"%1\"").arg(QString::fromLocal8Bit(x));
        if (!why.isEmpty())
            problem += QStringLiteral(" (%1)").arg(why);
        problems << problem;
    }
    check.problem = problems.join(QStringLiteral("; "));
    return check;
}

}  // namespace mornix
