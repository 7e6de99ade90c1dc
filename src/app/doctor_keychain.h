#pragma once

#include "platform/keychain.h"
#include "support/runtime_environment.h"

#include <QString>

#include <memory>

namespace mornix {

class PlatformModules;

// The keychain as the agent would use it, opened for reading only. The production keychain
// records its backend choice and creates the data directory on first use; the doctor must
// change nothing, so it decides the backend by the same documented rules from what is on
// disk (VELTRO_KEYCHAIN, the "keychain-backend" marker, items left in the file store, a
// Secret Service on the session bus) without writing, and reads through a view that refuses
// every write (keychain_status::notAvailable). The file store is read through descriptors
// opened without following links and checked with fstat; a missing directory reads as empty.
// A Secret Service that is only activatable is not started (that would start a keyring daemon,
// which creates its files): it is reported instead.
struct DoctorKeychain {
    QString backend;                     // "secret-service" or "file"; empty when none can be read
    QString choice;                      // how the backend was chosen, for people
    QString location;                    // the file store's directory, or the bus name
    QString problem;                     // why no keychain can be read (backend may still be named)
    std::shared_ptr<Keychain> keychain;  // read-only; null when problem is set
};

// dataDirectory: the program's data directory ($XDG_DATA_HOME/VeltroMornix), not created.
// environment: the process environment as the composition root read it (VELTRO_KEYCHAIN, where
// the session bus may be).
// Blocking (the session bus, the disk). Thread: any.
DoctorKeychain openDoctorKeychain(std::shared_ptr<PlatformModules> modules, const QString &dataDirectory,
                                  const RuntimeEnvironment &environment);

}  // namespace mornix
