#pragma once

#include "identity/device_private_key.h"
#include "platform/hardware_identity.h"
#include "platform/hardware_key.h"
#include "platform/keychain.h"
#include "platform/posture_probes.h"

#include <QString>

// Fakes for the ports that no real part can stand in for on this machine: secure hardware and
// fixed identity/posture values.

namespace mornix {

// A hardware key store that holds no key and never makes one: creation reports `createCode`
// (or, with `noErrorObject`, fails without an error object), removal reports `removeCode`.
class FakeHardwareKey : public HardwareKey {
public:
    int createCode = keychain_status::missingEntitlement;
    bool noErrorObject = false;
    int removeCode = keychain_status::missingEntitlement;
    int createCalls = 0;

    int find(const QByteArray &, std::shared_ptr<HardwareKeyHandle> &, QString &) override
    {
        return keychain_status::itemNotFound;
    }
    CreateResult create(const QByteArray &) override
    {
        ++createCalls;
        return CreateResult{nullptr, !noErrorObject, createCode, QStringLiteral("NSOSStatusErrorDomain"),
                            QStringLiteral("Key generation failed")};
    }
    int remove(const QByteArray &) override { return removeCode; }
};

class FixedHardwareIdentity : public HardwareIdentity {
public:
    std::optional<QString> serial = QStringLiteral("C02TEST123");
    std::optional<QString> uuid = QStringLiteral("01234567-89AB-CDEF-0123-456789ABCDEF");
    std::optional<QString> hostName = QStringLiteral("Büro “Mac”");
    std::optional<QString> platformValue(const QString &name) const override
    {
        return name == QLatin1String(serialNumberKey)   ? serial
               : name == QLatin1String(platformUUIDKey) ? uuid
                                                        : std::nullopt;
    }
    std::optional<QString> localizedHostName() const override { return hostName; }
};

class FixedPostureProbes : public PostureProbes {
public:
    QString integrity = QStringLiteral("System Integrity Protection status: enabled.");
    QString encryption = QStringLiteral("FileVault is Off.");
    int calls = 0;
    QString systemIntegrityStatus() override
    {
        ++calls;
        return integrity;
    }
    QString diskEncryptionStatus() override
    {
        ++calls;
        return encryption;
    }
};

}  // namespace mornix
