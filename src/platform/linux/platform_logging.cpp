#include "platform/linux/platform_logging.h"

namespace mornix {

Q_LOGGING_CATEGORY(lcNotifications, "mornix.platform.notifications")
Q_LOGGING_CATEGORY(lcUserNotifications, "mornix.platform.user-notifications")
Q_LOGGING_CATEGORY(lcKeychainLock, "mornix.platform.keychain.files")
Q_LOGGING_CATEGORY(lcCodeSigning, "mornix.platform.codesigning", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSecretService, "mornix.platform.keychain.secret-service")
Q_LOGGING_CATEGORY(lcKeychainChoice, "mornix.platform.keychain")
Q_LOGGING_CATEGORY(lcTpm, "mornix.platform.tpm")
Q_LOGGING_CATEGORY(lcModules, "mornix.platform.modules")
Q_LOGGING_CATEGORY(lcMemory, "mornix.platform.memory")

}  // namespace mornix
