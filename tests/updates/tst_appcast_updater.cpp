// The appcast updater against the reference service over real TLS (its own port): what it
// installs, and everything it refuses, with the installed bundle checked after each case.
#include "platform/linux/appcast_updater.h"
#include "platform/linux/cms_code_signing.h"
#include "platform/linux/plist_bundle_reader.h"
#include "support/config.h"
#include "support/recording_system_log.h"
#include "update_fixtures.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace mornix {

using namespace update_fixtures;

class AppcastUpdaterTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void releaseSignaturesVerifyWithOpenSSL();
    void installsANewerSignedReleaseOnce();
    void neverInstallsAnOlderOrTheSameVersion();
    void refusesBadSignaturesAndTruncatedArchivesBeforeUnpacking_data();
    void refusesBadSignaturesAndTruncatedArchivesBeforeUnpacking();
    void refusesAnUnpackedBundleThatIsNotTheOfferedOne_data();
    void refusesAnUnpackedBundleThatIsNotTheOfferedOne();
    void laterDownloadsNothing();
    void refusesPlainHTTP();
    void aSlowDownloadIsASessionInProgress();

private:
    bool logged(const QString &needle) const
    {
        const QStringList messages = m_log->messages();
        return std::any_of(messages.begin(), messages.end(), [&](const QString &m) { return m.contains(needle); });
    }
    std::unique_ptr<AppcastUpdater> makeUpdater(const QString &bundle, const QString &feedURL, QStringList *steps);
    AppcastUpdater::Outcome checkOnce(AppcastUpdater &updater);

    ReleaseService m_service;
    QTemporaryDir m_dir;
    QString m_key;
    std::shared_ptr<class ScriptedPrompt> m_prompt;
    std::shared_ptr<RecordingSystemLog> m_log;
    int m_hosts = 0;
    QString newHost(const QString &version);
};

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

void AppcastUpdaterTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_service.start());
    m_key = m_service.publicKey();
    QCOMPARE(QByteArray::fromBase64(m_key.toLatin1()).size(), 32);
    m_log = std::make_shared<RecordingSystemLog>();
    m_prompt = std::make_shared<ScriptedPrompt>();
}

QString AppcastUpdaterTest::newHost(const QString &version)
{
    const QString directory = m_dir.filePath(QStringLiteral("host-%1").arg(++m_hosts));
    QDir().mkpath(directory);
    HostOptions options;
    options.version = version;
    return makeDesktopBundle(directory, options);
}

std::unique_ptr<AppcastUpdater> AppcastUpdaterTest::makeUpdater(const QString &bundle, const QString &feedURL,
                                                                QStringList *steps)
{
    UpdaterHost host{bundle, QUrl(feedURL), QByteArray::fromBase64(m_key.toLatin1()), kDesktopIdentifier,
                     fixtures::kOwnTeam};
    AppcastUpdater::Dependencies deps;
    deps.systemLog = m_log;
    deps.bundleReader = std::make_shared<PlistBundleReader>();
    deps.codeSigning = std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM);
    deps.prompt = m_prompt;
    deps.extraTLSAnchorsPEM = Config::defaults().extraTLSAnchorsPEM;
    if (steps)
        deps.stepHook = [steps](const QString &step) { steps->append(step); };
    return std::make_unique<AppcastUpdater>(host, std::move(deps));
}

AppcastUpdater::Outcome AppcastUpdaterTest::checkOnce(AppcastUpdater &updater)
{
    QSignalSpy finished(&updater, &AppcastUpdater::checkFinished);
    updater.checkForUpdates();
    if (!finished.wait(60000))
        return AppcastUpdater::Outcome::none;
    return updater.lastOutcome();
}

