// The updater: the pieces an update passes through before it is installed (the appcast, the
// Ed25519 signature cross-checked with the openssl command line, and the swap; the extractor
// has tests of its own); the appcast updater
// against the reference service over real TLS (its own port): what it installs, and everything
// it refuses, with the installed bundle checked after each case. The updater mode has tests of
// its own (tst_updater_mode).
#include "platform/linux/updater/appcast.h"
#include "platform/linux/updater/appcast_updater.h"
#include "platform/linux/updater/bundle_installer.h"
#include "platform/linux/codesign/cms_code_signing.h"
#include "platform/linux/updater/ed25519.h"
#include "platform/linux/bundle/plist_bundle_reader.h"
#include "support/bundle_modules.h"
#include "support/config.h"
#include "support/process_runner.h"
#include "support/recording_system_log.h"
#include "support/test_files.h"
#include "update_fixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace mornix {

using namespace update_fixtures;

namespace {

const QString kSignature = QString::fromLatin1(QByteArray(64, '\x07').toBase64());

QByteArray feed(const QString &items)
{
    return QStringLiteral(
               "<?xml version=\"1.0\"?><rss version=\"2.0\" "
               "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>%1</channel></rss>")
        .arg(items)
        .toUtf8();
}

// Builds a tar with python's tarfile from a small description, one member per line:
//   dir NAME | file NAME TEXT [MODE] | link NAME TARGET | hard NAME TARGET | fifo NAME
QString makeTar(const QString &directory, const QString &members, const QString &format = u"PAX"_s)
{
    const QString path = directory + u"/archive.tar"_s;
    static const QString script = QStringLiteral(R"PY(
import io, sys, tarfile
out, fmt, members = sys.argv[1], sys.argv[2], sys.argv[3]
with tarfile.open(out, 'w', format=getattr(tarfile, fmt + '_FORMAT')) as tar:
    for line in members.strip().split('\n'):
        kind, rest = line.split(' ', 1)
        parts = rest.split('|')
        info = tarfile.TarInfo(parts[0])
        if kind == 'dir':
            info.type = tarfile.DIRTYPE; info.mode = 0o755; tar.addfile(info)
        elif kind == 'file':
            data = parts[1].encode()
            info.size = len(data); info.mode = int(parts[2], 8) if len(parts) > 2 else 0o644
            tar.addfile(info, io.BytesIO(data))
        elif kind in ('link', 'hard'):
            info.type = tarfile.SYMTYPE if kind == 'link' else tarfile.LNKTYPE
            info.linkname = parts[1]; tar.addfile(info)
        elif kind == 'fifo':
            info.type = tarfile.FIFOTYPE; tar.addfile(info)
)PY");
    const ProcessResult result = runPython(script, {path, format, members});
    return result.exitCode == 0 ? path : QString();
}

}  // namespace

class UpdaterTest : public QObject {
    Q_OBJECT

    ReleaseService m_service;
    QTemporaryDir m_dir;
    QString m_key;
    std::shared_ptr<ScriptedPrompt> m_prompt;
    std::shared_ptr<RecordingSystemLog> m_log;
    int m_directories = 0;
    QString m_bundle;  // the installed Veltro Desktop of the current case
    QStringList m_steps;
    std::unique_ptr<AppcastUpdater> m_updater;

