// Logout failures reach the interface as readable sentences, never as an error's debug name;
// failed removals and desktop enrollments say why in the system log.
#include "api/api_error.h"
#include "api/pinned_session.h"
#include "app/bridge_service.h"
#include "app/desktop_enrollment.h"
#include "app/device_removal.h"
#include "identity/keychain_store.h"
#include "platform/linux/file_keychain.h"
#include "support/recording_system_log.h"

#include <QTemporaryDir>

#include <QCoroTask>
#include <QTest>

#include <functional>
#include <stdexcept>

#include <unistd.h>

using namespace mornix;

Q_DECLARE_METATYPE(std::function<void()>)

namespace mornix {

namespace {

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

class DeviceRemovalTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void logoutFailuresAreReadable_data();
    void logoutFailuresAreReadable();
    void failedUninstallIsLogged();
    void failedEnrollmentIsLogged_data();
    void failedEnrollmentIsLogged();
};

void DeviceRemovalTest::logoutFailuresAreReadable_data()
{
    QTest::addColumn<std::function<void()>>("fail");
    QTest::addColumn<QString>("text");
    QTest::newRow("server error") << std::function<void()>([] { throw APIError::serverError(500, QStringLiteral("boom")); })
                                  << QStringLiteral("The service answered with HTTP status 500.");
    QTest::newRow("disallowed host")
        << std::function<void()>([] { throw PinnedSessionError(PinnedSessionError::Kind::disallowedHost); })
        << QStringLiteral("The service address is not one of the allowed hosts.");
    QTest::newRow("insecure scheme")
        << std::function<void()>([] { throw PinnedSessionError(PinnedSessionError::Kind::insecureScheme); })
        << QStringLiteral("The service address does not use HTTPS.");
    QTest::newRow("device not found") << std::function<void()>([] { throw DeviceNotFound(); })
                                      << QStringLiteral("already gone");
    QTest::newRow("success") << std::function<void()>([] {}) << QStringLiteral("logged out");
}

void DeviceRemovalTest::logoutFailuresAreReadable()
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
    QVERIFY(!actual.contains(QLatin1String("serverError")) && !actual.contains(QLatin1String("disallowedHost")));
}

// Stored credentials that cannot be read: nothing is removed, and the log says why.
void DeviceRemovalTest::failedUninstallIsLogged()
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
    QVERIFY2(lines[0].startsWith(QLatin1String("device removal failed: stored credentials unreadable: ")), qPrintable(lines[0]));
    QVERIFY(lines[0].size() > QLatin1String("device removal failed: stored credentials unreadable: ").size());
    QByteArray kept;
    QCOMPARE(keychain->readGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount, kept), 0);
    QCOMPARE(kept, QByteArray("{not json"));
}

void DeviceRemovalTest::failedEnrollmentIsLogged_data()
{
    QTest::addColumn<std::function<void()>>("fail");
    QTest::addColumn<QString>("answeredOrgID");
    QTest::addColumn<bool>("storedGarbage");
    QTest::addColumn<bool>("lockHeld");
    QTest::addColumn<QString>("line");
    const auto none = std::function<void()>([] {});
    QTest::newRow("registration refused")
        << std::function<void()>([] { throw APIError::serverError(500, QStringLiteral("boom")); }) << kOrgID << false
        << false << QStringLiteral("desktop enrollment failed: registration: The service answered with HTTP status 500.");
    QTest::newRow("another organization")
        << none << QStringLiteral("0e6a4f8b-1c2d-4e3f-8a9b-0c1d2e3f4a5b") << false << false
        << QStringLiteral("desktop enrollment failed: registration: the service enrolled the device in another "
                          "organization or project");
    QTest::newRow("stored credentials unreadable")
        << none << kOrgID << true << false << QStringLiteral("desktop enrollment failed: stored credentials unreadable: ");
    QTest::newRow("lock held") << none << kOrgID << false << true
                               << QStringLiteral("desktop enrollment failed: enrollment lock: another enrollment holds it");
}

void DeviceRemovalTest::failedEnrollmentIsLogged()
{
    QFETCH(std::function<void()>, fail);
    QFETCH(QString, answeredOrgID);
    QFETCH(bool, storedGarbage);
    QFETCH(bool, lockHeld);
    QFETCH(QString, line);
    QTemporaryDir dir;
    auto keychain = std::make_shared<FileKeychain>(dir.filePath(QStringLiteral("keychain")));
    if (storedGarbage)
        QCOMPARE(keychain->addGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount, "\x01"), 0);
    std::unique_ptr<posix::LockFile> heldLock;
    if (lockHeld) {
        heldLock = DesktopEnrollment::acquireLock(DesktopEnrollment::lockFilePath(dir.path()));
        QVERIFY(heldLock);
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
        return std::optional<QByteArray>(
            QStringLiteral(R"({"access_token":"grant","org_id":"%1","project_id":"%2"})").arg(kOrgID, kProjectID).toUtf8());
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
    // Nothing was stored.
    if (!storedGarbage)
        QVERIFY(!KeychainStore(keychain).loadCredentials());
}

}  // namespace mornix

QTEST_GUILESS_MAIN(DeviceRemovalTest)
#include "tst_device_removal.moc"
