// Payload records, canonical JSON and hashes cross-checked with python3's json and hashlib, the
// signed texts verified with openssl, and the --zta-* modes through runCLIIfRequested.
#include "identity/device_enrollment_agent.h"
#include "identity_fakes.h"
#include "platform/linux/keychain/file_keychain.h"
#include "support/canonical_json.h"
#include "support/crypto.h"
#include "support/process_runner.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

namespace mornix {

class SignedPayloadsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void payloadCanonicalFormMatchesPython();
    void enrollmentPayloadShapeAndHash();
    void enrollmentSecretResolution();
    void registrationAndClaimRecords();
    void claimNameSanitising();
    void challengeIsSignedAsGiven();
    void postureParsers();
    void cliModes();

private:
    static bool verifies(const QString &text, const QString &signatureBase64, const QString &pem)
    {
        return opensslVerifies(pem, text.toUtf8(), QByteArray::fromBase64(signatureBase64.toLatin1()));
    }
    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<FixedHardwareIdentity> m_identity;
    std::shared_ptr<FixedPostureProbes> m_posture;
    std::unique_ptr<DeviceEnrollmentAgent> m_agent;
};

namespace {
// python3's canonical form of a JSON document read from standard input.
QByteArray pythonCanonical(const QByteArray &json)
{
    const ProcessResult r = runPython(QStringLiteral("import json,sys\n"
                                                     "v=json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
                                                     "sys.stdout.buffer.write(json.dumps(v,sort_keys=True,separators=('"
                                                     ",',':'),ensure_ascii=False).encode('utf-8'))"),
                                      {}, json);
    return r.standardOutput;
}
}  // namespace

void SignedPayloadsTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_identity = std::make_shared<FixedHardwareIdentity>();
    m_posture = std::make_shared<FixedPostureProbes>();
    m_agent = std::make_unique<DeviceEnrollmentAgent>(
        IdentityPorts{std::make_shared<FileKeychain>(m_dir->path() + QStringLiteral("/kc")),
                      std::make_shared<FakeHardwareKey>(), m_identity, m_posture});
}

// The payload's canonical form and hash as python3 computes them from its dictionary form.
void SignedPayloadsTest::payloadCanonicalFormMatchesPython()
{
    const DeviceEnrollmentAgent agent(
        IdentityPorts{std::make_shared<FileKeychain>(m_dir->path() + QStringLiteral("/kc")),
                      std::make_shared<FakeHardwareKey>(), m_identity, m_posture},
        QStringLiteral("  secret\twith tab "));
    const DeviceEnrollmentPayload payload = agent.buildEnrollmentPayload();
    QCOMPARE(payload.mdm_enrollment_secret, std::optional<QString>(QStringLiteral("secret\twith tab")));
    const QByteArray canonical = canonical_json::stableJSONString(QJsonValue(payload.jsonObject()))->toUtf8();
    QCOMPARE(canonical, pythonCanonical(QJsonDocument(payload.jsonObject()).toJson()));
    const ProcessResult hash = runPython(
        QStringLiteral("import hashlib,sys\nprint(hashlib.sha256(sys.stdin.buffer.read()).hexdigest(),end='')"), {},
        canonical);
    QCOMPARE(payloadHash(payload.jsonObject()), QString::fromLatin1(hash.standardOutput));
}

