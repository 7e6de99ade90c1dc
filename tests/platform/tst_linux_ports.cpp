// The Linux ports on real files and processes: the workspace (running applications, stopping
// them, opening URLs), the XDG autostart entry, hardware identity and disk-encryption posture.
#include "platform/linux/device/dmi_hardware_identity.h"
#include "platform/linux/process/procfs_workspace.h"
#include "platform/linux/process/proc_fs.h"
#include "platform/linux/process/process_memory.h"
#include "platform/linux/device/sysfs_posture_probes.h"
#include "platform/linux/desktop/xdg_login_item.h"

#include "support/signed_fixtures.h"
#include "support/test_files.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

using namespace fixtures;

namespace {
void write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray rootMountinfo(const QByteArray &device, const QByteArray &fsType = "ext4",
                         const QByteArray &source = "/dev/x")
{
    return "22 1 8:1 / /boot rw - ext4 /dev/sda1 rw\n"
           "25 1 "
           + device + " / / rw,relatime shared:1 - " + fsType + " " + source + " rw\n";
}
}  // namespace

class LinuxPortsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    static std::optional<RunningApplication> find(const QList<RunningApplication> &apps, qint32 pid)
    {
        for (const RunningApplication &app : apps) {
            if (app.pid == pid)
                return app;
        }
        return std::nullopt;
    }

