#include "platform/linux/keychain_status_text.h"

#include "platform/keychain.h"

QString keychainStatusText(int status)
{
    switch (status) {
    case keychain_status::success: return QStringLiteral("No error.");
    case keychain_status::itemNotFound: return QStringLiteral("The specified item could not be found in the keychain.");
    case keychain_status::duplicateItem: return QStringLiteral("The specified item already exists in the keychain.");
    case keychain_status::notAvailable: return QStringLiteral("No keychain is available.");
    case keychain_status::interactionNotAllowed: return QStringLiteral("User interaction is not allowed.");
    case keychain_status::invalidItem: return QStringLiteral("The stored item is not a private file of this user.");
    case keychain_status::ioError: return QStringLiteral("I/O error.");
    case keychain_status::missingEntitlement: return QStringLiteral("A required entitlement isn't present.");
    default: return {};
    }
}
