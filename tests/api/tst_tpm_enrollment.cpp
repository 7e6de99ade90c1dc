// Enrollment and claim end to end with the device key inside a TPM: a software TPM (swtpm) and
// the real local service over TLS, which verifies every signed text against the public key the
// TPM key presented.
#include "api/api_client.h"
#include "api_test_run.h"
#include "identity/device_enrollment_agent.h"
#include "platform/linux/dmi_hardware_identity.h"
#include "platform/linux/sysfs_posture_probes.h"
#include "platform/linux/selecting_keychain.h"
#include "platform/linux/tpm_hardware_key.h"
#include "support/bundle_modules.h"
#include "support/credentials_builder.h"
#include "support/crypto.h"
#include "support/dev_service.h"
#include "support/swtpm_process.h"
#include "support/temporary_home.h"

#include <QJsonArray>
#include <QTest>

namespace mornix {

class TpmEnrollmentTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void registrationAndSignedLogout();
    void claimWithApproval();

private:
    APIClient client() const;

    std::unique_ptr<TemporaryHome> m_home;
    std::unique_ptr<SwtpmProcess> m_tpm;
    std::unique_ptr<DevService> m_service;
    std::shared_ptr<DeviceEnrollmentAgent> m_agent;
};

void TpmEnrollmentTest::initTestCase()
{
    m_home = std::make_unique<TemporaryHome>();
    qputenv("VELTRO_KEYCHAIN", "file");
    m_tpm = std::make_unique<SwtpmProcess>();
    QVERIFY2(m_tpm->isRunning(), qPrintable(m_tpm->errorText()));
    m_service = std::make_unique<DevService>(DevService::Port::ephemeral);
    QVERIFY(m_service->start());
    // The production ports, with the TPM reached through our environment variable.
    qputenv(TpmHardwareKey::tctiVariable, m_tpm->tcti().toUtf8());
    const auto modules = buildBundleModules();
    auto keychain = std::make_shared<SelectingKeychain>(secret_service::Client(modules));
    m_agent = std::make_shared<DeviceEnrollmentAgent>(
        IdentityPorts{keychain, std::make_shared<TpmHardwareKey>(keychain, modules), std::make_shared<DmiHardwareIdentity>(),
                      std::make_shared<SysfsPostureProbes>()});
    QVERIFY(DeviceEnrollmentAgent::isSecureEnclaveKey(m_agent->loadOrCreatePrivateKey()));
}

void TpmEnrollmentTest::cleanupTestCase()
{
    qunsetenv(TpmHardwareKey::tctiVariable);
    m_agent.reset();
    m_service.reset();
    m_tpm.reset();
    m_home.reset();
}

APIClient TpmEnrollmentTest::client() const
{
    return APIClient(makePinnedSession(m_service->baseURL(), Config::defaults(), nullptr), APIClient::Collaborators{m_agent, {}});
}

void TpmEnrollmentTest::registrationAndSignedLogout()
{
    const QJsonObject token = m_service->adminJSON({QStringLiteral("token"), QStringLiteral("issue")});
    const APIClient api = client();
    const QString base = m_service->baseURL();
    // The registration record is built (and signed in the TPM) on a worker thread.
    const auto registration = runOperation<DeviceRegistrationResponse>([&] {
        return api.registerDevice(base, token.value(QStringLiteral("access_token")).toString(),
                                  m_agent->hardwareSerialNumber(), m_agent->hardwareUUID());
    });
    QVERIFY2(registration.value, registration.describe());
    const DeviceCredentials credentials = CredentialsBuilder().apiBaseURL(base).registered(
        registration.value->device_bearer_token, registration.value->device, registration.value->device_secret);

    // A logout whose signature is not over the logout text is refused ...
    DeviceLogoutRequestPayload forged = m_agent->buildSignedLogoutRequest(credentials.deviceID);
    forged.logout_signature_base64 = crypto::base64(
        DeviceEnrollmentAgent::sign("LOGOUT\nsomeone-else", m_agent->loadOrCreatePrivateKey()));
    const auto refused = runOperation([&] { return api.logoutDevice(credentials, forged); });
    QVERIFY(refused.apiError);
    // ... and the genuine one, signed in the TPM, is verified against the registered key.
    const DeviceLogoutRequestPayload logout = m_agent->buildSignedLogoutRequest(credentials.deviceID);
    const auto loggedOut = runOperation([&] { return api.logoutDevice(credentials, logout); });
    QVERIFY2(loggedOut.value, loggedOut.describe());
    const auto afterLogout = runOperation<std::optional<KillCommand>>([&] { return api.pollNextCommand(credentials); });
    QVERIFY(afterLogout.apiError);
    QCOMPARE(afterLogout.apiError->kind(), APIError::Kind::unauthorized);
}

void TpmEnrollmentTest::claimWithApproval()
{
    const QString invite = m_service->adminJSON({QStringLiteral("invite"), QStringLiteral("create")})
                               .value(QStringLiteral("invite_code")).toString();
    QVERIFY(!invite.isEmpty());
    const APIClient api = client();
    const QString base = m_service->baseURL();
    const auto challenge = runOperation<DeviceClaimChallengeResponse>([&] {
        return api.issueDeviceClaimChallenge(base, invite, QStringLiteral("TPM desk"), m_agent->hardwareSerialNumber(),
                                             m_agent->hardwareUUID());
    });
    QVERIFY2(challenge.value, challenge.describe());

    const DeviceClaimRequestPayload record = m_agent->buildSignedClaimRequest(
        challenge.value->challenge_id, challenge.value->challenge_nonce, invite, QStringLiteral("TPM desk"));
    QCOMPARE(record.payload.agent.collector, QStringLiteral("veltro-mornix-secureenclave-agent"));
    const auto completed = runOperation<DeviceClaimCompleteResponse>([&] { return api.completeDeviceClaim(base, record); });
    QVERIFY2(completed.value, completed.describe());

    // Status requests are signed with the same TPM key; pending, then approved with credentials.
    const DeviceClaimStatusRequestPayload status = m_agent->buildSignedClaimStatusRequest(completed.value->claim.id);
    QCOMPARE(status.secure_enclave_public_key, record.payload.secure_enclave_public_key);
    const auto pending = runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, status); });
    QVERIFY2(pending.value, pending.describe());
    QVERIFY(!pending.value->approved_device_bootstrap);
    QVERIFY(!m_service->adminJSON({QStringLiteral("claims"), QStringLiteral("approve"), completed.value->claim.id}).isEmpty());
    const auto approved = runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, status); });
    QVERIFY2(approved.value, approved.describe());
    QVERIFY(approved.value->approved_device_bootstrap);

    const auto &bootstrap = *approved.value->approved_device_bootstrap;
    const DeviceCredentials credentials = CredentialsBuilder().apiBaseURL(base).registered(
        bootstrap.bearer_token, bootstrap.device, bootstrap.device_secret);
    const auto reported = runOperation([&] { return api.reportAgentInstances(credentials, {}); });
    QVERIFY2(reported.value, reported.describe());

    // A status request whose signature is over another text is refused.
    DeviceClaimStatusRequestPayload other = status;
    other.status_signature_base64 = crypto::base64(DeviceEnrollmentAgent::sign(
        "CLAIM_STATUS\n" + completed.value->claim.id.toUtf8() + "\nx\ny", m_agent->loadOrCreatePrivateKey()));
    const auto forged = runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, other); });
    QVERIFY(forged.apiError);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(TpmEnrollmentTest)
#include "tst_tpm_enrollment.moc"
#include "support/config.h"