private Q_SLOTS:
    void registerAndUnregister();
    void execLineEscaping();
    void linksAreReplacedOrRemovedNeverFollowed();
    void statusNeverBlocks();
    void identityFromDMI();
    void identityFallsBackToMachineID();
    void hostNamePrefersPrettyName();
    void diskEncryptionFollowsTheDeviceStack();
    void diskEncryptionUnknownRoots();
    void memoryTuningLeavesTheEnvironment_data();
    void memoryTuningLeavesTheEnvironment();

    void bundleShape()
    {
        QCOMPARE(
            ProcfsWorkspace::bundlePathOfExecutable(QStringLiteral("/opt/My Apps/Claude.app/Contents/MacOS/Claude")),
            QStringLiteral("/opt/My Apps/Claude.app"));
        QVERIFY(ProcfsWorkspace::bundlePathOfExecutable(QStringLiteral("/opt/Claude.app/Contents/Resources/claude"))
                    .isEmpty());
        QVERIFY(ProcfsWorkspace::bundlePathOfExecutable(QStringLiteral("/opt/.app/Contents/MacOS/x")).isEmpty());
        QVERIFY(ProcfsWorkspace::bundlePathOfExecutable(QStringLiteral("/usr/bin/claude")).isEmpty());
    }

    void runningApplicationsAndNames()
    {
        const QString dir = m_dir.filePath(QStringLiteral("apps"));
        const QString claude = makeClaudeDesktop(dir, {});
        const QString named = makeBundle(dir, QStringLiteral("Helper Tool"), QStringLiteral("com.example.helper"), {},
                                         {QStringLiteral("Shown Name"), QStringLiteral("helper")});
        const QString anonymous = makeBundle(dir, QStringLiteral("Plain"), QStringLiteral("com.example.plain"), {});
        QVERIFY(QFile::remove(anonymous + QStringLiteral("/Contents/Info.plist")));
        RunningFixture a(bundleExecutable(claude));
        RunningFixture b(bundleExecutable(named));
        RunningFixture c(bundleExecutable(anonymous));
        RunningFixture plain(sleeperPath());
        QVERIFY(a.isRunning() && b.isRunning() && c.isRunning() && plain.isRunning());

        ProcfsWorkspace workspace;
        const QList<RunningApplication> apps = workspace.runningApplications();
        const std::optional<RunningApplication> first = find(apps, a.pid());
        QVERIFY(first);
        QCOMPARE(first->bundleIdentifier, QStringLiteral("com.anthropic.claude"));
        QCOMPARE(first->bundlePath, claude);
        QCOMPARE(first->localizedName, QStringLiteral("Claude"));
        QVERIFY(first->launchDate);
        QVERIFY(qAbs(*first->launchDate - QDateTime::currentMSecsSinceEpoch() / 1000.0) < 120);
        QCOMPARE(find(apps, b.pid())->localizedName, QStringLiteral("Shown Name"));
        QVERIFY(!find(apps, c.pid()));      // no Info.plist: not an application
        QVERIFY(!find(apps, plain.pid()));  // not in a bundle
        QCOMPARE(workspace.runningApplication(a.pid())->launchToken, first->launchToken);
        QVERIFY(!workspace.runningApplication(plain.pid()));

        const QList<RunningApplication> byID = workspace.runningApplications(QStringLiteral("com.anthropic.claude"));
        QVERIFY(find(byID, a.pid()));
        QVERIFY(!find(byID, b.pid()));
        QVERIFY(!find(workspace.runningApplications(QStringLiteral("COM.anthropic.claude")), a.pid()));
    }

    void terminateAndForce()
    {
        const QString dir = m_dir.filePath(QStringLiteral("stop"));
        const QString bundle = makeCodexApp(dir, {});
        RunningFixture graceful(bundleExecutable(bundle));
        RunningFixture stubborn(bundleExecutable(bundle), {QStringLiteral("--ignore-term")});
        ProcfsWorkspace workspace;
        const RunningApplication one = *workspace.runningApplication(graceful.pid());
        const RunningApplication two = *workspace.runningApplication(stubborn.pid());
        QVERIFY(!workspace.isTerminated(one));

        // A record of an earlier launch on the same pid reaches nothing.
        RunningApplication stale = one;
        stale.launchToken -= 1;
        QVERIFY(!workspace.terminate(stale));
        QVERIFY(workspace.isTerminated(stale));
        QVERIFY(!graceful.waitForExit(200));

        QVERIFY(workspace.terminate(one));
        QVERIFY(graceful.waitForExit(5000));
        QVERIFY(workspace.isTerminated(one));
        QVERIFY(!workspace.terminate(one));

        QVERIFY(workspace.terminate(two));
        QVERIFY(!stubborn.waitForExit(300));
        QVERIFY(workspace.forceTerminate(two));
        QVERIFY(stubborn.waitForExit(5000));
        QVERIFY(workspace.isTerminated(two));
    }

    void openCommandsFollowTheBrowserVariableForWebPagesOnly()
    {
        const QUrl page(QStringLiteral("https://x.test/a?b=c d"));
        const QString encoded = page.toString(QUrl::FullyEncoded);
        const QString browsers = QStringLiteral("firefox --new-tab %s::\"my browser\" -q");
        const QList<QStringList> expected{{QStringLiteral("firefox"), QStringLiteral("--new-tab"), encoded},
                                          {QStringLiteral("my browser"), QStringLiteral("-q"), encoded},
                                          {QStringLiteral("xdg-open"), encoded}};
        QCOMPARE(ProcfsWorkspace::openCommands(browsers, page), expected);
        // A file (the log) goes to the default handler, never to a browser command.
        const QUrl file = QUrl::fromLocalFile(QStringLiteral("/home/u/Logs/mornix.md"));
        QCOMPARE(ProcfsWorkspace::openCommands(browsers, file),
                 (QList<QStringList>{{QStringLiteral("xdg-open"), file.toString(QUrl::FullyEncoded)}}));
    }

    void openURLHandsTheURLToARealHandler()
    {
        // Stand-in handlers: the browsers for pages, an xdg-open early on PATH for files. Each
        // records what it was given; a missing first browser falls through to the next.
        QTemporaryDir bin;
        const QString record = bin.filePath(QStringLiteral("opened"));
        const auto writeHandler = [&](const QString &name) {
            QFile script(bin.filePath(name));
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write(QStringLiteral("#!/bin/sh\nprintf '%s %s\\n' %1 \"$1\" >> '%2'\n").arg(name, record).toUtf8());
            script.close();
            QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        };
        writeHandler(QStringLiteral("browser"));
        writeHandler(QStringLiteral("xdg-open"));
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + savedPath);

        ProcfsWorkspace workspace(nullptr, bin.filePath(QStringLiteral("missing")) + QLatin1Char(':')
                                               + bin.filePath(QStringLiteral("browser")));
        const QUrl page(QStringLiteral("https://x.test/help"));
        const QUrl file = QUrl::fromLocalFile(bin.filePath(QStringLiteral("log.md")));
        const bool pageHandedOver = workspace.openURL(page);
        const bool fileHandedOver = workspace.openURL(file);
        const bool invalidHandedOver = workspace.openURL(QUrl());
        qputenv("PATH", savedPath);

        QVERIFY(pageHandedOver);
        QVERIFY(fileHandedOver);
        QVERIFY(!invalidHandedOver);
        // The handlers run detached: wait for both lines.
        QTRY_COMPARE_WITH_TIMEOUT(readFile(record).count('\n'), 2, 10000);
        QStringList lines = QString::fromUtf8(readFile(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        lines.sort();
        QCOMPARE(lines, (QStringList{QStringLiteral("browser https://x.test/help"),
                                     QStringLiteral("xdg-open ") + file.toString(QUrl::FullyEncoded)}));
    }
};

