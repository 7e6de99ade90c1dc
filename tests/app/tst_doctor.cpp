// --doctor as a real process: the built agent against the local reference service on 8443, a
// file keychain in a private home, a tray host and a notification server on the test's session
// bus, a real running agent and a real signed client. Each case checks the report line by line,
// that the home is byte for byte what it was, and that no planted secret is printed.
#include "app/doctor_service.h"
#include "commands/command_journal.h"
#include "identity/credential_records.h"
#include "identity/keychain_store.h"
#include "platform/linux/keychain/file_keychain.h"
#include "support/agent_process.h"
#include "support/credentials_builder.h"
#include "support/dev_service.h"
#include "support/notification_server.h"
#include "support/process_runner.h"
#include "support/signed_fixtures.h"
#include "support/status_notifier_host.h"
#include "support/temporary_home.h"
#include "support/test_files.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

#include <sys/stat.h>

namespace mornix {

namespace {

QProcessEnvironment doctorEnvironment(const TemporaryHome &home)
{
    QProcessEnvironment env = headlessEnvironment(home.environment());
    env.insert(QStringLiteral("VELTRO_KEYCHAIN"), QStringLiteral("file"));
    return env;
}

ProcessResult agentMode(const TemporaryHome &home, const QStringList &arguments, const QByteArray &input = {})
{
    return runProcess(QStringLiteral(MORNIX_EXECUTABLE), arguments, input, doctorEnvironment(home), 60000);
}

// The report's lines by check name: {"ok"|"problem", detail}.
struct Report {
    int exitCode = -1;
    QByteArray text;
    QMap<QString, QPair<QString, QString>> lines;
    QStringList order;

    QString status(const QString &name) const { return lines.value(name).first; }
    QString detail(const QString &name) const { return lines.value(name).second; }
    QStringList problems() const
    {
        QStringList names;
        for (const QString &name : order) {
            if (status(name) != QLatin1String("ok"))
                names << name;
        }
        return names;
    }
};

// The known check names may hold one space ("device key", "module tpm"); the status column is
// "ok" or "problem", padded.
Report runDoctor(const TemporaryHome &home, bool chosenKeychain = true)
{
    QProcessEnvironment env = doctorEnvironment(home);
    if (!chosenKeychain)
        env.remove(QStringLiteral("VELTRO_KEYCHAIN"));
    const ProcessResult result =
        runProcess(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--doctor")}, {}, env, 60000);
    Report report;
    report.exitCode = result.exitCode;
    report.text = result.standardOutput;
    static const QRegularExpression line(QStringLiteral("^(ok|problem) +((?:module )?[a-z-]+(?: key)?) +(.*)$"));
    for (const QString &text : QString::fromUtf8(result.standardOutput).split(u'\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch()) {
            qWarning("unexpected report line: %s", qPrintable(text));
            report.exitCode = -2;
            continue;
        }
        report.lines.insert(match.captured(2), {match.captured(1), match.captured(3)});
        report.order << match.captured(2);
    }
    return report;
}

QJsonObject doctorJSON(const TemporaryHome &home, int *exitCode, QByteArray *raw)
{
    const ProcessResult result = agentMode(home, {QStringLiteral("--doctor"), QStringLiteral("--json")});
    *exitCode = result.exitCode;
    *raw = result.standardOutput;
    return QJsonDocument::fromJson(result.standardOutput).object();
}

// Every entry under the home (links not followed): type, mode, owner, size, modification time
// and, for files, the content hash. Equal snapshots: the doctor created, changed, removed nothing.
QStringList snapshot(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QString line = QStringLiteral("%1 %2 %3 %4 %5.%6")
                           .arg(QDir(root).relativeFilePath(path))
                           .arg(st.st_mode, 0, 8)
                           .arg(st.st_uid)
                           .arg(st.st_size)
                           .arg(st.st_mtim.tv_sec)
                           .arg(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode))
            line += u' '
                    + QString::fromLatin1(QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex());
        entries << line;
    }
    entries.sort();
    return entries;
}

QString dataDirectory(const TemporaryHome &home)
{
    return home.dataHome() + QStringLiteral("/VeltroMornix");
}

KeychainStore fileStore(const TemporaryHome &home)
{
    return KeychainStore(std::make_shared<FileKeychain>(dataDirectory(home) + QStringLiteral("/keychain")));
}

// Stored credentials that name https://localhost:<port>, their secrets marked with `name`.
DeviceCredentials plantCredentials(const TemporaryHome &home, quint16 port, const char *name)
{
    const QString mark = QString::fromLatin1(name);
    DeviceCredentials credentials = CredentialsBuilder()
                                        .apiBaseURL(QStringLiteral("https://localhost:%1").arg(port))
                                        .bearerToken(mark + QStringLiteral("-case-bearer-token-7f3a"))
                                        .device(QStringLiteral("device-") + mark)
                                        .deviceSecret(mark + QStringLiteral("-case-device-secret-91c2"));
    fileStore(home).saveCredentials(credentials);
    return credentials;
}

// Every form in which a secret could leak: as stored, and hex / base64 of its bytes.
QList<QByteArray> secretForms(const QByteArray &secret)
{
    return {secret, secret.toHex(), secret.toBase64(),
            secret.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)};
}

}  // namespace

class DoctorTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void healthyEnrolledMachine();
    void serviceDown();
    void untrustedCertificate();
    void silentServer();
    void looseJournalDirectory();
    void clockOffset_data();
    void clockOffset();
    void notEnrolled();

private:
    // Enrolls the home with the service, makes its software device key and plants a journal
    // with one settled and one unsettled outcome.
    void enrollHome(const TemporaryHome &home);
    // Fails unless no form of any secret of the home's keychain appears in `output`.
    void verifyNoSecrets(const TemporaryHome &home, const QByteArray &output);

    DevService m_service;
    StatusNotifierHost m_tray;
    std::unique_ptr<NotificationServerProcess> m_notifications;
    QList<QByteArray> m_planted;  // further secrets of the current case
};

void DoctorTest::initTestCase()
{
    QVERIFY(m_service.start());
    QVERIFY(m_tray.registerOnSessionBus());
    m_notifications = std::make_unique<NotificationServerProcess>();
    QVERIFY(m_notifications->start());
}

void DoctorTest::init()
{
    if (!m_service.isRunning())
        QVERIFY(m_service.start());
    m_planted.clear();
}

void DoctorTest::enrollHome(const TemporaryHome &home)
{
    const QJsonObject token = m_service.issueToken();
    m_planted << token.value(QStringLiteral("access_token")).toString().toUtf8();
    const ProcessResult enrolled = agentMode(home, {QStringLiteral("--desktop-enroll-stdin")},
                                             QJsonDocument(token).toJson(QJsonDocument::Compact));
    QCOMPARE(enrolled.exitCode, 0);
    // The software device key (no TPM here), made by the enrollment-agent mode.
    QCOMPARE(agentMode(home, {QStringLiteral("--zta-enrollment-payload")}).exitCode, 0);

    // One outcome the service accepted, one still waiting.
    CommandJournal journal(dataDirectory(home) + QStringLiteral("/Commands"));
    QVERIFY(journal.open().isEmpty());
    JournalOutcome outcome;
    outcome.status = AckStatus::executed;
    outcome.message = QStringLiteral("stopped");
    outcome.idempotencyKey = QStringLiteral("ack-c1-d-executed-0123456789abcdef");
    outcome.deviceID = QStringLiteral("d");
    QVERIFY(journal.recordReceived(QStringLiteral("c1")) && journal.recordOutcome(QStringLiteral("c1"), outcome)
            && journal.recordSettled(QStringLiteral("c1")));
    QVERIFY(journal.recordReceived(QStringLiteral("c2")) && journal.recordOutcome(QStringLiteral("c2"), outcome));
}

void DoctorTest::verifyNoSecrets(const TemporaryHome &home, const QByteArray &output)
{
    QList<QByteArray> secrets = m_planted;
    if (const std::optional<DeviceCredentials> credentials = fileStore(home).loadCredentials()) {
        secrets << credentials->bearerToken.toUtf8() << credentials->deviceSecret.toUtf8()
                << QCryptographicHash::hash(credentials->deviceSecret.toUtf8(), QCryptographicHash::Sha256).toHex();
        if (credentials->refreshToken)
            secrets << credentials->refreshToken->toUtf8();
    }
    // The software key's PKCS#8 bytes, and its private scalar alone (the 32 bytes after the
    // OCTET STRING header of the ECPrivateKey).
    QByteArray key;
    auto keychain = std::make_shared<FileKeychain>(dataDirectory(home) + QStringLiteral("/keychain"));
    if (keychain->readKey(QByteArrayLiteral("ai.veltro.mornix.zta.keychain.signing"), key) == 0) {
        secrets << key;
        const qsizetype scalar = key.indexOf(QByteArray::fromHex("0420"));
        if (scalar >= 0)
            secrets << key.mid(scalar + 2, 32);
    }
    for (const QByteArray &secret : std::as_const(secrets)) {
        QVERIFY(secret.size() >= 8);
        for (const QByteArray &form : secretForms(secret))
            QVERIFY2(!output.contains(form), "a secret appears in the doctor's output");
    }
}

