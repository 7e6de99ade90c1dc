// The app layer's units: argument rules, the Qt message route, the build label, the reading of
// the process environment, and the readable failures of device removal and desktop enrollment.
#include "api/api_error.h"
#include "api/pinned_session.h"
#include "app/agent_services.h"
#include "app/arguments.h"
#include "app/bridge_service.h"
#include "app/build_label.h"
#include "app/cli_output.h"
#include "app/desktop_enrollment.h"
#include "app/device_removal.h"
#include "app/process_environment.h"
#include "discovery/agent_instance_scanner.h"
#include "identity/keychain_store.h"
#include "platform/linux/bundle/app_bundle.h"
#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/process/procfs_process_table.h"
#include "platform/linux/process/procfs_workspace.h"
#include "support/info_plist_writer.h"
#include "support/process_runner.h"
#include "support/recording_system_log.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <QCoroTask>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

using namespace mornix;

Q_DECLARE_METATYPE(std::function<void()>)

namespace mornix {

namespace {

QStringList g_previousHandlerMessages;
void previousHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_previousHandlerMessages.append(message);
}

// A log that notices being written to while it is being destroyed (its destructor lingers to
// widen that window).
class LingeringLog final : public SystemLog {
public:
    explicit LingeringLog(std::atomic<int> *writes, std::atomic<int> *lateWrites)
        : m_writes(writes)
        , m_lateWrites(lateWrites)
    {
    }
    ~LingeringLog() override
    {
        m_dying.store(true);
        QThread::usleep(200);
    }
    void write(Level, const QString &) override
    {
        m_writes->fetch_add(1);
        if (m_dying.load())
            m_lateWrites->fetch_add(1);
    }

private:
    std::atomic<int> *m_writes;
    std::atomic<int> *m_lateWrites;
    std::atomic<bool> m_dying{false};
};

std::atomic<int> g_messagesBetweenRoutes{0};
void countingHandler(QtMsgType, const QMessageLogContext &, const QString &)
{
    g_messagesBetweenRoutes.fetch_add(1);
}

using fixtures::InfoEntries;

// Writes X.app/Contents/{Info.plist,MacOS/exe} with the given version entries and sets the
// executable's modification time with touch(1). Returns the executable path.
QString makeBundle(const QString &root, const InfoEntries &versions, const char *touchDate = "2026-01-05 09:30:12 UTC")
{
    const QString contents = root + QStringLiteral("/X.app/Contents");
    QDir().mkpath(contents + QStringLiteral("/MacOS"));
    if (!fixtures::writeInfoPlist(contents + QStringLiteral("/Info.plist"),
                                  InfoEntries{{QStringLiteral("CFBundleIdentifier"), QStringLiteral("ai.veltro.test")}}
                                      + versions))
        return {};
    const QString exe = contents + QStringLiteral("/MacOS/exe");
    QFile file(exe);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("binary");
    file.close();
    if (runProcess(QStringLiteral("touch"),
                   {QStringLiteral("-m"), QStringLiteral("-d"), QString::fromLatin1(touchDate), exe})
            .exitCode
        != 0)
        return {};
    return exe;
}

const QString kOrgID = QStringLiteral("2f0c6d3a-9a51-4c52-8a8e-3d5b0e6f1a27");
const QString kProjectID = QStringLiteral("7b1e2c44-0d6f-4e8a-9b3c-5a7d9e1f2b36");

class ThrowingService final : public BridgeService {
public:
    std::function<void()> fail;
    QString answeredOrgID = kOrgID;
    QCoro::Task<BridgeRegistration> registerDevice(QString, QString, QString, QString) override
    {
        fail();
        BridgeRegistration registration;
        registration.orgID = answeredOrgID;
        registration.projectID = kProjectID;
        registration.deviceID = QStringLiteral("device-1");
        co_return registration;
    }
    QCoro::Task<void> logoutDevice(DeviceCredentials, DeviceLogoutRequestPayload) override
    {
        fail();
        co_return;
    }
};

// The text a failed logout carries, or "logged out" / "already gone".
QCoro::Task<void> logoutText(std::shared_ptr<DeviceRemoval> removal, QString *text)
{
    try {
        const DeviceCredentials credentials;
        const DeviceLogoutRequestPayload request;
        const DeviceDisconnector::LogoutOutcome outcome = co_await removal->logout(credentials, request);
        *text = outcome == DeviceDisconnector::LogoutOutcome::alreadyGone ? QStringLiteral("already gone")
                                                                          : QStringLiteral("logged out");
    } catch (const std::exception &error) {
        *text = QString::fromUtf8(error.what());
    }
}

}  // namespace

class AppUnitsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void notifyUpdatePlacementRule_data();
    void notifyUpdatePlacementRule();
    void qtMessagesReachTheLogOnlyWhileTheRouteLives();
    void routeEndsSafelyWhileOtherThreadsLog();
    void labelFromBundle_data();
    void labelFromBundle();
    void stampWithoutBundleExecutable();
    void logoutFailuresAreReadable_data();
    void logoutFailuresAreReadable();
    void failedUninstallIsLogged();
    void failedEnrollmentIsLogged_data();
    void failedEnrollmentIsLogged();
    void exitWatchesHoldOnlyTheInstancesOwnLaunch();
    void environmentReachesItsField_data();
    void environmentReachesItsField();
};

void AppUnitsTest::qtMessagesReachTheLogOnlyWhileTheRouteLives()
{
    const QtMessageHandler original = qInstallMessageHandler(previousHandler);
    auto log = std::make_shared<RecordingSystemLog>();
    std::weak_ptr<RecordingSystemLog> watch = log;
    {
        const QtMessageRoute route(log);
        log.reset();  // the route alone keeps it
        qWarning("routed");
        QCOMPARE(watch.lock()->messages(), QStringList{QStringLiteral("routed")});
    }
    // The route is gone: the log with it, and the handler from before is back.
    QVERIFY(watch.expired());
    qWarning("after");
    qInstallMessageHandler(original);
    QCOMPARE(g_previousHandlerMessages, QStringList{QStringLiteral("after")});
}

void AppUnitsTest::routeEndsSafelyWhileOtherThreadsLog()
{
    const QtMessageHandler original = qInstallMessageHandler(countingHandler);
    std::atomic<int> writes{0};
    std::atomic<int> lateWrites{0};
    std::atomic<bool> stop{false};
    QList<QThread *> writers;
    for (int i = 0; i < 3; ++i) {
        writers.append(QThread::create([&stop] {
            while (!stop.load())
                qWarning("from a worker");
        }));
        writers.last()->start();
    }
    // Routes come and go (as at the end of every mode) while the workers keep logging.
    for (int round = 0; round < 200; ++round) {
        const QtMessageRoute route(std::make_shared<LingeringLog>(&writes, &lateWrites));
        QThread::usleep(50);
    }
    stop.store(true);
    for (QThread *writer : writers) {
        writer->wait();
        delete writer;
    }
    qInstallMessageHandler(original);
    // Both sides saw messages: the routes' logs while they lived, the previous handler between.
    QVERIFY(writes.load() > 0);
    QVERIFY(g_messagesBetweenRoutes.load() > 0);
    QCOMPARE(lateWrites.load(), 0);
}

void AppUnitsTest::notifyUpdatePlacementRule_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("version");
    QTest::newRow("version last") << QStringList{"exe", "--notify-update", "1.2.3"} << QStringLiteral("1.2.3");
    QTest::newRow("other switch before") << QStringList{"exe", "--x", "--notify-update", "2.0"}
                                         << QStringLiteral("2.0");
    QTest::newRow("first occurrence decides")
        << QStringList{"exe", "--notify-update", "--notify-update", "9"} << QString();
    QTest::newRow("version unchanged") << QStringList{"exe", "--notify-update", " 3.0 "} << QStringLiteral(" 3.0 ");
}

void AppUnitsTest::notifyUpdatePlacementRule()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, version);
    const std::optional<QString> parsed = Arguments(arguments).notifyUpdateVersion();
    QCOMPARE(parsed.has_value(), !version.isNull());
    if (parsed)
        QCOMPARE(*parsed, version);
}

