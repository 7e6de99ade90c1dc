#include "app/mode_dispatch.h"

#include "app/bridge_version.h"
#include "app/stop_managed.h"

#include <QCoreApplication>

std::optional<int> dispatchCommandLineMode(const Arguments &arguments, Ports &ports, int &argc, char **argv)
{
    if (arguments.has(QStringLiteral("--desktop-stop-managed"))) {
        QCoreApplication app(argc, argv);
        return runDesktopStopManaged(*ports.distributedNotifications);
    }
    if (arguments.has(QStringLiteral("--desktop-bridge-version")))
        return runDesktopBridgeVersion();

    return std::nullopt;
}
