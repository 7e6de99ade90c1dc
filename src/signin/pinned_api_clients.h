#pragma once

#include "support/config.h"
#include "support/operational_log.h"

#include <QString>

#include <memory>

namespace mornix {

class APIClient;
class DeviceEnrollmentAgent;
class PinnedSessionFailureStore;

// Makes the sign-in flows' API clients, each on a new session pinned to its origin. Throws
// PinnedSessionError for an origin no session may be pinned to. Thread: main thread.
struct PinnedAPIClients {
    Config config;
    // Where the sessions record their TLS outcomes (read back to explain a refused connection);
    // null: not recorded.
    std::shared_ptr<PinnedSessionFailureStore> pinFailures;
    std::shared_ptr<const DeviceEnrollmentAgent> enrollmentAgent;
    OperationalLog appendLog;

    std::shared_ptr<APIClient> make(const QString &baseURL) const;
};

}  // namespace mornix
