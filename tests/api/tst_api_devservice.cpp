#include "api/api_client.h"
#include "api/pinned_session_failure_store.h"
#include "api_test_run.h"
#include "identity/device_enrollment_agent.h"
#include "platform/linux/device/dmi_hardware_identity.h"
#include "platform/linux/tpm/absent_hardware_key.h"
#include "platform/linux/device/sysfs_posture_probes.h"
#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/keychain/selecting_keychain.h"
#include "platform/linux/tpm/tpm_hardware_key.h"
#include "support/bundle_modules.h"
#include "support/credentials_builder.h"
#include "support/dev_service.h"
#include "support/process_runner.h"
#include "support/swtpm_process.h"
#include "support/temporary_home.h"
#include "test_pki.h"
#include "tls_test_server.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace mornix {

namespace {

// How an operation failed, if it did with an APIError.
template <typename T>
std::optional<APIError> errorOf(std::function<QCoro::Task<T>()> operation)
{
    return runOperation<T>(std::move(operation)).apiError;
}

std::optional<APIError> errorOf(std::function<QCoro::Task<void>()> operation)
{
    return runOperation(std::move(operation)).apiError;
}

}  // namespace

// The endpoints end to end against the real local service over TLS with the dev PKI, and its
// injected faults as the client reports them. The service verifies every signed text against the
// device's public key: a software key, and for the claim a key inside a software TPM (swtpm).
// Its refusals of forged texts are checked against it directly in tests/devservice.
class APIDevserviceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        m_home = std::make_unique<TemporaryHome>();
        m_service = std::make_unique<DevService>(DevService::Port::ephemeral);
        QVERIFY(m_service->start());
        m_agent = std::make_shared<DeviceEnrollmentAgent>(
            IdentityPorts{std::make_shared<SelectingKeychain>(secret_service::Client(buildBundleModules()),
                                                              SelectingKeychain::Backend::file),
                          std::make_shared<AbsentHardwareKey>(), std::make_shared<DmiHardwareIdentity>(),
                          std::make_shared<SysfsPostureProbes>()});
        m_tpm = std::make_unique<SwtpmProcess>();
        QVERIFY2(m_tpm->isRunning(), qPrintable(m_tpm->errorText()));
        const auto keychain = std::make_shared<FileKeychain>(m_home->path() + QStringLiteral("/tpm-keychain"));
        m_tpmAgent = std::make_shared<DeviceEnrollmentAgent>(
            IdentityPorts{keychain, std::make_shared<TpmHardwareKey>(keychain, buildBundleModules(), m_tpm->tcti()),
                          std::make_shared<DmiHardwareIdentity>(), std::make_shared<SysfsPostureProbes>()});
        QVERIFY(DeviceEnrollmentAgent::isSecureEnclaveKey(m_tpmAgent->loadOrCreatePrivateKey()));
    }

    void cleanupTestCase()
    {
        m_tpmAgent.reset();
        m_tpm.reset();
        m_service.reset();
        m_home.reset();
    }

    void cleanup() { admin({"fault", "clear"}); }
    void publicConfigAndHostedProviderTokens()
    {
        const APIClient api = client();
        const QString base = m_service->baseURL();
        const auto config = runOperation<PublicAuthConfig>([&] { return api.fetchPublicAuthConfig(base); });
        QVERIFY2(config.value, config.describe());
        QCOMPARE(config.value->supabase_url, base);

        const auto password = runOperation<OAuthTokenResponse>([&] {
            return api.exchangePasswordCredentials(base, QStringLiteral("dev@veltro.localhost"),
                                                   QStringLiteral("veltro-dev-password"));
        });
        QVERIFY2(password.value, password.describe());
        QVERIFY(!password.value->access_token.isEmpty());
        QVERIFY(password.value->refresh_token);

        const auto refreshed = runOperation<OAuthTokenResponse>(
            [&] { return api.refreshSupabaseAccessToken(base, *password.value->refresh_token); });
        QVERIFY2(refreshed.value, refreshed.describe());
        QVERIFY(refreshed.value->access_token != password.value->access_token);
    }

    void registrationInventoryLogout()
    {
        const DeviceCredentials credentials = registerNewDevice();
        QVERIFY(!credentials.deviceID.isEmpty());
        const APIClient api = client();

        // The inventory is stored as sent.
        const QList<AgentInstanceReport> instances{
            {QStringLiteral("local_") + QStringLiteral("ab").repeated(32), QStringLiteral("claude-desktop"),
             QStringLiteral("application"), QStringLiteral("com.anthropic.claudefordesktop")},
            {QStringLiteral("local_") + QStringLiteral("cd").repeated(32), QStringLiteral("claude-code"),
             QStringLiteral("process"), std::nullopt}};
        const auto reported = runOperation([&] { return api.reportAgentInstances(credentials, instances); });
        QVERIFY2(reported.value, reported.describe());
        const QJsonArray reports =
            adminList({"inventory", "show", "--device", credentials.deviceID}, QStringLiteral("reports"));
        QVERIFY(!reports.isEmpty());
        const QJsonArray stored = reports.last().toObject().value(QStringLiteral("instances")).toArray();
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored.at(0).toObject(), instances.at(0).toJSON());
        QCOMPARE(stored.at(1).toObject(), instances.at(1).toJSON());

        // After the logout the device's requests are unauthorised.
        const DeviceLogoutRequestPayload logout = m_agent->buildSignedLogoutRequest(credentials.deviceID);
        const auto loggedOut = runOperation([&] { return api.logoutDevice(credentials, logout); });
        QVERIFY2(loggedOut.value, loggedOut.describe());
        const auto afterLogout =
            runOperation<std::optional<KillCommand>>([&] { return api.pollNextCommand(credentials); });
        QVERIFY(afterLogout.apiError);
        QCOMPARE(afterLogout.apiError->kind(), APIError::Kind::unauthorized);
    }

    // With the key in the TPM (the software key's claim runs in tst_sign_in_flows).
    void claimWithApproval()
    {
        const std::shared_ptr<DeviceEnrollmentAgent> agent = m_tpmAgent;
        const QString invite = admin({"invite", "create"}).value(QStringLiteral("invite_code")).toString();
        QVERIFY(!invite.isEmpty());
        const APIClient api = client();
        const QString base = m_service->baseURL();
        const auto challenge =
            claimChallenge<DeviceClaimChallengeResponse>(api, invite, QStringLiteral("  Front desk\n"));
        QVERIFY2(challenge.value, challenge.describe());

        const DeviceClaimRequestPayload record = agent->buildSignedClaimRequest(
            challenge.value->challenge_id, challenge.value->challenge_nonce, invite, QStringLiteral("Front desk"));
        m_log.clear();
        const auto completed =
            runOperation<DeviceClaimCompleteResponse>([&] { return api.completeDeviceClaim(base, record); });
        QVERIFY2(completed.value, completed.describe());
        QCOMPARE(completed.value->claim.hardware_uuid, m_agent->hardwareUUID());
        QCOMPARE(completed.value->claim.human_claim_name, std::optional<QString>(QStringLiteral("Front desk")));

        // The preflight line names the hash and the byte length of the payload's canonical JSON,
        // both recomputed here by python3 from the record's dictionary form.
        QCOMPARE(m_log.size(), 1);
        const ProcessResult python =
            runPython(QStringLiteral("import hashlib,json,sys\n"
                                     "p=json.loads(sys.stdin.buffer.read())['payload']\n"
                                     "t=json.dumps(p,sort_keys=True,separators=(',',':'),ensure_ascii=False).encode()\n"
                                     "print('claim payload hash preflight ok hash=%s "
                                     "payload_bytes=%d'%(hashlib.sha256(t).hexdigest(),len(t)))\n"),
                      {}, QJsonDocument(record.jsonObject()).toJson());
        QCOMPARE(m_log.first().toUtf8(), python.standardOutput.trimmed());

        // Pending until an administrator approves; then the status carries the device's credentials.
        const DeviceClaimStatusRequestPayload status = agent->buildSignedClaimStatusRequest(completed.value->claim.id);
        const auto pending =
            runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, status); });
        QVERIFY2(pending.value, pending.describe());
        QVERIFY(!pending.value->approved_device_bootstrap);
        QVERIFY(!admin({"claims", "approve", completed.value->claim.id}).isEmpty());
        const auto approved =
            runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, status); });
        QVERIFY2(approved.value, approved.describe());
        QVERIFY(approved.value->approved_device_bootstrap);
    }

    void claimPreflightMismatchSendsNothing()
    {
        const QString invite = admin({"invite", "create"}).value(QStringLiteral("invite_code")).toString();
        const APIClient api = client();
        const QString base = m_service->baseURL();
        const auto challenge = claimChallenge<DeviceClaimChallengeResponse>(api, invite);
        QVERIFY2(challenge.value, challenge.describe());
        DeviceClaimRequestPayload record =
            m_agent->buildSignedClaimRequest(challenge.value->challenge_id, challenge.value->challenge_nonce, invite);
        const QString recorded = record.payload_hash_sha256;
        record.payload.device_name += QStringLiteral(" (altered)");
        const qsizetype claimsBefore = adminList({"claims", "list"}, QStringLiteral("claims")).size();
        m_log.clear();
        const auto refused =
            runOperation<DeviceClaimCompleteResponse>([&] { return api.completeDeviceClaim(base, record); });
        QVERIFY(refused.apiError);
        QCOMPARE(refused.apiError->kind(), APIError::Kind::decodeError);
        QCOMPARE(refused.apiError->message(), QStringLiteral("Claim payload hash preflight mismatch"));
        QCOMPARE(m_log.size(), 1);
        QVERIFY(m_log.first().startsWith(QStringLiteral("claim payload hash preflight mismatch expected=") + recorded
                                         + QStringLiteral(" recomputed=")));
        QCOMPARE(m_log.first().size(),
                 QStringLiteral("claim payload hash preflight mismatch expected= recomputed=").size() + 128);
        QCOMPARE(adminList({"claims", "list"}, QStringLiteral("claims")).size(), claimsBefore);

        // The genuine record passes the preflight; an answer that does not decode is reported with
        // the completion's prefix.
        const DeviceClaimRequestPayload genuine =
            m_agent->buildSignedClaimRequest(challenge.value->challenge_id, challenge.value->challenge_nonce, invite);
        QVERIFY(!admin({"fault", "set", "claims", "--malformed", "--count", "1"}).isEmpty());
        const auto malformed =
            runOperation<DeviceClaimCompleteResponse>([&] { return api.completeDeviceClaim(base, genuine); });
        QVERIFY(malformed.apiError);
        QCOMPARE(malformed.apiError->kind(), APIError::Kind::decodeError);
        QVERIFY2(malformed.apiError->message().startsWith(QStringLiteral("Failed to decode device claim response: ")),
                 qPrintable(malformed.apiError->message()));
    }

    // A fault injected into the service's next answer to an endpoint: an endpoint without a
    // result must not take an error status for success, and each decode failure names its answer.
    // (The other endpoints' on scripted answers in tst_api_transport; the poll's through the agent.)
    void injectedFaults()
    {
        const DeviceCredentials credentials = registerNewDevice();
        QVERIFY(!credentials.deviceID.isEmpty());
        const APIClient api = client();
        const QString base = m_service->baseURL();
        const QString claimID = QStringLiteral("claim-x");
        using K = APIError::Kind;
        const QStringList malformed{"--malformed"};
        const struct {
            const char *endpoint;
            QStringList fault;
            std::function<std::optional<APIError>()> operation;
            K kind;
            int status;
            QString messagePrefix;
        } cases[] = {
            {"ack",
             {"--status", "500"},
             [&] {
                 return errorOf([&] {
                     return api.sendAck(credentials, QStringLiteral("cmd-x"), AckStatus::failed, std::nullopt, {});
                 });
             },
             K::serverError,
             500,
             {}},
            {"inventory",
             {"--status", "403"},
             [&] { return errorOf([&] { return api.reportAgentInstances(credentials, {}); }); },
             K::unauthorized,
             0,
             {}},
            {"logout",
             {"--status", "502"},
             [&] {
                 const DeviceLogoutRequestPayload record = m_agent->buildSignedLogoutRequest(credentials.deviceID);
                 return errorOf([&] { return api.logoutDevice(credentials, record); });
             },
             K::serverError,
             502,
             {}},
            {"auth-token", malformed,
             [&] {
                 return errorOf<OAuthTokenResponse>([&] {
                     return api.exchangePasswordCredentials(base, QStringLiteral("dev@veltro.localhost"),
                                                            QStringLiteral("veltro-dev-password"));
                 });
             },
             K::decodeError, 0, QStringLiteral("Failed to decode password OAuth response: ")},
            {"register", malformed,
             [&] {
                 return errorOf<DeviceRegistrationResponse>([&] {
                     return api.registerDevice(base, QStringLiteral("token"), QStringLiteral("S"), QStringLiteral("U"));
                 });
             },
             K::decodeError, 0, QStringLiteral("Failed to decode OAuth device challenge: ")},
            {"claims", malformed,
             [&] { return claimChallenge<DeviceClaimChallengeResponse>(api, QStringLiteral("C")).apiError; },
             K::decodeError, 0, QStringLiteral("Failed to decode device claim challenge: ")},
            {"claim-status", malformed,
             [&] {
                 const DeviceClaimStatusRequestPayload record = m_agent->buildSignedClaimStatusRequest(claimID);
                 return errorOf<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, record); });
             },
             K::decodeError, 0, QStringLiteral("Failed to decode device claim status: ")},
        };
        for (const auto &c : cases) {
            QVERIFY(!admin(QStringList{"fault", "set", c.endpoint} + c.fault).isEmpty());
            const std::optional<APIError> error = c.operation();
            admin({"fault", "clear"});
            const QString name = QString::fromLatin1(c.endpoint) + QLatin1Char(' ') + c.fault.join(QLatin1Char(' '));
            QVERIFY2(error, qPrintable(name));
            QVERIFY2(error->kind() == c.kind && error->statusCode() == c.status, qPrintable(name));
            QVERIFY2(error->message().startsWith(c.messagePrefix),
                     qPrintable(name + QStringLiteral(": ") + error->message()));
        }
    }

    void registrationCompletionThatDoesNotDecode()
    {
        // Scripted answers: a valid challenge, then a completion without the device secret. (The
        // challenge's id, nonce and the user's token in the completion are checked by the real
        // service in every registration above.)
        TestPki pki;
        QVERIFY(pki.isValid());
        int exchange = 0;
        TlsTestServer server(
            loadChain(pki.certificate(QStringLiteral("ec"))), loadKey(pki.key(QStringLiteral("ec"))),
            [&exchange](const CapturedRequest &) {
                return ++exchange == 1
                           ? TlsTestServer::response(
                               200, R"({"challenge_id":"c1","challenge_nonce":"n1","expires_at":"later"})")
                           : TlsTestServer::response(
                               200,
                               R"({"device":{"id":"d","org_id":"o","project_id":"p","device_name":"n"},"device_bearer_token":"t"})");
            });
        const QString base = QStringLiteral("https://localhost:%1").arg(server.port());
        const APIClient api(makePinnedSession(base, pki.config(), nullptr), APIClient::Collaborators{m_agent, {}});
        const auto result = runOperation<DeviceRegistrationResponse>([&] {
            return api.registerDevice(base, QStringLiteral("user-token"), QStringLiteral(" SERIAL\u0007 "),
                                      QStringLiteral("UUID"));
        });
        QVERIFY(result.apiError);
        QCOMPARE(result.apiError->message(),
                 QStringLiteral("Failed to decode register response: No value associated with key \"device_secret\"."));
        const QList<CapturedRequest> requests = server.requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(
            QJsonDocument::fromJson(requests[0].body).object(),
            (QJsonObject{{"action", "challenge"}, {"hardware_serial_number", "SERIAL"}, {"hardware_uuid", "UUID"}}));
    }

