// The update archive extractor on archives made by python's tarfile and zipfile, independent
// of libarchive: every accepted format unpacks to the same bundle, and every hostile archive is
// refused with nothing written outside the destination.
#include "platform/linux/updater/bundle_archive.h"
#include "support/bundle_modules.h"
#include "support/process_runner.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

// Builds an archive in `format` (pax, gnu, ustar, tar.gz, tar.xz, tar.bz2, zip, zip.gz) from a
// small description, one member per line:
//   dir NAME | file NAME TEXT [MODE] | zeros NAME COUNT | link NAME TARGET | hard NAME TARGET
//   | fifo NAME | chr NAME
QString makeArchive(const QString &directory, const QString &members, const QString &format)
{
    const QString path = directory + u"/archive."_s + format;
    static const QString script = QStringLiteral(R"PY(
import gzip, io, stat, sys, tarfile, zipfile
out, fmt, members = sys.argv[1], sys.argv[2], sys.argv[3]
entries = [(l.split(' ', 1)[0], l.split(' ', 1)[1].split('|')) for l in members.strip().split('\n')]
if fmt.startswith('zip'):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w', zipfile.ZIP_DEFLATED) as z:
        for kind, parts in entries:
            name = parts[0] + ('/' if kind == 'dir' else '')
            info = zipfile.ZipInfo(name)
            info.compress_type = zipfile.ZIP_DEFLATED
            data = b''
            if kind == 'dir':
                info.external_attr = ((stat.S_IFDIR | 0o755) << 16) | 0x10
            elif kind == 'file':
                info.external_attr = (stat.S_IFREG | (int(parts[2], 8) if len(parts) > 2 else 0o644)) << 16
                data = parts[1].encode()
            elif kind == 'zeros':
                info.external_attr = (stat.S_IFREG | 0o644) << 16
                data = bytes(int(parts[1]))
            elif kind == 'link':
                info.external_attr = (stat.S_IFLNK | 0o777) << 16
                data = parts[1].encode()
            elif kind == 'fifo':
                info.external_attr = (stat.S_IFIFO | 0o644) << 16
            else:
                sys.exit('a zip holds no ' + kind)
            z.writestr(info, data)
    data = buffer.getvalue()
    open(out, 'wb').write(gzip.compress(data) if fmt == 'zip.gz' else data)
else:
    layout, mode = {'pax': ('PAX', 'w'), 'gnu': ('GNU', 'w'), 'ustar': ('USTAR', 'w'), 'tar.gz': ('PAX', 'w:gz'),
                    'tar.xz': ('PAX', 'w:xz'), 'tar.bz2': ('PAX', 'w:bz2')}[fmt]
    with tarfile.open(out, mode, format=getattr(tarfile, layout + '_FORMAT')) as tar:
        for kind, parts in entries:
            info = tarfile.TarInfo(parts[0])
            data = None
            if kind == 'dir':
                info.type = tarfile.DIRTYPE; info.mode = 0o755
            elif kind == 'file':
                data = parts[1].encode(); info.mode = int(parts[2], 8) if len(parts) > 2 else 0o644
            elif kind == 'zeros':
                data = bytes(int(parts[1]))
            elif kind in ('link', 'hard'):
                info.type = tarfile.SYMTYPE if kind == 'link' else tarfile.LNKTYPE; info.linkname = parts[1]
            elif kind == 'fifo':
                info.type = tarfile.FIFOTYPE
            elif kind == 'chr':
                info.type = tarfile.CHRTYPE; info.devmajor = 1; info.devminor = 3
            if data is not None:
                info.size = len(data)
            tar.addfile(info, io.BytesIO(data) if data is not None else None)
)PY");
    const ProcessResult result = runPython(script, {path, format, members});
    if (result.exitCode != 0)
        qWarning("cannot build the archive: %s", result.standardError.constData());
    return result.exitCode == 0 ? path : QString();
}

