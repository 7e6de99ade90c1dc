#pragma once

#include "app/bridge_service.h"
#include "support/operational_log.h"
#include "commands/device_service_client.h"
#include "support/config.h"

#include <functional>
#include <memory>

namespace mornix {

class DeviceEnrollmentAgent;
class PinnedSessionFailureStore;

// pinFailures: the process's store of TLS check outcomes (owned by the composition root), given to
// every pinned session made here.
//
// The device's service calls over the API client: a refused credential (401/403) becomes
// ServiceUnauthorized; every other failure a std::runtime_error with a readable description.
std::function<std::shared_ptr<DeviceServiceClient>(const QString &apiBaseURL)> makeServiceClientFactory(
    Config config, std::shared_ptr<PinnedSessionFailureStore> pinFailures, OperationalLog operationalLog);

// The desktop bridge's registration and logout over the API client, each on a pinned session
// for the given origin. A logout answered 404 with "device not found" raises DeviceNotFound.
std::shared_ptr<BridgeService> makeBridgeService(Config config, std::shared_ptr<PinnedSessionFailureStore> pinFailures,
                                                 std::shared_ptr<const DeviceEnrollmentAgent> agent);

}  // namespace mornix