void AppcastUpdaterTest::releaseSignaturesVerifyWithOpenSSL()
{
    QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
    HostOptions release;
    release.version = QStringLiteral("4.0");
    const QString archive = makeReleaseArchive(m_dir.path(), release);
    QVERIFY(m_service.publish(QStringLiteral("4.0"), archive));
    QVERIFY(m_service.publish(QStringLiteral("4.1"), archive, {"--bad-signature"}));
    const ProcessResult list = m_service.admin({"--json", "release", "list"});
    const QJsonArray releases = QJsonDocument::fromJson(list.standardOutput).object().value("releases").toArray();
    QCOMPARE(releases.size(), 2);

    // The raw key in a SubjectPublicKeyInfo (RFC 8410) for openssl.
    const QString publicKey = m_dir.filePath(QStringLiteral("release-key.der"));
    QFile der(publicKey);
    QVERIFY(der.open(QIODevice::WriteOnly));
    der.write(QByteArray::fromHex("302a300506032b6570032100") + QByteArray::fromBase64(m_key.toLatin1()));
    der.close();
    for (const QJsonValue &value : releases) {
        const QJsonObject record = value.toObject();
        const QString signaturePath = m_dir.filePath(record.value("version").toString() + QStringLiteral(".sig"));
        QFile signature(signaturePath);
        QVERIFY(signature.open(QIODevice::WriteOnly));
        signature.write(QByteArray::fromBase64(record.value("ed_signature").toString().toLatin1()));
        signature.close();
        const ProcessResult verify = runProcess(QStringLiteral("openssl"),
                                                {"pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey", publicKey,
                                                 "-rawin", "-in", archive, "-sigfile", signaturePath});
        const bool good = record.value("version").toString() == QLatin1String("4.0");
        QCOMPARE(verify.exitCode == 0, good);
        QCOMPARE(verify.standardOutput.contains("Signature Verified Successfully"), good);
    }
}

void AppcastUpdaterTest::installsANewerSignedReleaseOnce()
{
    QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
    HostOptions release;
    release.version = QStringLiteral("2.0");
    release.shortVersion = QStringLiteral("2.0.0");
    const QString archive = makeReleaseArchive(m_dir.path(), release);
    QVERIFY(!archive.isEmpty());
    QVERIFY(m_service.publish(QStringLiteral("2.0"), archive, {"--short-version", "2.0.0"}));
    HostOptions older;
    older.version = QStringLiteral("1.5");
    const QString olderArchive = makeReleaseArchive(m_dir.path(), older);
    QVERIFY(m_service.publish(QStringLiteral("1.5"), olderArchive));

    const QString bundle = newHost(QStringLiteral("1.0"));
    QVERIFY(signatureValid(bundle));
    QStringList steps;
    auto updater = makeUpdater(bundle, m_service.feedURL(), &steps);
    QString error;
    QVERIFY2(updater->start(&error), qPrintable(error));
    QVERIFY(updater->canCheckForUpdates());
    m_prompt->offers.clear();
    m_prompt->answer = true;

    QCOMPARE(checkOnce(*updater), AppcastUpdater::Outcome::installed);
    QCOMPARE(m_prompt->offers.size(), 1);
    QCOMPARE(m_prompt->offers[0].displayVersion, QStringLiteral("2.0.0"));
    QCOMPARE(m_prompt->offers[0].currentDisplayVersion, QStringLiteral("1.0"));
    QCOMPARE(bundleVersion(bundle), QStringLiteral("2.0"));
    QVERIFY(signatureValid(bundle));
    QVERIFY(!QFileInfo::exists(BundleInstaller(bundle).stagingPath()));
    QCOMPARE(steps, (QStringList{"session-started", "downloaded", "verified", "unpacking", "unpacked", "swapped", "cleaned"}));
    QVERIFY(!updater->sessionInProgress());

    // Installed: the same feed offers nothing any more.
    QCOMPARE(checkOnce(*updater), AppcastUpdater::Outcome::upToDate);
    QCOMPARE(m_prompt->offers.size(), 1);
}