bundle_archive::Result extractInto(const QString &archive, const QString &destination,
                                   const bundle_archive::Limits &limits = {})
{
    const int in = ::open(QFile::encodeName(archive).constData(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(QFile::encodeName(destination).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // The build's archive module, as the updater loads it.
    static const std::shared_ptr<PlatformModules> modules = buildBundleModules();
    bundle_archive::Result result = bundle_archive::extract(*modules, in, out, limits);
    ::close(in);
    ::close(out);
    return result;
}

const QStringList kAllFormats{u"pax"_s, u"gnu"_s, u"ustar"_s, u"tar.gz"_s, u"tar.xz"_s, u"zip"_s};

}  // namespace

class BundleArchiveTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void extractsEveryAcceptedFormat_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("detected");
        for (const QString &format : kAllFormats)
            QTest::newRow(qPrintable(format))
                << format << (format.startsWith(u"tar."_s) || format == "zip"_L1 ? format : u"tar"_s);
    }
    void extractsEveryAcceptedFormat()
    {
        QFETCH(QString, format);
        QFETCH(QString, detected);
        QTemporaryDir dir;
        const QString longName = u"X.app/Contents/Resources/"_s + QString(format == "ustar"_L1 ? 90 : 150, u'n');
        const QString archive = makeArchive(dir.path(),
                                            QStringLiteral("dir X.app\n"
                                                           "dir X.app/Contents\n"
                                                           "file X.app/Contents/Info.plist|plist\n"
                                                           "file X.app/Contents/MacOS/X|#!/bin/sh|4755\n"
                                                           "dir X.app/Contents/Frameworks/A/Versions/1\n"
                                                           "file X.app/Contents/Frameworks/A/Versions/1/lib|code\n"
                                                           "link X.app/Contents/Frameworks/A/Current|Versions/1\n"
                                                           "link X.app/Contents/Resources/up|../Info.plist\n"
                                                           "file X.app/Contents/Resources/open|x|0666\n"
                                                           "file %1|long|0600\n")
                                                .arg(longName),
                                            format);
        QVERIFY(!archive.isEmpty());
        const QString out = dir.filePath(u"out"_s);
        QVERIFY(QDir().mkpath(out));
        const QString workingDirectory = QDir::currentPath();
        const bundle_archive::Result result = extractInto(archive, out);
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(result.bundleName, u"X.app"_s);
        QCOMPARE(result.format, detected);
        QCOMPARE(QDir::currentPath(), workingDirectory);  // the process's own stays where it was
        QCOMPARE(readFile(out + u"/X.app/Contents/Info.plist"_s), QByteArray("plist"));
        QCOMPARE(readFile(out + u"/X.app/Contents/Frameworks/A/Current/lib"_s), QByteArray("code"));
        QCOMPARE(readFile(out + u"/X.app/Contents/Resources/up"_s), QByteArray("plist"));
        QCOMPARE(readFile(out + u'/' + longName), QByteArray("long"));
        // Set-uid dropped and execution kept; group and other write dropped; the owner may write.
        QCOMPARE(modeOf(out + u"/X.app/Contents/MacOS/X"_s), mode_t(0755));
        QCOMPARE(modeOf(out + u"/X.app/Contents/Resources/open"_s), mode_t(0644));
        QCOMPARE(modeOf(out + u'/' + longName), mode_t(0600));
        QVERIFY(bundle_archive::removeTree(AT_FDCWD, out));
        QVERIFY(!QFileInfo::exists(out));
    }

    void refusesUnsafeArchives_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("members");
        QTest::addColumn<QString>("outside");  // a path (relative to the temporary directory) that must not appear
        const QList<std::tuple<const char *, QString, QString>> cases{
            {"parent component", u"dir X.app\nfile X.app/../escaped|x"_s, u"escaped"_s},
            {"absolute", u"dir X.app\nfile /tmp/x-absolute-update|x"_s, u""_s},
            {"link out by climbing", u"dir X.app\ndir X.app/Contents\nlink X.app/Contents/out|../../.."_s, u""_s},
            {"link that climbs after descending",
             u"dir X.app\ndir X.app/Contents/sub\nlink X.app/Contents/sub/l|../sub/../../.."_s, u""_s},
            {"absolute link", u"dir X.app\nlink X.app/etc|/etc"_s, u""_s},
            {"link to the outside", u"dir X.app\nlink X.app/Contents|..\nfile X.app/Contents/escaped|x"_s,
             u"escaped"_s},
            {"write through an inner link", u"dir X.app\ndir X.app/b\nlink X.app/c|b\nfile X.app/c/f|x"_s,
             u"X.app/b/f"_s},
            {"hard link", u"dir X.app\nfile X.app/a|x\nhard X.app/b|X.app/a"_s, u""_s},
            {"fifo", u"dir X.app\nfifo X.app/pipe"_s, u""_s},
            {"device", u"dir X.app\nchr X.app/null"_s, u""_s},
            {"second top level", u"dir X.app\nfile X.app/a|x\nfile Y.app/b|y"_s, u"Y.app"_s},
            {"not a bundle", u"dir Payload\nfile Payload/a|x"_s, u""_s},
            {"duplicate file", u"dir X.app\nfile X.app/a|x\nfile X.app/a|y"_s, u""_s},
            {"bundle is a file", u"file X.app|x"_s, u""_s},
        };
        for (const QString &format : {u"pax"_s, u"zip"_s}) {
            for (const auto &[name, members, outside] : cases) {
                if (format == "zip"_L1
                    && (members.contains(u"\nhard "_s) || members.contains(u"\nchr "_s)
                        || members.contains(u"\nfifo "_s)))
                    continue;  // a zip has none of them (zipSpecialFilesAreNeverMade)
                QTest::addRow("%s: %s", qPrintable(format), name) << format << members << outside;
            }
        }
    }
    void refusesUnsafeArchives()
    {
        QFETCH(QString, format);
        QFETCH(QString, members);
        QFETCH(QString, outside);
        QTemporaryDir dir;
        const QString archive = makeArchive(dir.path(), members, format);
        QVERIFY(!archive.isEmpty());
        const QString out = dir.filePath(u"out"_s);
        QVERIFY(QDir().mkpath(out));
        const bundle_archive::Result result = extractInto(archive, out);
        QVERIFY(!result.ok);
        QVERIFY(!result.error.isEmpty());
        if (!outside.isEmpty())
            QVERIFY(!QFileInfo::exists(dir.filePath(outside)) && !QFileInfo::exists(out + u'/' + outside));
        QVERIFY(!QFileInfo::exists(u"/tmp/x-absolute-update"_s));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 (QStringList{QFileInfo(archive).fileName(), u"out"_s}));
    }

    // A zip entry that claims to be a pipe is at most an empty file on disk, never a pipe.
    void zipSpecialFilesAreNeverMade()
    {
        QTemporaryDir dir;
        const QString archive = makeArchive(dir.path(), u"dir X.app\nfifo X.app/pipe"_s, u"zip"_s);
        QVERIFY(!archive.isEmpty());
        const QString out = dir.filePath(u"out"_s);
        QVERIFY(QDir().mkpath(out));
        extractInto(archive, out);
        struct stat info {};
        const QByteArray pipe = QFile::encodeName(out + u"/X.app/pipe"_s);
        QVERIFY(::lstat(pipe.constData(), &info) != 0 || (S_ISREG(info.st_mode) && info.st_size == 0));
    }

    // Only the four formats are read, whatever else libarchive knows; cut archives are refused.
    void refusesWhatIsNotAnAcceptedArchive_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("cutTo");  // bytes kept of the archive; -1: all
        QTest::newRow("bzip2 tar") << u"tar.bz2"_s << -1;
        QTest::newRow("gzip-compressed zip") << u"zip.gz"_s << -1;
        QTest::newRow("cut tar") << u"pax"_s << 1200;
        QTest::newRow("cut tar.gz") << u"tar.gz"_s << 60;
        QTest::newRow("cut tar.xz") << u"tar.xz"_s << 80;
        QTest::newRow("cut zip") << u"zip"_s << 300;
        QTest::newRow("empty file") << u"pax"_s << 0;
    }
    void refusesWhatIsNotAnAcceptedArchive()
    {
        QFETCH(QString, format);
        QFETCH(int, cutTo);
        QTemporaryDir dir;
        // Random text so that compression keeps it long enough to cut.
        QByteArray noise;
        for (int i = 0; i < 3000; ++i)
            noise.append(static_cast<char>('a' + (i * 7919 % 26)));
        const QString archive = makeArchive(
            dir.path(), u"dir X.app\nfile X.app/a|%1\nfile X.app/b|b"_s.arg(QString::fromLatin1(noise)), format);
        QVERIFY(!archive.isEmpty());
        if (cutTo >= 0) {
            const QByteArray bytes = readFile(archive);
            QVERIFY(bytes.size() > cutTo);
            QVERIFY(writeFile(archive, bytes.left(cutTo)));
        }
        const QString out = dir.filePath(u"out"_s);
        QVERIFY(QDir().mkpath(out));
        const bundle_archive::Result result = extractInto(archive, out);
        QVERIFY(!result.ok);
        QVERIFY(!result.error.isEmpty());
    }

    // Sizes count the bytes unpacked, not what a header claims: a small zip of zeros that grows
    // beyond the limit is refused.
    void limits_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("members");
        QTest::addColumn<QString>("error");
        QTest::newRow("one entry too large (zip of zeros)")
            << u"zip"_s << u"dir X.app\nzeros X.app/zeros|3000000"_s << u"an entry is too large"_s;
        QTest::newRow("all entries too large (tar.xz)")
            << u"tar.xz"_s << u"dir X.app\nzeros X.app/a|700000\nzeros X.app/b|700000\nzeros X.app/c|700000"_s
            << u"the archive is too large"_s;
        QString many = u"dir X.app"_s;
        for (int i = 0; i < 10; ++i)
            many += u"\nfile X.app/f%1|x"_s.arg(i);
        QTest::newRow("too many entries") << u"tar.gz"_s << many << u"the archive has too many entries"_s;
    }
    void limits()
    {
        QFETCH(QString, format);
        QFETCH(QString, members);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString archive = makeArchive(dir.path(), members, format);
        QVERIFY(!archive.isEmpty());
        QVERIFY(QFileInfo(archive).size() < 1000000);
        bundle_archive::Limits limits;
        limits.maxEntryBytes = 2000000;
        limits.maxTotalBytes = 2000000;
        limits.maxEntries = 8;
        QVERIFY(QDir().mkpath(dir.filePath(u"out"_s)));
        const bundle_archive::Result refused = extractInto(archive, dir.filePath(u"out"_s), limits);
        QVERIFY(!refused.ok);
        QCOMPARE(refused.error, error);
        // Within the default limits the same archive unpacks.
        QVERIFY(QDir().mkpath(dir.filePath(u"out2"_s)));
        const bundle_archive::Result accepted = extractInto(archive, dir.filePath(u"out2"_s));
        QVERIFY2(accepted.ok, qPrintable(accepted.error));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(BundleArchiveTest)
#include "tst_bundle_archive.moc"
