#pragma once

#include "identity/credential_records.h"

#include <QCoroTask>

#include <optional>

namespace mornix {

// Keeps the device's session usable for the poll loop: refreshes the bearer token of the stored
// credentials and polls a claim that waits for approval, completing it once approved (the new
// credentials then reach the loop through the controller state). The sign-in flows implement
// it; without it tokens are never refreshed and a pending claim only waits. Thread: main thread.
class DeviceSessionRenewal {
public:
    virtual ~DeviceSessionRenewal() = default;

    // Never throws: the credentials to use next, or nullopt (keep the current ones when not
    // forced; none obtainable when forced). force: the token expired or the service refused it.
    virtual QCoro::Task<std::optional<DeviceCredentials>> refreshOAuthIfNeeded(DeviceCredentials credentials,
                                                                               bool force) = 0;
    // A claim is waiting for approval.
    virtual bool hasPendingClaim() const = 0;
    // One status poll of the pending claim, completing an approved one. Never throws.
    virtual QCoro::Task<void> pollPendingClaim() = 0;
};

}  // namespace mornix
