#pragma once

#include "platform/posture_probes.h"

namespace mornix {

// Integrity: the Secure Boot state from `mokutil --sb-state` ("SecureBoot enabled" /
// "SecureBoot disabled", or the tool's own explanation; "UNKNOWN: ..." when it is missing).
// Disk encryption: whether the root file system sits on a dm-crypt device (walking the device
// stack in sysfs), stated as "FileVault is On equivalent" / "FileVault is Off equivalent" so the
// payload's parser decides it. The roots are parameters so tests can supply their own trees.
class SysfsPostureProbes : public PostureProbes {
public:
    explicit SysfsPostureProbes(QString procSelf = QStringLiteral("/proc/self"),
                                QString sysDevBlock = QStringLiteral("/sys/dev/block"));
    QString systemIntegrityStatus() override;
    QString diskEncryptionStatus() override;

private:
    QString m_procSelf;
    QString m_sysDevBlock;
};

}  // namespace mornix
