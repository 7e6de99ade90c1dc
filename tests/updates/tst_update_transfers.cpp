// The appcast updater against hostile answers of the reference service over real TLS: a 404
// whose body never ends and a body that trickles forever, for the feed and for the archive, and
// a service that dies in the middle of a download. Each check ends with an outcome, says why,
// and leaves the installed bundle as it was with no staging directory beside it. Feed items
// that cannot be offered are logged as refused, and no refusal of a newer item is reported as
// "up to date".
#include "platform/linux/updater/bundle_installer.h"
#include "support/recording_system_log.h"
#include "update_fixtures.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace mornix {

using namespace update_fixtures;

class UpdateTransfersTest : public QObject {
    Q_OBJECT

    ReleaseService m_service;
    QTemporaryDir m_dir;
    QString m_key;
    QString m_archive;  // a valid release 2.0
    int m_directories = 0;
    std::shared_ptr<RecordingSystemLog> m_log;
    std::shared_ptr<ScriptedPrompt> m_prompt;
    QStringList m_steps;
    QString m_bundle;

    QString newDirectory()
    {
        const QString directory = m_dir.filePath(QString::number(++m_directories));
        QDir().mkpath(directory);
        return directory;
    }
    QString installed(const QString &version)
    {
        HostOptions options;
        options.version = version;
        return makeDesktopBundle(newDirectory(), options);
    }
    bool logged(const QString &needle) const
    {
        const QStringList messages = m_log->messages();
        return std::any_of(messages.begin(), messages.end(), [&](const QString &m) { return m.contains(needle); });
    }
    QString stagingPath() const { return BundleInstaller(m_bundle, nullptr).stagingPath(); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_service.start());
        m_key = m_service.publicKey();
        HostOptions release;
        release.version = u"2.0"_s;
        m_archive = makeReleaseArchive(newDirectory(), release);
        QVERIFY(!m_archive.isEmpty());
    }

    void init()
    {
        m_log = std::make_shared<RecordingSystemLog>();
        m_prompt = std::make_shared<ScriptedPrompt>();
        m_steps.clear();
        QCOMPARE(m_service.admin({"release", "clear"}).exitCode, 0);
    }

    // A check against an answer that never ends still ends: a status other than 200 at once,
    // without its body being read; a trickle by the transfer's deadline (the silence time-out
    // never fires on a trickle).
    void endlessAnswersEndTheCheck_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("reason");
        const int failed = int(AppcastUpdater::Outcome::failed);
        const int refused = int(AppcastUpdater::Outcome::refused);
        QTest::newRow("feed: 404 with an endless body")
            << u"feed"_s << u"endless-404"_s << failed << u"update feed could not be read: HTTP status 404"_s;
        QTest::newRow("feed: endless trickle")
            << u"feed"_s << u"trickle"_s << failed << u"update feed could not be read: the transfer did not finish"_s;
        QTest::newRow("archive: 404 with an endless body")
            << u"archive"_s << u"endless-404"_s << refused << u"update 2.0 refused: download failed: HTTP status 404"_s;
        QTest::newRow("archive: endless trickle")
            << u"archive"_s << u"trickle"_s << refused
            << u"update 2.0 refused: download failed: the transfer did not finish"_s;
    }
    void endlessAnswersEndTheCheck()
    {
        QFETCH(QString, target);
        QFETCH(QString, fault);
        QFETCH(int, outcome);
        QFETCH(QString, reason);
        QVERIFY(m_service.publish(u"2.0"_s, m_archive));
        QCOMPARE(m_service.admin({"release", "fault", target, fault}).exitCode, 0);
        m_bundle = installed(u"1.0"_s);
        // Silence alone would take 30 s to notice; the whole transfer may take 3 s.
        TransferLimits limits;
        limits.deadlineBaseMs = 3000;
        limits.minimumBytesPerSecond = qint64(1) << 40;
        auto updater = startUpdater(m_bundle, m_service.feedURL(), m_key, m_log, m_prompt, &m_steps, limits);
        QVERIFY(updater);

        QCOMPARE(int(checkOnce(*updater)), outcome);
        QVERIFY2(logged(reason), qPrintable(m_log->messages().join(u'\n')));
        // The archive's transfer had begun inside the staging directory, which is gone.
        QCOMPARE(m_steps.contains(u"session-started"_s), target == "archive"_L1);
        QVERIFY(!m_steps.contains(u"downloaded"_s));
        QVERIFY(!QFileInfo::exists(stagingPath()));
        QCOMPARE(bundleVersion(m_bundle), u"1.0"_s);
        QVERIFY(updater->canCheckForUpdates());
        QVERIFY(!updater->sessionInProgress());
    }

    // The service's process ends in the middle of a download: refused, nothing left behind.
    void aDownloadCutByTheServersEnd()
    {
        ReleaseService dying;
        QVERIFY(dying.start());
        const qint64 size = QFileInfo(m_archive).size();
        QVERIFY(dying.publish(u"2.0"_s, m_archive,
                              {"--bytes-per-second", QString::number(std::max<qint64>(1, size / 20))}));
        m_bundle = installed(u"1.0"_s);
        auto updater = startUpdater(m_bundle, dying.feedURL(), dying.publicKey(), m_log, m_prompt, &m_steps);
        QVERIFY(updater);
        QSignalSpy finished(updater.get(), &AppcastUpdater::checkFinished);
        updater->checkForUpdates();
        // Part of the archive is on disk when the service goes.
        const auto downloading = [this] {
            const QFileInfoList files = QDir(stagingPath()).entryInfoList(QDir::Files);
            return std::any_of(files.begin(), files.end(), [](const QFileInfo &file) { return file.size() > 0; });
        };
        QVERIFY(QTest::qWaitFor(downloading, 30000));
        dying.stop();
        QVERIFY(finished.wait(60000));
        QCOMPARE(updater->lastOutcome(), AppcastUpdater::Outcome::refused);
        QVERIFY(logged(u"Veltro Desktop update 2.0 refused: download failed: "_s));
        QVERIFY(!QFileInfo::exists(stagingPath()));
        QCOMPARE(bundleVersion(m_bundle), u"1.0"_s);
    }

    // An item that cannot be offered is logged as refused with its reason; when it would have
    // been newer the check ends "refused", never "up to date", and nothing is asked or fetched.
    void feedItemsThatCannotBeOfferedAreRefusedAloud_data()
    {
        QTest::addColumn<QStringList>("publishOptions");
        QTest::addColumn<QString>("installedVersion");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("reason");
        const int refused = int(AppcastUpdater::Outcome::refused);
        QTest::newRow("no signature") << QStringList{"--no-signature"} << u"1.0"_s << refused
                                      << u"it has no Ed25519 signature"_s;
        QTest::newRow("length zero") << QStringList{"--advertise-length", "0"} << u"1.0"_s << refused
                                     << u"its archive length \"0\" is impossible"_s;
        QTest::newRow("negative length") << QStringList{"--advertise-length", "-4096"} << u"1.0"_s << refused
                                         << u"its archive length \"-4096\" is impossible"_s;
        QTest::newRow("length not a number") << QStringList{"--advertise-length", "12kB"} << u"1.0"_s << refused
                                             << u"its archive length \"12kB\" is impossible"_s;
        QTest::newRow("length beyond every archive")
            << QStringList{"--advertise-length", "99999999999999"} << u"1.0"_s << refused
            << u"its archive length \"99999999999999\" is impossible"_s;
        QTest::newRow("no length") << QStringList{"--advertise-length", " "} << u"1.0"_s << refused
                                   << u"it states no archive length"_s;
        // Not newer: the check is up to date, and still says what it refused.
        QTest::newRow("older item without a signature")
            << QStringList{"--no-signature"} << u"3.0"_s << int(AppcastUpdater::Outcome::upToDate)
            << u"it has no Ed25519 signature"_s;
    }
    void feedItemsThatCannotBeOfferedAreRefusedAloud()
    {
        QFETCH(QStringList, publishOptions);
        QFETCH(QString, installedVersion);
        QFETCH(int, outcome);
        QFETCH(QString, reason);
        QVERIFY(m_service.publish(u"2.0"_s, m_archive, publishOptions));
        m_bundle = installed(installedVersion);
        auto updater = startUpdater(m_bundle, m_service.feedURL(), m_key, m_log, m_prompt, &m_steps);
        QVERIFY(updater);
        QCOMPARE(int(checkOnce(*updater)), outcome);
        QVERIFY2(logged(u"Veltro Desktop update 2.0 refused: "_s + reason), qPrintable(m_log->messages().join(u'\n')));
        QCOMPARE(logged(u"Veltro Desktop is up to date"_s), outcome == int(AppcastUpdater::Outcome::upToDate));
        QVERIFY(m_prompt->offers.isEmpty());
        QVERIFY(m_steps.isEmpty());
        QCOMPARE(bundleVersion(m_bundle), installedVersion);
    }

    // A refused newer item does not hide a usable one: that one is offered and installed.
    void aUsableItemBesideARefusedNewerOne()
    {
        QVERIFY(m_service.publish(u"2.0"_s, m_archive));
        QVERIFY(m_service.publish(u"3.0"_s, m_archive, {"--no-signature"}));
        m_bundle = installed(u"1.0"_s);
        auto updater = startUpdater(m_bundle, m_service.feedURL(), m_key, m_log, m_prompt, &m_steps);
        QVERIFY(updater);
        QCOMPARE(checkOnce(*updater), AppcastUpdater::Outcome::installed);
        QVERIFY(logged(u"Veltro Desktop update 3.0 refused: it has no Ed25519 signature"_s));
        QCOMPARE(m_prompt->offers.size(), 1);
        QCOMPARE(m_prompt->offers[0].version, u"2.0"_s);
        QCOMPARE(bundleVersion(m_bundle), u"2.0"_s);
        QVERIFY(!QFileInfo::exists(stagingPath()));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(UpdateTransfersTest)
#include "tst_update_transfers.moc"
