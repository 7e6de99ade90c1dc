#pragma once

#include <QString>

#include <optional>

namespace mornix {

// The machine's hardware identity. Thread: any; each call reads the system afresh.
class HardwareIdentity {
public:
    static constexpr const char *serialNumberKey = "IOPlatformSerialNumber";
    static constexpr const char *platformUUIDKey = "IOPlatformUUID";

    virtual ~HardwareIdentity() = default;
    // A platform registry value by name (serialNumberKey, platformUUIDKey); nullopt when the
    // value cannot be read or is not text.
    virtual std::optional<QString> platformValue(const QString &name) const = 0;
    // The host's user-visible name; nullopt when the system gives none.
    virtual std::optional<QString> localizedHostName() const = 0;
};

}  // namespace mornix