void SignedPayloadsTest::enrollmentPayloadShapeAndHash()
{
    const DeviceEnrollmentPayload payload = m_agent->buildEnrollmentPayload();
    QCOMPARE(payload.device_name, QStringLiteral("Büro “Mac”"));
    QCOMPARE(payload.hardware_serial_number, QStringLiteral("C02TEST123"));
    QCOMPARE(payload.posture.sip_enabled, std::optional<bool>(true));
    QCOMPARE(payload.posture.filevault_enabled, std::optional<bool>(false));
    QCOMPARE(m_posture->calls, 4);  // each tool twice: once parsed, once raw
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"))
                .match(payload.agent.generated_at)
                .hasMatch());
    const QString canonical = *canonical_json::stableJSONString(QJsonValue(payload.jsonObject()));
    QVERIFY(canonical.startsWith(
        QStringLiteral("{\"agent\":{\"collector\":\"veltro-mornix-keychain-agent\",\"generated_at\":")));
    QVERIFY(!canonical.contains(QLatin1String("mdm_enrollment_secret")));
    QVERIFY(canonical.contains(QStringLiteral("\"posture\":{\"filevault_enabled\":false,\"filevault_raw_status\":"
                                              "\"FileVault is Off.\",\"sip_enabled\":true,")));
    QVERIFY(canonical.contains(QStringLiteral("-----BEGIN PUBLIC KEY-----\\n")));

    // Fallbacks.
    m_identity->serial.reset();
    m_identity->uuid.reset();
    m_identity->hostName.reset();
    m_posture->integrity = QStringLiteral("UNKNOWN: no tool");
    const DeviceEnrollmentPayload fallback = m_agent->buildEnrollmentPayload();
    QCOMPARE(fallback.hardware_serial_number, QStringLiteral("UNKNOWN_SERIAL"));
    QCOMPARE(fallback.hardware_uuid, QStringLiteral("UNKNOWN_UUID"));
    QCOMPARE(fallback.device_name, QStringLiteral("Mac"));
    QVERIFY(!fallback.jsonObject().value(QStringLiteral("posture")).toObject().contains(QStringLiteral("sip_enabled")));
    QCOMPARE(fallback.posture.sip_raw_status, QStringLiteral("UNKNOWN: no tool"));
}

void SignedPayloadsTest::enrollmentSecretResolution()
{
    const std::optional<QString> environment = QStringLiteral(" env-secret \n");
    QCOMPARE(resolvedEnrollmentSecret(std::nullopt, environment), std::optional<QString>(QStringLiteral("env-secret")));
    QCOMPARE(resolvedEnrollmentSecret(QStringLiteral("  "), environment),
             std::nullopt);  // an override wins even when blank
    QCOMPARE(resolvedEnrollmentSecret(QStringLiteral(" typed "), environment),
             std::optional<QString>(QStringLiteral("typed")));
    QCOMPARE(resolvedEnrollmentSecret(std::nullopt, QStringLiteral("   ")), std::nullopt);
    QCOMPARE(resolvedEnrollmentSecret(std::nullopt, std::nullopt), std::nullopt);
    const DeviceEnrollmentAgent agent(
        IdentityPorts{std::make_shared<FileKeychain>(m_dir->path() + QStringLiteral("/kc")),
                      std::make_shared<FakeHardwareKey>(), m_identity, m_posture},
        environment);
    QCOMPARE(agent.buildEnrollmentPayload(QStringLiteral("   ")).mdm_enrollment_secret, std::nullopt);
    QCOMPARE(agent.buildSignedRegistrationRequest("c", "n", std::nullopt).payload.mdm_enrollment_secret,
             std::optional<QString>(QStringLiteral("env-secret")));
    // The process environment is no longer consulted: the composition root reads it once.
    qputenv("VELTRO_MDM_ENROLLMENT_SECRET", "from-process");
    QCOMPARE(m_agent->buildEnrollmentPayload().mdm_enrollment_secret, std::nullopt);
    qunsetenv("VELTRO_MDM_ENROLLMENT_SECRET");
}

// The signed texts themselves are verified by the reference service (tst_api_devservice); here:
// what the records carry beside the signature.
void SignedPayloadsTest::registrationAndClaimRecords()
{
    const DeviceRegistrationRequestPayload r = m_agent->buildSignedRegistrationRequest("chal-1", "nonce-1");
    QCOMPARE(r.payload_hash_sha256, payloadHash(r.payload.jsonObject()));
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"))
                .match(r.request_nonce)
                .hasMatch());
    QVERIFY(qAbs(r.request_timestamp.toLongLong() - QDateTime::currentSecsSinceEpoch()) < 5);
    QCOMPARE(r.jsonObject(QStringLiteral("complete")).value(QStringLiteral("action")).toString(),
             QStringLiteral("complete"));
    QVERIFY(!r.jsonObject().contains(QStringLiteral("action")));

    const DeviceClaimRequestPayload c = m_agent->buildSignedClaimRequest("chal", "non", "  ab-cd12 \n", std::nullopt);
    QCOMPARE(c.invite_code, QStringLiteral("AB-CD12"));
    QCOMPARE(c.human_claim_name, std::nullopt);
    QVERIFY(!c.jsonObject().contains(QStringLiteral("human_claim_name")));
    const QString text = signed_text::claim("chal", "non", c.request_timestamp, c.request_nonce, c.payload_hash_sha256,
                                            crypto::sha256Hex("AB-CD12"));
    QVERIFY(verifies(text, c.claim_signature_base64, c.payload.secure_enclave_public_key));
}

