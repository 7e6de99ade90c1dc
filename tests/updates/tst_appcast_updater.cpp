// The appcast updater against the reference service over real TLS (its own port): what it
// installs, and everything it refuses, with the installed bundle checked after each case.
#include "platform/linux/appcast_updater.h"
#include "platform/linux/cms_code_signing.h"
#include "platform/linux/plist_bundle_reader.h"
#include "support/config.h"
#include "support/recording_system_log.h"
#include "support/test_files.h"
#include "update_fixtures.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace mornix {

using namespace update_fixtures;

namespace {

class ScriptedPrompt : public UpdatePrompt {
public:
    bool answer = true;
    QList<UpdateOffer> offers;
    QCoro::Task<bool> askToInstall(UpdateOffer offer) override
    {
        offers.append(offer);
        co_return answer;
    }
};

}  // namespace

class AppcastUpdaterTest : public QObject {
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
        UpdaterHost host{m_bundle, QUrl(feedURL), QByteArray::fromBase64(m_key.toLatin1()), kDesktopIdentifier,
                         fixtures::kOwnTeam};
        AppcastUpdater::Dependencies deps;
        deps.systemLog = m_log;
        deps.bundleReader = std::make_shared<PlistBundleReader>();
        deps.codeSigning = std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM);
        deps.prompt = m_prompt;
        deps.extraTLSAnchorsPEM = Config::defaults().extraTLSAnchorsPEM;
        deps.stepHook = [this](const QString &step) { m_steps.append(step); };
        m_updater = std::make_unique<AppcastUpdater>(host, std::move(deps));
        m_prompt->offers.clear();
        m_prompt->answer = true;
        QString error;
        return !m_bundle.isEmpty() && m_updater->start(&error);
    }
    AppcastUpdater::Outcome checkOnce()
    {
        QSignalSpy finished(m_updater.get(), &AppcastUpdater::checkFinished);
        m_updater->checkForUpdates();
        if (m_updater->canCheckForUpdates())  // no second check while one runs
            return AppcastUpdater::Outcome::none;
        return finished.wait(60000) ? m_updater->lastOutcome() : AppcastUpdater::Outcome::none;
    }
    // The installed bundle is the one of version `version`, intact, with nothing left beside it.
    void verifyInstalled(const QString &version)
    {
        QCOMPARE(bundleVersion(m_bundle), version);
        QVERIFY(signatureValid(m_bundle));
        QVERIFY(!QFileInfo::exists(BundleInstaller(m_bundle).stagingPath()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_service.start());
        m_key = m_service.publicKey();
        QCOMPARE(QByteArray::fromBase64(m_key.toLatin1()).size(), 32);
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
        QVERIFY(signatureValid(m_bundle));
        QVERIFY(m_updater->canCheckForUpdates());

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
        QVERIFY(!m_updater->canCheckForUpdates());
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(AppcastUpdaterTest)
#include "tst_appcast_updater.moc"
