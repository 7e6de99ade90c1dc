#include "api/api_client.h"
#include "api/pinned_session_failure_store.h"
#include "api_test_run.h"
#include "identity/device_enrollment_agent.h"
#include "platform/linux/dmi_hardware_identity.h"
#include "platform/linux/absent_hardware_key.h"
#include "platform/linux/sysfs_posture_probes.h"
#include "platform/linux/file_keychain.h"
#include "platform/linux/selecting_keychain.h"
#include "platform/linux/tpm_hardware_key.h"
#include "support/bundle_modules.h"
#include "support/credentials_builder.h"
#include "support/crypto.h"
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

// Every endpoint end to end against the real local service over TLS with the dev PKI, and the
// service's refusals (real and injected) as the client reports them. The service verifies every
// signed text against the device's public key: a software key, and for the claim a key inside a
// software TPM (swtpm) with the real TSS stack.
class APIDevserviceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase()
    {
        m_tpmAgent.reset();
        m_tpm.reset();
        m_service.reset();
        m_home.reset();
    }
    void cleanup() { admin({"fault", "clear"}); }
    void publicConfigAndHostedProviderTokens();
    void authorizationCodeAndRefresh();
    void registrationPollAckInventoryLogout();
    void claimWithApproval_data();
    void claimWithApproval();
    void claimPreflightMismatchSendsNothing();
    void injectedFaults();
    void registrationCompletionThatDoesNotDecode();

private:
    APIClient client() const;
    DeviceCredentials registerNewDevice();
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

