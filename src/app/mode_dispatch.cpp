#include "app/mode_dispatch.h"

#include "app/agent_instance_listing.h"
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

    // Switches 10 to 12 come here, in this order.

    if (arguments.has(QStringLiteral("--print-agent-instances")))
        return runPrintAgentInstances(ports);

    return std::nullopt;
}