private:
    APIClient client() const
    {
        // The build's own configuration: the dev CA is an extra anchor, 127.0.0.1 an allowed host.
        auto *log = const_cast<QStringList *>(&m_log);
        return APIClient(makePinnedSession(m_service->baseURL(), Config::defaults(), nullptr),
                         APIClient::Collaborators{m_agent, [log](const QString &line) { log->append(line); }});
    }

    DeviceCredentials registerNewDevice()
    {
        const QString token = admin({"token", "issue"}).value(QStringLiteral("access_token")).toString();
        const APIClient api = client();
        const QString base = m_service->baseURL();
        const auto registration = runOperation<DeviceRegistrationResponse>(
            [&] { return api.registerDevice(base, token, m_agent->hardwareSerialNumber(), m_agent->hardwareUUID()); });
        if (!registration.value) {
            qWarning("registration failed: %s", registration.describe());
            return {};
        }
        return CredentialsBuilder().apiBaseURL(base).registered(
            registration.value->device_bearer_token, registration.value->device, registration.value->device_secret);
    }

    // `admin --json ARGUMENTS...` on the service's state.
    QJsonObject admin(const QStringList &arguments) const { return m_service->adminJSON(arguments); }
    QJsonArray adminList(const QStringList &arguments, const QString &key) const
    {
        return admin(arguments).value(key).toArray();
    }

    template <typename T>
    OperationResult<T> claimChallenge(const APIClient &api, const QString &invite,
                                      const std::optional<QString> &name = std::nullopt) const
    {
        return runOperation<T>([&] {
            return api.issueDeviceClaimChallenge(m_service->baseURL(), invite, name, m_agent->hardwareSerialNumber(),
                                                 m_agent->hardwareUUID());
        });
    }

    std::unique_ptr<TemporaryHome> m_home;
    std::unique_ptr<DevService> m_service;
    std::shared_ptr<DeviceEnrollmentAgent> m_agent;
    std::unique_ptr<SwtpmProcess> m_tpm;
    std::shared_ptr<DeviceEnrollmentAgent> m_tpmAgent;  // its own keychain: a software key there would be kept
    QStringList m_log;
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(APIDevserviceTest)
#include "tst_api_devservice.moc"
