#include "platform/linux/linux_hardware_key.h"

#include "platform/keychain.h"

int LinuxHardwareKey::find(const QByteArray &, std::shared_ptr<HardwareKeyHandle> &key)
{
    key.reset();
    return keychain_status::missingEntitlement;
}

HardwareKey::CreateResult LinuxHardwareKey::create(const QByteArray &)
{
    CreateResult result;
    result.hasError = true;
    result.errorCode = keychain_status::missingEntitlement;
    result.errorDomain = QStringLiteral("NSOSStatusErrorDomain");
    result.errorDescription = QStringLiteral("A required entitlement isn't present.");
    return result;
}

int LinuxHardwareKey::remove(const QByteArray &)
{
    return keychain_status::missingEntitlement;
}
