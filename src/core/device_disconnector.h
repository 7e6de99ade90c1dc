#pragma once

#include "identity/credential_records.h"
#include "identity/signed_payloads.h"

#include <QCoroTask>

namespace mornix {

// Removes this device: the signed logout at the service and the local secrets (signing key,
// credentials, pending claim). Keychain and signing-key work runs off the main thread. Failures
// throw a std::exception whose what() is a readable description (never a debug name).
// Thread: main thread (calls and resumptions).
class DeviceDisconnector {
public:
    enum class LogoutOutcome { loggedOut, alreadyGone };

    virtual ~DeviceDisconnector() = default;
    // The signed logout request (device key, serial number, hardware UUID); sends nothing.
    virtual QCoro::Task<DeviceLogoutRequestPayload> prepareLogout(DeviceCredentials credentials) = 0;
    // Sends it. AlreadyGone: the service answered 404 with "device not found".
    virtual QCoro::Task<LogoutOutcome> logout(DeviceCredentials credentials, DeviceLogoutRequestPayload request) = 0;
    virtual QCoro::Task<void> clearLocalSecrets() = 0;
};

}  // namespace mornix
