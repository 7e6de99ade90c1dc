// The desktop bridge modes --desktop-enroll-stdin and --desktop-uninstall-device as real
// processes against the local reference service, with a private home and file keychain.
#include "app/desktop_enrollment.h"
#include "platform/linux/dbus_distributed_notifications.h"
#include "support/agent_process.h"
#include "support/dev_service.h"
#include "support/lock_holder.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QJsonDocument>
#include <QJsonObject>
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

QJsonObject controlStatus(const TemporaryHome &home)
{
    return QJsonDocument::fromJson(agentMode(home, QStringLiteral("--desktop-control-status")).standardOutput).object();
}

bool enrolled(const TemporaryHome &home)
{
    return controlStatus(home).value(QStringLiteral("enrolled")).toBool();
}

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString credentialsFile(const TemporaryHome &home)
{
    const QDir dir(home.dataHome() + QStringLiteral("/VeltroMornix/keychain"));
    const QStringList files = dir.entryList({QStringLiteral("genp.*")}, QDir::Files);
    for (const QString &file : files) {
        if (file.endsWith(QLatin1String(QByteArray("device-credentials").toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals))))
            return dir.filePath(file);
    }
    return {};
}

}  // namespace

class DesktopBridgeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void inputRules();
    void enrollmentStoresCredentialsAndNotifies();
    void upperCaseUUIDsMatchTheServiceAnswer();
    void enrollmentStoresNothingOnAnyFailure();
    void enrollmentLockFileRules();
    void enrollmentKilledAtAnyPointLeavesNoneOrComplete();
    void removalLogsOutAndClearsEverything();
    void removalOfADeviceTheServiceNoLongerKnows();
    void removalKeepsSecretsWhenTheServiceRefuses();

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
    QVERIFY(DesktopEnrollment::parseRequest(request(QString(16384, u'a'))));
    QVERIFY(!DesktopEnrollment::parseRequest(request(QString(16385, u'a'))));
    QVERIFY(!DesktopEnrollment::parseRequest(request(QString(8192, QChar(0xE9)) + u'a')));  // 16385 UTF-8 bytes
    QVERIFY(!DesktopEnrollment::parseRequest(request(QString())));
    QVERIFY(!DesktopEnrollment::parseRequest(request(QStringLiteral("tok\ten"))));
    QVERIFY(!DesktopEnrollment::parseRequest(request(QStringLiteral("tok\nen"))));
    QVERIFY(!DesktopEnrollment::parseRequest(request(QStringLiteral("tok") + QChar(0x200B) + u'n')));  // Cf
    QVERIFY(DesktopEnrollment::parseRequest(request(QStringLiteral("tökén ✓"))));
    QJsonObject extra = request(QStringLiteral("t"));
    extra.insert(QStringLiteral("extra"), 1);
    QVERIFY(!DesktopEnrollment::parseRequest(extra));
    QJsonObject number = request(QStringLiteral("t"));
    number.insert(QStringLiteral("org_id"), 5);
    QVERIFY(!DesktopEnrollment::parseRequest(number));
    QJsonObject braces = request(QStringLiteral("t"));
    braces.insert(QStringLiteral("org_id"), u'{' + org + u'}');
    QVERIFY(!DesktopEnrollment::parseRequest(braces));
    QVERIFY(DesktopEnrollment::isUUIDText(org.toUpper()));
    // The nil UUID is UUID text; near misses are not.
    QVERIFY(DesktopEnrollment::isUUIDText(QStringLiteral("00000000-0000-0000-0000-000000000000")));
    QJsonObject nil = request(QStringLiteral("t"));
    nil.insert(QStringLiteral("project_id"), QStringLiteral("00000000-0000-0000-0000-000000000000"));
    QVERIFY(DesktopEnrollment::parseRequest(nil));
    QVERIFY(!DesktopEnrollment::isUUIDText(QStringLiteral("00000000-0000-0000-0000-00000000000g")));
    QVERIFY(!DesktopEnrollment::isUUIDText(QStringLiteral("00000000000000000000000000000000")));
    QVERIFY(!DesktopEnrollment::isUUIDText(QStringLiteral("urn:uuid:00000000-0000-0000-0000-000000000000")));
    QVERIFY(!DesktopEnrollment::isUUIDText(org + u'\n'));

    // Through the real process: refusals print nothing; a syntax error prints the failure text.
    TemporaryHome home;
    const ProcessResult fourth = agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(extra));
    QCOMPARE(fourth.exitCode, 1);
    QCOMPARE(fourth.standardOutput + fourth.standardError, QByteArray());
    const ProcessResult syntax = agentMode(home, QStringLiteral("--desktop-enroll-stdin"), "{\"access_token\":");
    QCOMPARE(syntax.exitCode, 1);
    QCOMPARE(syntax.standardError, kEnrollFailure);
    QCOMPARE(syntax.standardOutput, QByteArray());
    QByteArray big = json(request(QStringLiteral("t")));
    big.append(QByteArray(32769 - big.size(), ' '));
    const ProcessResult tooLong = agentMode(home, QStringLiteral("--desktop-enroll-stdin"), big);
    QCOMPARE(tooLong.exitCode, 1);
    QCOMPARE(tooLong.standardOutput + tooLong.standardError, QByteArray());
    // A read error (standard input is a directory): the failure text.
    const ProcessResult unreadable = runProcess(QStringLiteral("bash"),
                                                {QStringLiteral("-c"), QStringLiteral("\"$0\" --desktop-enroll-stdin < /"),
                                                 QStringLiteral(MORNIX_EXECUTABLE)},
                                                {}, agentEnvironment(home));
    QCOMPARE(unreadable.exitCode, 1);
    QCOMPARE(unreadable.standardError, kEnrollFailure);
    QVERIFY(!enrolled(home));
}

