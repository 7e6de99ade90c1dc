#pragma once

#include "platform/device_terms.h"

#include <memory>

namespace mornix {

class SelectingKeychain;

// The words on Linux: "this computer", and the keychain backend that holds this user's items:
// "the Secret Service keyring" or "the VeltroMornix file keychain"; "the keychain" while that is
// not known yet (before the first keychain call) or the recorded backend cannot be reached.
class LinuxDeviceTerms final : public DeviceTerms {
public:
    explicit LinuxDeviceTerms(std::shared_ptr<const SelectingKeychain> keychain);

    QString deviceNoun() const override;
    QString keychainName() const override;
    QString loginStartDetail() const override;

private:
    std::shared_ptr<const SelectingKeychain> m_keychain;
};

}  // namespace mornix
