// The device signing key behind a scripted hardware key store: the fallback rules no real TPM can
// produce, persistence, and the byte-exact public-key export checked with openssl. Signatures are
// verified by the reference service (tst_api_devservice) and, for a TPM key, in tst_tpm_key.
#include "identity/device_enrollment_agent.h"
#include "identity/identity_error.h"
#include "identity/security_text.h"
#include "identity_fakes.h"
#include "platform/linux/keychain/file_keychain.h"
#include "support/process_runner.h"
#include "support/test_files.h"

#include <QTemporaryDir>
#include <QTest>

namespace mornix {

class SigningKeyTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void derLengthEncodings();
    void publicKeyExportIsByteExact();
    void missingEntitlementFallsBackToOnePersistentSoftwareKey();
    void otherHardwareFailuresDoNotFallBack();
    void clearSigningKeyDeletesBothAndToleratesMissing();
    void unreadableStoredKeyIsNotReplaced();
    void errorTexts();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<FileKeychain> m_keychain;
    std::shared_ptr<FakeHardwareKey> m_hardware;
    std::unique_ptr<DeviceEnrollmentAgent> m_agent;
};

void SigningKeyTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_keychain = std::make_shared<FileKeychain>(m_dir->path() + QStringLiteral("/keychain"));
    m_hardware = std::make_shared<FakeHardwareKey>();
    m_agent = std::make_unique<DeviceEnrollmentAgent>(IdentityPorts{
        m_keychain, m_hardware, std::make_shared<FixedHardwareIdentity>(), std::make_shared<FixedPostureProbes>()});
}

void SigningKeyTest::derLengthEncodings()
{
    QCOMPARE(DeviceEnrollmentAgent::derLength(0), QByteArray::fromHex("00"));
    QCOMPARE(DeviceEnrollmentAgent::derLength(127), QByteArray::fromHex("7f"));
    QCOMPARE(DeviceEnrollmentAgent::derLength(128), QByteArray::fromHex("8180"));
    QCOMPARE(DeviceEnrollmentAgent::derLength(255), QByteArray::fromHex("81ff"));
    QCOMPARE(DeviceEnrollmentAgent::derLength(256), QByteArray::fromHex("820100"));
    QCOMPARE(DeviceEnrollmentAgent::derLength(65536), QByteArray::fromHex("83010000"));
}

void SigningKeyTest::publicKeyExportIsByteExact()
{
    const DevicePrivateKey key = m_agent->loadOrCreatePrivateKey();
    const QByteArray point = key.publicKeyX963();
    QCOMPARE(point.size(), 65);
    const QByteArray der = DeviceEnrollmentAgent::makeSubjectPublicKeyInfo(point);
    QCOMPARE(der.size(), 91);
    QVERIFY(der.startsWith(QByteArray::fromHex("30593013")));
    QVERIFY(der.contains(QByteArray::fromHex("03420004")));

    const QString pem = DeviceEnrollmentAgent::publicKeyPEM(key);
    const QStringList lines = pem.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], QStringLiteral("-----BEGIN PUBLIC KEY-----"));
    QCOMPARE(lines[1].size(), 64);
    QCOMPARE(lines[2].size(), 60);
    QCOMPARE(lines[3], QStringLiteral("-----END PUBLIC KEY-----"));
    QVERIFY(!pem.endsWith(QLatin1Char('\n')));

    // openssl derives the same SubjectPublicKeyInfo from the stored private key.
    const QString privatePath = m_dir->filePath(QStringLiteral("private.der"));
    QVERIFY(writeFile(privatePath, key.pkcs8()));
    const ProcessResult derived = runProcess(
        QStringLiteral("openssl"), {"pkey", "-inform", "DER", "-in", privatePath, "-pubout", "-outform", "DER"});
    QCOMPARE(derived.exitCode, 0);
    QCOMPARE(derived.standardOutput, der);
    const ProcessResult pemOut =
        runProcess(QStringLiteral("openssl"), {"pkey", "-inform", "DER", "-in", privatePath, "-pubout"});
    QCOMPARE(QString::fromLatin1(pemOut.standardOutput).trimmed(), pem);
}