void DoctorTest::healthyEnrolledMachine()
{
    TemporaryHome home;
    enrollHome(home);
    const QString journalDirectory = dataDirectory(home) + QStringLiteral("/Commands");

    const fixtures::RunningFixture claude(fixtures::makeClaudeCode(home.path() + QStringLiteral("/bin")));
    QVERIFY(claude.isRunning());

    const QStringList before = snapshot(home.path());
    const Report report = runDoctor(home);
    QCOMPARE(snapshot(home.path()), before);
    QVERIFY2(report.exitCode == 0, report.text.constData());
    QCOMPARE(report.problems(), QStringList());
    const QStringList expected{QStringLiteral("build"),          QStringLiteral("module secret-service"),
                               QStringLiteral("module tpm"),     QStringLiteral("module x-display"),
                               QStringLiteral("module archive"), QStringLiteral("module desktop"),
                               QStringLiteral("keychain"),       QStringLiteral("enrollment"),
                               QStringLiteral("device key"),     QStringLiteral("service"),
                               QStringLiteral("journal"),        QStringLiteral("agent"),
                               QStringLiteral("desktop"),        QStringLiteral("clients")};
    QCOMPARE(report.order, expected);
    QVERIFY(report.detail(QStringLiteral("build")).contains(QStringLiteral("signature and seal verify")));
    QVERIFY(report.detail(QStringLiteral("keychain")).startsWith(QStringLiteral("file (chosen by VELTRO_KEYCHAIN)")));
    QVERIFY(report.detail(QStringLiteral("keychain")).endsWith(QStringLiteral("device credentials readable")));
    const DeviceCredentials credentials = *fileStore(home).loadCredentials();
    QVERIFY(report.detail(QStringLiteral("enrollment"))
                .startsWith(QStringLiteral("device %1, org %2, project %3")
                                .arg(credentials.deviceID, credentials.orgID, credentials.projectID)));
    QVERIFY(report.detail(QStringLiteral("device key")).startsWith(QStringLiteral("software key loads and signs")));
    QVERIFY2(report.detail(QStringLiteral("service"))
                 .contains(QStringLiteral("POST /api/desktop/agent-instances/report: TLS ok")),
             qPrintable(report.detail(QStringLiteral("service"))));
    QVERIFY(report.detail(QStringLiteral("service")).contains(QStringLiteral("HTTP 200 in ")));
    QVERIFY(report.detail(QStringLiteral("service")).contains(QStringLiteral("clock offset ")));
    QCOMPARE(report.detail(QStringLiteral("journal")),
             journalDirectory
                 + QStringLiteral("/journal: private and writable; 2 record(s), 1 outcome(s) waiting to be sent"));
    QCOMPARE(report.detail(QStringLiteral("agent")), QStringLiteral("not running"));
    QVERIFY(report.detail(QStringLiteral("clients")).contains(QStringLiteral("Claude Code (")));
    // The signed request reached the service as the device, with what runs now.
    const QJsonObject inventories = m_service.adminJSON(
        {QStringLiteral("inventory"), QStringLiteral("show"), QStringLiteral("--device"), credentials.deviceID});
    QVERIFY2(QJsonDocument(inventories).toJson().contains("claude-code"),
             QJsonDocument(inventories).toJson().constData());
    verifyNoSecrets(home, report.text);

    // The same as JSON, no secret either.
    int status = -1;
    QByteArray raw;
    const QJsonObject json = doctorJSON(home, &status, &raw);
    QCOMPARE(status, 0);
    QCOMPARE(json.value(QStringLiteral("ok")).toBool(), true);
    const QJsonArray checks = json.value(QStringLiteral("checks")).toArray();
    QCOMPARE(checks.size(), expected.size());
    for (qsizetype i = 0; i < checks.size(); ++i) {
        const QJsonObject check = checks.at(i).toObject();
        QCOMPARE(check.value(QStringLiteral("name")).toString(), expected.at(i));
        QCOMPARE(check.value(QStringLiteral("status")).toString(), QStringLiteral("ok"));
    }
    const QJsonObject journal =
        checks.at(expected.indexOf(QStringLiteral("journal"))).toObject().value(QStringLiteral("facts")).toObject();
    QCOMPARE(journal.value(QStringLiteral("records")).toInt(), 2);
    QCOMPARE(journal.value(QStringLiteral("outcomes_waiting")).toInt(), 1);
    const QJsonObject service =
        checks.at(expected.indexOf(QStringLiteral("service"))).toObject().value(QStringLiteral("facts")).toObject();
    QCOMPARE(service.value(QStringLiteral("http_status")).toInt(), 200);
    QCOMPARE(service.value(QStringLiteral("tls")).toString(), QStringLiteral("ok"));
    QVERIFY(std::abs(service.value(QStringLiteral("clock_offset_s")).toInt(1000)) <= 2);
    verifyNoSecrets(home, raw);

    // With the agent running, its pid is named; the doctor never takes its lock.
    AgentProcess agent(doctorEnvironment(home));
    QVERIFY(agent.start());
    QVERIFY(agent.waitForLog(QStringLiteral("app started build=")));
    const Report running = runDoctor(home);
    QCOMPARE(running.status(QStringLiteral("agent")), QStringLiteral("ok"));
    QCOMPARE(running.detail(QStringLiteral("agent")),
             QStringLiteral("running, pid %1").arg(agent.process().processId()));
    QVERIFY(agent.isRunning());
    verifyNoSecrets(home, running.text);
}

