#pragma once

#include "platform/hardware_identity.h"

namespace mornix {

// Serial number and UUID from DMI (/sys/class/dmi/id/product_serial, product_uuid) when
// readable; otherwise the UUID comes from /etc/machine-id (8-4-4-4-12, upper case) and the
// serial is absent. Host name: the pretty host name (/etc/machine-info PRETTY_HOSTNAME), else
// the machine host name. The roots are parameters so tests can supply their own files.
class DmiHardwareIdentity : public HardwareIdentity {
public:
    explicit DmiHardwareIdentity(QString dmiDirectory = QStringLiteral("/sys/class/dmi/id"),
                                 QString etcDirectory = QStringLiteral("/etc"));
    std::optional<QString> platformValue(const QString &name) const override;
    std::optional<QString> localizedHostName() const override;

    // "0123456789abcdef0123456789ABCDEF" -> "01234567-89AB-CDEF-0123-456789ABCDEF";
    // nullopt unless exactly 32 hex digits.
    static std::optional<QString> uuidFromMachineID(const QString &machineID);

private:
    QString m_dmi;
    QString m_etc;
};

}  // namespace mornix