void SignedPayloadsTest::claimNameSanitising()
{
    QCOMPARE(sanitizedClaimName(std::nullopt), std::nullopt);
    QCOMPARE(sanitizedClaimName(QStringLiteral("   \n")), std::nullopt);
    QCOMPARE(sanitizedClaimName(QStringLiteral(" Anna's Mac ")), std::optional<QString>(QStringLiteral("Anna's Mac")));
    QCOMPARE(sanitizedClaimName(QString(250, QLatin1Char('x')))->size(), 200);
    // Characters, not UTF-16 units: 250 emoji are cut to 200 emoji.
    QString emoji;
    for (int i = 0; i < 250; ++i)
        emoji += QStringLiteral("😀");
    QCOMPARE(sanitizedClaimName(emoji)->size(), 400);
}

// A challenge is signed as given, blanks and all.
void SignedPayloadsTest::challengeIsSignedAsGiven()
{
    const DeviceChallengeSignaturePayload c = m_agent->signChallenge(QStringLiteral(" raw nonce\n"));
    QCOMPARE(c.nonce, QStringLiteral(" raw nonce\n"));
    const QString pem = m_agent->buildEnrollmentPayload().secure_enclave_public_key;
    QVERIFY(verifies(QStringLiteral(" raw nonce\n"), c.signature_base64, pem));
    QCOMPARE(c.jsonObject().keys(),
             (QStringList{"hardware_serial_number", "hardware_uuid", "nonce", "signature_base64"}));
}

void SignedPayloadsTest::postureParsers()
{
    QCOMPARE(parseSIPEnabled(QStringLiteral("SecureBoot enabled")), std::optional<bool>(true));
    QCOMPARE(parseSIPEnabled(QStringLiteral("SecureBoot DISABLED")), std::optional<bool>(false));
    QCOMPARE(parseSIPEnabled(QStringLiteral("EFI variables are not supported on this system")), std::nullopt);
    QCOMPARE(parseFileVaultEnabled(QStringLiteral("dm-crypt: ...; FileVault is On equivalent.")),
             std::optional<bool>(true));
    QCOMPARE(parseFileVaultEnabled(QStringLiteral("FileVault is Off.")), std::optional<bool>(false));
    QCOMPARE(parseFileVaultEnabled(QStringLiteral("UNKNOWN: x")), std::nullopt);
}

void SignedPayloadsTest::cliModes()
{
    const auto run = [&](const QStringList &args, QByteArray &out, QByteArray &err) {
        QBuffer o(&out), e(&err);
        o.open(QIODevice::WriteOnly);
        e.open(QIODevice::WriteOnly);
        return m_agent->runCLIIfRequested(args, o, e);
    };
    QByteArray out, err;
    QCOMPARE(run({"exe"}, out, err), std::nullopt);
    QCOMPARE(run({"exe", "--unrelated", "--zta-sign-challenge", "n"}, out, err), std::nullopt);
    QVERIFY(out.isEmpty() && err.isEmpty());

    QCOMPARE(run({"exe", "--zta-registration-request", "only-one"}, out, err), std::optional<int>(1));
    QCOMPARE(err, QByteArray("Device enrollment agent error: Invalid CLI usage. Expected --zta-enrollment-payload or "
                             "--zta-sign-challenge <nonce>\n"));
    QVERIFY(out.isEmpty());

    err.clear();
    QCOMPARE(run({"exe", "--zta-claim-request", "c", "n", "code"}, out, err), std::optional<int>(0));
    QVERIFY(out.endsWith("}\n"));
    QJsonObject claim = QJsonDocument::fromJson(out).object();
    QVERIFY(!claim.contains(QStringLiteral("human_claim_name")));
    QCOMPARE(claim.value(QStringLiteral("invite_code")).toString(), QStringLiteral("CODE"));
    QVERIFY(out.indexOf("\"challenge_id\"") < out.indexOf("\"invite_code\""));  // keys sorted

    out.clear();
    QCOMPARE(run({"exe", "--zta-claim-request", "c", "n", "code", "  Desk  ", "ignored"}, out, err),
             std::optional<int>(0));
    QCOMPARE(QJsonDocument::fromJson(out).object().value(QStringLiteral("human_claim_name")).toString(),
             QStringLiteral("Desk"));
    QVERIFY(err.isEmpty());
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(SignedPayloadsTest)
#include "tst_signed_payloads.moc"