void AppUnitsTest::labelFromBundle_data()
{
    QTest::addColumn<QVariant>("shortVersion");  // CFBundleShortVersionString; invalid: absent
    QTest::addColumn<QVariant>("version");       // CFBundleVersion
    QTest::addColumn<QString>("expected");
    QTest::newRow("version and build") << QVariant(QStringLiteral("1.4.2")) << QVariant(QStringLiteral("57"))
                                       << QStringLiteral("1.4.2 (57)+20260105-093012");
    QTest::newRow("no version keys") << QVariant() << QVariant() << QStringLiteral("dev (0)+20260105-093012");
    QTest::newRow("blank values") << QVariant(QStringLiteral(" \n")) << QVariant(QString())
                                  << QStringLiteral("dev (0)+20260105-093012");
    QTest::newRow("values placed as stored") << QVariant(QStringLiteral(" 2.0 ")) << QVariant(QStringLiteral("7\t"))
                                             << QStringLiteral(" 2.0  (7\t)+20260105-093012");
    QTest::newRow("not strings") << QVariant(3) << QVariant(true) << QStringLiteral("dev (0)+20260105-093012");
}

void AppUnitsTest::labelFromBundle()
{
    QFETCH(QVariant, shortVersion);
    QFETCH(QVariant, version);
    QFETCH(QString, expected);
    InfoEntries entries;
    if (shortVersion.isValid())
        entries.append({QStringLiteral("CFBundleShortVersionString"), shortVersion});
    if (version.isValid())
        entries.append({QStringLiteral("CFBundleVersion"), version});
    QTemporaryDir dir;
    const QString exe = makeBundle(dir.path(), entries);
    QVERIFY(!exe.isEmpty());
    QCOMPARE(computeBuildLabel(AppBundle(exe), QStringLiteral("/ignored")), expected);
}

// A bundle that knows no executable: the stamp comes from argument 0; none readable: "unknown".
void AppUnitsTest::stampWithoutBundleExecutable()
{
    QTemporaryDir dir;
    const QString program = makeBundle(dir.filePath(QStringLiteral("a")), {}, "1999-12-31 23:59:58 UTC");
    QCOMPARE(computeBuildLabel(AppBundle(QString()), program), QStringLiteral("dev (0)+19991231-235958"));
    const QString exe = makeBundle(dir.filePath(QStringLiteral("b")),
                                   {{QStringLiteral("CFBundleShortVersionString"), QStringLiteral("1.0")}});
    QVERIFY(QFile::remove(exe));
    QCOMPARE(computeBuildLabel(AppBundle(exe), exe), QStringLiteral("1.0 (0)+unknown"));
    QCOMPARE(buildStamp(QString()), QStringLiteral("unknown"));
}

void AppUnitsTest::logoutFailuresAreReadable_data()
{
    QTest::addColumn<std::function<void()>>("fail");
    QTest::addColumn<QString>("text");
    QTest::newRow("server error") << std::function<void()>([] {
        throw APIError::serverError(500, QStringLiteral("boom"));
    }) << QStringLiteral("The service answered with HTTP status 500.");
    QTest::newRow("disallowed host") << std::function<void()>([] {
        throw PinnedSessionError(PinnedSessionError::Kind::disallowedHost);
    }) << QStringLiteral("The service address is not one of the allowed hosts.");
    QTest::newRow("insecure scheme") << std::function<void()>([] {
        throw PinnedSessionError(PinnedSessionError::Kind::insecureScheme);
    }) << QStringLiteral("The service address does not use HTTPS.");
    QTest::newRow("device not found") << std::function<void()>([] { throw DeviceNotFound(); })
                                      << QStringLiteral("already gone");
    QTest::newRow("success") << std::function<void()>([] {}) << QStringLiteral("logged out");
}

