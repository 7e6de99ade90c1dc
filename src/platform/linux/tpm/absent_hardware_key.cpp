#include "platform/linux/tpm/absent_hardware_key.h"

#include "platform/keychain.h"

namespace mornix {

int AbsentHardwareKey::find(const QByteArray &, std::shared_ptr<HardwareKeyHandle> &key, QString &)
{
    key.reset();
    return keychain_status::missingEntitlement;
}

HardwareKey::CreateResult AbsentHardwareKey::create(const QByteArray &)
{
    CreateResult result;
    result.hasError = true;
    result.errorCode = keychain_status::missingEntitlement;
    result.errorDomain = QStringLiteral("NSOSStatusErrorDomain");
    result.errorDescription = QStringLiteral("A required entitlement isn't present.");
    return result;
}

int AbsentHardwareKey::remove(const QByteArray &)
{
    return keychain_status::missingEntitlement;
}

}  // namespace mornix