void AppcastUpdaterTest::neverInstallsAnOlderOrTheSameVersion()
{
    QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
    HostOptions older;
    older.version = QStringLiteral("2.9.9");
    QVERIFY(m_service.publish(QStringLiteral("2.9.9"), makeReleaseArchive(m_dir.path(), older)));
    for (const QString &installed : {QStringLiteral("3.0"), QStringLiteral("2.9.9")}) {
        const QString bundle = newHost(installed);
        auto updater = makeUpdater(bundle, m_service.feedURL(), nullptr);
        QString error;
        QVERIFY(updater->start(&error));
        m_prompt->offers.clear();
        QCOMPARE(checkOnce(*updater), AppcastUpdater::Outcome::upToDate);
        QVERIFY(m_prompt->offers.isEmpty());
        QCOMPARE(bundleVersion(bundle), installed);
    }
}

void AppcastUpdaterTest::refusesBadSignaturesAndTruncatedArchivesBeforeUnpacking_data()
{
    QTest::addColumn<QStringList>("publishOptions");
    QTest::newRow("bad signature") << QStringList{"--bad-signature"};
    QTest::newRow("truncated") << QStringList{"--truncate", "1000"};
}

void AppcastUpdaterTest::refusesBadSignaturesAndTruncatedArchivesBeforeUnpacking()
{
    QFETCH(QStringList, publishOptions);
    QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
    HostOptions release;
    release.version = QStringLiteral("5.0");
    QVERIFY(m_service.publish(QStringLiteral("5.0"), makeReleaseArchive(m_dir.path(), release), publishOptions));

    const QString bundle = newHost(QStringLiteral("1.0"));
    QStringList steps;
    auto updater = makeUpdater(bundle, m_service.feedURL(), &steps);
    QString error;
    QVERIFY(updater->start(&error));
    m_prompt->answer = true;
    QCOMPARE(checkOnce(*updater), AppcastUpdater::Outcome::refused);
    QVERIFY(!steps.contains(QStringLiteral("verified")));
    QVERIFY(!steps.contains(QStringLiteral("unpacking")));
    QCOMPARE(bundleVersion(bundle), QStringLiteral("1.0"));
    QVERIFY(signatureValid(bundle));
    QVERIFY(!QFileInfo::exists(BundleInstaller(bundle).stagingPath()));
    QVERIFY(logged(QStringLiteral("Veltro Desktop update 5.0 refused: ")));
    QVERIFY(updater->canCheckForUpdates());
}

void AppcastUpdaterTest::refusesAnUnpackedBundleThatIsNotTheOfferedOne_data()
{
    QTest::addColumn<QString>("bundleVersion");
    QTest::addColumn<QString>("team");
    QTest::addColumn<QString>("identifier");
    QTest::newRow("older bundle under a newer version") << "1.5" << fixtures::kOwnTeam << kDesktopIdentifier;
    QTest::newRow("another team") << "6.0" << "2DC432GLL2" << kDesktopIdentifier;
    QTest::newRow("unsigned") << "6.0" << "" << kDesktopIdentifier;
    QTest::newRow("another application") << "6.0" << fixtures::kOwnTeam << "ai.veltro.other";
}

void AppcastUpdaterTest::refusesAnUnpackedBundleThatIsNotTheOfferedOne()
{
    QFETCH(QString, bundleVersion);
    QFETCH(QString, team);
    QFETCH(QString, identifier);
    QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
    HostOptions release;
    release.version = bundleVersion;
    release.team = team;
    release.identifier = identifier;
    const QString directory = m_dir.filePath(QStringLiteral("odd-%1").arg(++m_hosts));
    QDir().mkpath(directory);
    QVERIFY(m_service.publish(QStringLiteral("6.0"), makeReleaseArchive(directory, release)));

    const QString bundle = newHost(QStringLiteral("1.0"));
    QStringList steps;
    auto updater = makeUpdater(bundle, m_service.feedURL(), &steps);
    QString error;
    QVERIFY(updater->start(&error));
    QCOMPARE(checkOnce(*updater), AppcastUpdater::Outcome::refused);
    QVERIFY(steps.contains(QStringLiteral("unpacked")));
    QVERIFY(!steps.contains(QStringLiteral("swapped")));
    QCOMPARE(update_fixtures::bundleVersion(bundle), QStringLiteral("1.0"));
    QVERIFY(signatureValid(bundle));
    QVERIFY(!QFileInfo::exists(BundleInstaller(bundle).stagingPath()));
}

