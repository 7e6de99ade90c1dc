// The updater mode with real processes on a private session bus: the built program (and the
// probe, the same mode with a scripted answer) inside a signed "Veltro Desktop.app", the desktop
// application played by the sleeper, against the reference service over real TLS: the hosts it
// refuses, the hand-over of a check, its end after the host quits, a release of each archive
// format, answers that never end, and kills at every step of an installation.
#include "platform/linux/updater/archive_module.h"
#include "support/agent_process.h"
#include "support/process_runner.h"
#include "support/signed_fixtures.h"
#include "support/temporary_home.h"
#include "support/test_files.h"
#include "update_fixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace mornix {

using namespace update_fixtures;

namespace {

const QString kNotConfigured = u"Veltro Desktop updates are not configured for this bundle"_s;

// The updater inside the desktop bundle `host`, run in the background with the environment of
// `home`; its standard error is collected.
class UpdaterProcess {
public:
    UpdaterProcess(const QString &host, const QStringList &arguments, const TemporaryHome &home)
    {
        m_process.setProcessEnvironment(headlessEnvironment(home.environment()));
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(helperExecutablePath(host), QStringList{u"--desktop-updater"_s} + arguments);
    }
    ~UpdaterProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QString errorText()
    {
        m_error += m_process.readAllStandardError();
        return QString::fromUtf8(m_error);
    }
    bool waitForError(const QString &needle, int timeoutMs = 20000)
    {
        const bool ended = QTest::qWaitFor([&] { return errorText().contains(needle) || !isRunning(); }, timeoutMs);
        return ended && errorText().contains(needle);
    }
    bool waitForExit(int timeoutMs)
    {
        const bool ended = m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
        errorText();
        return ended;
    }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QByteArray m_error;
};

}  // namespace

class UpdaterModeTest : public QObject {
    Q_OBJECT

    ReleaseService m_service;
    QTemporaryDir m_dir;
    QString m_key;
    int m_directories = 0;
    QString m_archive;  // 2.0 with the probe inside

