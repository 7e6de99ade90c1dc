#pragma once

#include "state.h"

#include <httplib.h>

#include <string>

namespace mornix {

namespace devservice {

struct AuthenticatedDevice {
    std::string id;
    std::string orgId;
    std::string projectId;
    std::string hardwareSerialNumber;
    std::string hardwareUUID;
    std::string publicKeyPem;
};

inline constexpr std::int64_t kTimestampWindowSeconds = 300;

// Verifies a device-authenticated request: the device's bearer token, the eight signature
// headers (both spellings equal), the timestamp window, the HMAC over the canonical request
// text and a fresh nonce. Refusals throw HttpError 401 with a JSON body.
AuthenticatedDevice authenticateDevice(State &state, const httplib::Request &req);

// Records a nonce for a scope; false when it was seen before. Forgets nonces older than
// twice the timestamp window. Call inside a transaction.
bool recordNonce(Database &db, const std::string &scope, const std::string &nonce);

// A request_timestamp text within ±300 s of now.
bool timestampInWindow(const std::string &text);

}  // namespace devservice

}  // namespace mornix
