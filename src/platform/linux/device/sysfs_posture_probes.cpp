#include "platform/linux/device/sysfs_posture_probes.h"

#include "support/child_process.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace mornix {

namespace {

QString readSmall(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(4096)).trimmed();
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
QString unescapeMountField(const QString &field)
{
    QString out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == QLatin1Char('\\') && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out += QChar(code);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

// The dm-crypt device found at or below a block device ("M:m"), following slaves; empty if none.
QString findCrypt(const QString &sysDevBlock, const QString &device, int depth)
{
    if (depth > 16)
        return {};
    const QString base = sysDevBlock + QLatin1Char('/') + device;
    if (readSmall(base + QStringLiteral("/dm/uuid")).startsWith(QLatin1String("CRYPT-"))) {
        const QString name = readSmall(base + QStringLiteral("/dm/name"));
        return name.isEmpty() ? device : name;
    }
    const QStringList slaves = QDir(base + QStringLiteral("/slaves")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &slave : slaves) {
        const QString dev = readSmall(base + QStringLiteral("/slaves/") + slave + QStringLiteral("/dev"));
        if (dev.isEmpty())
            continue;
        const QString found = findCrypt(sysDevBlock, dev, depth + 1);
        if (!found.isEmpty())
            return found;
    }
    return {};
}

}  // namespace

SysfsPostureProbes::SysfsPostureProbes(QString procSelf, QString sysDevBlock)
    : m_procSelf(std::move(procSelf))
    , m_sysDevBlock(std::move(sysDevBlock))
{
}

QString SysfsPostureProbes::systemIntegrityStatus()
{
    QString tool = QStandardPaths::findExecutable(
        QStringLiteral("mokutil"),
        {QStringLiteral("/usr/bin"), QStringLiteral("/usr/sbin"), QStringLiteral("/bin"), QStringLiteral("/sbin")});
    if (tool.isEmpty())
        tool = QStringLiteral("/usr/bin/mokutil");  // its launch error becomes the status text
    return shell(tool, {QStringLiteral("--sb-state")});
}

QString SysfsPostureProbes::diskEncryptionStatus()
{
    QFile mountinfo(m_procSelf + QStringLiteral("/mountinfo"));
    if (!mountinfo.open(QIODevice::ReadOnly))
        return QStringLiteral("UNKNOWN: ") + mountinfo.errorString();
    QString device;
    QString source;
    QString fsType;
    // The last mount on "/" is the visible one.
    for (const QByteArray &raw : mountinfo.readAll().split('\n')) {
        const QStringList fields = QString::fromUtf8(raw).split(QLatin1Char(' '));
        if (fields.size() < 7 || unescapeMountField(fields[4]) != QLatin1String("/"))
            continue;
        const qsizetype dash = fields.indexOf(QStringLiteral("-"), 6);
        device = fields[2];
        fsType = dash > 0 && dash + 1 < fields.size() ? fields[dash + 1] : QString();
        source = dash > 0 && dash + 2 < fields.size() ? unescapeMountField(fields[dash + 2]) : QString();
    }
    if (device.isEmpty())
        return QStringLiteral("UNKNOWN: no root file system in mountinfo");
    if (device.startsWith(QLatin1String("0:"))) {
        // Anonymous device numbers (btrfs, overlay): the mount source names the block device.
        struct stat st {};
        if (!source.startsWith(QLatin1Char('/')) || ::stat(QFile::encodeName(source).constData(), &st) != 0
            || !S_ISBLK(st.st_mode))
            return QStringLiteral("UNKNOWN: root file system / (%1 from %2) is not on a block device")
                .arg(fsType, source);
        device = QStringLiteral("%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
    }
    if (!QFileInfo::exists(m_sysDevBlock + QLatin1Char('/') + device))
        return QStringLiteral("UNKNOWN: block device %1 of the root file system is not in sysfs").arg(device);
    const QString crypt = findCrypt(m_sysDevBlock, device, 0);
    if (!crypt.isEmpty())
        return QStringLiteral("dm-crypt: root file system / is encrypted (%1 on %2); FileVault is On equivalent.")
            .arg(fsType, crypt);
    return QStringLiteral(
               "dm-crypt: root file system / is not encrypted (%1 on block device %2); FileVault is Off equivalent.")
        .arg(fsType, device);
}

}  // namespace mornix
