#pragma once

#include "platform/hardware_key.h"

// No secure hardware key store is used on Linux yet: every operation reports the
// missing-entitlement condition (-34018), so callers take the software-key fallback.
class LinuxHardwareKey : public HardwareKey {
public:
    int find(const QByteArray &applicationTag, std::shared_ptr<HardwareKeyHandle> &key) override;
    CreateResult create(const QByteArray &applicationTag) override;
    int remove(const QByteArray &applicationTag) override;
};
