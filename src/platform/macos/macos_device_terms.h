#pragma once

#include "platform/device_terms.h"

namespace mornix {

// The words of the macOS port: the interface reads exactly as on a Mac.
class MacDeviceTerms final : public DeviceTerms {
public:
    QString deviceNoun() const override { return QStringLiteral("this Mac"); }
    QString keychainName() const override { return QStringLiteral("the macOS Keychain"); }
    QString loginStartDetail() const override
    {
        return QStringLiteral("macOS manages permission to run this app when you sign in.");
    }
};

}  // namespace mornix
