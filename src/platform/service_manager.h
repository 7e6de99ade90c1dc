#pragma once

#include <QString>

namespace mornix {

// The per-user service manager (launchd, systemd --user).
// Thread: any.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    // Asks the service manager to start the job `name` (a job already running keeps running) and
    // returns without waiting for the outcome. False when the request could not be made at all.
    virtual bool start(const QString &name) = 0;
};

}  // namespace mornix
