// The desktop bridge modes --desktop-enroll-stdin and --desktop-uninstall-device as real
// processes against the local reference service, with a private home and file keychain.
#include "app/desktop_enrollment.h"
#include "identity/device_enrollment_agent.h"
#include "identity/keychain_store.h"
#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/notifications/dbus_distributed_notifications.h"
#include "support/agent_process.h"
#include "support/dev_service.h"
#include "support/lock_holder.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QMap>
#include <QTest>
#include <QUuid>

#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

const QByteArray kEnrolled = "{\"protocol_version\":1,\"enrolled\":true}\n";
const QByteArray kEnrollFailure = "Desktop enrollment failed.\n";
const QByteArray kRemoved = "{\"protocol_version\":1,\"device_removed\":true}\n";
const QByteArray kRemovalFailure = "Device removal failed; credentials retained where possible.\n";

QProcessEnvironment agentEnvironment(const TemporaryHome &home)
{
    QProcessEnvironment env = headlessEnvironment(home.environment());
    env.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
    return env;
}

ProcessResult agentMode(const TemporaryHome &home, const QString &mode, const QByteArray &input = {})
{
    return runProcess(QStringLiteral(MORNIX_EXECUTABLE), {mode}, input, agentEnvironment(home), 60000);
}

ProcessResult enroll(const TemporaryHome &home, const QByteArray &input)
{
    return agentMode(home, QStringLiteral("--desktop-enroll-stdin"), input);
}

ProcessResult removeDevice(const TemporaryHome &home)
{
    return agentMode(home, QStringLiteral("--desktop-uninstall-device"));
}

QJsonObject controlStatus(const TemporaryHome &home)
{
    return QJsonDocument::fromJson(agentMode(home, QStringLiteral("--desktop-control-status")).standardOutput).object();
}

const QString kEnrolledState = QStringLiteral("enrolled");
const QString kNotEnrolledState = QStringLiteral("not enrolled");

// What --desktop-control-status says: kEnrolledState, kNotEnrolledState, or its raw answer when
// it is neither (a running older copy, an unreadable store), so that a comparison shows it.
QString enrollmentState(const TemporaryHome &home)
{
    const ProcessResult status = agentMode(home, QStringLiteral("--desktop-control-status"));
    const QJsonObject object = QJsonDocument::fromJson(status.standardOutput).object();
    if (status.exitCode == 0 && status.standardOutput == "{\"protocol_version\":1,\"enrolled\":false}\n")
        return kNotEnrolledState;
    if (status.exitCode == 0 && object.value(QStringLiteral("enrolled")).toBool()
        && !object.contains(QStringLiteral("requires_restart"))
        && !object.value(QStringLiteral("org_id")).toString().isEmpty())
        return kEnrolledState;
    return QStringLiteral("exit %1: %2")
        .arg(status.exitCode)
        .arg(QString::fromUtf8(status.standardOutput + status.standardError));
}

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString keychainDirectory(const TemporaryHome &home)
{
    return home.dataHome() + QStringLiteral("/VeltroMornix/keychain");
}

QString credentialsFile(const TemporaryHome &home)
{
    return keychainDirectory(home) + u'/'
           + FileKeychain::genericPasswordFileName(KeychainStore::service, KeychainStore::credentialsAccount);
}

// Every item of the file keychain: file name and bytes.
QMap<QString, QByteArray> keychainItems(const TemporaryHome &home)
{
    QMap<QString, QByteArray> items;
    const QDir directory(keychainDirectory(home));
    for (const QString &name : directory.entryList(QDir::Files))
        items.insert(name, readFile(directory.filePath(name)));
    return items;
}

}  // namespace

class DesktopBridgeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void inputRules();
    void enrollmentStoresCredentialsAndNotifies();
    void enrollmentChecksTheServiceAnswerAndStoresNothingOnAnyFailure();
    void enrollmentLockFileRules();
    void enrollmentKilledAtAnyPointLeavesNoneOrComplete();
    void removal();

