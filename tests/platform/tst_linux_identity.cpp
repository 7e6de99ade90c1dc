// Hardware identity and posture on Linux, over supplied /sys, /proc and /etc trees, and the
// status-tool runner with real child processes.
#include "platform/linux/dmi_hardware_identity.h"
#include "platform/linux/sysfs_posture_probes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace mornix {

class LinuxIdentityTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void identityFromDMI();
    void identityFallsBackToMachineID();
    void hostNamePrefersPrettyName();
    void diskEncryptionFollowsTheDeviceStack();
    void diskEncryptionUnknownRoots();
};

namespace {
void write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray rootMountinfo(const QByteArray &device, const QByteArray &fsType = "ext4", const QByteArray &source = "/dev/x")
{
    return "22 1 8:1 / /boot rw - ext4 /dev/sda1 rw\n"
           "25 1 " + device + " / / rw,relatime shared:1 - " + fsType + " " + source + " rw\n";
}
}  // namespace

void LinuxIdentityTest::identityFromDMI()
{
    QTemporaryDir dir;
    write(dir.path() + "/dmi/product_serial", "PF3ABCDE\n");
    write(dir.path() + "/dmi/product_uuid", "4c4c4544-0042-3510-8052-b4c04f4d4e31\n");
    write(dir.path() + "/etc/machine-id", "0123456789abcdef0123456789abcdef\n");
    const DmiHardwareIdentity identity(dir.path() + "/dmi", dir.path() + "/etc");
    QCOMPARE(identity.platformValue(QStringLiteral("IOPlatformSerialNumber")), std::optional<QString>("PF3ABCDE"));
    QCOMPARE(identity.platformValue(QStringLiteral("IOPlatformUUID")),
             std::optional<QString>("4C4C4544-0042-3510-8052-B4C04F4D4E31"));
    QCOMPARE(identity.platformValue(QStringLiteral("Other")), std::nullopt);
}

void LinuxIdentityTest::identityFallsBackToMachineID()
{
    QTemporaryDir dir;
    // Firmware placeholders identify nothing.
    write(dir.path() + "/dmi/product_serial", "To Be Filled By O.E.M.\n");
    write(dir.path() + "/dmi/product_uuid", "00000000-0000-0000-0000-000000000000\n");
    write(dir.path() + "/etc/machine-id", "0123456789abcdef0123456789abcdef\n");
    const DmiHardwareIdentity identity(dir.path() + "/dmi", dir.path() + "/etc");
    QCOMPARE(identity.platformValue(QStringLiteral("IOPlatformSerialNumber")), std::nullopt);
    QCOMPARE(identity.platformValue(QStringLiteral("IOPlatformUUID")),
             std::optional<QString>("01234567-89AB-CDEF-0123-456789ABCDEF"));
    QCOMPARE(DmiHardwareIdentity::uuidFromMachineID(QStringLiteral("0123")), std::nullopt);
    QCOMPARE(DmiHardwareIdentity::uuidFromMachineID(QStringLiteral("g123456789abcdef0123456789abcdef")), std::nullopt);
    const DmiHardwareIdentity nothing(dir.path() + "/none", dir.path() + "/none");
    QCOMPARE(nothing.platformValue(QStringLiteral("IOPlatformUUID")), std::nullopt);
}

void LinuxIdentityTest::hostNamePrefersPrettyName()
{
    QTemporaryDir dir;
    write(dir.path() + "/etc/machine-info", "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna’s Laptop\"\n");
    QCOMPARE(DmiHardwareIdentity(dir.path(), dir.path() + "/etc").localizedHostName(),
             std::optional<QString>(QStringLiteral("Anna’s Laptop")));
    QVERIFY(DmiHardwareIdentity(dir.path(), dir.path() + "/none").localizedHostName().has_value());
}

void LinuxIdentityTest::diskEncryptionFollowsTheDeviceStack()
{
    QTemporaryDir dir;
    const QString proc = dir.path() + "/proc/self";
    const QString sys = dir.path() + "/sys/dev/block";
    // ext4 on LVM (254:1) on dm-crypt (254:0) on a partition (8:2).
    write(proc + "/mountinfo", rootMountinfo("254:1"));
    write(sys + "/254:1/dm/uuid", "LVM-abc\n");
    write(sys + "/254:1/slaves/dm-0/dev", "254:0\n");
    write(sys + "/254:0/dm/uuid", "CRYPT-LUKS2-0123-luks\n");
    write(sys + "/254:0/dm/name", "luks-root\n");
    write(sys + "/254:0/slaves/sda2/dev", "8:2\n");
    write(sys + "/8:2/dev", "8:2\n");
    SysfsPostureProbes encrypted(proc, sys);
    QCOMPARE(encrypted.diskEncryptionStatus(),
             QStringLiteral("dm-crypt: root file system / is encrypted (ext4 on luks-root); FileVault is On equivalent."));

    write(proc + "/mountinfo", rootMountinfo("8:2"));
    SysfsPostureProbes plain(proc, sys);
    QCOMPARE(plain.diskEncryptionStatus(),
             QStringLiteral("dm-crypt: root file system / is not encrypted (ext4 on block device 8:2); FileVault is Off equivalent."));
}

void LinuxIdentityTest::diskEncryptionUnknownRoots()
{
    QTemporaryDir dir;
    const QString proc = dir.path() + "/proc/self";
    write(proc + "/mountinfo", rootMountinfo("0:31", "overlay", "overlay"));
    QVERIFY(SysfsPostureProbes(proc, dir.path()).diskEncryptionStatus().startsWith(QLatin1String("UNKNOWN: ")));
    QVERIFY(SysfsPostureProbes(dir.path() + "/missing", dir.path()).diskEncryptionStatus().startsWith(QLatin1String("UNKNOWN: ")));
    // The real machine: always a truthful text, never empty.
    QVERIFY(!SysfsPostureProbes().diskEncryptionStatus().isEmpty());
    QVERIFY(!SysfsPostureProbes().systemIntegrityStatus().isEmpty());
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(LinuxIdentityTest)
#include "tst_linux_identity.moc"