void APIDevserviceTest::initTestCase()
{
    m_home = std::make_unique<TemporaryHome>();
    qputenv("VELTRO_KEYCHAIN", "file");
    m_service = std::make_unique<DevService>(DevService::Port::ephemeral);
    QVERIFY(m_service->start());
    m_agent = std::make_shared<DeviceEnrollmentAgent>(
        IdentityPorts{std::make_shared<SelectingKeychain>(secret_service::Client(buildBundleModules())),
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

APIClient APIDevserviceTest::client() const
{
    // The build's own configuration: the dev CA is an extra anchor, 127.0.0.1 an allowed host.
    auto *log = const_cast<QStringList *>(&m_log);
    return APIClient(makePinnedSession(m_service->baseURL(), Config::defaults(), nullptr),
                     APIClient::Collaborators{m_agent, [log](const QString &line) { log->append(line); }});
}

DeviceCredentials APIDevserviceTest::registerNewDevice()
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

void APIDevserviceTest::publicConfigAndHostedProviderTokens()
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

    const auto refreshed = runOperation<OAuthTokenResponse>([&] {
        return api.refreshSupabaseAccessToken(base, *password.value->refresh_token);
    });
    QVERIFY2(refreshed.value, refreshed.describe());
    QVERIFY(refreshed.value->access_token != password.value->access_token);

    // The refresh token was used up: the provider refuses it (400), the body is carried as is.
    const auto reused = runOperation<OAuthTokenResponse>([&] {
        return api.refreshSupabaseAccessToken(base, *password.value->refresh_token);
    });
    QVERIFY(reused.apiError);
    QCOMPARE(reused.apiError->kind(), APIError::Kind::serverError);
    QCOMPARE(reused.apiError->statusCode(), 400);
    QVERIFY(reused.apiError->body().contains(QLatin1String("invalid_grant")));

    const auto wrongPassword = runOperation<OAuthTokenResponse>([&] {
        return api.exchangePasswordCredentials(base, QStringLiteral("dev@veltro.localhost"), QStringLiteral("nope"));
    });
    QVERIFY(wrongPassword.apiError);
    QCOMPARE(wrongPassword.apiError->statusCode(), 400);
}

void APIDevserviceTest::authorizationCodeAndRefresh()
{
    // A browser's part of the sign-in, played by python3: PKCE pair, authorisation, the code
    // from the redirect.
    const QString redirect = QStringLiteral("veltro-mornix://oauth/callback");
    const ProcessResult browser = runPython(QStringLiteral(
        "import base64,hashlib,http.client,os,ssl,sys,urllib.parse\n"
        "host,port,client,redirect,ca=sys.argv[1],int(sys.argv[2]),sys.argv[3],sys.argv[4],sys.argv[5]\n"
        "verifier=base64.urlsafe_b64encode(os.urandom(48)).decode().rstrip('=')\n"
        "challenge=base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).decode().rstrip('=')\n"
        "q=urllib.parse.urlencode({'client_id':client,'redirect_uri':redirect,'state':'st','response_type':'code',"
        "'code_challenge_method':'S256','code_challenge':challenge,'scope':'mcp:tools','provider':'google'})\n"
        "c=http.client.HTTPSConnection(host,port,context=ssl.create_default_context(cafile=ca))\n"
        "c.request('GET','/authorize/external?'+q);r=c.getresponse()\n"
        "loc=urllib.parse.urlparse(r.getheader('Location'))\n"
        "qs=urllib.parse.parse_qs(loc.query)\n"
        "if 'code' not in qs: sys.exit('no code: %d %s' % (r.status, r.read()))\n"
        "print(qs['code'][0]);print(verifier)\n"),
        {QUrl(m_service->baseURL()).host(), QString::number(QUrl(m_service->baseURL()).port()),
         Config::defaults().defaultOAuthClientID, redirect, QStringLiteral(MORNIX_DEV_PKI_DIR "/tls-ca.pem")});
    QVERIFY2(browser.exitCode == 0, browser.standardError.constData());
    const QList<QByteArray> lines = browser.standardOutput.trimmed().split('\n');
    QVERIFY2(lines.size() == 2, browser.standardOutput.constData());

    const APIClient api = client();
    const QString base = m_service->baseURL();
    const QString clientID = Config::defaults().defaultOAuthClientID;
    const auto token = runOperation<OAuthTokenResponse>([&] {
        return api.exchangeAuthorizationCode(base, clientID, QString(), QString::fromLatin1(lines[0]),
                                             QString::fromLatin1(lines[1]), redirect);
    });
    QVERIFY2(token.value, token.describe());
    QCOMPARE(token.value->token_type, std::optional<QString>(QStringLiteral("Bearer")));
    QVERIFY(token.value->expires_in.value_or(0) > 0);

    const auto refreshed = runOperation<OAuthTokenResponse>([&] {
        return api.refreshAccessToken(base, clientID, QString(), token.value->refresh_token.value_or(QString()));
    });
    QVERIFY2(refreshed.value, refreshed.describe());

    // The service's client is public: a presented secret is refused as unauthorised.
    const auto withSecret = runOperation<OAuthTokenResponse>([&] {
        return api.refreshAccessToken(base, clientID, QStringLiteral("secret"),
                                      refreshed.value->refresh_token.value_or(QString()));
    });
    QVERIFY(withSecret.apiError);
    QCOMPARE(withSecret.apiError->kind(), APIError::Kind::unauthorized);
    QVERIFY(withSecret.apiError->body().contains(QLatin1String("invalid_client")));
}

void APIDevserviceTest::registrationPollAckInventoryLogout()
{
    const DeviceCredentials credentials = registerNewDevice();
    QVERIFY(!credentials.deviceID.isEmpty());
    const QJsonArray devices = adminList({"devices", "list"}, QStringLiteral("devices"));
    QVERIFY(std::any_of(devices.begin(), devices.end(), [&](const QJsonValue &d) {
        return d.toObject().value(QStringLiteral("id")).toString() == credentials.deviceID
               && d.toObject().value(QStringLiteral("hardware_uuid")).toString() == m_agent->hardwareUUID();
    }));
    const APIClient api = client();

    // A queued command is handed out by the next signed poll.
    const QString commandID = admin({"command", "send", "--device", credentials.deviceID, "--app", "claude"})
                                  .value(QStringLiteral("command_id"))
                                  .toString();
    QVERIFY(!commandID.isEmpty());
    const auto polled = runOperation<std::optional<KillCommand>>([&] { return api.pollNextCommand(credentials); });
    QVERIFY2(polled.value, polled.describe());
    QVERIFY(polled.value->has_value());
    QCOMPARE((*polled.value)->id, commandID);
    QCOMPARE((*polled.value)->appKey, QStringLiteral("claude"));

    // Acknowledgements: received, then executed with the execution's payload.
    const auto received = runOperation([&] {
        return api.sendAck(credentials, commandID, AckStatus::received, std::nullopt, std::nullopt);
    });
    QVERIFY2(received.value, received.describe());
    KillExecutionResult execution{true, QStringLiteral("Stopped Claude.\n"), QJsonObject{{"terminated", 1}}};
    const auto executed = runOperation([&] {
        return api.sendAck(credentials, commandID, AckStatus::executed, execution, std::nullopt);
    });
    QVERIFY2(executed.value, executed.describe());
    const QJsonArray acks = adminList({"acks", "list", "--command", commandID}, QStringLiteral("acks"));
    QCOMPARE(acks.size(), 2);
    QJsonObject executedAck;
    for (const QJsonValue &ack : acks) {
        if (ack.toObject().value(QStringLiteral("status")).toString() == QLatin1String("executed"))
            executedAck = ack.toObject();
    }
    QCOMPARE(executedAck.value(QStringLiteral("message")).toString(), QStringLiteral("Stopped Claude."));
    QCOMPARE(executedAck.value(QStringLiteral("payload")).toObject(), execution.payload);
    QCOMPARE(executedAck.value(QStringLiteral("idempotency_key")).toString(),
             CommandAcknowledgement::idempotencyKeyFor(commandID, credentials.deviceID, AckStatus::executed,
                                                       execution.payload));

    // Inventory.
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

    // Nothing queued: the service holds the poll, then answers 204.
    const auto idle = runOperation<std::optional<KillCommand>>([&] { return api.pollNextCommand(credentials); });
    QVERIFY2(idle.value, idle.describe());
    QVERIFY(!idle.value->has_value());

    // A logout whose signature is not over the logout text is refused; the genuine one logs out,
    // and afterwards the device's requests are unauthorised.
    DeviceLogoutRequestPayload forgedLogout = m_agent->buildSignedLogoutRequest(credentials.deviceID);
    forgedLogout.logout_signature_base64 =
        crypto::base64(DeviceEnrollmentAgent::sign("LOGOUT\nsomeone-else", m_agent->loadOrCreatePrivateKey()));
    QVERIFY(runOperation([&] { return api.logoutDevice(credentials, forgedLogout); }).apiError);
    const DeviceLogoutRequestPayload logout = m_agent->buildSignedLogoutRequest(credentials.deviceID);
    const auto loggedOut = runOperation([&] { return api.logoutDevice(credentials, logout); });
    QVERIFY2(loggedOut.value, loggedOut.describe());
    const auto afterLogout = runOperation<std::optional<KillCommand>>([&] { return api.pollNextCommand(credentials); });
    QVERIFY(afterLogout.apiError);
    QCOMPARE(afterLogout.apiError->kind(), APIError::Kind::unauthorized);

    // A wrong device secret: the service refuses the signature.
    DeviceCredentials forged = credentials;
    forged.deviceSecret = QStringLiteral("not the secret");
    const auto forgedPoll = runOperation<std::optional<KillCommand>>([&] { return api.pollNextCommand(forged); });
    QVERIFY(forgedPoll.apiError);
    QCOMPARE(forgedPoll.apiError->kind(), APIError::Kind::unauthorized);
}

void APIDevserviceTest::claimWithApproval_data()
{
    QTest::addColumn<bool>("tpm");
    QTest::newRow("software key") << false;
    QTest::newRow("TPM key") << true;
}

void APIDevserviceTest::claimWithApproval()
{
    QFETCH(bool, tpm);
    const std::shared_ptr<DeviceEnrollmentAgent> agent = tpm ? m_tpmAgent : m_agent;
    const QString invite = admin({"invite", "create"}).value(QStringLiteral("invite_code")).toString();
    QVERIFY(!invite.isEmpty());
    const APIClient api = client();
    const QString base = m_service->baseURL();
    const auto challenge = claimChallenge<DeviceClaimChallengeResponse>(api, invite, QStringLiteral("  Front desk\n"));
    QVERIFY2(challenge.value, challenge.describe());

    const DeviceClaimRequestPayload record = agent->buildSignedClaimRequest(
        challenge.value->challenge_id, challenge.value->challenge_nonce, invite, QStringLiteral("Front desk"));
    m_log.clear();
    const auto completed = runOperation<DeviceClaimCompleteResponse>([&] { return api.completeDeviceClaim(base, record); });
    QVERIFY2(completed.value, completed.describe());
    QCOMPARE(completed.value->claim.hardware_uuid, m_agent->hardwareUUID());
    QCOMPARE(completed.value->claim.human_claim_name, std::optional<QString>(QStringLiteral("Front desk")));

    // The preflight line names the hash and the byte length of the payload's canonical JSON,
    // both recomputed here by python3 from the record's dictionary form.
    QCOMPARE(m_log.size(), 1);
    const ProcessResult python = runPython(QStringLiteral(
        "import hashlib,json,sys\n"
        "p=json.loads(sys.stdin.buffer.read())['payload']\n"
        "t=json.dumps(p,sort_keys=True,separators=(',',':'),ensure_ascii=False).encode()\n"
        "print('claim payload hash preflight ok hash=%s payload_bytes=%d'%(hashlib.sha256(t).hexdigest(),len(t)))\n"),
        {}, QJsonDocument(record.jsonObject()).toJson());
    QCOMPARE(m_log.first().toUtf8(), python.standardOutput.trimmed());

    // Pending until an administrator approves; then the status carries the device's credentials.
    const DeviceClaimStatusRequestPayload status = agent->buildSignedClaimStatusRequest(completed.value->claim.id);
    const auto pending = runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, status); });
    QVERIFY2(pending.value, pending.describe());
    QVERIFY(!pending.value->approved_device_bootstrap);
    QVERIFY(!admin({"claims", "approve", completed.value->claim.id}).isEmpty());
    const auto approved = runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, status); });
    QVERIFY2(approved.value, approved.describe());
    QVERIFY(approved.value->approved_device_bootstrap);
    // A status request whose signature is over another text is refused.
    DeviceClaimStatusRequestPayload forged = status;
    forged.status_signature_base64 = crypto::base64(DeviceEnrollmentAgent::sign(
        "CLAIM_STATUS\n" + completed.value->claim.id.toUtf8() + "\nx\ny", agent->loadOrCreatePrivateKey()));
    QVERIFY(runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, forged); }).apiError);
    const auto &bootstrap = *approved.value->approved_device_bootstrap;

    // The bootstrap credentials work on the device endpoints.
    const DeviceCredentials credentials =
        CredentialsBuilder().apiBaseURL(base).registered(bootstrap.bearer_token, bootstrap.device, bootstrap.device_secret);
    const auto reported = runOperation([&] { return api.reportAgentInstances(credentials, {}); });
    QVERIFY2(reported.value, reported.describe());

    // A used invite is refused by the service.
    QVERIFY(claimChallenge<DeviceClaimChallengeResponse>(api, invite).apiError);
}

