#include "platform/linux/linux_ports.h"

#include "platform/linux/bundle/app_bundle.h"
#include "platform/linux/notifications/dbus_distributed_notifications.h"
#include "platform/linux/notifications/freedesktop_notifications.h"
#include "platform/linux/device/linux_device_terms.h"
#include "platform/linux/codesign/cms_code_signing.h"
#include "platform/linux/device/dmi_hardware_identity.h"
#include "platform/linux/device/sysfs_posture_probes.h"
#include "platform/linux/process/procfs_process_table.h"
#include "platform/linux/process/procfs_workspace.h"
#include "platform/linux/modules/platform_modules.h"
#include "platform/linux/bundle/plist_bundle_reader.h"
#include "platform/linux/keychain/selecting_keychain.h"
#include "platform/linux/system/settings_user_defaults.h"
#include "platform/linux/process/sock_diag_socket_owners.h"
#include "platform/linux/desktop/xdg_login_item.h"
#include "platform/linux/system/syslog_system_log.h"
#include "platform/linux/system/systemctl_service_manager.h"
#include "platform/linux/tpm/tpm_hardware_key.h"
#include "support/config.h"

namespace mornix {

Ports makeLinuxPorts(const char *argv0, const Config &config, std::shared_ptr<PlatformModules> modules,
                     std::shared_ptr<SystemLog> systemLog)
{
    Ports ports;
    ports.systemLog = systemLog ? std::move(systemLog) : std::make_shared<SyslogSystemLog>();
    auto bundle = std::make_shared<AppBundle>(AppBundle::forRunningExecutable(argv0));
    ports.bundle = bundle;
    ports.distributedNotifications = std::make_shared<DBusDistributedNotifications>();
    ports.loginItem = std::make_shared<XdgLoginItem>(bundle->executablePath());
    // The system libraries only some modes use, loaded from the bundle on first use.
    if (!modules)
        modules = PlatformModules::forBuild(bundle->bundlePath(), config, ports.systemLog);
    // Cheap constructors: nothing below touches the bus or the disk until first used.
    const RuntimeEnvironment &environment = config.environment;
    auto keychain = std::make_shared<SelectingKeychain>(
        secret_service::Client(modules), SelectingKeychain::parseBackendName(environment.keychainBackend));
    ports.keychain = keychain;
    ports.deviceTerms = std::make_shared<LinuxDeviceTerms>(keychain);
    ports.hardwareKey = std::make_shared<TpmHardwareKey>(ports.keychain, modules, environment.tpmTcti);
    ports.hardwareIdentity = std::make_shared<DmiHardwareIdentity>();
    ports.postureProbes = std::make_shared<SysfsPostureProbes>();
    ports.bundleReader = std::make_shared<PlistBundleReader>();
    // One /proc listing serves both ports within a rescan.
    const auto listing = std::make_shared<const ExecutableListing>();
    ports.processTable = std::make_shared<ProcfsProcessTable>(listing);
    ports.workspace = std::make_shared<ProcfsWorkspace>(listing, environment.browser);
    ports.codeSigning = std::make_shared<CmsCodeSigning>(config.codeSigningAnchorsPEM);
    ports.userNotifications = std::make_shared<FreedesktopNotifications>();
    ports.serviceManager = std::make_shared<SystemctlServiceManager>();
    ports.socketOwners = std::make_shared<SockDiagSocketOwners>();
    ports.userDefaults = std::make_shared<SettingsUserDefaults>();
    return ports;
}

std::shared_ptr<Workspace> makeOneShotWorkspace(const Config &config)
{
    return std::make_shared<ProcfsWorkspace>(nullptr, config.environment.browser);
}

}  // namespace mornix
