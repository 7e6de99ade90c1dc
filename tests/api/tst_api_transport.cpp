// The client's bytes on the wire, read by a recording TLS server with scripted answers: URLs,
// signatures (recomputed by python3), forms, headers, and how answers that do not decode are told.
#include "api/api_client.h"
#include "api/api_exchange.h"
#include "api/pinned_session_failure_store.h"
#include "api/transport_steps.h"
#include "api_test_run.h"
#include "commands/command_acknowledgement.h"
#include "support/credentials_builder.h"
#include "support/process_runner.h"
#include "test_pki.h"
#include "tls_test_server.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QRegularExpression>
#include <QTest>

#include <QCoroTask>

#include <functional>

namespace mornix {

namespace {

// Routes request paths (the query ignored) to scripted responses; unknown paths get 404.
class Script {
public:
    void set(const QByteArray &path, const QByteArray &response)
    {
        QMutexLocker locker(&m_mutex);
        m_routes[path] = response;
    }
    QByteArray answer(const CapturedRequest &request)
    {
        QMutexLocker locker(&m_mutex);
        return m_routes.value(request.target.split('?').first(), TlsTestServer::response(404, "no route"));
    }

private:
    QMutex m_mutex;
    QHash<QByteArray, QByteArray> m_routes;
};

const QString kSecret = QStringLiteral("s3cr\u00e9t device secret");

// Recomputes the request signature from the bytes the server received, with python3's hashlib
// and hmac: the canonical text is built from the request line (the target exactly as sent),
// the timestamp and nonce headers and the body.
QByteArray pythonSignature(const CapturedRequest &request)
{
    const ProcessResult python =
        runPython(QStringLiteral("import hashlib,hmac,sys\n"
                                 "method,target,ts,nonce,body,secret=sys.argv[1],sys.argv[2],sys.argv[3],sys.argv[4],"
                                 "bytes.fromhex(sys.argv[5]),bytes.fromhex(sys.argv[6])\n"
                                 "canonical='\\n'.join([method,target,ts,nonce,hashlib.sha256(body).hexdigest()])\n"
                                 "key=hashlib.sha256(secret).hexdigest().encode()\n"
                                 "print('v1='+hmac.new(key,canonical.encode(),hashlib.sha256).hexdigest())\n"),
                  {QString::fromLatin1(request.method), QString::fromLatin1(request.target),
                   QString::fromLatin1(request.header("x-veltro-device-ts")),
                   QString::fromLatin1(request.header("x-veltro-device-nonce")),
                   QString::fromLatin1(request.body.toHex()), QString::fromLatin1(kSecret.toUtf8().toHex())});
    return python.standardOutput.trimmed();
}

// Sends one acknowledgement.
OperationResult<Completed> ack(const APIClient &api, const DeviceCredentials &credentials, const QString &id,
                               AckStatus status, const std::optional<KillExecutionResult> &execution = std::nullopt)
{
    return runOperation([&] { return api.sendAck(credentials, id, status, execution, std::nullopt); });
}

}  // namespace

class APITransportTest : public QObject {
    Q_OBJECT
    std::shared_ptr<PinnedSessionFailureStore> m_failures = std::make_shared<PinnedSessionFailureStore>();
    std::unique_ptr<TestPki> m_pki;
    Script m_script;
    std::unique_ptr<TlsTestServer> m_server;

    QString base() const { return QStringLiteral("https://localhost:%1").arg(m_server->port()); }
    APIClient client() const { return APIClient(makePinnedSession(base(), m_pki->config(), m_failures)); }
    CapturedRequest lastRequest() const { return m_server->requests().constLast(); }
    // The device "dev-1" with its bearer token and secret, served under `apiBaseURL`.
    DeviceCredentials deviceCredentials(const QString &apiBaseURL) const
    {
        return CredentialsBuilder()
            .apiBaseURL(apiBaseURL)
            .bearerToken(QStringLiteral("device-token"))
            .device(QStringLiteral("dev-1"))
            .deviceSecret(kSecret);
    }
    // Serves the hosted provider's configuration, naming `providerURL`.
    void setPublicConfig(const QString &providerURL)
    {
        const QJsonObject config{{"supabase_url", providerURL}, {"supabase_public_key", "anon-key"}};
        m_script.set("/api/public-config",
                     TlsTestServer::response(200, QJsonDocument(config).toJson(QJsonDocument::Compact)));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_pki = std::make_unique<TestPki>();
        QVERIFY(m_pki->isValid());
        m_server = std::make_unique<TlsTestServer>(
            loadChain(m_pki->certificate(QStringLiteral("ec"))), loadKey(m_pki->key(QStringLiteral("ec"))),
            [this](const CapturedRequest &request) { return m_script.answer(request); });
    }