void LinuxPortsTest::registerAndUnregister()
{
    QTemporaryDir config;
    XdgLoginItem item(QStringLiteral("/opt/Veltro $HOME/VeltroMornix"), config.path());
    QCOMPARE(item.status(), LoginItem::Status::notRegistered);
    QString error;
    QVERIFY2(item.registerItem(&error), qPrintable(error));
    QCOMPARE(item.status(), LoginItem::Status::enabled);
    const QByteArray entry = readFile(item.entryPath());
    QVERIFY(entry.startsWith("[Desktop Entry]\n"));
    // Quoting rule (\$), then the string rule doubles that backslash.
    QVERIFY(entry.contains("\nExec=\"/opt/Veltro \\\\$HOME/VeltroMornix\"\n"));
    QCOMPARE(modeOf(item.entryPath()), mode_t(0600));
    QVERIFY(item.registerItem(&error));  // again: replaced, still one entry
    QCOMPARE(QDir(config.path() + QStringLiteral("/autostart")).entryList(QDir::Files | QDir::Hidden).size(), 1);

    QVERIFY(writeFile(item.entryPath(), "[Desktop Entry]\nHidden=true\n"));
    QCOMPARE(item.status(), LoginItem::Status::notRegistered);
    QVERIFY(writeFile(item.entryPath(), "[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled = false\n"));
    QCOMPARE(item.status(), LoginItem::Status::notRegistered);
    // Only the main group counts.
    QVERIFY(writeFile(item.entryPath(), "[Desktop Entry]\nExec=x\n[Desktop Action quiet]\nHidden=true\n"));
    QCOMPARE(item.status(), LoginItem::Status::enabled);
    QVERIFY(item.unregisterItem(&error));
    QVERIFY(!QFileInfo::exists(item.entryPath()));
    QVERIFY(item.unregisterItem(&error));  // nothing there: fine
}