void DesktopBridgeTest::enrollmentStoresCredentialsAndNotifies()
{
    TemporaryHome home;
    DBusDistributedNotifications notifications;
    int updates = 0;
    QVERIFY(notifications.observe(QStringLiteral("ai.veltro.mornix.credentials-updated"), this, [&] { ++updates; }));

    const QJsonObject token = m_service.issueToken();
    const ProcessResult result = agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(token));
    QCOMPARE(result.standardError, QByteArray());
    QCOMPARE(result.standardOutput, kEnrolled);
    QCOMPARE(result.exitCode, 0);
    QTRY_COMPARE(updates, 1);

    const QJsonObject status = controlStatus(home);
    QCOMPARE(status.value(QStringLiteral("enrolled")).toBool(), true);
    QCOMPARE(status.value(QStringLiteral("org_id")).toString(), token.value(QStringLiteral("org_id")).toString());
    QCOMPARE(status.value(QStringLiteral("project_id")).toString(), token.value(QStringLiteral("project_id")).toString());
    QCOMPARE(QFileInfo(credentialsFile(home)).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
             QFileDevice::Permissions());

    // An enrolled computer is not enrolled again: exit 1, no message, nothing changed.
    const QByteArray before = [&] { QFile f(credentialsFile(home)); f.open(QIODevice::ReadOnly); return f.readAll(); }();
    const ProcessResult again = agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(m_service.issueToken()));
    QCOMPARE(again.exitCode, 1);
    QCOMPARE(again.standardOutput + again.standardError, QByteArray());
    QFile after(credentialsFile(home));
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), before);
}

void DesktopBridgeTest::upperCaseUUIDsMatchTheServiceAnswer()
{
    TemporaryHome home;
    QJsonObject token = m_service.issueToken();
    token.insert(QStringLiteral("org_id"), token.value(QStringLiteral("org_id")).toString().toUpper());
    token.insert(QStringLiteral("project_id"), token.value(QStringLiteral("project_id")).toString().toUpper());
    const ProcessResult result = agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(token));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.standardOutput, kEnrolled);
}

void DesktopBridgeTest::enrollmentStoresNothingOnAnyFailure()
{
    {
        // The service enrolls the device into the token's workspace, not the requested one.
        TemporaryHome home;
        QJsonObject token = m_service.issueToken();
        token.insert(QStringLiteral("project_id"), QUuid::createUuid().toString(QUuid::WithoutBraces));
        const ProcessResult result = agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(token));
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.standardOutput + result.standardError, QByteArray());
        QVERIFY(!enrolled(home));
    }
    {
        // Registration refused by the service.
        TemporaryHome home;
        QCOMPARE(m_service.admin({"fault", "set", "register", "--status", "500", "--count", "1"}).exitCode, 0);
        const ProcessResult result = agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(m_service.issueToken()));
        m_service.admin({"fault", "clear"});
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.standardError, kEnrollFailure);
        QCOMPARE(result.standardOutput, QByteArray());
        QVERIFY(!enrolled(home));
    }
    {
        // A token the service does not know.
        TemporaryHome home;
        QJsonObject token = m_service.issueToken();
        token.insert(QStringLiteral("access_token"), QStringLiteral("vat_unknown"));
        const ProcessResult result = agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(token));
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(result.standardError, kEnrollFailure);
        QVERIFY(!enrolled(home));
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
    const ProcessResult busy = agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(m_service.issueToken()));
    QCOMPARE(busy.exitCode, 1);
    QCOMPARE(busy.standardOutput + busy.standardError, QByteArray());
    QVERIFY(holder.release());

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
    struct stat st {};
    QCOMPARE(::lstat(QFile::encodeName(lock).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));

    // Left behind by an earlier run (same owner, 0600): no obstacle.
    QVERIFY(DesktopEnrollment::acquireLock(lock) != nullptr);

    // A lock file left open to others is refused, not tightened (the general file rules of
    // lock files are tested with the lock files themselves).
    QTemporaryDir dir;
    const QString open = dir.filePath(QStringLiteral("open.lock"));
    QFile file(open);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    ::chmod(QFile::encodeName(open).constData(), 0644);
    QVERIFY(DesktopEnrollment::acquireLock(open) == nullptr);
    QCOMPARE(QFileInfo(open).permissions() & QFileDevice::ReadOther, QFileDevice::ReadOther);
}

