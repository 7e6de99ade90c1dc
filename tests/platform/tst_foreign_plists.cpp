// Info.plist files of other programs are outside input: any bytes, a FIFO or a link at the path.
// Reading them must never abort, block or half-read; a crafted bundle is simply not an application.

#include "platform/linux/bundle/info_plist.h"
#include "platform/linux/process/procfs_workspace.h"
#include "platform/linux/bundle/plist_bundle_reader.h"

#include "support/process_runner.h"
#include "support/signed_fixtures.h"
#include "support/test_files.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <sys/stat.h>

namespace mornix {

using namespace fixtures;

namespace {

// Writes the crafted plists with python3's own plistlib (an independent writer), one file per
// case, into the directory given as argument.
const char kMakePlists[] = R"PY(
import plistlib, sys, os, datetime
out = sys.argv[1]
def put(name, data):
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)
base = {'CFBundleIdentifier': 'com.anthropic.claude', 'CFBundleExecutable': 'Claude', 'CFBundleName': 'Claude'}
xml = plistlib.dumps(base, fmt=plistlib.FMT_XML)
put('valid.xml', xml)
put('nul-string.xml', xml.replace(b'<string>com.anthropic.claude</string>', b'<string>com.anthropic.claude\x00x</string>'))
put('nul-cdata.xml', xml.replace(b'<string>Claude</string>', b'<string><![CDATA[Cla\x00ude]]></string>', 1))
put('nul-key.xml', xml.replace(b'<key>CFBundleName</key>', b'<key>CFBundle\x00Name</key>'))
put('entity-nul.xml', xml.replace(b'<string>Claude</string>', b'<string>Cla&#0;ude</string>', 1))
put('utf16-nul-string.bplist', plistlib.dumps(dict(base, CFBundleName='Cl\u00e5\x00ude'), fmt=plistlib.FMT_BINARY))
put('ascii-nul-string.bplist', plistlib.dumps(dict(base, CFBundleName='Cla\x00ude'), fmt=plistlib.FMT_BINARY))
put('utf16-nul-key.bplist', plistlib.dumps(dict(base, **{'CFBundle\u00e5\x00Name': 'x'}), fmt=plistlib.FMT_BINARY))
rich = dict(base, CFBundleName='Cl\u00e5ude \u2603', VeltroDesktopBridgeProtocol=1, Big=2**63 + 5, Flag=True,
            Ratio=0.25, Blob=b'\x00\x01\xff', Items=['a', 2, {'k': False}],
            When=datetime.datetime(2026, 12, 6, 10, 0, 0))
put('rich.bplist', plistlib.dumps(rich, fmt=plistlib.FMT_BINARY))
put('rich.xml', plistlib.dumps(rich, fmt=plistlib.FMT_XML))
put('array-root.xml', plistlib.dumps(['x'], fmt=plistlib.FMT_XML))
)PY";

// An unsigned bundle "Claude.app" under dir whose Info.plist is the given file, or a FIFO /
// symbolic link / oversized file when the content is one of those words.
QString craftedBundle(const QString &dir, const QString &plistSource)
{
    const QString bundle = dir + QStringLiteral("/Claude.app");
    const QString plist = bundle + QStringLiteral("/Contents/Info.plist");
    if (!QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS")))
        return {};
    if (plistSource == QLatin1String("fifo")) {
        if (::mkfifo(QFile::encodeName(plist).constData(), 0600) != 0)
            return {};
    } else if (plistSource.startsWith(QLatin1String("link:"))) {
        if (!QFile::link(plistSource.mid(5), plist))
            return {};
    } else if (plistSource == QLatin1String("huge")) {
        QFile file(plist);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(info_plist::kMaxBytes + 1))
            return {};
    } else if (!QFile::copy(plistSource, plist)) {
        return {};
    }
    const QString exe = bundle + QStringLiteral("/Contents/MacOS/Claude");
    if (!QFile::copy(sleeperPath(), exe)
        || !QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return {};
    return bundle;
}

}  // namespace

class ForeignPlistsTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_plists;
    const QStringList m_crafted{QStringLiteral("nul-string.xml"),       QStringLiteral("nul-cdata.xml"),
                                QStringLiteral("nul-key.xml"),          QStringLiteral("utf16-nul-string.bplist"),
                                QStringLiteral("utf16-nul-key.bplist"), QStringLiteral("ascii-nul-string.bplist")};

    QString plist(const QString &name) const { return m_plists + QLatin1Char('/') + name; }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_plists = m_dir.filePath(QStringLiteral("plists"));
        QVERIFY(QDir().mkpath(m_plists));
        const ProcessResult made = runPython(QString::fromLatin1(kMakePlists), {m_plists});
        QVERIFY2(made.exitCode == 0, made.standardError.constData());
    }

    // Strings or keys with NUL (XML raw, CDATA, ASCII or UTF-16 in binary), non-dictionary roots
    // and unparsable entities are refused as a whole; what python wrote reads back exactly.
    void parsing()
    {
        for (const QString &name : m_crafted)
            QVERIFY2(!info_plist::parse(readFile(plist(name))), qPrintable(name));
        QVERIFY(!info_plist::parse(readFile(plist(QStringLiteral("entity-nul.xml")))));
        QVERIFY(!info_plist::parse(readFile(plist(QStringLiteral("array-root.xml")))));
        QVERIFY(!info_plist::parse(QByteArray()));
        QVERIFY(!info_plist::parse(QByteArray("bplist00")));

        for (const char *name : {"rich.bplist", "rich.xml"}) {
            const std::optional<QVariantMap> info = info_plist::parse(readFile(plist(QLatin1String(name))));
            QVERIFY2(info, name);
            QCOMPARE(info->value(QStringLiteral("CFBundleName")).toString(), QStringLiteral("Cl\u00e5ude \u2603"));
            QCOMPARE(info->value(QStringLiteral("VeltroDesktopBridgeProtocol")), QVariant::fromValue<qint64>(1));
            QCOMPARE(info->value(QStringLiteral("Big")), QVariant::fromValue<quint64>((quint64(1) << 63) + 5));
            QCOMPARE(info->value(QStringLiteral("Flag")), QVariant(true));
            QCOMPARE(info->value(QStringLiteral("Ratio")), QVariant(0.25));
            QCOMPARE(info->value(QStringLiteral("Blob")).toByteArray(), QByteArray("\x00\x01\xff", 3));
            const QVariantList items = info->value(QStringLiteral("Items")).toList();
            QCOMPARE(items.size(), 3);
            QCOMPARE(items.at(2).toMap().value(QStringLiteral("k")), QVariant(false));
            QCOMPARE(info->value(QStringLiteral("When")).toDateTime(),
                     QDateTime(QDate(2026, 12, 6), QTime(10, 0), Qt::UTC));
        }
    }

    // Reading from disk: a FIFO or an oversized file is refused without blocking or reading it,
    // and a symbolic link at Info.plist is not followed.
    void readingFiles()
    {
        const QString dir = m_dir.filePath(QStringLiteral("files"));
        QVERIFY(QDir().mkpath(dir));
        const QString valid = plist(QStringLiteral("valid.xml"));
        QVERIFY(info_plist::read(valid));
        QCOMPARE(PlistBundleReader().infoValue(craftedBundle(dir + QStringLiteral("/ok"), valid),
                                               QStringLiteral("CFBundleIdentifier")),
                 std::optional<QVariant>(QStringLiteral("com.anthropic.claude")));
        for (const QString &kind : {QStringLiteral("fifo"), QStringLiteral("huge"), QStringLiteral("link:") + valid}) {
            const QString bundle = craftedBundle(dir + QLatin1Char('/') + QString::number(qHash(kind)), kind);
            QVERIFY(!bundle.isEmpty());
            QVERIFY2(!PlistBundleReader().infoValue(bundle, QStringLiteral("CFBundleIdentifier")), qPrintable(kind));
        }
    }

    // Among running crafted bundles (each bad plist, a FIFO, an oversized file, a link at
    // Info.plist) the workspace finds only the genuine application, and nothing blocks it.
    void craftedBundlesAreNotApplications()
    {
        const QString root = m_dir.filePath(QStringLiteral("scene"));
        const QString genuine = makeClaudeDesktop(root + QStringLiteral("/genuine"));
        QVERIFY(!genuine.isEmpty());
        std::vector<std::unique_ptr<RunningFixture>> processes;
        processes.push_back(std::make_unique<RunningFixture>(bundleExecutable(genuine)));
        QStringList sources;
        for (const QString &name : m_crafted)
            sources.append(plist(name));
        sources << QStringLiteral("fifo") << QStringLiteral("huge")
                << QStringLiteral("link:") + plist(QStringLiteral("valid.xml"));
        for (const QString &source : sources) {
            const QString bundle = craftedBundle(root + QStringLiteral("/crafted%1").arg(processes.size()), source);
            QVERIFY2(!bundle.isEmpty(), qPrintable(source));
            processes.push_back(std::make_unique<RunningFixture>(bundleExecutable(bundle)));
            QVERIFY2(processes.back()->isRunning(), qPrintable(source));
        }
        QList<qint32> applications;
        for (const RunningApplication &app : ProcfsWorkspace().runningApplications()) {
            if (app.bundlePath.startsWith(root + QLatin1Char('/')))
                applications.append(app.pid);
        }
        QCOMPARE(applications, QList<qint32>{processes.front()->pid()});
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(ForeignPlistsTest)
#include "tst_foreign_plists.moc"
