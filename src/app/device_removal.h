#pragma once

#include "core/device_disconnector.h"

#include <memory>

namespace mornix {

class BridgeService;
class DeviceEnrollmentAgent;
class KeychainStore;
class SystemLog;

// Removes this device: the signed logout at the service, then the signing key, the
// credentials and the pending claim. Used by the controller's disconnect and by
// --desktop-uninstall-device. Thread: main thread; the signing key and the keychain are used
// on a thread of their own (startBlockingCall), so a locked keyring never freezes the caller.
class DeviceRemoval final : public DeviceDisconnector {
public:
    // systemLog: where runUninstall records why it failed; null: not logged.
    DeviceRemoval(std::shared_ptr<KeychainStore> keychain, std::shared_ptr<DeviceEnrollmentAgent> agent,
                  std::shared_ptr<BridgeService> service, std::shared_ptr<SystemLog> systemLog);

    QCoro::Task<DeviceLogoutRequestPayload> prepareLogout(DeviceCredentials credentials) override;
    QCoro::Task<LogoutOutcome> logout(DeviceCredentials credentials, DeviceLogoutRequestPayload request) override;
    QCoro::Task<void> clearLocalSecrets() override;

    // --desktop-uninstall-device: prints {"protocol_version":1,"device_removed":true} on success;
    // on failure the fixed text on standard error, and every local secret stays unless the
    // service confirmed the device is gone. Returns the exit status.
    QCoro::Task<int> runUninstall();

private:
    // Logs "device removal failed: <step>: <reason>" to the system log.
    void logFailure(const QString &step, const QString &reason) const;

    std::shared_ptr<KeychainStore> m_keychain;
    std::shared_ptr<DeviceEnrollmentAgent> m_agent;
    std::shared_ptr<BridgeService> m_service;
    std::shared_ptr<SystemLog> m_systemLog;
};

}  // namespace mornix