// Backslashes, quotes, percent signs and control characters in the program path.
void LinuxPortsTest::execLineEscaping()
{
    QTemporaryDir config;
    XdgLoginItem item(QStringLiteral("/opt/a\\b \"q\" `c` 100%/VeltroMornix"), config.path());
    QString error;
    QVERIFY2(item.registerItem(&error), qPrintable(error));
    // Path a\b "q" `c` 100%: quoting gives a\\b \"q\" \`c\` 100%, the string rule doubles each
    // backslash and the field-code rule doubles the percent sign.
    QVERIFY2(readFile(item.entryPath())
                 .contains("\nExec=\"/opt/a\\\\\\\\b \\\\\"q\\\\\" \\\\`c\\\\` 100%%/VeltroMornix\"\n"),
             readFile(item.entryPath()).constData());

    XdgLoginItem broken(QStringLiteral("/opt/line\nbreak/VeltroMornix"), config.path() + QStringLiteral("/other"));
    QVERIFY(!broken.registerItem(&error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(broken.status(), LoginItem::Status::notRegistered);
}

void LinuxPortsTest::linksAreReplacedOrRemovedNeverFollowed()
{
    QTemporaryDir config;
    XdgLoginItem item(QStringLiteral("/opt/x/VeltroMornix"), config.path());
    QVERIFY(QDir().mkpath(config.path() + QStringLiteral("/autostart")));
    const QString target = config.path() + QStringLiteral("/precious");
    QVERIFY(writeFile(target, "keep me"));
    QVERIFY(QFile::link(target, item.entryPath()));
    QString error;
    QVERIFY2(item.registerItem(&error), qPrintable(error));
    QCOMPARE(readFile(target), QByteArray("keep me"));
    QVERIFY(!QFileInfo(item.entryPath()).isSymLink());
    QCOMPARE(item.status(), LoginItem::Status::enabled);

    // A dangling link: its target is never created.
    QVERIFY(QFile::remove(item.entryPath()));
    const QString absent = config.path() + QStringLiteral("/absent");
    QVERIFY(QFile::link(absent, item.entryPath()));
    QVERIFY(item.registerItem(&error));
    QVERIFY(!QFileInfo::exists(absent));

    // Unregistering a linked entry removes the link only.
    QVERIFY(QFile::remove(item.entryPath()));
    QVERIFY(QFile::link(target, item.entryPath()));
    QVERIFY(item.unregisterItem(&error));
    QVERIFY(!QFileInfo(item.entryPath()).isSymLink() && !QFileInfo::exists(item.entryPath()));
    QCOMPARE(readFile(target), QByteArray("keep me"));
    QVERIFY(QFile::link(absent, item.entryPath()));
    QVERIFY(item.unregisterItem(&error));
    QVERIFY(!QFileInfo(item.entryPath()).isSymLink());
}

void LinuxPortsTest::statusNeverBlocks()
{
    QTemporaryDir config;
    XdgLoginItem item(QStringLiteral("/opt/x/VeltroMornix"), config.path());
    QVERIFY(QDir().mkpath(config.path() + QStringLiteral("/autostart")));
    QCOMPARE(::mkfifo(QFile::encodeName(item.entryPath()).constData(), 0600), 0);
    std::atomic<int> status{-1};
    QThread *reader = QThread::create([&] { status = static_cast<int>(item.status()); });
    reader->start();
    const bool finished = QTest::qWaitFor([&] { return status.load() >= 0; }, 5000);
    if (!finished) {
        // Give the blocked open its writer so the thread can end, then fail.
        const int writer = ::open(QFile::encodeName(item.entryPath()).constData(), O_WRONLY | O_NONBLOCK);
        reader->wait(5000);
        ::close(writer);
    }
    reader->wait();
    delete reader;
    QVERIFY2(finished, "the status read blocked on a FIFO");
    QCOMPARE(status.load(), static_cast<int>(LoginItem::Status::notRegistered));
}

void LinuxPortsTest::identityFromDMI()
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

void LinuxPortsTest::identityFallsBackToMachineID()
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

void LinuxPortsTest::hostNamePrefersPrettyName()
{
    QTemporaryDir dir;
    write(dir.path() + "/etc/machine-info", "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna’s Laptop\"\n");
    QCOMPARE(DmiHardwareIdentity(dir.path(), dir.path() + "/etc").localizedHostName(),
             std::optional<QString>(QStringLiteral("Anna’s Laptop")));
    QVERIFY(DmiHardwareIdentity(dir.path(), dir.path() + "/none").localizedHostName().has_value());
}

void LinuxPortsTest::diskEncryptionFollowsTheDeviceStack()
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
    QCOMPARE(
        encrypted.diskEncryptionStatus(),
        QStringLiteral("dm-crypt: root file system / is encrypted (ext4 on luks-root); FileVault is On equivalent."));

    write(proc + "/mountinfo", rootMountinfo("8:2"));
    SysfsPostureProbes plain(proc, sys);
    QCOMPARE(
        plain.diskEncryptionStatus(),
        QStringLiteral(
            "dm-crypt: root file system / is not encrypted (ext4 on block device 8:2); FileVault is Off equivalent."));
}

void LinuxPortsTest::diskEncryptionUnknownRoots()
{
    QTemporaryDir dir;
    const QString proc = dir.path() + "/proc/self";
    write(proc + "/mountinfo", rootMountinfo("0:31", "overlay", "overlay"));
    QVERIFY(SysfsPostureProbes(proc, dir.path()).diskEncryptionStatus().startsWith(QLatin1String("UNKNOWN: ")));
    QVERIFY(SysfsPostureProbes(dir.path() + "/missing", dir.path())
                .diskEncryptionStatus()
                .startsWith(QLatin1String("UNKNOWN: ")));
    // The real machine: always a truthful text, never empty.
    QVERIFY(!SysfsPostureProbes().diskEncryptionStatus().isEmpty());
    QVERIFY(!SysfsPostureProbes().systemIntegrityStatus().isEmpty());
}

// The start-up tuning sets a variable for Qt only for the moment it needs it: a child process sees
// the environment the agent was given, and a choice the user made there stands.
void LinuxPortsTest::memoryTuningLeavesTheEnvironment_data()
{
    QTest::addColumn<QByteArray>("given");  // null: not set
    QTest::newRow("not set") << QByteArray();
    QTest::newRow("JIT asked for") << QByteArray("1");
    QTest::newRow("JIT refused") << QByteArray("0");
}

void LinuxPortsTest::memoryTuningLeavesTheEnvironment()
{
    QFETCH(QByteArray, given);
    if (given.isNull())
        qunsetenv("QT_ENABLE_REGEXP_JIT");
    else
        qputenv("QT_ENABLE_REGEXP_JIT", given);
    tuneProcessMemory();
    QProcess child;
    child.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("printf %s \"${QT_ENABLE_REGEXP_JIT-unset}\"")});
    QVERIFY(child.waitForFinished());
    QCOMPARE(child.readAllStandardOutput(), given.isNull() ? QByteArray("unset") : given);
    // Patterns still match as before.
    const QRegularExpression hex(QStringLiteral("^[0-9A-F]{4}$"));
    QVERIFY(hex.match(QStringLiteral("BEEF")).hasMatch());
    QVERIFY(!hex.match(QStringLiteral("BEEFY")).hasMatch());
    qunsetenv("QT_ENABLE_REGEXP_JIT");
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(LinuxPortsTest)
#include "tst_linux_ports.moc"