void AppUnitsTest::logoutFailuresAreReadable()
{
    QFETCH(std::function<void()>, fail);
    QFETCH(QString, text);
    auto service = std::make_shared<ThrowingService>();
    service->fail = fail;
    auto removal = std::make_shared<DeviceRemoval>(nullptr, nullptr, service, nullptr);
    QString actual;
    logoutText(removal, &actual);
    QTRY_VERIFY(!actual.isEmpty());
    QCOMPARE(actual, text);
}

// Stored credentials that cannot be read: nothing is removed, and the log says why.
void AppUnitsTest::failedUninstallIsLogged()
{
    QTemporaryDir dir;
    auto keychain = std::make_shared<FileKeychain>(dir.path());
    QCOMPARE(keychain->addGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount, "{not json"), 0);
    auto log = std::make_shared<RecordingSystemLog>();
    auto service = std::make_shared<ThrowingService>();
    service->fail = [] {};
    DeviceRemoval removal(std::make_shared<KeychainStore>(keychain), nullptr, service, log);
    QCOMPARE(QCoro::waitFor(removal.runUninstall()), 1);
    const QStringList lines = log->messages();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(QLatin1String("device removal failed: stored credentials unreadable: ")),
             qPrintable(lines[0]));
    QVERIFY(lines[0].size() > QLatin1String("device removal failed: stored credentials unreadable: ").size());
    QByteArray kept;
    QCOMPARE(keychain->readGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount, kept), 0);
    QCOMPARE(kept, QByteArray("{not json"));
}

void AppUnitsTest::failedEnrollmentIsLogged_data()
{
    QTest::addColumn<std::function<void()>>("fail");
    QTest::addColumn<QString>("answeredOrgID");
    QTest::addColumn<bool>("storedGarbage");
    QTest::addColumn<QString>("lockState");  // "", "held" or "foreign"
    QTest::addColumn<QString>("line");
    const auto none = std::function<void()>([] {});
    QTest::newRow("registration refused")
        << std::function<void()>([] { throw APIError::serverError(500, QStringLiteral("boom")); }) << kOrgID << false
        << QString()
        << QStringLiteral("desktop enrollment failed: registration: The service answered with HTTP status 500.");
    QTest::newRow("another organization")
        << none << QStringLiteral("0e6a4f8b-1c2d-4e3f-8a9b-0c1d2e3f4a5b") << false << QString()
        << QStringLiteral("desktop enrollment failed: registration: the service enrolled the device in another "
                          "organization or project");
    QTest::newRow("stored credentials unreadable")
        << none << kOrgID << true << QString()
        << QStringLiteral("desktop enrollment failed: stored credentials unreadable: ");
    QTest::newRow("lock held") << none << kOrgID << false << QStringLiteral("held")
                               << QStringLiteral("desktop enrollment failed: enrollment lock: another enrollment is in "
                                                 "progress (it holds %1)");
    // Planted by another user (uid 65534): refused, and the log names the file and its owner.
    QTest::newRow("lock of another user")
        << none << kOrgID << false << QStringLiteral("foreign")
        << QStringLiteral("desktop enrollment failed: enrollment lock: %1 is owned by another user (nobody) and is not "
                          "used; only that user or an administrator can remove it");
}