    bool logged(const QString &needle) const
    {
        const QStringList messages = m_log->messages();
        return std::any_of(messages.begin(), messages.end(), [&](const QString &m) { return m.contains(needle); });
    }
    QString newDirectory()
    {
        const QString directory = m_dir.filePath(QString::number(++m_directories));
        QDir().mkpath(directory);
        return directory;
    }
    // The feed offers only `version`: an archive of `release` (its version by default).
    bool publishOnly(const QString &version, const QStringList &publishOptions = {}, HostOptions release = {})
    {
        if (release.version == HostOptions().version)
            release.version = version;
        const QString archive = makeReleaseArchive(newDirectory(), release);
        return m_service.admin({"release", "clear"}).exitCode == 0 && !archive.isEmpty()
               && m_service.publish(version, archive, publishOptions);
    }
    // Installs Veltro Desktop `version` and starts an updater for it on the feed.
    bool installAndStart(const QString &version, const QString &feedURL)
    {
        HostOptions options;
        options.version = version;
        m_bundle = makeDesktopBundle(newDirectory(), options);
        m_steps.clear();
        m_prompt->offers.clear();
        m_prompt->answer = true;
        m_updater = m_bundle.isEmpty() ? nullptr : startUpdater(m_bundle, feedURL, m_key, m_log, m_prompt, &m_steps);
        return m_updater != nullptr;
    }
    AppcastUpdater::Outcome checkOnce() { return update_fixtures::checkOnce(*m_updater); }
    // The installed bundle is the one of version `version`, intact, with nothing left beside it.
    void verifyInstalled(const QString &version)
    {
        QCOMPARE(bundleVersion(m_bundle), version);
        QVERIFY(signatureValid(m_bundle));
        QVERIFY(!QFileInfo::exists(BundleInstaller(m_bundle, nullptr).stagingPath()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_service.start());
        m_key = m_service.publicKey();
        m_log = std::make_shared<RecordingSystemLog>();
        m_prompt = std::make_shared<ScriptedPrompt>();
    }

    void installsANewerSignedReleaseOnce()
    {
        HostOptions older;
        older.version = u"1.5"_s;
        QVERIFY(publishOnly(u"2.0"_s, {"--short-version", "2.0.0"}));
        QVERIFY(m_service.publish(u"1.5"_s, makeReleaseArchive(newDirectory(), older)));
        QVERIFY(installAndStart(u"1.0"_s, m_service.feedURL()));

        QCOMPARE(checkOnce(), AppcastUpdater::Outcome::installed);
        QCOMPARE(m_prompt->offers.size(), 1);
        QCOMPARE(m_prompt->offers[0].displayVersion, u"2.0.0"_s);
        QCOMPARE(m_prompt->offers[0].currentDisplayVersion, u"1.0"_s);
        verifyInstalled(u"2.0"_s);
        QCOMPARE(m_steps, (QStringList{"session-started", "downloaded", "verified", "unpacking", "unpacked", "swapped",
                                       "cleaned"}));
        QVERIFY(!m_updater->sessionInProgress());

        // Installed: the same feed offers nothing any more.
        QCOMPARE(checkOnce(), AppcastUpdater::Outcome::upToDate);
        QCOMPARE(m_prompt->offers.size(), 1);
    }

    // Nothing is downloaded for a version that is not newer, nor when the answer is "Later".
    void installsNothingUnlessNewerAndAccepted_data()
    {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<int>("outcome");
        QTest::newRow("newer installed") << u"3.0"_s << true << int(AppcastUpdater::Outcome::upToDate);
        QTest::newRow("same installed") << u"2.9.9"_s << true << int(AppcastUpdater::Outcome::upToDate);
        QTest::newRow("answered later") << u"1.0"_s << false << int(AppcastUpdater::Outcome::postponed);
    }
    void installsNothingUnlessNewerAndAccepted()
    {
        QFETCH(QString, installed);
        QFETCH(bool, accept);
        QFETCH(int, outcome);
        QVERIFY(publishOnly(u"2.9.9"_s));
        QVERIFY(installAndStart(installed, m_service.feedURL()));
        m_prompt->answer = accept;
        QCOMPARE(int(checkOnce()), outcome);
        QCOMPARE(m_prompt->offers.size(), accept ? 0 : 1);
        QVERIFY(m_steps.isEmpty());
        verifyInstalled(installed);
    }

    // Bad signatures and cut archives are refused before unpacking; an unpacked bundle that is not
    // the offered one is refused before the swap. Either way the installed bundle stays.
    void refusesWhatIsNotTheOfferedRelease_data()
    {
        QTest::addColumn<QStringList>("publishOptions");
        QTest::addColumn<QString>("bundleVersion");
        QTest::addColumn<QString>("team");
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<bool>("unpacked");
        const QString own = fixtures::kOwnTeam;
        QTest::newRow("bad signature") << QStringList{"--bad-signature"} << u"6.0"_s << own << kDesktopIdentifier
                                       << false;
        QTest::newRow("truncated") << QStringList{"--truncate", "1000"} << u"6.0"_s << own << kDesktopIdentifier
                                   << false;
        QTest::newRow("older bundle under a newer version")
            << QStringList() << u"1.5"_s << own << kDesktopIdentifier << true;
        QTest::newRow("another team") << QStringList() << u"6.0"_s << u"2DC432GLL2"_s << kDesktopIdentifier << true;
        QTest::newRow("unsigned") << QStringList() << u"6.0"_s << u""_s << kDesktopIdentifier << true;
        QTest::newRow("another application") << QStringList() << u"6.0"_s << own << u"ai.veltro.other"_s << true;
    }
    void refusesWhatIsNotTheOfferedRelease()
    {
        QFETCH(QStringList, publishOptions);
        QFETCH(QString, bundleVersion);
        QFETCH(QString, team);
        QFETCH(QString, identifier);
        QFETCH(bool, unpacked);
        HostOptions release;
        release.version = bundleVersion;
        release.team = team;
        release.identifier = identifier;
        QVERIFY(publishOnly(u"6.0"_s, publishOptions, release));
        QVERIFY(installAndStart(u"1.0"_s, m_service.feedURL()));
        QCOMPARE(checkOnce(), AppcastUpdater::Outcome::refused);
        QCOMPARE(m_steps.contains(u"verified"_s), unpacked);
        QCOMPARE(m_steps.contains(u"unpacked"_s), unpacked);
        QVERIFY(!m_steps.contains(u"swapped"_s));
        verifyInstalled(u"1.0"_s);
        if (!unpacked)
            QVERIFY(logged(u"Veltro Desktop update 6.0 refused: "_s));
        QVERIFY(m_updater->canCheckForUpdates());
    }

    void refusesPlainHTTP()
    {
        QVERIFY(publishOnly(u"8.0"_s));
        // The feed answers with a redirect to http: the check fails without asking.
        QVERIFY(m_service.admin({"release", "redirect-http", "on"}).exitCode == 0);
        QVERIFY(installAndStart(u"1.0"_s, m_service.feedURL()));
        QCOMPARE(checkOnce(), AppcastUpdater::Outcome::failed);
        QVERIFY(m_prompt->offers.isEmpty());
        QVERIFY(logged(u"refused a redirect to a non-HTTPS address"_s));
        QVERIFY(m_service.admin({"release", "redirect-http", "off"}).exitCode == 0);

        // An http feed address is never used.
        QVERIFY(!installAndStart(u"1.0"_s, m_service.feedURL().replace(u"https://"_s, u"http://"_s)));
        QVERIFY(!m_bundle.isEmpty());
        QVERIFY(!m_updater);  // it did not start
    }

    void appcastItemsAndTheirRequiredFields()
    {
        const QByteArray xml =
            feed(QStringLiteral(
                     // versions as elements, a relative enclosure URL
                     "<item><sparkle:version>120</sparkle:version><sparkle:shortVersionString>1.2.0</"
                     "sparkle:shortVersionString>"
                     "<sparkle:minimumSystemVersion>99.0</sparkle:minimumSystemVersion>"
                     "<enclosure url=\"files/a.tar\" length=\"10\" sparkle:edSignature=\"%1\"/></item>"
                     // versions on the enclosure
                     "<item><enclosure url=\"https://cdn.example/b.tar\" length=\"20\" sparkle:version=\"130\" "
                     "sparkle:shortVersionString=\"1.3.0\" sparkle:edSignature=\"%1\"/></item>"
                     // refused, each with its reason
                     "<item><enclosure url=\"c.tar\" length=\"5\" sparkle:version=\"900\"/></item>"
                     "<item><enclosure url=\"c.tar\" length=\"5\" sparkle:version=\"901\" "
                     "sparkle:edSignature=\"%2\"/></item>"
                     "<item><enclosure url=\"c.tar\" sparkle:version=\"902\" sparkle:edSignature=\"%1\"/></item>"
                     "<item><enclosure url=\"c.tar\" length=\"0\" sparkle:version=\"903\" "
                     "sparkle:edSignature=\"%1\"/></item>"
                     "<item><enclosure url=\"c.tar\" length=\"-7\" sparkle:version=\"904\" "
                     "sparkle:edSignature=\"%1\"/></item>"
                     "<item><enclosure url=\"c.tar\" length=\"1e3\" sparkle:version=\"905\" "
                     "sparkle:edSignature=\"%1\"/></item>"
                     "<item><enclosure url=\"c.tar\" length=\"4294967297\" sparkle:version=\"906\" "
                     "sparkle:edSignature=\"%1\"/></item>"
                     "<item><sparkle:version>907</sparkle:version></item>"
                     "<item><enclosure url=\"c.tar\" length=\"5\" sparkle:edSignature=\"%1\"/></item>")
                     .arg(kSignature, QString::fromLatin1(QByteArray(63, 'x').toBase64())));
        const auto parsed = appcast::parse(xml, QUrl(u"https://updates.example/feed/appcast.xml"_s));
        QVERIFY(parsed);
        const QList<AppcastItem> &items = parsed->items;
        QCOMPARE(items.size(), 2);
        QCOMPARE(items.at(0).version, u"120"_s);
        QCOMPARE(items.at(0).shortVersion, u"1.2.0"_s);
        QCOMPARE(items.at(0).archiveURL, QUrl(u"https://updates.example/feed/files/a.tar"_s));
        QCOMPARE(items.at(0).length, 10);
        QCOMPARE(items.at(0).edSignature, QByteArray(64, '\x07'));
        QCOMPARE(items.at(1).shortVersion, u"1.3.0"_s);
        QCOMPARE(appcast::newest(items)->version, u"130"_s);
        QVERIFY(!appcast::newest({}));

        const QList<QPair<QString, QString>> refused{
            {u"900"_s, u"it has no Ed25519 signature"_s},
            {u"901"_s, u"its Ed25519 signature is malformed"_s},
            {u"902"_s, u"it states no archive length"_s},
            {u"903"_s, u"its archive length \"0\" is impossible"_s},
            {u"904"_s, u"its archive length \"-7\" is impossible"_s},
            {u"905"_s, u"its archive length \"1e3\" is impossible"_s},
            {u"906"_s, u"its archive length \"4294967297\" is impossible"_s},
            {u"907"_s, u"it has no archive address"_s},
            {u""_s, u"it has no version"_s},
        };
        QCOMPARE(parsed->refused.size(), refused.size());
        for (qsizetype i = 0; i < refused.size(); ++i) {
            QCOMPARE(parsed->refused[i].version, refused[i].first);
            QCOMPARE(parsed->refused[i].reason, refused[i].second);
        }
    }

    void appcastRefusesWhatIsNotAFeed()
    {
        const QUrl base(u"https://updates.example/appcast.xml"_s);
        QVERIFY(!appcast::parse("<html><body/></html>", base));
        QVERIFY(!appcast::parse("<rss><channel><item>", base));    // not well-formed
        QVERIFY(!appcast::parse("<rss version=\"2.0\"/>", base));  // no channel
        // A document type could declare entities (and their expansion): refused outright.
        QVERIFY(
            !appcast::parse("<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaa\">]><rss><channel/></rss>", base));
        QVERIFY(!appcast::parse(QByteArray(appcast::kMaxFeedBytes + 1, ' '), base));
        QVERIFY(appcast::parse(feed({}), base));
    }

    void versionOrder_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("numeric, not text") << u"10"_s << u"9"_s << 1;
        QTest::newRow("components") << u"1.10.0"_s << u"1.9.9"_s << 1;
        QTest::newRow("missing zero") << u"1.2"_s << u"1.2.0"_s << 0;
        QTest::newRow("leading zeros") << u"1.02"_s << u"1.2"_s << 0;
        QTest::newRow("longer") << u"1.2.1"_s << u"1.2"_s << 1;
        QTest::newRow("pre-release below release") << u"1.0.b1"_s << u"1.0.0"_s << -1;
        QTest::newRow("huge numbers") << u"123456789012345678901234567890"_s << u"123456789012345678901234567889"_s
                                      << 1;
        QTest::newRow("equal") << u"2.0"_s << u"2.0"_s << 0;
    }

