#pragma once

#include "database.h"

#include <QJsonObject>

#include <optional>
#include <string>

namespace mornix {

namespace devservice {

struct NewDevice {
    std::string orgId;
    std::string projectId;
    std::string deviceName;
    std::string hardwareSerialNumber;
    std::string hardwareUUID;
    std::string publicKeyPem;
    std::string authKind;
    std::optional<std::string> claimId;
};

struct DeviceCredentialsIssued {
    std::string deviceId;
    std::string bearerToken;
    std::string deviceSecret;
};

// Creates a device with a fresh bearer token and secret; only their hashes are stored (the
// hashed secret is the HMAC key of request signatures).
DeviceCredentialsIssued createDevice(Database &db, const NewDevice &device);
// Replaces a device's bearer token and secret (claim bootstrap delivery).
DeviceCredentialsIssued rotateDeviceCredentials(Database &db, const std::string &deviceId);
// The RegisteredDevice record {id, org_id, project_id, device_name}; nullopt when unknown.
std::optional<QJsonObject> registeredDevice(Database &db, const std::string &deviceId);
// Removes a device with its queued commands; a claim bound to it becomes "REVOKED".
void removeDevice(Database &db, const std::string &deviceId);

// The DeviceClaimRecord of a claim; nullopt when unknown.
std::optional<QJsonObject> claimRecord(Database &db, const std::string &claimId);

}  // namespace devservice

}  // namespace mornix