void AppUnitsTest::failedEnrollmentIsLogged()
{
    QFETCH(std::function<void()>, fail);
    QFETCH(QString, answeredOrgID);
    QFETCH(bool, storedGarbage);
    QFETCH(QString, lockState);
    QFETCH(QString, line);
    QTemporaryDir dir;
    auto keychain = std::make_shared<FileKeychain>(dir.filePath(QStringLiteral("keychain")));
    if (storedGarbage)
        QCOMPARE(keychain->addGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount, "\x01"), 0);
    const QString lockPath = DesktopEnrollment::lockFilePath(dir.path());
    if (line.contains(QLatin1String("%1")))
        line = line.arg(lockPath);
    std::unique_ptr<posix::LockFile> heldLock;
    if (lockState == QLatin1String("held")) {
        heldLock = DesktopEnrollment::acquireLock(lockPath).lock;
        QVERIFY(heldLock);
    } else if (lockState == QLatin1String("foreign")) {
        if (::getuid() != 0)
            QSKIP("planting another user's file needs root");
        QVERIFY(writeFile(lockPath, {}));
        QCOMPARE(::chmod(QFile::encodeName(lockPath).constData(), 0600), 0);
        QCOMPARE(::chown(QFile::encodeName(lockPath).constData(), 65534, 65534), 0);
    }
    auto service = std::make_shared<ThrowingService>();
    service->fail = fail;
    service->answeredOrgID = answeredOrgID;
    auto log = std::make_shared<RecordingSystemLog>();
    DesktopEnrollment::Dependencies deps;
    deps.keychain = std::make_shared<KeychainStore>(keychain);
    deps.service = service;
    deps.defaultAPIBaseURL = QStringLiteral("https://localhost:8443");
    deps.hardwareSerialNumber = [] { return QStringLiteral("UNKNOWN_SERIAL"); };
    deps.hardwareUUID = [] { return QStringLiteral("UNKNOWN_UUID"); };
    deps.readInput = [](bool *) {
        return std::optional<QByteArray>(QStringLiteral(R"({"access_token":"grant","org_id":"%1","project_id":"%2"})")
                                             .arg(kOrgID, kProjectID)
                                             .toUtf8());
    };
    deps.lockDirectory = dir.path();
    deps.systemLog = log;
    int status = -1;
    {
        DesktopEnrollment enrollment(std::move(deps));
        status = QCoro::waitFor(enrollment.run());
    }
    QCOMPARE(status, 1);
    const QStringList lines = log->messages();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(line), qPrintable(lines[0]));
    if (!lockState.isEmpty())
        QCOMPARE(lines[0], line);
    // Nothing was stored.
    if (!storedGarbage)
        QVERIFY(!KeychainStore(keychain).loadCredentials());
}

// The monitor's exit watches over the real process table: one for a process that is still the
// instance's launch; none once the pid no longer holds that launch (taken over, or gone).
void AppUnitsTest::exitWatchesHoldOnlyTheInstancesOwnLaunch()
{
    QProcess sleeper;
    sleeper.start(QStringLiteral("sleep"), {QStringLiteral("600")});
    QVERIFY(sleeper.waitForStarted());
    const auto pid = qint32(sleeper.processId());
    auto table = std::make_shared<ProcfsProcessTable>();
    auto scanner = std::make_shared<const AgentInstanceScanner>(std::make_shared<ProcfsWorkspace>(), table, nullptr);
    const AgentInstanceMonitor::Scanner view = makeMonitorScanner(scanner, table);

    DetectedAgentInstance own;
    own.report.kind = QStringLiteral("process");
    own.processIdentifier = pid;
    own.launchIdentity = table->startIdentity(pid).startText;
    QVERIFY(!own.launchIdentity.isEmpty());
    QVERIFY(view.watchExit(own));
    // An earlier launch on the same pid: its process ended and this one took the pid over.
    DetectedAgentInstance earlier = own;
    earlier.launchIdentity = QStringLiteral("Sat Dec 5 17:27:28 2020");
    QVERIFY(!view.watchExit(earlier));

    sleeper.kill();
    QVERIFY(sleeper.waitForFinished());
    QVERIFY(!view.watchExit(own));
}

