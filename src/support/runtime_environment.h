#pragma once

#include <QString>

#include <optional>

namespace mornix {

// The environment variables the agent's own code acts on, read once at start by the
// composition root and handed down by value (in Config), so no collaborator reads the process
// environment itself. Variables that Qt and the system libraries read themselves (DISPLAY,
// DBUS_SESSION_BUS_ADDRESS, XDG_*) are not here.
struct RuntimeEnvironment {
    // VELTRO_MDM_ENROLLMENT_SECRET as set (not trimmed); nullopt when unset.
    std::optional<QString> mdmEnrollmentSecret;

    static RuntimeEnvironment fromProcess();
};

}  // namespace mornix