    void cleanupTestCase() { m_server.reset(); }

    void buildURL()
    {
        using api_transport::buildURL;
        QCOMPARE(
            buildURL(QStringLiteral("  https://localhost:8443/prefix/ignored?x=1#frag \n"), QStringLiteral("/api/x")),
            QUrl(QStringLiteral("https://localhost:8443/api/x")));
        const QUrl withQuery = buildURL(
            QStringLiteral("https://localhost"), QStringLiteral("/q"),
            {{QStringLiteral("a b"), QStringLiteral("1&2=3+4/é")}, {QStringLiteral("z"), QStringLiteral("9")}});
        QCOMPARE(withQuery.path(), QStringLiteral("/q"));
        QCOMPARE(withQuery.query(QUrl::FullyEncoded), QStringLiteral("a%20b=1%262%3D3%2B4%2F%C3%A9&z=9"));
        const auto kindOf = [](const std::function<void()> &step) {
            try {
                step();
            } catch (const APIError &error) {
                return int(error.kind());
            }
            return -1;
        };
        for (const QString &bad : {QString(), QStringLiteral("   "), QStringLiteral("not a url"),
                                   QStringLiteral("https://exa mple.com"), QStringLiteral("/relative/only")})
            QVERIFY2(kindOf([&] { buildURL(bad, QStringLiteral("/x")); }) == int(APIError::Kind::badURL),
                     qPrintable(bad));
        // A request without a URL cannot be signed.
        HTTPRequest unsigned_;
        QCOMPARE(kindOf([&] { api_transport::signRequest(unsigned_, QStringLiteral("d"), kSecret); }),
                 int(APIError::Kind::badURL));
        // The client's operations report a bad base URL the same way.
        const APIClient api = client();
        const auto config =
            runOperation<PublicAuthConfig>([&] { return api.fetchPublicAuthConfig(QStringLiteral("no url")); });
        QVERIFY(config.apiError && config.apiError->kind() == APIError::Kind::badURL);
    }

    void signatureMatchesPythonOnTheBytesSent_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("queryValue");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("GET with query, no body") << QByteArray("GET") << QStringLiteral("/api/desktop/commands/next")
                                                 << QStringLiteral("20000") << QByteArray();
        QTest::newRow("POST with JSON body") << QByteArray("POST") << QStringLiteral("/api/desktop/commands/c-1/ack")
                                             << QString() << QByteArray(R"({"status":"received","message":"é"})");
        QTest::newRow("escaped path and query")
            << QByteArray("post") << QStringLiteral("/api/desktop/commands/a b%c/ack") << QStringLiteral("x y&z")
            << QByteArray("{}");
    }