void APIDevserviceTest::claimPreflightMismatchSendsNothing()
{
    const QString invite = admin({"invite", "create"}).value(QStringLiteral("invite_code")).toString();
    const APIClient api = client();
    const QString base = m_service->baseURL();
    const auto challenge = claimChallenge<DeviceClaimChallengeResponse>(api, invite);
    QVERIFY2(challenge.value, challenge.describe());
    DeviceClaimRequestPayload record = m_agent->buildSignedClaimRequest(challenge.value->challenge_id,
                                                                        challenge.value->challenge_nonce, invite);
    const QString recorded = record.payload_hash_sha256;
    record.payload.device_name += QStringLiteral(" (altered)");
    const qsizetype claimsBefore = adminList({"claims", "list"}, QStringLiteral("claims")).size();
    m_log.clear();
    const auto refused = runOperation<DeviceClaimCompleteResponse>([&] { return api.completeDeviceClaim(base, record); });
    QVERIFY(refused.apiError);
    QCOMPARE(refused.apiError->kind(), APIError::Kind::decodeError);
    QCOMPARE(refused.apiError->message(), QStringLiteral("Claim payload hash preflight mismatch"));
    QCOMPARE(m_log.size(), 1);
    QVERIFY(m_log.first().startsWith(QStringLiteral("claim payload hash preflight mismatch expected=") + recorded
                                     + QStringLiteral(" recomputed=")));
    QCOMPARE(m_log.first().size(), QStringLiteral("claim payload hash preflight mismatch expected= recomputed=").size() + 128);
    QCOMPARE(adminList({"claims", "list"}, QStringLiteral("claims")).size(), claimsBefore);

    // The genuine record passes the preflight; an answer that does not decode is reported with
    // the completion's prefix.
    const DeviceClaimRequestPayload genuine = m_agent->buildSignedClaimRequest(challenge.value->challenge_id,
                                                                               challenge.value->challenge_nonce, invite);
    QVERIFY(!admin({"fault", "set", "claims", "--malformed", "--count", "1"}).isEmpty());
    const auto malformed = runOperation<DeviceClaimCompleteResponse>([&] { return api.completeDeviceClaim(base, genuine); });
    QVERIFY(malformed.apiError);
    QCOMPARE(malformed.apiError->kind(), APIError::Kind::decodeError);
    QVERIFY2(malformed.apiError->message().startsWith(QStringLiteral("Failed to decode device claim response: ")),
             qPrintable(malformed.apiError->message()));
}