private:
    DevService m_service;
};

void DesktopBridgeTest::initTestCase()
{
    QVERIFY(m_service.start());
}

void DesktopBridgeTest::inputRules()
{
    const QString org = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString project = QUuid::createUuid().toString(QUuid::WithoutBraces);
    auto request = [&](const QString &token) {
        return QJsonObject{{"access_token", token}, {"org_id", org}, {"project_id", project}};
    };
    const QString nil = QStringLiteral("00000000-0000-0000-0000-000000000000");
    QVERIFY(DesktopEnrollment::isUUIDText(org.toUpper()));
    QVERIFY(DesktopEnrollment::isUUIDText(nil));  // the nil UUID is UUID text; near misses are not
    for (const QString &bad : {QStringLiteral("00000000-0000-0000-0000-00000000000g"), QString(32, u'0'),
                               QStringLiteral("urn:uuid:") + nil, org + u'\n'})
        QVERIFY2(!DesktopEnrollment::isUUIDText(bad), qPrintable(bad));
    QJsonObject extra = request(QStringLiteral("t"));
    extra.insert(QStringLiteral("extra"), 1);
    const struct {
        QJsonObject request;
        bool accepted;
    } rows[] = {
        {request(QString(16384, u'a')), true},
        {request(QString(16385, u'a')), false},
        {request(QString(8192, QChar(0xE9)) + u'a'), false},  // 16385 UTF-8 bytes
        {request(QString()), false},
        {request(QStringLiteral("tok\ten")), false},
        {request(QStringLiteral("tok\nen")), false},
        {request(QStringLiteral("tok") + QChar(0x200B) + u'n'), false},  // Cf
        {request(QStringLiteral("tökén ✓")), true},
        {extra, false},
        {QJsonObject{{"access_token", "t"}, {"org_id", 5}, {"project_id", project}}, false},
        {QJsonObject{{"access_token", "t"}, {"org_id", u'{' + org + u'}'}, {"project_id", project}}, false},
        {QJsonObject{{"access_token", "t"}, {"org_id", org}, {"project_id", nil}}, true},
    };
    for (const auto &row : rows)
        QVERIFY2(DesktopEnrollment::parseRequest(row.request).has_value() == row.accepted, json(row.request).left(80));

    // Through the real process: a syntax error or a read error (standard input is a directory)
    // prints the failure text.
    TemporaryHome home;
    const ProcessResult syntax = enroll(home, "{\"access_token\":");
    const ProcessResult unreadable = runProcess(
        QStringLiteral("bash"),
        {QStringLiteral("-c"), QStringLiteral("\"$0\" --desktop-enroll-stdin < /"), QStringLiteral(MORNIX_EXECUTABLE)},
        {}, agentEnvironment(home));
    for (const ProcessResult &failed : {syntax, unreadable}) {
        QCOMPARE(failed.exitCode, 1);
        QCOMPARE(failed.standardError, kEnrollFailure);
        QCOMPARE(failed.standardOutput, QByteArray());
    }
    QCOMPARE(enrollmentState(home), kNotEnrolledState);
}

void DesktopBridgeTest::enrollmentStoresCredentialsAndNotifies()
{
    TemporaryHome home;
    DBusDistributedNotifications notifications;
    int updates = 0;
    QVERIFY(notifications.observe(QStringLiteral("ai.veltro.mornix.credentials-updated"), this, [&] { ++updates; }));

    const QJsonObject token = m_service.issueToken();
    const ProcessResult result = enroll(home, json(token));
    QCOMPARE(result.standardError, QByteArray());
    QCOMPARE(result.standardOutput, kEnrolled);
    QCOMPARE(result.exitCode, 0);
    QTRY_COMPARE(updates, 1);

    const QJsonObject status = controlStatus(home);
    QCOMPARE(status.value(QStringLiteral("enrolled")).toBool(), true);
    QCOMPARE(status.value(QStringLiteral("org_id")).toString(), token.value(QStringLiteral("org_id")).toString());
    QCOMPARE(status.value(QStringLiteral("project_id")).toString(),
             token.value(QStringLiteral("project_id")).toString());
    QCOMPARE(QFileInfo(credentialsFile(home)).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
             QFileDevice::Permissions());

    // An enrolled computer is not enrolled again: exit 1, no message, nothing changed.
    const QByteArray before = readFile(credentialsFile(home));
    QVERIFY(!before.isEmpty());
    const ProcessResult again = enroll(home, json(m_service.issueToken()));
    QCOMPARE(again.exitCode, 1);
    QCOMPARE(again.standardOutput + again.standardError, QByteArray());
    QCOMPARE(readFile(credentialsFile(home)), before);
}

