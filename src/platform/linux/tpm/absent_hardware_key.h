#pragma once

#include "platform/hardware_key.h"

namespace mornix {

// A machine without secure hardware: every operation reports the missing-entitlement condition
// (-34018), so callers take the software-key fallback. For tools and tests that must not touch
// a TPM; the agent itself uses TpmHardwareKey.
class AbsentHardwareKey : public HardwareKey {
public:
    int find(const QByteArray &applicationTag, std::shared_ptr<HardwareKeyHandle> &key, QString &errorText) override;
    CreateResult create(const QByteArray &applicationTag) override;
    int remove(const QByteArray &applicationTag) override;
};

}  // namespace mornix