// Each endpoint with a fault injected into the service's next answer to it.
void APIDevserviceTest::injectedFaults()
{
    const DeviceCredentials credentials = registerNewDevice();
    QVERIFY(!credentials.deviceID.isEmpty());
    const APIClient api = client();
    const QString base = m_service->baseURL();
    using Operation = std::function<std::optional<APIError>()>;
    const Operation poll = [&] {
        return runOperation<std::optional<KillCommand>>([&] { return api.pollNextCommand(credentials); }).apiError;
    };
    const Operation ack = [&] {
        return runOperation([&] {
                   return api.sendAck(credentials, QStringLiteral("cmd-x"), AckStatus::failed, std::nullopt, {});
               })
            .apiError;
    };
    const Operation inventory = [&] {
        return runOperation([&] { return api.reportAgentInstances(credentials, {}); }).apiError;
    };
    const Operation logout = [&] {
        const DeviceLogoutRequestPayload record = m_agent->buildSignedLogoutRequest(credentials.deviceID);
        return runOperation([&] { return api.logoutDevice(credentials, record); }).apiError;
    };
    const Operation config = [&] {
        return runOperation<PublicAuthConfig>([&] { return api.fetchPublicAuthConfig(base); }).apiError;
    };
    const Operation token = [&] {
        return runOperation<OAuthTokenResponse>([&] {
                   return api.refreshAccessToken(base, Config::defaults().defaultOAuthClientID, {},
                                                 QStringLiteral("r"));
               })
            .apiError;
    };
    const Operation providerToken = [&] {
        return runOperation<OAuthTokenResponse>([&] {
                   return api.exchangePasswordCredentials(base, QStringLiteral("dev@veltro.localhost"),
                                                          QStringLiteral("veltro-dev-password"));
               })
            .apiError;
    };
    const Operation registration = [&] {
        return runOperation<DeviceRegistrationResponse>([&] {
                   return api.registerDevice(base, QStringLiteral("token"), QStringLiteral("S"), QStringLiteral("U"));
               })
            .apiError;
    };
    const Operation claim = [&] {
        return claimChallenge<DeviceClaimChallengeResponse>(api, QStringLiteral("C")).apiError;
    };
    const Operation claimStatus = [&] {
        const DeviceClaimStatusRequestPayload record =
            m_agent->buildSignedClaimStatusRequest(QStringLiteral("claim-x"));
        return runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, record); })
            .apiError;
    };
    using K = APIError::Kind;
    const QStringList malformed{"--malformed"};
    const struct {
        const char *endpoint;
        QStringList fault;
        Operation operation;
        K kind;
        int status;
        QString messagePrefix;
    } cases[] = {
        {"commands-next", {"--status", "503"}, poll, K::serverError, 503, {}},
        {"commands-next", {"--status", "401"}, poll, K::unauthorized, 0, {}},
        {"commands-next", malformed, poll, K::decodeError, 0, QStringLiteral("Failed to decode command envelope: ")},
        {"ack", {"--status", "500"}, ack, K::serverError, 500, {}},
        {"inventory", {"--status", "403"}, inventory, K::unauthorized, 0, {}},
        {"logout", {"--status", "502"}, logout, K::serverError, 502, {}},
        {"public-config", malformed, config, K::decodeError, 0,
         QStringLiteral("Failed to decode public auth config: ")},
        {"token", malformed, token, K::decodeError, 0,
         QStringLiteral("Failed to decode refreshed OAuth token response: ")},
        {"auth-token", malformed, providerToken, K::decodeError, 0,
         QStringLiteral("Failed to decode password OAuth response: ")},
        {"register", malformed, registration, K::decodeError, 0,
         QStringLiteral("Failed to decode OAuth device challenge: ")},
        {"claims", malformed, claim, K::decodeError, 0, QStringLiteral("Failed to decode device claim challenge: ")},
        {"claim-status", malformed, claimStatus, K::decodeError, 0,
         QStringLiteral("Failed to decode device claim status: ")},
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

void APIDevserviceTest::registrationCompletionThatDoesNotDecode()
{
    // The service's two answers are scripted here: a valid challenge, then a completion answer
    // that lacks the device secret.
    TestPki pki;
    QVERIFY(pki.isValid());
    int exchange = 0;
    TlsTestServer server(loadChain(pki.certificate(QStringLiteral("ec"))), loadKey(pki.key(QStringLiteral("ec"))),
                         [&exchange](const CapturedRequest &) {
                             return ++exchange == 1
                                 ? TlsTestServer::response(200, R"({"challenge_id":"c1","challenge_nonce":"n1","expires_at":"later"})")
                                 : TlsTestServer::response(200, R"({"device":{"id":"d","org_id":"o","project_id":"p","device_name":"n"},"device_bearer_token":"t"})");
                         });
    const QString base = QStringLiteral("https://localhost:%1").arg(server.port());
    const APIClient api(makePinnedSession(base, pki.config(), nullptr), APIClient::Collaborators{m_agent, {}});
    const auto result = runOperation<DeviceRegistrationResponse>([&] {
        return api.registerDevice(base, QStringLiteral("user-token"), QStringLiteral(" SERIAL\u0007 "), QStringLiteral("UUID"));
    });
    QVERIFY(result.apiError);
    QCOMPARE(result.apiError->message(),
             QStringLiteral("Failed to decode register response: No value associated with key \"device_secret\"."));
    const QList<CapturedRequest> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].header("Authorization"), QByteArray("Bearer user-token"));
    QCOMPARE(QJsonDocument::fromJson(requests[0].body).object(),
             (QJsonObject{{"action", "challenge"}, {"hardware_serial_number", "SERIAL"}, {"hardware_uuid", "UUID"}}));
    const QJsonObject completion = QJsonDocument::fromJson(requests[1].body).object();
    QCOMPARE(completion.value(QStringLiteral("action")).toString(), QStringLiteral("complete"));
    QCOMPARE(completion.value(QStringLiteral("challenge_id")).toString(), QStringLiteral("c1"));
    QCOMPARE(completion.value(QStringLiteral("challenge_nonce")).toString(), QStringLiteral("n1"));
    QCOMPARE(requests[1].header("Authorization"), QByteArray("Bearer user-token"));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(APIDevserviceTest)
#include "tst_api_devservice.moc"