void SigningKeyTest::missingEntitlementFallsBackToOnePersistentSoftwareKey()
{
    const DevicePrivateKey first = m_agent->loadOrCreatePrivateKey();
    QVERIFY(!DeviceEnrollmentAgent::isSecureEnclaveKey(first));
    QCOMPARE(m_hardware->createCalls, 1);
    QByteArray stored;
    QCOMPARE(m_keychain->readKey(DeviceEnrollmentAgent::keychainFallbackTag, stored), 0);
    // Every later operation finds the same key again without asking the hardware (a TPM that
    // appears later: tst_tpm_key).
    QCOMPARE(m_agent->loadOrCreatePrivateKey().publicKeyX963(), first.publicKeyX963());
    QCOMPARE(m_hardware->createCalls, 1);
    QCOMPARE(m_agent->buildEnrollmentPayload().agent.collector, QStringLiteral("veltro-mornix-keychain-agent"));

    // Creation without an error object also falls back.
    m_agent->clearSigningKey();
    m_hardware->noErrorObject = true;
    m_hardware->createCode = -1;
    QVERIFY(!DeviceEnrollmentAgent::isSecureEnclaveKey(m_agent->loadOrCreatePrivateKey()));
    QCOMPARE(m_keychain->readKey(DeviceEnrollmentAgent::keychainFallbackTag, stored), 0);
}

void SigningKeyTest::otherHardwareFailuresDoNotFallBack()
{
    m_hardware->createCode = -25293;
    try {
        m_agent->loadOrCreatePrivateKey();
        QFAIL("no error");
    } catch (const DeviceEnrollmentError &error) {
        QCOMPARE(error.errorCase(), DeviceEnrollmentError::Case::secureEnclaveUnavailable);
        QCOMPARE(error.localizedDescription(),
                 QStringLiteral("Secure Enclave unavailable: Key generation failed | OSStatus -25293"));
    }
    QByteArray stored;
    QCOMPARE(m_keychain->readKey(DeviceEnrollmentAgent::keychainFallbackTag, stored), -25300);
}

void SigningKeyTest::clearSigningKeyDeletesBothAndToleratesMissing()
{
    m_agent->clearSigningKey();  // nothing exists
    const QByteArray before = m_agent->loadOrCreatePrivateKey().publicKeyX963();
    m_agent->clearSigningKey();
    QByteArray stored;
    QCOMPARE(m_keychain->readKey(DeviceEnrollmentAgent::keychainFallbackTag, stored), -25300);
    QVERIFY(m_agent->loadOrCreatePrivateKey().publicKeyX963() != before);

    m_hardware->removeCode = -25291;
    try {
        m_agent->clearSigningKey();
        QFAIL("no error");
    } catch (const IdentityError &error) {
        QCOMPARE(error.domain(), QStringLiteral("NSOSStatusErrorDomain"));
        QCOMPARE(error.code(), qint64(-25291));
        QCOMPARE(error.localizedDescription(),
                 QStringLiteral("Failed to delete device signing key: OSStatus -25291: No keychain is available."));
    }
    // The first failure stops the operation: the software key is still there.
    QCOMPARE(m_keychain->readKey(DeviceEnrollmentAgent::keychainFallbackTag, stored), 0);
}

void SigningKeyTest::unreadableStoredKeyIsNotReplaced()
{
    QCOMPARE(m_keychain->addKey(DeviceEnrollmentAgent::keychainFallbackTag, "garbage"), 0);
    QVERIFY_THROWS_EXCEPTION(DeviceEnrollmentError, m_agent->loadOrCreatePrivateKey());
    QByteArray stored;
    QCOMPARE(m_keychain->readKey(DeviceEnrollmentAgent::keychainFallbackTag, stored), 0);
    QCOMPARE(stored, QByteArray("garbage"));
}

void SigningKeyTest::errorTexts()
{
    QCOMPARE(securityStatusDescription(-25300),
             QStringLiteral("OSStatus -25300: The specified item could not be found in the keychain."));
    QCOMPARE(securityStatusDescription(-1), QStringLiteral("OSStatus -1"));
    QCOMPARE(securityErrorDescription(IdentityError(QStringLiteral("NSOSStatusErrorDomain"), -25299)),
             QStringLiteral("The operation couldn’t be completed. (NSOSStatusErrorDomain error -25299.) | "
                            "OSStatus -25299: The specified item already exists in the keychain."));
    QCOMPARE(
        securityErrorDescription(IdentityError(QStringLiteral("Other"), 7, QStringLiteral("Broke"), -25300)),
        QStringLiteral(
            "Broke | domain=Other code=7 | OSStatus -25300: The specified item could not be found in the keychain."));
    // Duplicate parts collapse.
    QCOMPARE(securityErrorDescription(
                 IdentityError(QStringLiteral("NSOSStatusErrorDomain"), -1, QStringLiteral("OSStatus -1"))),
             QStringLiteral("OSStatus -1"));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(SigningKeyTest)
#include "tst_signing_key.moc"