    // A desktop bundle under `home` that trusts this run's feed and key, with `helper` inside.
    QString makeHost(const TemporaryHome &home, const QString &helper) const
    {
        HostOptions options;
        options.feedURL = m_service.feedURL();
        options.publicKey = m_key;
        options.helperExecutable = helper;
        return makeDesktopBundle(home.path(), options);
    }
    QString newDirectory()
    {
        const QString directory = m_dir.filePath(QString::number(++m_directories));
        QDir().mkpath(directory);
        return directory;
    }
    static QString stagingPath(const TemporaryHome &home)
    {
        return home.path() + u"/."_s + kDesktopName + u".app.update"_s;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_service.start());
        m_key = m_service.publicKey();
        HostOptions release;
        release.version = u"2.0"_s;
        release.feedURL = m_service.feedURL();  // the new copy keeps updating itself
        release.publicKey = m_key;
        release.helperExecutable = QStringLiteral(MORNIX_UPDATER_PROBE);
        m_archive = makeReleaseArchive(newDirectory(), release);
        QVERIFY(!m_archive.isEmpty());
    }

    void refusesHostsItCannotTrust_data()
    {
        QTest::addColumn<QString>("feed");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QString>("hostTeam");
        QTest::addColumn<QString>("ownTeam");
        const QString feed = u"https://updates.veltro.localhost/appcast.xml"_s;
        const QString key = QString::fromLatin1(QByteArray(32, 'k').toBase64());
        const QString team = fixtures::kOwnTeam;
        QTest::newRow("http feed") << "http://updates.veltro.localhost/appcast.xml" << key << kDesktopIdentifier << team
                                   << team;
        QTest::newRow("scheme not exactly https")
            << "HTTPS://updates.veltro.localhost/appcast.xml" << key << kDesktopIdentifier << team << team;
        QTest::newRow("https feed without a host")
            << "https:///appcast.xml" << key << kDesktopIdentifier << team << team;
        QTest::newRow("no feed") << "" << key << kDesktopIdentifier << team << team;
        QTest::newRow("key of 31 bytes") << feed << QString::fromLatin1(QByteArray(31, 'k').toBase64())
                                         << kDesktopIdentifier << team << team;
        QTest::newRow("key of 33 bytes") << feed << QString::fromLatin1(QByteArray(33, 'k').toBase64())
                                         << kDesktopIdentifier << team << team;
        QTest::newRow("key not Base64") << feed << QString(44, u'*') << kDesktopIdentifier << team << team;
        QTest::newRow("no key") << feed << "" << kDesktopIdentifier << team << team;
        QTest::newRow("another application") << feed << key << "ai.veltro.other" << team << team;
        QTest::newRow("desktop bundle of another team") << feed << key << kDesktopIdentifier << "2DC432GLL2" << team;
        QTest::newRow("desktop bundle unsigned") << feed << key << kDesktopIdentifier << "" << team;
        QTest::newRow("this program unsigned") << feed << key << kDesktopIdentifier << team << "";
    }

    void refusesHostsItCannotTrust()
    {
        QFETCH(QString, feed);
        QFETCH(QString, key);
        QFETCH(QString, identifier);
        QFETCH(QString, hostTeam);
        QFETCH(QString, ownTeam);
        TemporaryHome home;
        HostOptions options;
        options.feedURL = feed;
        options.publicKey = key;
        options.identifier = identifier;
        options.team = hostTeam;
        options.helperExecutable = QStringLiteral(MORNIX_EXECUTABLE);
        options.helperTeam = ownTeam;
        const QString host = makeDesktopBundle(home.path(), options);
        QVERIFY(!host.isEmpty());

        UpdaterProcess updater(host, {}, home);
        QVERIFY(updater.waitForExit(20000));
        QCOMPARE(updater.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.process().exitCode(), 0);
        QVERIFY2(updater.errorText().contains(kNotConfigured), qPrintable(updater.errorText()));
        QVERIFY(!updater.errorText().contains(u"update check"_s));
        // The updater lock was taken (the agent's was not).
        QVERIFY(QFileInfo::exists(home.dataHome() + u"/VeltroMornix/updater.lock"_s));
        QVERIFY(!QFileInfo::exists(home.dataHome() + u"/VeltroMornix/runtime.lock"_s));
    }

    // A start that fails for real (what an interrupted installation left cannot be removed: a
    // file in it is immutable) is logged with its reason and ends the updater; nothing is checked.
    void updaterThatCannotStartSaysWhyAndEnds()
    {
        TemporaryHome home;
        const QString host = makeHost(home, QStringLiteral(MORNIX_EXECUTABLE));
        QVERIFY(!host.isEmpty());
        const QString staging = stagingPath(home);
        const QString stuck = staging + u"/stuck"_s;
        QVERIFY(QDir().mkpath(staging));
        QVERIFY(writeFile(stuck, "left behind"));
        const auto release = qScopeGuard([&stuck] { runProcess(u"chattr"_s, {u"-i"_s, stuck}); });
        if (runProcess(u"chattr"_s, {u"+i"_s, stuck}).exitCode != 0)
            QSKIP("no immutable files here (needs root and a file system with attributes)");

        UpdaterProcess updater(host, {u"--check-now"_s}, home);
        QVERIFY(updater.waitForExit(20000));
        QCOMPARE(updater.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.process().exitCode(), 0);
        QVERIFY2(updater.errorText().contains(u"Veltro Desktop updater could not start: cannot remove "_s + staging
                                              + u": "_s),
                 qPrintable(updater.errorText()));
        QVERIFY(!updater.errorText().contains(u"update check"_s));
        QVERIFY(QFileInfo::exists(stuck));
    }

    void secondStartHandsCheckNowOverAndTheWatchEndsItAfterTheHostQuits()
    {
        QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
        TemporaryHome home;
        const QString host = makeHost(home, QStringLiteral(MORNIX_EXECUTABLE));
        QVERIFY(!host.isEmpty());
        auto desktop = std::make_unique<fixtures::RunningFixture>(desktopExecutablePath(host));
        QVERIFY(desktop->isRunning());

        UpdaterProcess first(host, {}, home);
        QTest::qWait(2500);
        QVERIFY(first.isRunning());
        QVERIFY(!first.errorText().contains(u"update check"_s));

        UpdaterProcess second(host, {u"--check-now"_s}, home);
        QVERIFY(second.waitForExit(15000));
        QCOMPARE(second.process().exitCode(), 0);
        QVERIFY(!second.errorText().contains(u"update check"_s));  // it checked nothing itself
        QVERIFY2(first.waitForError(u"Veltro Desktop update check: "_s + m_service.feedURL()),
                 qPrintable(first.errorText()));
        QVERIFY(first.waitForError(u"Veltro Desktop is up to date (version 1.0)"_s));

        // Still running beside the host; once it quits, the next tick of the 5-second watch ends it.
        QTest::qWait(5500);
        QVERIFY(first.isRunning());
        desktop.reset();
        QElapsedTimer quitTimer;
        quitTimer.start();
        QVERIFY(first.waitForExit(9000));
        QVERIFY2(
            first.process().exitStatus() == QProcess::NormalExit && first.process().exitCode() == 0,
            qPrintable(
                u"exit status %1, code %2: "_s.arg(int(first.process().exitStatus())).arg(first.process().exitCode())
                + first.errorText()));
        qInfo("updater ended %lld ms after the desktop application", quitTimer.elapsed());
    }

    void anUpdateSessionOutlivesTheHost()
    {
        QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
        const qint64 size = QFileInfo(m_archive).size();
        // About eight seconds on the wire: longer than a watch tick after the host quits.
        QVERIFY(m_service.publish(u"2.0"_s, m_archive, {"--bytes-per-second", QString::number(size / 8)}));
        TemporaryHome home;
        const QString host = makeHost(home, QStringLiteral(MORNIX_UPDATER_PROBE));
        QVERIFY(!host.isEmpty());
        auto desktop = std::make_unique<fixtures::RunningFixture>(desktopExecutablePath(host));

        UpdaterProcess updater(host, {u"--check-now"_s, u"--answer"_s, u"install"_s}, home);
        QVERIFY2(updater.waitForError(u"step session-started"_s), qPrintable(updater.errorText()));
        desktop.reset();
        QTest::qWait(6000);
        QVERIFY2(updater.isRunning(), qPrintable(updater.errorText()));  // the session holds it
        QVERIFY(!updater.errorText().contains(u"step swapped"_s));
        QVERIFY(updater.waitForError(u"Veltro Desktop updated to 2.0"_s, 30000));
        QVERIFY(updater.waitForExit(9000));  // the first tick after the session ends it
        QCOMPARE(bundleVersion(host), u"2.0"_s);
        QVERIFY(signatureValid(host));
    }

    // A release in each accepted format goes through the updater mode; the format is read from
    // the content, so a tar.xz listed under a ".zip" name installs too (with a note in the log).
    void updaterModeInstallsEachArchiveFormat_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("enclosureExtension");
        for (const QString &format : {u"tar"_s, u"tar.gz"_s, u"tar.xz"_s, u"zip"_s})
            QTest::newRow(qPrintable(format)) << format << format;
        QTest::newRow("tar.xz named zip") << u"tar.xz"_s << u"zip"_s;
    }
    void updaterModeInstallsEachArchiveFormat()
    {
        QFETCH(QString, format);
        QFETCH(QString, enclosureExtension);
        HostOptions release;
        release.version = u"2.0"_s;
        release.feedURL = m_service.feedURL();
        release.publicKey = m_key;
        release.helperExecutable = QStringLiteral(MORNIX_UPDATER_PROBE);
        const QString archive = makeReleaseArchive(newDirectory(), release, format);
        QVERIFY(!archive.isEmpty());
        QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
        QVERIFY(m_service.publish(u"2.0"_s, archive, {"--enclosure-extension", enclosureExtension}));
        TemporaryHome home;
        const QString host = makeHost(home, QStringLiteral(MORNIX_UPDATER_PROBE));
        QVERIFY(!host.isEmpty());
        fixtures::RunningFixture desktop(desktopExecutablePath(host));

        UpdaterProcess updater(host, {u"--check-now"_s, u"--answer"_s, u"install"_s}, home);
        QVERIFY2(updater.waitForError(u"Veltro Desktop updated to 2.0"_s, 60000), qPrintable(updater.errorText()));
        QVERIFY2(updater.errorText().contains(u"Veltro Desktop update 2.0: a %1 archive"_s.arg(format)),
                 qPrintable(updater.errorText()));
        QCOMPARE(updater.errorText().contains(u"although its enclosure names "_s + enclosureExtension),
                 enclosureExtension != format);
        QCOMPARE(bundleVersion(host), u"2.0"_s);
        QVERIFY(signatureValid(host));
        QVERIFY(!QFileInfo::exists(home.path() + u"/."_s + kDesktopName + u".app.update"_s));
    }

    void installKilledAtEveryStepLeavesACompleteBundle_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("versionAfterKill");
        // Killed before the swap the old bundle stays; from the swap on, the new one.
        const char *steps[] = {"session-started", "downloaded", "verified", "unpacking",
                               "unpacked",        "swapped",    "cleaned"};
        for (int i = 0; i < 7; ++i)
            QTest::newRow(steps[i]) << QString::fromLatin1(steps[i]) << (i < 5 ? u"1.0"_s : u"2.0"_s);
    }

    void installKilledAtEveryStepLeavesACompleteBundle()
    {
        QFETCH(QString, step);
        QFETCH(QString, versionAfterKill);
        QVERIFY(m_service.admin({"release", "clear"}).exitCode == 0);
        QVERIFY(m_service.publish(u"2.0"_s, m_archive));
        TemporaryHome home;
        const QString host = makeHost(home, QStringLiteral(MORNIX_UPDATER_PROBE));
        QVERIFY(!host.isEmpty());
        fixtures::RunningFixture desktop(desktopExecutablePath(host));
        const QStringList install{u"--check-now"_s, u"--answer"_s, u"install"_s};
        {
            UpdaterProcess killed(host, install + QStringList{u"--kill-at"_s, step}, home);
            QVERIFY(killed.waitForExit(30000));
            QCOMPARE(killed.process().exitStatus(), QProcess::CrashExit);
            QVERIFY2(killed.errorText().contains(u"step "_s + step), qPrintable(killed.errorText()));
        }
        // Whatever the moment, the path holds one whole, validly signed bundle.
        QCOMPARE(bundleVersion(host), versionAfterKill);
        QVERIFY(signatureValid(host));

        // The next start clears what was left and finishes the job.
        UpdaterProcess next(host, install, home);
        const QString done = versionAfterKill == "2.0"_L1 ? u"Veltro Desktop is up to date (version 2.0)"_s
                                                          : u"Veltro Desktop updated to 2.0"_s;
        QVERIFY2(next.waitForError(done, 30000), qPrintable(next.errorText()));
        QCOMPARE(bundleVersion(host), u"2.0"_s);
        QVERIFY(signatureValid(host));
        QVERIFY(!QFileInfo::exists(home.path() + u"/."_s + kDesktopName + u".app.update"_s));
    }

    // The program itself, in updater mode, says on its standard error (and in the system log)
    // that it refused an item without a signature, and not that it is up to date.
    void anUnsignedItemIsReportedRefused()
    {
        QCOMPARE(m_service.admin({"release", "clear"}).exitCode, 0);
        QVERIFY(m_service.publish(u"2.0"_s, m_archive, {"--no-signature"}));
        TemporaryHome home;
        const QString host = makeHost(home, QStringLiteral(MORNIX_EXECUTABLE));
        QVERIFY(!host.isEmpty());
        UpdaterProcess updater(host, {u"--check-now"_s}, home);
        QVERIFY2(updater.waitForError(u"Veltro Desktop update 2.0 refused: it has no Ed25519 signature"_s),
                 qPrintable(updater.errorText()));
        QVERIFY(updater.waitForExit(20000));  // no host runs: the first tick ends it
        QVERIFY(!updater.errorText().contains(u"up to date"_s));
        QCOMPARE(bundleVersion(host), u"1.0"_s);
    }

    // An archive module that is missing, or changed while the updater runs (its own bundle's seal
    // held when it started), fails the update alone: after the signature verified, the session
    // ends refused with the loader's reason, the installed bundle stays as it was, and the mode
    // ends as usual once the host has quit.
    void anUnusableArchiveModuleRefusesTheUpdate_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << false << u"missing or not a regular file: "_s;
        QTest::newRow("modified during the session") << true << u"modified after the bundle was signed: "_s;
    }
    void anUnusableArchiveModuleRefusesTheUpdate()
    {
        QFETCH(bool, present);
        QFETCH(QString, reason);
        QCOMPARE(m_service.admin({"release", "clear"}).exitCode, 0);
        // About four seconds on the wire: time to change the module before it is needed.
        const qint64 size = QFileInfo(m_archive).size();
        QVERIFY(m_service.publish(u"2.0"_s, m_archive, {"--bytes-per-second", QString::number(size / 4)}));
        TemporaryHome home;
        HostOptions options;
        options.feedURL = m_service.feedURL();
        options.publicKey = m_key;
        options.helperExecutable = QStringLiteral(MORNIX_UPDATER_PROBE);
        options.archiveModule = present;
        const QString host = makeDesktopBundle(home.path(), options);
        QVERIFY(!host.isEmpty());
        const QString module =
            host + u"/Contents/Helpers/Mornix/VeltroMornix.app/"_s + QLatin1String(archive_module::kModulePath);
        auto desktop = std::make_unique<fixtures::RunningFixture>(desktopExecutablePath(host));

        UpdaterProcess updater(host, {u"--check-now"_s, u"--answer"_s, u"install"_s}, home);
        if (present) {
            QVERIFY2(updater.waitForError(u"step session-started"_s), qPrintable(updater.errorText()));
            QVERIFY(!updater.errorText().contains(u"step downloaded"_s));
            QVERIFY(fixtures::tamper(module));
        }
        const QString refused = u"Veltro Desktop update 2.0 refused: the archive module cannot be used: "_s + reason;
        QVERIFY2(updater.waitForError(refused, 60000), qPrintable(updater.errorText()));
        QVERIFY2(updater.errorText().contains(reason + module), qPrintable(updater.errorText()));
        QVERIFY(updater.errorText().contains(u"step verified"_s));
        QVERIFY(!updater.errorText().contains(u"step unpacking"_s));
        QVERIFY(!updater.errorText().contains(u"the archive was refused"_s));
        desktop.reset();
        QVERIFY(updater.waitForExit(20000));
        QCOMPARE(updater.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.process().exitCode(), 0);
        QVERIFY(!QFileInfo::exists(stagingPath(home)));
        QCOMPARE(bundleVersion(host), u"1.0"_s);
    }

    // An archive answered by a 404 that never ends, or trickling forever: the session ends
    // refused with the reason, nothing is left in the staging directory, and the mode ends once
    // the host has quit.
    void endlessAnswersEndTheSession_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("404 with an endless body") << u"endless-404"_s << u"HTTP status 404"_s;
        QTest::newRow("endless trickle") << u"trickle"_s << u"the transfer did not finish within 3 s"_s;
    }
    void endlessAnswersEndTheSession()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        QCOMPARE(m_service.admin({"release", "clear"}).exitCode, 0);
        QVERIFY(m_service.publish(u"2.0"_s, m_archive));
        QCOMPARE(m_service.admin({"release", "fault", "archive", fault}).exitCode, 0);
        TemporaryHome home;
        const QString host = makeHost(home, QStringLiteral(MORNIX_UPDATER_PROBE));
        QVERIFY(!host.isEmpty());
        auto desktop = std::make_unique<fixtures::RunningFixture>(desktopExecutablePath(host));

        UpdaterProcess updater(
            host, {u"--check-now"_s, u"--answer"_s, u"install"_s, u"--transfer-deadline"_s, u"3000"_s}, home);
        QVERIFY2(updater.waitForError(u"Veltro Desktop update 2.0 refused: download failed: "_s + reason, 60000),
                 qPrintable(updater.errorText()));
        QVERIFY(updater.errorText().contains(u"step session-started"_s));
        desktop.reset();
        QVERIFY(updater.waitForExit(20000));
        QCOMPARE(updater.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.process().exitCode(), 0);
        QVERIFY(!QFileInfo::exists(stagingPath(home)));
        QCOMPARE(bundleVersion(host), u"1.0"_s);
        QVERIFY(signatureValid(host));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(UpdaterModeTest)
#include "tst_updater_mode.moc"