    void versionOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(appcast::compareVersions(a, b), order);
        QCOMPARE(appcast::compareVersions(b, a), -order);
    }

    void ed25519AgreesWithOpenSSL()
    {
        QTemporaryDir dir;
        const QString key = dir.filePath(u"key.pem"_s);
        const QString pub = dir.filePath(u"pub.der"_s);
        const QString message = dir.filePath(u"message.bin"_s);
        const QString signature = dir.filePath(u"message.sig"_s);
        QVERIFY(writeFile(message, QByteArray("an update archive\n").repeated(1000)));
        for (const QStringList &step :
             {QStringList{"genpkey", "-algorithm", "ed25519", "-out", key},
              QStringList{"pkey", "-in", key, "-pubout", "-outform", "DER", "-out", pub},
              QStringList{"pkeyutl", "-sign", "-inkey", key, "-rawin", "-in", message, "-out", signature}})
            QCOMPARE(runProcess(u"openssl"_s, step).exitCode, 0);
        const QByteArray publicKey = readFile(pub).right(32);  // SubjectPublicKeyInfo ends with the raw key
        const QByteArray sig = readFile(signature);
        QCOMPARE(sig.size(), 64);

        const int fd = ::open(QFile::encodeName(message).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(ed25519::verifyFile(publicKey, sig, fd));
        ::close(fd);
        const QByteArray bytes = readFile(message);
        const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
        QVERIFY(ed25519::verify(publicKey, sig, data, static_cast<size_t>(bytes.size())));
        QVERIFY(!ed25519::verify(publicKey, sig, data, static_cast<size_t>(bytes.size() - 1)));
        QByteArray flipped = sig;
        flipped[10] = static_cast<char>(flipped[10] ^ 0x20);
        QVERIFY(!ed25519::verify(publicKey, flipped, data, static_cast<size_t>(bytes.size())));
        QVERIFY(!ed25519::verify(publicKey.left(31), sig, data, static_cast<size_t>(bytes.size())));
        QVERIFY(!ed25519::verify(publicKey + 'x', sig, data, static_cast<size_t>(bytes.size())));
    }

    void swapReplacesTheBundleAndRecoveryRestoresAMovedAsideOne()
    {
        QTemporaryDir dir;
        const QString bundle = dir.filePath(u"Host.app"_s);
        QVERIFY(QDir().mkpath(bundle + u"/Contents"_s));
        QVERIFY(writeFile(bundle + u"/Contents/version"_s, "old"));
        const QString archive = makeTar(dir.path(), u"dir New.app\nfile New.app/Contents/version|new"_s);

        QStringList steps;
        BundleInstaller installer(bundle, buildBundleModules(), [&steps](const QString &step) { steps.append(step); });
        QString error;
        const int fd = installer.createArchiveFile(&error);
        QVERIFY2(fd >= 0, qPrintable(error));
        const QByteArray bytes = readFile(archive);
        QCOMPARE(::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())), ssize_t(bytes.size()));
        QCOMPARE(modeOf(installer.stagingPath()), mode_t(0700));
        const std::optional<QString> unpacked = installer.unpack(fd, &error);
        ::close(fd);
        QVERIFY2(unpacked, qPrintable(error));
        QCOMPARE(readFile(bundle + u"/Contents/version"_s), QByteArray("old"));  // untouched until the swap
        QVERIFY(installer.swapIntoPlace(*unpacked, &error));
        QCOMPARE(readFile(bundle + u"/Contents/version"_s), QByteArray("new"));
        QVERIFY(!QFileInfo::exists(installer.stagingPath()));
        QCOMPARE(steps, (QStringList{"unpacking", "unpacked", "swapped", "cleaned"}));

        // A crash between moving the old bundle aside and moving the new one in (file systems
        // without an exchange): recovery puts the old one back.
        QVERIFY(QDir().mkpath(installer.stagingPath()));
        QVERIFY(QDir().rename(bundle, installer.stagingPath() + u"/previous.app"_s));
        QVERIFY(installer.recover(&error));
        QCOMPARE(readFile(bundle + u"/Contents/version"_s), QByteArray("new"));
        QVERIFY(!QFileInfo::exists(installer.stagingPath()));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(UpdaterTest)
#include "tst_updater.moc"