void DesktopBridgeTest::enrollmentChecksTheServiceAnswerAndStoresNothingOnAnyFailure()
{
    // Upper-case UUIDs still match the service's answer.
    QJsonObject upper = m_service.issueToken();
    for (const QString &key : {QStringLiteral("org_id"), QStringLiteral("project_id")})
        upper.insert(key, upper.value(key).toString().toUpper());
    TemporaryHome upperHome;
    const ProcessResult accepted = enroll(upperHome, json(upper));
    QCOMPARE(accepted.exitCode, 0);
    QCOMPARE(accepted.standardOutput, kEnrolled);

    const auto withField = [](QJsonObject token, const QString &key, const QString &value) {
        token.insert(key, value);
        return token;
    };
    const struct {
        const char *name;
        QJsonObject token;
        bool failsRegistration;
        QByteArray standardError;
    } rows[] = {
        // The service enrolls the device into the token's workspace, not the requested one.
        {"another project",
         withField(m_service.issueToken(), QStringLiteral("project_id"),
                   QUuid::createUuid().toString(QUuid::WithoutBraces)),
         false, QByteArray()},
        {"registration refused", m_service.issueToken(), true, kEnrollFailure},
        {"unknown token",
         withField(m_service.issueToken(), QStringLiteral("access_token"), QStringLiteral("vat_unknown")), false,
         kEnrollFailure},
    };
    for (const auto &row : rows) {
        TemporaryHome home;
        if (row.failsRegistration)
            QCOMPARE(m_service.admin({"fault", "set", "register", "--status", "500", "--count", "1"}).exitCode, 0);
        const ProcessResult result = enroll(home, json(row.token));
        m_service.admin({"fault", "clear"});
        QVERIFY2(result.exitCode == 1, row.name);
        QCOMPARE(result.standardError, row.standardError);
        QCOMPARE(result.standardOutput, QByteArray());
        QCOMPARE(enrollmentState(home), kNotEnrolledState);
    }
}