void DoctorTest::serviceDown()
{
    TemporaryHome home;
    enrollHome(home);
    m_service.stop();
    const QStringList before = snapshot(home.path());
    const Report report = runDoctor(home);
    QCOMPARE(snapshot(home.path()), before);
    QCOMPARE(report.exitCode, 1);
    QCOMPARE(report.problems(), QStringList{QStringLiteral("service")});
    QVERIFY2(report.detail(QStringLiteral("service"))
                 .startsWith(QStringLiteral("https://localhost:8443 cannot be reached: ")),
             qPrintable(report.detail(QStringLiteral("service"))));
    verifyNoSecrets(home, report.text);
}

void DoctorTest::untrustedCertificate()
{
    // A TLS server for localhost whose certificate comes from a CA this build does not trust.
    TemporaryHome home;
    const QString pki = home.path() + QStringLiteral("/other-ca");
    QVERIFY(QDir().mkpath(pki));
    const auto openssl = [&](const QStringList &arguments) {
        const ProcessResult result = runProcess(QStringLiteral("openssl"), arguments);
        if (result.exitCode != 0)
            qWarning("openssl: %s", result.standardError.constData());
        return result.exitCode == 0;
    };
    QVERIFY(openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                     "-subj", "/CN=Other CA", "-keyout", pki + "/ca.key", "-out", pki + "/ca.pem"}));
    QVERIFY(openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=localhost",
                     "-keyout", pki + "/leaf.key", "-out", pki + "/leaf.csr"}));
    QVERIFY(writeFile(pki + "/ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n"));
    QVERIFY(openssl({"x509", "-req", "-in", pki + "/leaf.csr", "-CA", pki + "/ca.pem", "-CAkey", pki + "/ca.key",
                     "-CAcreateserial", "-days", "2", "-extfile", pki + "/ext", "-out", pki + "/leaf.pem"}));
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(QStringLiteral("openssl"), {"s_server", "-quiet", "-accept", QStringLiteral("127.0.0.1:%1").arg(port),
                                             "-cert", pki + "/leaf.pem", "-key", pki + "/leaf.key", "-www"});
    QVERIFY(server.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port);
            return s.waitForConnected(200);
        }(),
        10000);

    const DeviceCredentials credentials = plantCredentials(home, port, "untrusted");

    const QStringList before = snapshot(home.path());
    const Report report = runDoctor(home);
    QCOMPARE(snapshot(home.path()), before);
    server.kill();
    server.waitForFinished();
    QCOMPARE(report.exitCode, 1);
    QCOMPARE(report.status(QStringLiteral("service")), QStringLiteral("problem"));
    QCOMPARE(report.detail(QStringLiteral("service")),
             QStringLiteral("%1: the server was refused (tls trust evaluation failed)").arg(credentials.apiBaseURL));
    QCOMPARE(report.status(QStringLiteral("enrollment")), QStringLiteral("ok"));
    verifyNoSecrets(home, report.text);
}

void DoctorTest::silentServer()
{
    // A server that takes the connection and never answers the TLS handshake: the doctor gives
    // up at its bound and says so, instead of waiting for the transfer timeout.
    TemporaryHome home;
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    const DeviceCredentials credentials = plantCredentials(home, silent.serverPort(), "silent");
    const Report report = runDoctor(home);
    QCOMPARE(report.exitCode, 1);
    QCOMPARE(report.problems(), QStringList{QStringLiteral("service")});
    QCOMPARE(report.detail(QStringLiteral("service")),
             credentials.apiBaseURL + QStringLiteral(": no answer within 3000 ms"));
    verifyNoSecrets(home, report.text);
}

