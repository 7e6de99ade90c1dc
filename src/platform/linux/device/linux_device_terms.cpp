#include "platform/linux/device/linux_device_terms.h"

#include "platform/linux/keychain/selecting_keychain.h"

namespace mornix {

LinuxDeviceTerms::LinuxDeviceTerms(std::shared_ptr<const SelectingKeychain> keychain)
    : m_keychain(std::move(keychain))
{
}

QString LinuxDeviceTerms::deviceNoun() const
{
    return QStringLiteral("this computer");
}

QString LinuxDeviceTerms::loginStartDetail() const
{
    // XdgLoginItem writes the entry; the desktop session reads it when this user signs in.
    return QStringLiteral("Your desktop starts this app when you sign in, from its autostart entry.");
}

QString LinuxDeviceTerms::keychainName() const
{
    const std::optional<SelectingKeychain::Backend> backend = m_keychain ? m_keychain->backendInUse() : std::nullopt;
    if (!backend)
        return QStringLiteral("the keychain");
    return *backend == SelectingKeychain::Backend::secretService ? QStringLiteral("the Secret Service keyring")
                                                                 : QStringLiteral("the VeltroMornix file keychain");
}

}  // namespace mornix
