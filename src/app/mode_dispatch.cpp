#include "app/mode_dispatch.h"

#include "api/pinned_session_failure_store.h"
#include "app/agent_instance_listing.h"
#include "app/api_adapters.h"
#include "app/async_mode.h"
#include "app/bridge_version.h"
#include "app/broker_grant_modes.h"
#include "app/control_status_mode.h"
#include "app/desktop_enrollment.h"
#include "app/device_key_modes.h"
#include "app/device_removal.h"
#include "app/doctor_mode.h"
#include "app/sign_in_mode.h"
#include "app/standard_input.h"
#include "identity/device_enrollment_agent.h"
#include "identity/keychain_store.h"
#include "platform/linux/linux_ports.h"
#include "support/config.h"
#include "app/stop_managed.h"
#include "app/update_notification_modes.h"

#include <QCoreApplication>

namespace mornix {

namespace {

std::shared_ptr<DeviceEnrollmentAgent> enrollmentAgent(const Ports &ports)
{
    return std::make_shared<DeviceEnrollmentAgent>(
        IdentityPorts{ports.keychain, ports.hardwareKey, ports.hardwareIdentity, ports.postureProbes});
}

int runDesktopUninstallDevice(Ports &ports, const Config &config, int &argc, char **argv)
{
    auto agent = enrollmentAgent(ports);
    auto removal = std::make_shared<DeviceRemoval>(
        std::make_shared<KeychainStore>(ports.keychain), agent,
        makeBridgeService(config, std::make_shared<PinnedSessionFailureStore>(), agent), ports.systemLog);
    return runAsyncMode(argc, argv, [removal]() -> QCoro::Task<int> { co_return co_await removal->runUninstall(); });
}

int runDesktopEnroll(Ports &ports, const Config &config, int &argc, char **argv)
{
    auto agent = enrollmentAgent(ports);
    DesktopEnrollment::Dependencies deps;
    deps.keychain = std::make_shared<KeychainStore>(ports.keychain);
    deps.service = makeBridgeService(config, std::make_shared<PinnedSessionFailureStore>(), agent);
    deps.notifications = ports.distributedNotifications;
    deps.defaultAPIBaseURL = config.defaultAPIBaseURL;
    deps.systemLog = ports.systemLog;
    deps.hardwareSerialNumber = [agent] { return agent->hardwareSerialNumber(); };
    deps.hardwareUUID = [agent] { return agent->hardwareUUID(); };
    deps.readInput = [](bool *readError) { return readStandardInput(32768, 0, readError); };
    return runDesktopEnrollStdin(argc, argv, std::move(deps));
}

}  // namespace

std::optional<int> dispatchCommandLineMode(const Arguments &arguments, Ports &ports, const Config &config, int &argc,
                                           char **argv)
{
    if (arguments.has(QStringLiteral("--update-notification-status")))
        return runUpdateNotificationStatus(ports, argc, argv);
    if (arguments.has(QStringLiteral("--clear-update-notification")))
        return runClearUpdateNotification(ports, argc, argv);
    // A malformed --notify-update call is ignored and dispatch goes on.
    if (const std::optional<QString> version = arguments.notifyUpdateVersion())
        return runNotifyUpdate(*version, ports, argc, argv);
    if (arguments.has(QStringLiteral("--desktop-uninstall-device")))
        return runDesktopUninstallDevice(ports, config, argc, argv);
    if (arguments.has(QStringLiteral("--broker-grant-read")))
        return runBrokerGrantRead(ports.keychain);
    if (arguments.has(QStringLiteral("--broker-grant-create-stdin"))
        || arguments.has(QStringLiteral("--broker-grant-update-stdin")))
        return runBrokerGrantWrite(arguments, ports.keychain);
    if (arguments.has(QStringLiteral("--desktop-stop-managed"))) {
        QCoreApplication app(argc, argv);
        return runDesktopStopManaged(*ports.distributedNotifications);
    }
    if (arguments.has(QStringLiteral("--desktop-bridge-version")))
        return runDesktopBridgeVersion();
    if (arguments.has(QStringLiteral("--desktop-control-status")))
        return runDesktopControlStatus(*makeOneShotWorkspace(config), *ports.bundleReader, ports.keychain);
    if (arguments.has(QStringLiteral("--desktop-enroll-stdin")))
        return runDesktopEnroll(ports, config, argc, argv);
    if (const std::optional<int> status = runDeviceKeyModeIfRequested(arguments, ports, config))
        return status;
    if (arguments.has(QStringLiteral("--print-agent-instances")))
        return runPrintAgentInstances(ports);

    // Our additions come after every switch of the list above.
    if (const std::optional<int> status = runSignInModeIfRequested(arguments, ports, config, argc, argv))
        return status;
    if (const std::optional<int> status = runHelpIfRequested(arguments))
        return status;
    if (const std::optional<int> status = runDoctorIfRequested(arguments, ports, config, argc, argv))
        return status;

    return std::nullopt;
}

}  // namespace mornix