void AppcastUpdaterTest::laterDownloadsNothing()
{
    QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
    HostOptions release;
    release.version = QStringLiteral("7.0");
    QVERIFY(m_service.publish(QStringLiteral("7.0"), makeReleaseArchive(m_dir.path(), release)));
    const QString bundle = newHost(QStringLiteral("1.0"));
    QStringList steps;
    auto updater = makeUpdater(bundle, m_service.feedURL(), &steps);
    QString error;
    QVERIFY(updater->start(&error));
    m_prompt->answer = false;
    m_prompt->offers.clear();
    QCOMPARE(checkOnce(*updater), AppcastUpdater::Outcome::postponed);
    m_prompt->answer = true;
    QCOMPARE(m_prompt->offers.size(), 1);
    QVERIFY(steps.isEmpty());
    QVERIFY(!QFileInfo::exists(BundleInstaller(bundle).stagingPath()));
    QCOMPARE(bundleVersion(bundle), QStringLiteral("1.0"));
}

void AppcastUpdaterTest::refusesPlainHTTP()
{
    QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
    HostOptions release;
    release.version = QStringLiteral("8.0");
    QVERIFY(m_service.publish(QStringLiteral("8.0"), makeReleaseArchive(m_dir.path(), release)));
    const QString bundle = newHost(QStringLiteral("1.0"));

    // The feed answers with a redirect to http: the check fails without asking.
    QVERIFY(m_service.admin({"release", "redirect-http", "on"}).exitCode == 0);
    auto updater = makeUpdater(bundle, m_service.feedURL(), nullptr);
    QString error;
    QVERIFY(updater->start(&error));
    m_prompt->offers.clear();
    QCOMPARE(checkOnce(*updater), AppcastUpdater::Outcome::failed);
    QVERIFY(m_prompt->offers.isEmpty());
    QVERIFY(logged(QStringLiteral("refused a redirect to a non-HTTPS address")));
    QVERIFY(m_service.admin({"release", "redirect-http", "off"}).exitCode == 0);

    // An http feed address is never used.
    QString httpFeed = m_service.feedURL();
    httpFeed.replace(QStringLiteral("https://"), QStringLiteral("http://"));
    auto plain = makeUpdater(bundle, httpFeed, nullptr);
    QVERIFY(!plain->start(&error));
    QVERIFY(!plain->canCheckForUpdates());
}

void AppcastUpdaterTest::aSlowDownloadIsASessionInProgress()
{
    QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
    HostOptions release;
    release.version = QStringLiteral("9.0");
    const QString archive = makeReleaseArchive(m_dir.path(), release);
    const qint64 size = QFileInfo(archive).size();
    // About two seconds on the wire.
    QVERIFY(m_service.publish(QStringLiteral("9.0"), archive, {"--bytes-per-second", QString::number(size / 2)}));
    const QString bundle = newHost(QStringLiteral("1.0"));
    auto updater = makeUpdater(bundle, m_service.feedURL(), nullptr);
    QString error;
    QVERIFY(updater->start(&error));
    QSignalSpy finished(updater.get(), &AppcastUpdater::checkFinished);
    updater->checkForUpdates();
    QVERIFY(!updater->canCheckForUpdates());
    QTRY_VERIFY_WITH_TIMEOUT(updater->sessionInProgress(), 10000);
    QTest::qWait(500);
    QVERIFY(updater->sessionInProgress());
    QCOMPARE(bundleVersion(bundle), QStringLiteral("1.0"));
    QVERIFY(finished.wait(30000));
    QCOMPARE(updater->lastOutcome(), AppcastUpdater::Outcome::installed);
    QVERIFY(!updater->sessionInProgress());
    QVERIFY(updater->canCheckForUpdates());
    QCOMPARE(bundleVersion(bundle), QStringLiteral("9.0"));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(AppcastUpdaterTest)
#include "tst_appcast_updater.moc"
