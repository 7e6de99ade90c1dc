#pragma once

#include "identity/credential_records.h"

#include <QCoroTask>

// Removes this device: the signed logout at the service and the local secrets (signing key,
// credentials, pending claim). Failures throw a std::exception whose what() is a readable
// description. Thread: main thread.
class DeviceDisconnector {
public:
    enum class LogoutOutcome { LoggedOut, AlreadyGone };

    virtual ~DeviceDisconnector() = default;
    // AlreadyGone: the service answered 404 with "device not found".
    virtual QCoro::Task<LogoutOutcome> logout(DeviceCredentials credentials) = 0;
    virtual void clearLocalSecrets() = 0;
};
