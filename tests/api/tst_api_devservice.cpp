#include "api/api_client.h"
#include "api/pinned_session_failure_store.h"
#include "api_test_run.h"
#include "identity/device_enrollment_agent.h"
#include "platform/linux/dmi_hardware_identity.h"
#include "platform/linux/absent_hardware_key.h"
#include "platform/linux/sysfs_posture_probes.h"
#include "platform/linux/selecting_keychain.h"
#include "support/bundle_modules.h"
#include "support/credentials_builder.h"
#include "support/dev_service.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"
#include "test_pki.h"
#include "tls_test_server.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace mornix {

// Every endpoint end to end against the real local service over TLS with the dev PKI, and the
// service's refusals (real and injected) as the client reports them.
class APIDevserviceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void publicConfigAndHostedProviderTokens();
    void authorizationCodeAndRefresh();
    void registrationPollAckInventoryLogout();
    void claimWithApproval();
    void claimPreflightMismatchSendsNothing();
    void injectedFaults_data();
    void injectedFaults();
    void registrationCompletionThatDoesNotDecode();

private:
    APIClient client() const;
    DeviceCredentials registerNewDevice();

    std::unique_ptr<TemporaryHome> m_home;
    std::unique_ptr<DevService> m_service;
    std::shared_ptr<DeviceEnrollmentAgent> m_agent;
    QStringList m_log;
};

void APIDevserviceTest::initTestCase()
{
    m_home = std::make_unique<TemporaryHome>();
    qputenv("VELTRO_KEYCHAIN", "file");
    m_service = std::make_unique<DevService>(DevService::Port::ephemeral);
    QVERIFY(m_service->start());
    m_agent = std::make_shared<DeviceEnrollmentAgent>(IdentityPorts{
        std::make_shared<SelectingKeychain>(secret_service::Client(buildBundleModules())),
        std::make_shared<AbsentHardwareKey>(),
        std::make_shared<DmiHardwareIdentity>(), std::make_shared<SysfsPostureProbes>()});
}

void APIDevserviceTest::cleanupTestCase()
{
    m_service.reset();
    m_home.reset();
}

void APIDevserviceTest::cleanup()
{
    m_service->adminJSON({QStringLiteral("fault"), QStringLiteral("clear")});
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
    const QJsonObject token = m_service->adminJSON({QStringLiteral("token"), QStringLiteral("issue")});
    const APIClient api = client();
    const QString base = m_service->baseURL();
    const auto registration = runOperation<DeviceRegistrationResponse>([&] {
        return api.registerDevice(base, token.value(QStringLiteral("access_token")).toString(),
                                  m_agent->hardwareSerialNumber(), m_agent->hardwareUUID());
    });
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
    const QJsonArray devices = m_service->adminJSON({QStringLiteral("devices"), QStringLiteral("list")})
                                   .value(QStringLiteral("devices")).toArray();
    QVERIFY(std::any_of(devices.begin(), devices.end(), [&](const QJsonValue &d) {
        return d.toObject().value(QStringLiteral("id")).toString() == credentials.deviceID
               && d.toObject().value(QStringLiteral("hardware_uuid")).toString() == m_agent->hardwareUUID();
    }));
    const APIClient api = client();

    // A queued command is handed out by the next signed poll.
    const QString commandID = m_service->adminJSON({QStringLiteral("command"), QStringLiteral("send"), QStringLiteral("--device"),
                                                credentials.deviceID, QStringLiteral("--app"), QStringLiteral("claude")})
                                  .value(QStringLiteral("command_id")).toString();
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
    const QJsonArray acks = m_service->adminJSON({QStringLiteral("acks"), QStringLiteral("list"), QStringLiteral("--command"), commandID})
                                .value(QStringLiteral("acks")).toArray();
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
    const QJsonArray reports = m_service->adminJSON({QStringLiteral("inventory"), QStringLiteral("show"), QStringLiteral("--device"),
                                                 credentials.deviceID})
                                   .value(QStringLiteral("reports")).toArray();
    QVERIFY(!reports.isEmpty());
    const QJsonArray stored = reports.last().toObject().value(QStringLiteral("instances")).toArray();
    QCOMPARE(stored.size(), 2);
    QCOMPARE(stored.at(0).toObject(), instances.at(0).toJSON());
    QCOMPARE(stored.at(1).toObject(), instances.at(1).toJSON());

    // Nothing queued: the service holds the poll, then answers 204.
    const auto idle = runOperation<std::optional<KillCommand>>([&] { return api.pollNextCommand(credentials); });
    QVERIFY2(idle.value, idle.describe());
    QVERIFY(!idle.value->has_value());

    // Logout with the signed record; afterwards the device's requests are unauthorised.
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

void APIDevserviceTest::claimWithApproval()
{
    const QString invite = m_service->adminJSON({QStringLiteral("invite"), QStringLiteral("create")})
                               .value(QStringLiteral("invite_code")).toString();
    QVERIFY(!invite.isEmpty());
    const APIClient api = client();
    const QString base = m_service->baseURL();
    const auto challenge = runOperation<DeviceClaimChallengeResponse>([&] {
        return api.issueDeviceClaimChallenge(base, invite, QStringLiteral("  Front desk\n"), m_agent->hardwareSerialNumber(),
                                             m_agent->hardwareUUID());
    });
    QVERIFY2(challenge.value, challenge.describe());

    const DeviceClaimRequestPayload record = m_agent->buildSignedClaimRequest(
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
    const DeviceClaimStatusRequestPayload status = m_agent->buildSignedClaimStatusRequest(completed.value->claim.id);
    const auto pending = runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, status); });
    QVERIFY2(pending.value, pending.describe());
    QVERIFY(!pending.value->approved_device_bootstrap);
    QVERIFY(!m_service->adminJSON({QStringLiteral("claims"), QStringLiteral("approve"), completed.value->claim.id}).isEmpty());
    const auto approved = runOperation<DeviceClaimStatusResponse>([&] { return api.fetchDeviceClaimStatus(base, status); });
    QVERIFY2(approved.value, approved.describe());
    QVERIFY(approved.value->approved_device_bootstrap);
    const auto &bootstrap = *approved.value->approved_device_bootstrap;

    // The bootstrap credentials work on the device endpoints.
    const DeviceCredentials credentials =
        CredentialsBuilder().apiBaseURL(base).registered(bootstrap.bearer_token, bootstrap.device, bootstrap.device_secret);
    const auto reported = runOperation([&] { return api.reportAgentInstances(credentials, {}); });
    QVERIFY2(reported.value, reported.describe());

    // A used invite is refused by the service.
    const auto again = runOperation<DeviceClaimChallengeResponse>([&] {
        return api.issueDeviceClaimChallenge(base, invite, std::nullopt, m_agent->hardwareSerialNumber(),
                                             m_agent->hardwareUUID());
    });
    QVERIFY(again.apiError);
}

