#include "app/mode_dispatch.h"

#include "app/agent_instance_listing.h"
#include "app/bridge_version.h"

std::optional<int> dispatchCommandLineMode(const Arguments &arguments, Ports &ports, int &argc, char **argv)
{
    Q_UNUSED(ports);
    Q_UNUSED(argc);
    Q_UNUSED(argv);

    if (arguments.has(QStringLiteral("--desktop-bridge-version")))
        return runDesktopBridgeVersion();

    // Switches 10 to 12 come here, in this order.

    if (arguments.has(QStringLiteral("--print-agent-instances")))
        return runPrintAgentInstances(ports);

    return std::nullopt;
}