void DesktopBridgeTest::enrollmentLockFileRules()
{
    // The lock lives at one fixed path, whatever TMPDIR says.
    const QString lock = QStringLiteral("/tmp/ai.veltro.mornix.enroll.%1.lock").arg(::getuid());
    QCOMPARE(DesktopEnrollment::lockFilePath(QString()), lock);

    // Held by another process: refused at once, even with TMPDIR elsewhere.
    TemporaryHome home;
    LockHolder holder(lock);
    QVERIFY(holder.waitUntilHeld());
    const ProcessResult busy = enroll(home, json(m_service.issueToken()));
    QCOMPARE(busy.exitCode, 1);
    QCOMPARE(busy.standardOutput + busy.standardError, QByteArray());
    QVERIFY(holder.release());

    // Planted by another user (uid 65534) at the fixed path: still refused. The bridge mode stays
    // silent (its system log line says why); a terminal sign-in names the file and its owner.
    if (::getuid() == 0) {
        const auto removePlanted = qScopeGuard([&lock] { QFile::remove(lock); });
        QFile::remove(lock);
        QVERIFY(writeFile(lock, {}));
        QCOMPARE(::chmod(QFile::encodeName(lock).constData(), 0600), 0);
        QCOMPARE(::chown(QFile::encodeName(lock).constData(), 65534, 65534), 0);
        const ProcessResult foreign = enroll(home, json(m_service.issueToken()));
        QCOMPARE(foreign.exitCode, 1);
        QCOMPARE(foreign.standardOutput + foreign.standardError, QByteArray());
        const ProcessResult signIn =
            runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--sign-in"), QStringLiteral("google")}, {},
                       agentEnvironment(home), 60000);
        QCOMPARE(signIn.exitCode, 1);
        QCOMPARE(signIn.standardOutput, QByteArray());  // no sign-in page offered
        QCOMPARE(QString::fromUtf8(signIn.standardError),
                 QStringLiteral("cannot sign in: %1 is owned by another user (nobody) and is not used; only that "
                                "user or an administrator can remove it\n")
                     .arg(lock));
    }

    // A missing TMPDIR never puts the lock into the working directory.
    TemporaryHome fresh;
    QProcess enroll;
    QProcessEnvironment env = agentEnvironment(fresh);
    env.insert(QStringLiteral("TMPDIR"), fresh.path() + QStringLiteral("/missing"));
    enroll.setProcessEnvironment(env);
    enroll.setWorkingDirectory(fresh.path());
    enroll.start(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-enroll-stdin")});
    QVERIFY(enroll.waitForStarted());
    enroll.write(json(m_service.issueToken()));
    enroll.closeWriteChannel();
    QVERIFY(enroll.waitForFinished(60000));
    QCOMPARE(enroll.exitCode(), 0);
    QCOMPARE(enroll.readAllStandardOutput(), kEnrolled);
    QCOMPARE(QDir(fresh.path()).entryList({QStringLiteral("*.lock")}, QDir::Files | QDir::System | QDir::Hidden),
             QStringList());
    QVERIFY(QFileInfo(lock).isFile());
    QCOMPARE(modeOf(lock), mode_t(0600));
    // Left behind by an earlier run (same owner, 0600): no obstacle.
    QVERIFY(DesktopEnrollment::acquireLock(lock).ok());
}