void DesktopBridgeTest::enrollmentKilledAtAnyPointLeavesNoneOrComplete()
{
    // The registration answer is delayed so that kills land before, during and after it.
    QCOMPARE(m_service.admin({"fault", "set", "register", "--delay-ms", "600", "--count", "0"}).exitCode, 0);
    int complete = 0, none = 0;
    for (const int killAfterMs : {50, 300, 700, 1000, 1300, 1600, 2500}) {
        TemporaryHome home;
        QProcess enroll;
        enroll.setProcessEnvironment(agentEnvironment(home));
        enroll.start(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--desktop-enroll-stdin")});
        QVERIFY(enroll.waitForStarted());
        enroll.write(json(m_service.issueToken()));
        enroll.closeWriteChannel();
        QTest::qWait(killAfterMs);
        enroll.kill();
        enroll.waitForFinished(5000);
        const ProcessResult status = agentMode(home, QStringLiteral("--desktop-control-status"));
        QCOMPARE(status.exitCode, 0);  // the store is readable: nothing half-written
        const QJsonObject object = QJsonDocument::fromJson(status.standardOutput).object();
        if (object.value(QStringLiteral("enrolled")).toBool()) {
            QVERIFY(!object.value(QStringLiteral("org_id")).toString().isEmpty());
            ++complete;
        } else {
            ++none;
        }
    }
    m_service.admin({"fault", "clear"});
    QVERIFY(none > 0);
    qInfo("killed enrollments: %d left nothing, %d left complete credentials", none, complete);
}

void DesktopBridgeTest::removalLogsOutAndClearsEverything()
{
    TemporaryHome home;
    QCOMPARE(agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(m_service.issueToken())).exitCode, 0);
    const QString device = m_service.deviceID();
    const ProcessResult removal = agentMode(home, QStringLiteral("--desktop-uninstall-device"));
    QCOMPARE(removal.standardError, QByteArray());
    QCOMPARE(removal.standardOutput, kRemoved);
    QCOMPARE(removal.exitCode, 0);
    QVERIFY(!enrolled(home));
    QVERIFY(!m_service.admin({"devices", "list"}).standardOutput.contains(device.toUtf8()));
    const QStringList left = QDir(home.dataHome() + QStringLiteral("/VeltroMornix/keychain")).entryList(QDir::Files);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(u' ')));  // signing key, credentials, pending claim

    // Without credentials: still succeeds (clears the key and the pending claim).
    const ProcessResult again = agentMode(home, QStringLiteral("--desktop-uninstall-device"));
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.standardOutput, kRemoved);
}

void DesktopBridgeTest::removalOfADeviceTheServiceNoLongerKnows()
{
    TemporaryHome home;
    QCOMPARE(agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(m_service.issueToken())).exitCode, 0);
    QFile file(credentialsFile(home));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    file.close();
    const QString path = file.fileName();
    QCOMPARE(agentMode(home, QStringLiteral("--desktop-uninstall-device")).exitCode, 0);

    // The credentials come back (a stale copy); the service answers 404 "device not found".
    QFile restore(path);
    QVERIFY(restore.open(QIODevice::WriteOnly));
    restore.write(saved);
    restore.close();
    restore.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QVERIFY(enrolled(home));
    const ProcessResult removal = agentMode(home, QStringLiteral("--desktop-uninstall-device"));
    QCOMPARE(removal.standardOutput, kRemoved);
    QCOMPARE(removal.exitCode, 0);
    QVERIFY(!enrolled(home));
}

void DesktopBridgeTest::removalKeepsSecretsWhenTheServiceRefuses()
{
    TemporaryHome home;
    QCOMPARE(agentMode(home, QStringLiteral("--desktop-enroll-stdin"), json(m_service.issueToken())).exitCode, 0);
    for (const QStringList &fault : {QStringList{"--status", "500"}, QStringList{"--status", "404"}}) {
        QCOMPARE(m_service.admin(QStringList{"fault", "set", "logout"} + fault + QStringList{"--count", "1"}).exitCode, 0);
        const ProcessResult removal = agentMode(home, QStringLiteral("--desktop-uninstall-device"));
        QCOMPARE(removal.exitCode, 1);
        QCOMPARE(removal.standardError, kRemovalFailure);
        QCOMPARE(removal.standardOutput, QByteArray());
        QVERIFY(enrolled(home));
    }
    m_service.admin({"fault", "clear"});
    m_service.stop();
    const ProcessResult unreachable = agentMode(home, QStringLiteral("--desktop-uninstall-device"));
    QVERIFY(m_service.start());
    QCOMPARE(unreachable.exitCode, 1);
    QCOMPARE(unreachable.standardError, kRemovalFailure);
    QVERIFY(enrolled(home));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(DesktopBridgeTest)
#include "tst_desktop_bridge.moc"
