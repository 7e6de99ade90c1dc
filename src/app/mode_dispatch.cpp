#include "app/mode_dispatch.h"

#include "app/agent_instance_listing.h"
#include "app/bridge_version.h"
#include "app/broker_grant_modes.h"
#include "app/control_status_mode.h"
#include "app/device_key_modes.h"

std::optional<int> dispatchCommandLineMode(const Arguments &arguments, Ports &ports, int &argc, char **argv)
{
    Q_UNUSED(ports);
    Q_UNUSED(argc);
    Q_UNUSED(argv);

    if (arguments.has(QStringLiteral("--broker-grant-read")))
        return runBrokerGrantRead(ports.keychain);
    if (arguments.has(QStringLiteral("--broker-grant-create-stdin"))
        || arguments.has(QStringLiteral("--broker-grant-update-stdin")))
        return runBrokerGrantWrite(arguments, ports.keychain);
    if (arguments.has(QStringLiteral("--desktop-bridge-version")))
        return runDesktopBridgeVersion();
    if (arguments.has(QStringLiteral("--desktop-control-status")))
        return runDesktopControlStatus(*ports.workspace, *ports.bundleReader, ports.keychain);
    if (const std::optional<int> status = runDeviceKeyModeIfRequested(arguments, ports))
        return status;

    if (arguments.has(QStringLiteral("--print-agent-instances")))
        return runPrintAgentInstances(ports);

    return std::nullopt;
}