void APIDevserviceTest::claimPreflightMismatchSendsNothing()
{
    const QString invite = m_service->adminJSON({QStringLiteral("invite"), QStringLiteral("create")})
                               .value(QStringLiteral("invite_code")).toString();
    const APIClient api = client();
    const QString base = m_service->baseURL();
    const auto challenge = runOperation<DeviceClaimChallengeResponse>([&] {
        return api.issueDeviceClaimChallenge(base, invite, std::nullopt, m_agent->hardwareSerialNumber(),
                                             m_agent->hardwareUUID());
    });
    QVERIFY2(challenge.value, challenge.describe());
    DeviceClaimRequestPayload record = m_agent->buildSignedClaimRequest(challenge.value->challenge_id,
                                                                        challenge.value->challenge_nonce, invite);
    const QString recorded = record.payload_hash_sha256;
    record.payload.device_name += QStringLiteral(" (altered)");
    const int claimsBefore = m_service->adminJSON({QStringLiteral("claims"), QStringLiteral("list")})
                                 .value(QStringLiteral("claims")).toArray().size();
    m_log.clear();
    const auto refused = runOperation<DeviceClaimCompleteResponse>([&] { return api.completeDeviceClaim(base, record); });
    QVERIFY(refused.apiError);
    QCOMPARE(refused.apiError->kind(), APIError::Kind::decodeError);
    QCOMPARE(refused.apiError->message(), QStringLiteral("Claim payload hash preflight mismatch"));
    QCOMPARE(m_log.size(), 1);
    QVERIFY(m_log.first().startsWith(QStringLiteral("claim payload hash preflight mismatch expected=") + recorded
                                     + QStringLiteral(" recomputed=")));
    QCOMPARE(m_log.first().size(), QStringLiteral("claim payload hash preflight mismatch expected= recomputed=").size() + 128);
    QCOMPARE(m_service->adminJSON({QStringLiteral("claims"), QStringLiteral("list")}).value(QStringLiteral("claims")).toArray().size(),
             claimsBefore);

    // The genuine record passes the preflight; an answer that does not decode is reported with
    // the completion's prefix.
    const DeviceClaimRequestPayload genuine = m_agent->buildSignedClaimRequest(challenge.value->challenge_id,
                                                                               challenge.value->challenge_nonce, invite);
    QVERIFY(!m_service->adminJSON({QStringLiteral("fault"), QStringLiteral("set"), QStringLiteral("claims"),
                               QStringLiteral("--malformed"), QStringLiteral("--count"), QStringLiteral("1")})
                 .isEmpty());
    const auto malformed = runOperation<DeviceClaimCompleteResponse>([&] { return api.completeDeviceClaim(base, genuine); });
    QVERIFY(malformed.apiError);
    QCOMPARE(malformed.apiError->kind(), APIError::Kind::decodeError);
    QVERIFY2(malformed.apiError->message().startsWith(QStringLiteral("Failed to decode device claim response: ")),
             qPrintable(malformed.apiError->message()));
}

