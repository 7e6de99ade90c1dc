#pragma once

#include "identity/credential_records.h"
#include "identity/signed_payloads.h"

#include <QString>

#include <QCoroTask>

#include <stdexcept>

namespace mornix {

// The registered device as the service answered a registration.
struct BridgeRegistration {
    QString deviceID;
    QString orgID;
    QString projectID;
    QString deviceBearerToken;
    QString deviceSecret;
};

// The service answered the logout with 404 and a message containing "device not found".
class DeviceNotFound : public std::runtime_error {
public:
    DeviceNotFound()
        : std::runtime_error("device not found")
    {
    }
};

// The two service calls of the desktop bridge, each on a pinned session made for the given API
// origin. Failures throw (DeviceNotFound for the rule above, any std::exception otherwise).
// Thread: main thread.
class BridgeService {
public:
    virtual ~BridgeService() = default;
    virtual QCoro::Task<BridgeRegistration> registerDevice(QString apiBaseURL, QString bearerToken,
                                                           QString hardwareSerialNumber, QString hardwareUUID) = 0;
    virtual QCoro::Task<void> logoutDevice(DeviceCredentials credentials, DeviceLogoutRequestPayload request) = 0;
};

}  // namespace mornix