void DoctorTest::clockOffset_data()
{
    QTest::addColumn<qint64>("skew");
    QTest::addColumn<bool>("problem");
    QTest::newRow("in step") << qint64(0) << false;
    QTest::newRow("service ahead 5 min") << qint64(300) << false;
    QTest::newRow("service ahead 5 min 1 s") << qint64(301) << true;
    QTest::newRow("service behind 1 h") << qint64(-3600) << true;
}

void DoctorTest::clockOffset()
{
    // The Date header as Python's standard library writes it (RFC 9110 IMF-fixdate).
    QFETCH(qint64, skew);
    QFETCH(bool, problem);
    const QDateTime now = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    const ProcessResult date = runPython(
        QStringLiteral("import email.utils, sys; print(email.utils.formatdate(int(sys.argv[1]), usegmt=True))"),
        {QString::number(now.toSecsSinceEpoch() + skew)});
    QCOMPARE(date.exitCode, 0);
    const std::optional<qint64> offset = doctor::clockOffsetSeconds(date.standardOutput.trimmed(), now);
    QVERIFY(offset);
    QCOMPARE(*offset, skew);
    QCOMPARE(std::abs(*offset) > doctor::kMaxClockOffset.count(), problem);
    QVERIFY(!doctor::clockOffsetSeconds("Sunday, 06-Nov-94 08:49:37 GMT", now));  // obsolete form: unknown
    QVERIFY(!doctor::clockOffsetSeconds({}, now));
}

void DoctorTest::looseJournalDirectory()
{
    TemporaryHome home;
    enrollHome(home);
    const QString directory = dataDirectory(home) + QStringLiteral("/Commands");
    QVERIFY(::chmod(QFile::encodeName(directory).constData(), 0755) == 0);
    const QStringList before = snapshot(home.path());
    const Report report = runDoctor(home);
    QCOMPARE(snapshot(home.path()), before);  // the mode stays 0755: the doctor changes nothing
    QCOMPARE(report.exitCode, 1);
    QCOMPARE(report.problems(), QStringList{QStringLiteral("journal")});
    QCOMPARE(report.detail(QStringLiteral("journal")),
             directory + QStringLiteral(" is open to other users (mode 0755); the journal refuses it"));
}

void DoctorTest::notEnrolled()
{
    // A fresh home: not even the data directory exists, and the doctor does not make it.
    TemporaryHome home;
    QVERIFY(!QFileInfo::exists(dataDirectory(home)));
    const QStringList before = snapshot(home.path());
    const Report report = runDoctor(home);
    QCOMPARE(snapshot(home.path()), before);
    QVERIFY(!QFileInfo::exists(dataDirectory(home)));
    QCOMPARE(report.exitCode, 1);
    QCOMPARE(report.problems(), QStringList{QStringLiteral("enrollment")});
    QCOMPARE(report.detail(QStringLiteral("enrollment")), QStringLiteral("not enrolled"));
    QVERIFY(report.detail(QStringLiteral("keychain")).endsWith(QStringLiteral("no device credentials stored")));
    QVERIFY(report.detail(QStringLiteral("device key")).startsWith(QStringLiteral("none stored yet")));
    // Unsigned, to the default origin: TLS and the clock are still checked.
    QVERIFY2(report.detail(QStringLiteral("service")).contains(QStringLiteral("GET /api/public-config: TLS ok")),
             qPrintable(report.detail(QStringLiteral("service"))));
    QCOMPARE(report.detail(QStringLiteral("journal")),
             dataDirectory(home) + QStringLiteral("/Commands: not created yet (the agent makes it when it starts)"));

    // Without a forced backend the choice is made as the agent makes it: this bus can start a
    // Secret Service, which the agent would use. The doctor names it, does not start it, and
    // still records and creates nothing.
    const Report chosen = runDoctor(home, false);
    QCOMPARE(snapshot(home.path()), before);
    QCOMPARE(chosen.detail(QStringLiteral("keychain")),
             QStringLiteral("secret-service (not yet recorded) at org.freedesktop.secrets: the Secret Service is not "
                            "running; the doctor does not start it"));
    QCOMPARE(chosen.problems(),
             (QStringList{QStringLiteral("keychain"), QStringLiteral("enrollment"), QStringLiteral("device key")}));
    QCOMPARE(QDBusConnection::sessionBus()
                 .interface()
                 ->isServiceRegistered(QStringLiteral("org.freedesktop.secrets"))
                 .value(),
             false);
}

}  // namespace mornix

QTEST_GUILESS_MAIN(mornix::DoctorTest)
#include "tst_doctor.moc"
