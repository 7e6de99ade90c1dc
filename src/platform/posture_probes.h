#pragma once

#include <QString>

namespace mornix {

// The security posture texts the enrollment payload reports. Each call runs its probe afresh
// and returns its raw status text (never fails: an unusable probe yields "UNKNOWN: " and the
// reason). The texts keep the vocabulary the payload parsers read: the integrity text says
// "enabled"/"disabled", the disk-encryption text "FileVault is On"/"FileVault is Off".
// Thread: any; calls block while a tool runs (bounded by a timeout).
class PostureProbes {
public:
    virtual ~PostureProbes() = default;
    virtual QString systemIntegrityStatus() = 0;  // csrutil status / Secure Boot state
    virtual QString diskEncryptionStatus() = 0;   // fdesetup status / root on dm-crypt
};

}  // namespace mornix