void AppUnitsTest::environmentReachesItsField_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("unset");  // the field when the variable is not set
    const QString empty = QStringLiteral("");
    QTest::newRow("enrollment secret") << QByteArray("VELTRO_MDM_ENROLLMENT_SECRET") << QByteArray(" s \n")
                                       << QStringLiteral(" s \n") << QStringLiteral("(none)");
    QTest::newRow("empty enrollment secret")
        << QByteArray("VELTRO_MDM_ENROLLMENT_SECRET") << QByteArray() << empty << QStringLiteral("(none)");
    QTest::newRow("keychain") << QByteArray("VELTRO_KEYCHAIN") << QByteArray("file") << QStringLiteral("file") << empty;
    QTest::newRow("TPM") << QByteArray("VELTRO_TPM_TCTI") << QByteArray("swtpm:port=1")
                         << QStringLiteral("swtpm:port=1") << empty;
    QTest::newRow("browser") << QByteArray("BROWSER") << QByteArray("a:b %s") << QStringLiteral("a:b %s") << empty;
    QTest::newRow("notification launch") << QByteArray("VELTRO_NOTIFICATION_LAUNCH") << QByteArray("1")
                                         << QStringLiteral("true") << QStringLiteral("false");
    QTest::newRow("other notification marker") << QByteArray("VELTRO_NOTIFICATION_LAUNCH") << QByteArray("yes")
                                               << QStringLiteral("false") << QStringLiteral("false");
    QTest::newRow("X display") << QByteArray("DISPLAY") << QByteArray(":7") << QStringLiteral(":7") << empty;
    QTest::newRow("Wayland display") << QByteArray("WAYLAND_DISPLAY") << QByteArray("w-1") << QStringLiteral("w-1")
                                     << empty;
    QTest::newRow("Qt platform") << QByteArray("QT_QPA_PLATFORM") << QByteArray("minimal") << QStringLiteral("minimal")
                                 << empty;
    QTest::newRow("runtime directory") << QByteArray("XDG_RUNTIME_DIR") << QByteArray("/run/user/7")
                                       << QStringLiteral("/run/user/7") << empty;
    QTest::newRow("session bus") << QByteArray("DBUS_SESSION_BUS_ADDRESS") << QByteArray("unix:path=/b")
                                 << QStringLiteral("unix:path=/b") << empty;
}

// Each variable lands in its own field and in no other; unset and empty stay apart where the
// agent treats them apart (the enrollment secret).
void AppUnitsTest::environmentReachesItsField()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    QFETCH(QString, field);
    QFETCH(QString, unset);
    const auto fields = [](const RuntimeEnvironment &environment) {
        return QStringList{
            environment.mdmEnrollmentSecret.value_or(QStringLiteral("(none)")),
            QString::fromUtf8(environment.keychainBackend),
            environment.tpmTcti,
            environment.browser,
            environment.notificationLaunch ? QStringLiteral("true") : QStringLiteral("false"),
            QString::fromUtf8(environment.display),
            QString::fromUtf8(environment.waylandDisplay),
            QString::fromUtf8(environment.qpaPlatform),
            QString::fromUtf8(environment.runtimeDirectory),
            QString::fromUtf8(environment.sessionBusAddress),
        };
    };
    const QList<QByteArray> names{"VELTRO_MDM_ENROLLMENT_SECRET",
                                  "VELTRO_KEYCHAIN",
                                  "VELTRO_TPM_TCTI",
                                  "BROWSER",
                                  "VELTRO_NOTIFICATION_LAUNCH",
                                  "DISPLAY",
                                  "WAYLAND_DISPLAY",
                                  "QT_QPA_PLATFORM",
                                  "XDG_RUNTIME_DIR",
                                  "DBUS_SESSION_BUS_ADDRESS"};
    const qsizetype index = names.indexOf(variable);
    QVERIFY(index >= 0);
    QHash<QByteArray, std::optional<QByteArray>> saved;
    for (const QByteArray &name : names) {
        saved.insert(name, qEnvironmentVariableIsSet(name.constData()) ? std::optional(qgetenv(name.constData()))
                                                                       : std::nullopt);
        qunsetenv(name.constData());
    }
    const QStringList none = fields(readProcessEnvironment());
    qputenv(variable.constData(), value);
    const QStringList set = fields(readProcessEnvironment());
    for (auto it = saved.cbegin(); it != saved.cend(); ++it) {
        if (it.value())
            qputenv(it.key().constData(), *it.value());
        else
            qunsetenv(it.key().constData());
    }

    QCOMPARE(none.at(index), unset);
    QCOMPARE(set.at(index), field);
    QStringList others = set;
    others[index] = none.at(index);
    QCOMPARE(others, none);
}

}  // namespace mornix

QTEST_GUILESS_MAIN(AppUnitsTest)
#include "tst_app_units.moc"
