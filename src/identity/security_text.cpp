#include "identity/security_text.h"

#include "platform/keychain.h"
#include "support/crypto.h"

#include <QStringList>

namespace mornix {

QString securityStatusMessage(int status)
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

QString securityStatusDescription(int status)
{
    const QString message = securityStatusMessage(status).trimmed();
    if (message.isEmpty())
        return QStringLiteral("OSStatus %1").arg(status);
    return QStringLiteral("OSStatus %1: %2").arg(status).arg(message);
}

QString securityErrorDescription(const IdentityError &error)
{
    QStringList parts;
    const QString description = error.localizedDescription().trimmed();
    if (!description.isEmpty())
        parts << description;
    if (error.domain() == error_domain::osStatus) {
        parts << securityStatusDescription(static_cast<int>(error.code()));
    } else {
        parts << QStringLiteral("domain=%1 code=%2").arg(error.domain()).arg(error.code());
        if (const auto underlying = error.underlyingOSStatus())
            parts << securityStatusDescription(*underlying);
    }
    parts.removeDuplicates();
    return parts.join(QStringLiteral(" | "));
}

QString hashDeviceSecret(const QString &secret)
{
    return crypto::sha256Hex(secret.toUtf8());
}

}  // namespace mornix