void DesktopBridgeTest::enrollmentKilledAtAnyPointLeavesNoneOrComplete()
{
    // The registration answer is delayed so that kills land before, during and after it. Every
    // run leaves either nothing at all or the complete credentials of the requested workspace.
    QCOMPARE(m_service.admin({"fault", "set", "register", "--delay-ms", "600", "--count", "0"}).exitCode, 0);
    int complete = 0, none = 0;
    for (const int killAfterMs : {50, 300, 700, 1000, 1300, 1600, 2500}) {
        TemporaryHome home;
        QProcess enroll;
        enroll.setProcessEnvironment(agentEnvironment(home));
        enroll.start(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-enroll-stdin")});
        QVERIFY(enroll.waitForStarted());
        const QJsonObject token = m_service.issueToken();
        enroll.write(json(token));
        enroll.closeWriteChannel();
        QTest::qWait(killAfterMs);
        enroll.kill();
        enroll.waitForFinished(5000);
        const QString state = enrollmentState(home);
        const QStringList items = keychainItems(home).keys();
        const QByteArray stored = readFile(credentialsFile(home));
        if (state == kNotEnrolledState) {
            QVERIFY2(stored.isEmpty(), qPrintable(items.join(u' ')));
            ++none;
            continue;
        }
        QCOMPARE(state, kEnrolledState);
        const DeviceCredentials credentials = DeviceCredentials::decode(stored);
        QCOMPARE(credentials.orgID, token.value(QStringLiteral("org_id")).toString());
        QCOMPARE(credentials.projectID, token.value(QStringLiteral("project_id")).toString());
        QCOMPARE(credentials.authKind, std::optional<QString>(QStringLiteral("desktop-shared-grant")));
        QVERIFY(!credentials.bearerToken.isEmpty() && !credentials.deviceSecret.isEmpty());
        QVERIFY(m_service.admin({"devices", "list"}).standardOutput.contains(credentials.deviceID.toUtf8()));
        ++complete;
    }
    m_service.admin({"fault", "clear"});
    QVERIFY(none > 0);  // the earliest kill lands before the registration
    qInfo("killed enrollments: %d left nothing, %d left complete credentials", none, complete);
}

// Refused or unreachable: the secrets stay. Then logged out and cleared; again without
// credentials (a signing key and a pending claim still go); and a stale copy the service no
// longer knows (404 "device not found").
void DesktopBridgeTest::removal()
{
    TemporaryHome home;
    QCOMPARE(enroll(home, json(m_service.issueToken())).exitCode, 0);
    const QString device = m_service.deviceID();
    const QByteArray saved = readFile(credentialsFile(home));
    QVERIFY(!saved.isEmpty());
    QMap<QString, QByteArray> before = keychainItems(home);
    for (const char *status : {"500", "404", "unreachable"}) {
        if (qstrcmp(status, "unreachable") == 0)
            m_service.stop();
        else
            QCOMPARE(m_service.admin({"fault", "set", "logout", "--status", status, "--count", "1"}).exitCode, 0);
        const ProcessResult refused = removeDevice(home);
        QVERIFY(m_service.isRunning() || m_service.start());
        QVERIFY2(refused.exitCode == 1, status);
        QCOMPARE(refused.standardError, kRemovalFailure);
        QCOMPARE(refused.standardOutput, QByteArray());
        // Nothing that was kept is lost or changed (the attempt may have made the signing key).
        const QMap<QString, QByteArray> after = keychainItems(home);
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QVERIFY2(after.value(it.key()) == it.value(), qPrintable(it.key()));
        before = after;
        QCOMPARE(enrollmentState(home), kEnrolledState);
    }
    QCOMPARE(readFile(credentialsFile(home)), saved);
    m_service.admin({"fault", "clear"});

    const ProcessResult removal = removeDevice(home);
    QCOMPARE(removal.standardError, QByteArray());
    QCOMPARE(removal.standardOutput, kRemoved);
    QCOMPARE(removal.exitCode, 0);
    QCOMPARE(enrollmentState(home), kNotEnrolledState);
    QVERIFY(!m_service.admin({"devices", "list"}).standardOutput.contains(device.toUtf8()));
    QCOMPARE(keychainItems(home).keys(), QStringList());  // signing key, credentials, pending claim

    // Without credentials: a signing key (made by the real key mode) and a pending claim go too.
    QCOMPARE(agentMode(home, QStringLiteral("--zta-enrollment-payload")).exitCode, 0);
    KeychainStore(std::make_shared<FileKeychain>(keychainDirectory(home)))
        .savePendingClaim(
            PendingClaimState{QStringLiteral("claim-1"), m_service.baseURL(), QStringLiteral("desk"), 1.0});
    const QString pendingClaim =
        FileKeychain::genericPasswordFileName(KeychainStore::service, KeychainStore::pendingClaimAccount);
    const QString signingKey = FileKeychain::keyFileName(DeviceEnrollmentAgent::keychainFallbackTag);
    QStringList planted{pendingClaim, signingKey};
    planted.sort();
    QCOMPARE(keychainItems(home).keys(), planted);
    const ProcessResult again = removeDevice(home);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.standardOutput, kRemoved);
    QCOMPARE(keychainItems(home).keys(), QStringList());

    QVERIFY(writeFile(credentialsFile(home), saved));
    QVERIFY(QFile::setPermissions(credentialsFile(home), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QCOMPARE(enrollmentState(home), kEnrolledState);
    const ProcessResult gone = removeDevice(home);
    QCOMPARE(gone.standardOutput, kRemoved);
    QCOMPARE(gone.exitCode, 0);
    QCOMPARE(enrollmentState(home), kNotEnrolledState);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(DesktopBridgeTest)
#include "tst_desktop_bridge.moc"