    void signatureMatchesPythonOnTheBytesSent()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QString, queryValue);
        QFETCH(QByteArray, body);
        m_script.set(QUrl(path).toEncoded(), TlsTestServer::response(204));

        HTTPRequest request;
        request.method = method;
        QMap<QString, QString> query;
        if (!queryValue.isEmpty())
            query = {{QStringLiteral("timeout_ms"), queryValue},
                     {QStringLiteral("command_protocol_version"), QStringLiteral("2")}};
        request.url = api_transport::buildURL(base(), path, query);
        request.body = body;
        api_transport::signRequest(request, QStringLiteral("device-7"), kSecret);
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const auto session = makePinnedSession(base(), m_pki->config(), nullptr);
        const auto result = runOperation<HTTPResponse>([&] { return api_exchange::send(session, request, {}); });
        QVERIFY(result.value);
        QCOMPARE(result.value->status, 204);

        const CapturedRequest sent = lastRequest();
        QCOMPARE(sent.body, body);
        const QByteArray signature = sent.header("x-veltro-device-signature");
        QVERIFY(signature.startsWith("v1="));
        QCOMPARE(pythonSignature(sent), signature);
        // The two header sets carry the same values.
        QCOMPARE(sent.header("x-veltro-signature"), signature);
        QCOMPARE(sent.header("x-veltro-device-id"), QByteArray("device-7"));
        QCOMPARE(sent.header("x-veltro-key-id"), QByteArray("device-7"));
        QCOMPARE(sent.header("x-veltro-ts"), sent.header("x-veltro-device-ts"));
        QCOMPARE(sent.header("x-veltro-nonce"), sent.header("x-veltro-device-nonce"));
        QVERIFY(
            QRegularExpression(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"))
                .match(QString::fromLatin1(sent.header("x-veltro-nonce")))
                .hasMatch());
        QVERIFY(qAbs(sent.header("x-veltro-ts").toLongLong() - before) <= 2);

        // A second signature of the same request uses a fresh nonce.
        HTTPRequest again = request;
        api_transport::signRequest(again, QStringLiteral("device-7"), kSecret);
        QVERIFY(again.header("x-veltro-nonce") != request.header("x-veltro-nonce"));
    }

    void statusValidation_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        using K = APIError::Kind;
        QTest::newRow("403, empty body") << TlsTestServer::response(403) << int(K::unauthorized) << 0 << QString();
        QTest::newRow("401 with body") << TlsTestServer::response(401, "token expired") << int(K::unauthorized) << 0
                                       << QStringLiteral("token expired");
        QTest::newRow("500") << TlsTestServer::response(500, "{\"error\":\"boom\"}") << int(K::serverError) << 500
                             << QStringLiteral("{\"error\":\"boom\"}");
        QTest::newRow("418, body not UTF-8")
            << TlsTestServer::response(418, "\xff\xfe\xfd") << int(K::serverError) << 418 << QStringLiteral("<empty>");
        QTest::newRow("status that is no HTTP status") << QByteArray("HTTP/1.1 099 Odd\r\nContent-Length: 2\r\n\r\n{}")
                                                       << int(K::invalidResponse) << 0 << QString();
    }

    void statusValidation()
    {
        QFETCH(QByteArray, response);
        QFETCH(int, kind);
        QFETCH(int, status);
        QFETCH(QString, text);
        m_script.set("/api/public-config", response);
        const APIClient api = client();
        const auto result = runOperation<PublicAuthConfig>([&] { return api.fetchPublicAuthConfig(base()); });
        QVERIFY2(result.apiError, result.describe());
        QCOMPARE(int(result.apiError->kind()), kind);
        QCOMPARE(result.apiError->statusCode(), status);
        QCOMPARE(result.apiError->body(), text);
    }

    // Answers that do not decode: each operation names what it read and why, as the texts
    // users and logs already know.
    void decodeFailureTexts()
    {
        const APIClient api = client();
        setPublicConfig(base() + QStringLiteral("/sb"));
        const auto code = [&] {
            return runOperation<OAuthTokenResponse>([&] {
                       return api.exchangeAuthorizationCode(base(), QStringLiteral("c"), {}, QStringLiteral("x"),
                                                            QStringLiteral("v"), QStringLiteral("r"));
                   })
                .apiError;
        };
        const auto refresh = [&] {
            return runOperation<OAuthTokenResponse>(
                       [&] { return api.refreshAccessToken(base(), QStringLiteral("c"), {}, QStringLiteral("r")); })
                .apiError;
        };
        const auto providerRefresh = [&] {
            return runOperation<OAuthTokenResponse>(
                       [&] { return api.refreshSupabaseAccessToken(base(), QStringLiteral("sb-rt")); })
                .apiError;
        };
        const auto config = [&] {
            return runOperation<PublicAuthConfig>([&] { return api.fetchPublicAuthConfig(base()); }).apiError;
        };
        const QString wrongType = QStringLiteral("Failed to decode OAuth token response: Expected an integer for key "
                                                 "\"expires_in\" but found another type.");
        const struct {
            QByteArray path;
            QByteArray answer;
            std::function<std::optional<APIError>()> operation;
            QString message;
            bool exact;  // else the message's beginning
        } cases[] = {
            {"/token", R"({"access_token":"at","expires_in":"soon"})", code, wrongType, true},
            // Seconds that could not be added to a date in milliseconds are refused like a wrong type.
            {"/token", R"({"access_token":"at","expires_in":9000000000000001})", code, wrongType, true},
            {"/token", R"({"access_token":null})", refresh,
             QStringLiteral(
                 "Failed to decode refreshed OAuth token response: Expected a value for key \"access_token\" "
                 "but found null."),
             true},
            {"/sb/auth/v1/token", R"({"token":"x"})", providerRefresh,
             QStringLiteral("Failed to decode Supabase refresh response: "), false},
            {"/api/public-config", R"({"supabase_url":"https://x"})", config,
             QStringLiteral(
                 "Failed to decode public auth config: No value associated with key \"supabase_public_key\"."),
             true},
            {"/api/public-config", "<html>", config,
             QStringLiteral("Failed to decode public auth config: The data is not valid JSON"), false},
        };
        for (const auto &c : cases) {
            m_script.set(c.path, TlsTestServer::response(200, c.answer));
            const std::optional<APIError> error = c.operation();
            QVERIFY2(error, c.answer.constData());
            QCOMPARE(error->kind(), APIError::Kind::decodeError);
            if (c.exact)
                QCOMPARE(error->message(), c.message);
            else
                QVERIFY2(error->message().startsWith(c.message), qPrintable(error->message()));
        }
    }

    void authorizationCodeExchange()
    {
        m_script.set("/token", TlsTestServer::response(200, R"({"access_token":"at","token_type":"bearer",)"
                                                            R"("expires_in":3600,"refresh_token":"rt","scope":null})"));
        const APIClient api = client();
        const QString code = QStringLiteral("c0de+with&odd=chars é/");
        const auto result = runOperation<OAuthTokenResponse>([&] {
            return api.exchangeAuthorizationCode(base() + QStringLiteral("/ignored"), QStringLiteral("client-1"),
                                                 QStringLiteral("s:cret"), code, QStringLiteral("verifier~._-"),
                                                 QStringLiteral("http://127.0.0.1:53682/callback"));
        });
        QVERIFY(result.value);
        QCOMPARE(result.value->access_token, QStringLiteral("at"));
        QCOMPARE(result.value->expires_in, std::optional<qint64>(3600));
        QCOMPARE(result.value->refresh_token, std::optional<QString>(QStringLiteral("rt")));
        QCOMPARE(result.value->scope, std::nullopt);

        const CapturedRequest sent = lastRequest();
        QCOMPARE(sent.method + ' ' + sent.target, QByteArray("POST /token"));
        QCOMPARE(sent.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(sent.header("Authorization"), "Basic " + QByteArray("client-1:s:cret").toBase64());
        // An independent form parser reads back every field, in order.
        const ProcessResult python =
            runPython(QStringLiteral("import sys,urllib.parse,json\n"
                                     "print(json.dumps(urllib.parse.parse_qsl(sys.stdin.buffer.read().decode('ascii'),"
                                     "keep_blank_values=True,strict_parsing=True)))\n"),
                      {}, sent.body);
        QCOMPARE(python.exitCode, 0);
        QStringList actual;
        for (const QJsonValue &pair : QJsonDocument::fromJson(python.standardOutput).array())
            actual << pair.toArray().at(0).toString() << pair.toArray().at(1).toString();
        QCOMPARE(actual, (QStringList{"grant_type", "authorization_code", "client_id", "client-1", "code", code,
                                      "redirect_uri", "http://127.0.0.1:53682/callback", "code_verifier",
                                      "verifier~._-", "client_secret", "s:cret"}));

        // A refresh without a client secret sends no Authorization header.
        m_script.set("/token", TlsTestServer::response(200, R"({"access_token":"at2"})"));
        const auto refreshed = runOperation<OAuthTokenResponse>([&] {
            return api.refreshAccessToken(base(), QStringLiteral("client-1"), QString(), QStringLiteral("r t"));
        });
        QVERIFY(refreshed.value);
        QCOMPARE(refreshed.value->token_type, std::nullopt);
        QCOMPARE(lastRequest().body, QByteArray("grant_type=refresh_token&client_id=client-1&refresh_token=r%20t"));
        QVERIFY(lastRequest().header("Authorization").isEmpty());
    }

    // The hosted provider's address comes from the public configuration: its failures are the
    // operation's, and a provider on another host than the session's is never contacted.
    void hostedProviderFollowsThePublicConfiguration()
    {
        const APIClient api = client();
        const auto providerRefresh = [&] {
            return runOperation<OAuthTokenResponse>(
                [&] { return api.refreshSupabaseAccessToken(base(), QStringLiteral("sb-rt")); });
        };
        m_script.set("/api/public-config", TlsTestServer::response(503, "down"));
        const auto down = providerRefresh();
        QVERIFY(down.apiError);
        QCOMPARE(down.apiError->kind(), APIError::Kind::serverError);
        QCOMPARE(down.apiError->statusCode(), 503);

        setPublicConfig(QStringLiteral("::not a url"));
        const auto badURL = providerRefresh();
        QVERIFY(badURL.apiError);
        QCOMPARE(badURL.apiError->kind(), APIError::Kind::badURL);

        // An allowed host, but not the session's: refused before a request is sent.
        setPublicConfig(QStringLiteral("https://127.0.0.1:%1/").arg(m_server->port()));
        m_script.set("/auth/v1/token", TlsTestServer::response(200, R"({"access_token":"leaked"})"));
        const qsizetype before = m_server->requests().size();
        m_failures->take();
        const auto result = runOperation<OAuthTokenResponse>(
            [&] { return api.exchangePasswordCredentials(base(), QStringLiteral("a@b.test"), QStringLiteral("pw")); });
        QVERIFY(result.transportError);
        QCOMPARE(result.transportError->code(), QNetworkReply::OperationCanceledError);
        QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("tls host mismatch")));
        QCOMPARE(m_server->requests().size(), before + 1);  // only the configuration read
    }

    void clientReplacedWhileOperationsRun()
    {
        // Two operations start on a client that is gone before either finishes: each keeps the
        // session alive until it ends.
        setPublicConfig(QStringLiteral("https://localhost"));
        m_script.set("/token", TlsTestServer::response(200, R"({"access_token":"concurrent"})"));
        std::optional<QCoro::Task<PublicAuthConfig>> config;
        std::optional<QCoro::Task<OAuthTokenResponse>> token;
        {
            const APIClient api = client();
            config.emplace(api.fetchPublicAuthConfig(base()));
            token.emplace(api.refreshAccessToken(base(), QStringLiteral("c"), QString(), QStringLiteral("r")));
        }
        QCOMPARE(QCoro::waitFor(*token).access_token, QStringLiteral("concurrent"));
        QCOMPARE(QCoro::waitFor(*config).supabase_public_key, QStringLiteral("anon-key"));
    }

    void acknowledgementOnTheWire()
    {
        m_script.set("/api/desktop/commands/c-1/ack", TlsTestServer::response(200, "{}"));
        const KillExecutionResult execution{false, QStringLiteral("Could not stop\u0000 it"), QJsonObject{{"pid", 42}}};
        QVERIFY(ack(client(), deviceCredentials(base()), QStringLiteral("c-1"), AckStatus::failed, execution).value);
        const CapturedRequest sent = lastRequest();
        QCOMPARE(sent.target, QByteArray("/api/desktop/commands/c-1/ack"));
        QCOMPARE(sent.header("Content-Type"), QByteArray("application/json"));
        const QJsonObject body = QJsonDocument::fromJson(sent.body).object();
        QCOMPARE(body.keys(), (QStringList{"idempotency_key", "message", "payload", "status"}));
        QCOMPARE(body.value("status").toString(), QStringLiteral("failed"));
        QCOMPARE(body.value("message").toString(), QStringLiteral("Could not stop it"));
        QCOMPARE(body.value("payload").toObject(), execution.payload);
        // Header and body carrying one key, and the signature, are checked for every id below.
        QCOMPARE(body.value("idempotency_key").toString(),
                 CommandAcknowledgement::idempotencyKeyFor(QStringLiteral("c-1"), QStringLiteral("dev-1"),
                                                           AckStatus::failed, execution.payload));
    }

    void hostileCommandIDsOnTheWire_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QByteArray>("target");
        const auto row = [](const char *name, const QString &id, const QByteArray &segment) {
            QTest::newRow(name) << id << "/api/desktop/commands/" + segment + "/ack";
        };
        row("into another endpoint", QStringLiteral("../../agent-instances/report"),
            "..%2F..%2Fagent-instances%2Freport");
        row("out of the API", QStringLiteral("../../../../../../etc/passwd"),
            "..%2F..%2F..%2F..%2F..%2F..%2Fetc%2Fpasswd");
        row("query and fragment", QStringLiteral("x?admin=1#y"), "x%3Fadmin%3D1%23y");
        row("encoded dots", QStringLiteral("%2e%2e"), "%252e%252e");
        row("backslash and space", QStringLiteral("..\\ a"), "..%5C%20a");
        row("non-ASCII", QStringLiteral("\u00e9\u2028"), "%C3%A9%E2%80%A8");
        row("sub-delims", QStringLiteral("a;b=c,d"), "a%3Bb%3Dc%2Cd");
    }

    // A recording TLS server sees exactly one request, on the acknowledgement path with the id as
    // one encoded segment, whose signature (recomputed by python3 from the target as received)
    // verifies.
    void hostileCommandIDsOnTheWire()
    {
        QFETCH(QString, id);
        QFETCH(QByteArray, target);
        m_script.set(target, TlsTestServer::response(200, "{}"));
        const qsizetype before = m_server->requests().size();
        const auto acked = ack(client(), deviceCredentials(base()), id, AckStatus::received);
        const QList<CapturedRequest> requests = m_server->requests().mid(before);
        QVERIFY2(acked.value, acked.describe());
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].method, QByteArray("POST"));
        QCOMPARE(requests[0].target, target);
        QCOMPARE(pythonSignature(requests[0]), requests[0].header("x-veltro-device-signature"));
        // The key (which holds the raw id) is one header value, equal to the body's.
        const QJsonObject body = QJsonDocument::fromJson(requests[0].body).object();
        QCOMPARE(QString::fromUtf8(requests[0].header("X-Idempotency-Key")), body.value("idempotency_key").toString());
        QVERIFY(body.value("idempotency_key")
                    .toString()
                    .startsWith(QStringLiteral("ack-") + id + QStringLiteral("-dev-1-")));
    }

    // Ids that are not acknowledged at all, and header values with line breaks: nothing is sent.
    void unacceptableCommandIDsAreNeverSent()
    {
        DeviceCredentials credentials = deviceCredentials(base());
        const qsizetype before = m_server->requests().size();
        const APIClient api = client();
        for (const QString &id :
             {QStringLiteral("."), QStringLiteral(".."), QString(), QStringLiteral("a\r\nX-Injected: 1"),
              QStringLiteral("a\nb"), QStringLiteral("nul") + QChar(0), QString(257, QLatin1Char('x'))}) {
            const auto acked = ack(api, credentials, id, AckStatus::received);
            QVERIFY(acked.apiError);
            QCOMPARE(acked.apiError->kind(), APIError::Kind::badURL);
        }
        // A bearer token with a line break never becomes a header of its own.
        credentials.bearerToken = QStringLiteral("token\r\nX-Injected: 1");
        QVERIFY(!ack(api, credentials, QStringLiteral("c-1"), AckStatus::received).value);
        QCOMPARE(m_server->requests().size(), before);
        HTTPRequest request;
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, request.setHeader("X-Test", QByteArray("a\0b", 3)));
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, request.setHeader("X-Test\r\nX-Other", "b"));
    }

    // A poll answer that does not decode reports the id it names only when that id is safe; a
    // decodable command with an unsafe id is an envelope without a readable id.
    void undecodableEnvelopeNamesOnlyASafeID()
    {
        const DeviceCredentials credentials = deviceCredentials(base());
        const APIClient api = client();
        const QByteArray valid = R"("protocol_version":1,"action":"terminate_application","app_key":"codex",)"
                                 R"("target_bundle_ids":["com.openai.codex"])";
        const QList<QPair<QByteArray, QString>> cases{
            {R"({"command":{"id":"poison-1","protocol_version":"one"}})", QStringLiteral("poison-1")},
            {R"({"command":{"id":"../x","action":7}})", QStringLiteral("../x")},
            {R"({"command":{"id":"..","action":7}})", QString()},
            {R"({"command":{"id":"a\r\nb","action":7}})", QString()},
            {R"({"command":{"id":7}})", QString()},
            {R"({"command":"x"})", QString()},
            {R"({"commands":[]})", QString()},
            {R"({"command":{"id":"a\u0000b",)" + valid + "}}", QString()},
            {R"({"command":{"id":"..",)" + valid + "}}", QString()},
        };
        for (const auto &[answer, id] : cases) {
            m_script.set("/api/desktop/commands/next", TlsTestServer::response(200, answer));
            const auto polled =
                runOperation<std::optional<KillCommand>>([&] { return api.pollNextCommand(credentials); });
            QVERIFY2(polled.apiError, answer.constData());
            QCOMPARE(polled.apiError->kind(), APIError::Kind::decodeError);
            QCOMPARE(polled.apiError->commandID(), id);
            QVERIFY(polled.apiError->message().startsWith(QStringLiteral("Failed to decode command envelope: ")));
        }
    }
};

}  // namespace mornix

QTEST_GUILESS_MAIN(mornix::APITransportTest)
#include "tst_api_transport.moc"
