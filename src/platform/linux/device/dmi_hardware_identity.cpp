#include "platform/linux/device/dmi_hardware_identity.h"

#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>

namespace mornix {

namespace {

std::optional<QString> readTrimmed(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QString text = QString::fromUtf8(file.read(4096)).trimmed();
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

// Firmware fills unset DMI fields with placeholders; those identify nothing.
bool isPlaceholder(const QString &value)
{
    static const QRegularExpression placeholder(
        QStringLiteral("^(to be filled by o\\.e\\.m\\.|default string|system serial number|not specified|none|0+|"
                       "0{8}-0{4}-0{4}-0{4}-0{12}|f{8}-f{4}-f{4}-f{4}-f{12})$"),
        QRegularExpression::CaseInsensitiveOption);
    return placeholder.match(value).hasMatch();
}

}  // namespace

DmiHardwareIdentity::DmiHardwareIdentity(QString dmiDirectory, QString etcDirectory)
    : m_dmi(std::move(dmiDirectory))
    , m_etc(std::move(etcDirectory))
{
}

std::optional<QString> DmiHardwareIdentity::uuidFromMachineID(const QString &machineID)
{
    static const QRegularExpression hex32(QStringLiteral("^[0-9A-Fa-f]{32}$"));
    const QString id = machineID.trimmed();
    if (!hex32.match(id).hasMatch())
        return std::nullopt;
    const QString u = id.toUpper();
    return u.mid(0, 8) + QLatin1Char('-') + u.mid(8, 4) + QLatin1Char('-') + u.mid(12, 4) + QLatin1Char('-')
           + u.mid(16, 4) + QLatin1Char('-') + u.mid(20, 12);
}

std::optional<QString> DmiHardwareIdentity::platformValue(const QString &name) const
{
    if (name == QLatin1String(serialNumberKey)) {
        const auto serial = readTrimmed(m_dmi + QStringLiteral("/product_serial"));
        if (serial && !isPlaceholder(*serial))
            return serial;
        return std::nullopt;
    }
    if (name == QLatin1String(platformUUIDKey)) {
        const auto uuid = readTrimmed(m_dmi + QStringLiteral("/product_uuid"));
        if (uuid && !isPlaceholder(*uuid))
            return uuid->toUpper();
        if (const auto machineID = readTrimmed(m_etc + QStringLiteral("/machine-id")))
            return uuidFromMachineID(*machineID);
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<QString> DmiHardwareIdentity::localizedHostName() const
{
    QFile info(m_etc + QStringLiteral("/machine-info"));
    if (info.open(QIODevice::ReadOnly)) {
        const QStringList lines = QString::fromUtf8(info.readAll()).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            if (!line.startsWith(QLatin1String("PRETTY_HOSTNAME=")))
                continue;
            QString value = line.mid(16).trimmed();
            if (value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\''))
                && value.back() == value.front())
                value = value.mid(1, value.size() - 2);
            if (!value.isEmpty())
                return value;
        }
    }
    const QString host = QSysInfo::machineHostName().trimmed();
    if (host.isEmpty())
        return std::nullopt;
    return host;
}

}  // namespace mornix