void APIDevserviceTest::injectedFaults_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("messagePrefix");
    using K = APIError::Kind;
    const QStringList malformed{QStringLiteral("--malformed")};
    QTest::newRow("poll 503") << "commands-next" << QStringList{"--status", "503"} << int(K::serverError) << 503 << QString();
    QTest::newRow("poll 401") << "commands-next" << QStringList{"--status", "401"} << int(K::unauthorized) << 0 << QString();
    QTest::newRow("poll malformed") << "commands-next" << malformed << int(K::decodeError) << 0
                                    << QStringLiteral("Failed to decode command envelope: ");
    QTest::newRow("ack 500") << "ack" << QStringList{"--status", "500"} << int(K::serverError) << 500 << QString();
    QTest::newRow("inventory 403") << "inventory" << QStringList{"--status", "403"} << int(K::unauthorized) << 0 << QString();
    QTest::newRow("logout 502") << "logout" << QStringList{"--status", "502"} << int(K::serverError) << 502 << QString();
    QTest::newRow("public config malformed") << "public-config" << malformed << int(K::decodeError) << 0
                                             << QStringLiteral("Failed to decode public auth config: ");
    QTest::newRow("token malformed") << "token" << malformed << int(K::decodeError) << 0
                                     << QStringLiteral("Failed to decode refreshed OAuth token response: ");
    QTest::newRow("provider token malformed") << "auth-token" << malformed << int(K::decodeError) << 0
                                              << QStringLiteral("Failed to decode password OAuth response: ");
    QTest::newRow("registration challenge malformed") << "register" << malformed << int(K::decodeError) << 0
                                                      << QStringLiteral("Failed to decode OAuth device challenge: ");
    QTest::newRow("claim challenge malformed") << "claims" << malformed << int(K::decodeError) << 0
                                               << QStringLiteral("Failed to decode device claim challenge: ");
    QTest::newRow("claim status malformed") << "claim-status" << malformed << int(K::decodeError) << 0
                                            << QStringLiteral("Failed to decode device claim status: ");
}

void APIDevserviceTest::injectedFaults()
{
    QFETCH(QString, endpoint);
    QFETCH(QStringList, fault);
    QFETCH(int, kind);
    QFETCH(int, status);
    QFETCH(QString, messagePrefix);

    static DeviceCredentials credentials;
    if (credentials.deviceID.isEmpty())
        credentials = registerNewDevice();
    QVERIFY(!credentials.deviceID.isEmpty());

    QVERIFY(!m_service->adminJSON(QStringList{QStringLiteral("fault"), QStringLiteral("set"), endpoint} + fault).isEmpty());
    const APIClient api = client();
    const QString base = m_service->baseURL();
    std::optional<APIError> error;
    auto capture = [&error](const auto &result) {
        if (result.apiError)
            error = result.apiError;
        else
            qWarning("ended with: %s", result.describe());
    };
    if (endpoint == QLatin1String("commands-next"))
        capture(runOperation<std::optional<KillCommand>>([&] { return api.pollNextCommand(credentials); }));
    else if (endpoint == QLatin1String("ack"))
        capture(runOperation([&] { return api.sendAck(credentials, QStringLiteral("cmd-x"), AckStatus::failed, std::nullopt, QStringLiteral("x")); }));
    else if (endpoint == QLatin1String("inventory"))
        capture(runOperation([&] { return api.reportAgentInstances(credentials, {}); }));
    else if (endpoint == QLatin1String("logout"))
        capture(runOperation([&] { return api.logoutDevice(credentials, m_agent->buildSignedLogoutRequest(credentials.deviceID)); }));
    else if (endpoint == QLatin1String("public-config"))
        capture(runOperation<PublicAuthConfig>([&] { return api.fetchPublicAuthConfig(base); }));
    else if (endpoint == QLatin1String("token"))
        capture(runOperation<OAuthTokenResponse>([&] {
            return api.refreshAccessToken(base, Config::defaults().defaultOAuthClientID, QString(), QStringLiteral("r"));
        }));
    else if (endpoint == QLatin1String("auth-token"))
        capture(runOperation<OAuthTokenResponse>([&] {
            return api.exchangePasswordCredentials(base, QStringLiteral("dev@veltro.localhost"), QStringLiteral("veltro-dev-password"));
        }));
    else if (endpoint == QLatin1String("register"))
        capture(runOperation<DeviceRegistrationResponse>([&] {
            return api.registerDevice(base, QStringLiteral("token"), QStringLiteral("S"), QStringLiteral("U"));
        }));
    else if (endpoint == QLatin1String("claims"))
        capture(runOperation<DeviceClaimChallengeResponse>([&] {
            return api.issueDeviceClaimChallenge(base, QStringLiteral("CODE"), std::nullopt, QStringLiteral("S"), QStringLiteral("U"));
        }));
    else if (endpoint == QLatin1String("claim-status"))
        capture(runOperation<DeviceClaimStatusResponse>([&] {
            return api.fetchDeviceClaimStatus(base, m_agent->buildSignedClaimStatusRequest(QStringLiteral("claim-x")));
        }));
    QVERIFY(error);
    QCOMPARE(int(error->kind()), kind);
    QCOMPARE(error->statusCode(), status);
    if (!messagePrefix.isEmpty())
        QVERIFY2(error->message().startsWith(messagePrefix), qPrintable(error->message()));
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
