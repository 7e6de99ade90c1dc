#pragma once

#include <QLoggingCategory>

namespace mornix {

// The logging categories of the Linux implementations of the ports ("mornix.platform.*").
Q_DECLARE_LOGGING_CATEGORY(lcNotifications)      // distributed notifications over D-Bus
Q_DECLARE_LOGGING_CATEGORY(lcUserNotifications)  // user notifications (freedesktop Notifications)
Q_DECLARE_LOGGING_CATEGORY(lcKeychainLock)       // the keychain files and their locks
Q_DECLARE_LOGGING_CATEGORY(lcCodeSigning)        // code-signature verification (info and above by default)
Q_DECLARE_LOGGING_CATEGORY(lcSecretService)      // the Secret Service keychain
Q_DECLARE_LOGGING_CATEGORY(lcKeychainChoice)     // which keychain holds the items
Q_DECLARE_LOGGING_CATEGORY(lcTpm)                // the TPM device key
Q_DECLARE_LOGGING_CATEGORY(lcModules)            // the bundle's modules of system-library fronts
Q_DECLARE_LOGGING_CATEGORY(lcMemory)             // the process's idle pages given back

}  // namespace mornix
