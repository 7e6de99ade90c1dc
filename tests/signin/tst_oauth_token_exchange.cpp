// A provider sign-in end to end on the client side: the listener on a free port, a browser that
// answers with the state it was given, and a TLS token endpoint that records what it receives.
// The token request body is cross-checked with Python (urllib.parse, hashlib, base64): its
// verifier must hash to the challenge the authorization URL carried.
#include "api/api_client.h"
#include "signin/oauth_manager.h"

#include "listener_client.h"
#include "test_pki.h"
#include "tls_test_server.h"

#include "support/process_runner.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

#include <QCoroTask>

namespace mornix {

class OAuthTokenExchangeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tokenRequestCarriesTheVerifierOfTheChallenge()
    {
        TestPki pki;
        QVERIFY(pki.isValid());
        TlsTestServer server(loadChain(pki.certificate(QStringLiteral("ec"))), loadKey(pki.key(QStringLiteral("ec"))),
                             [](const CapturedRequest &) {
                                 return TlsTestServer::response(
                                     200, "{\"access_token\":\"vat_1\",\"token_type\":\"Bearer\",\"expires_in\":3600}",
                                     {{"Content-Type", "application/json"}});
                             });
        const QString base = QStringLiteral("https://localhost:%1").arg(server.port());
        const quint16 port = freeLoopbackPort();

        QUrl authorize;
        QByteArray answer;
        OAuthManager::Options options;
        options.defaultClientID = QStringLiteral("unused");
        options.port = port;
        options.openBrowser = [&](const QUrl &url) {
            authorize = url;
            const QString state = QUrlQuery(url).queryItemValue(QStringLiteral("state"));
            QTimer::singleShot(0, [&answer, port, state] {
                answer = rawExchange(port, getRequest("/oauth/callback?code=c0de%2B1&state=" + state.toUtf8()));
            });
            return true;
        };
        OAuthManager manager(options);
        const std::shared_ptr<const APIClient> client = std::make_shared<APIClient>(makePinnedSession(base, pki.config(), nullptr));
        const OAuthAuthenticationMethod method = OAuthAuthenticationMethod::google();
        const std::optional<QString> clientID = QStringLiteral(" client-7 ");
        const std::optional<QString> noSecret;
        const QString paddedBase = QStringLiteral(" ") + base + QStringLiteral("\n");
        const AuthResult result = QCoro::waitFor(manager.authenticateOnce(paddedBase, client, method, clientID, noSecret));
        QCOMPARE(result.token.access_token, QStringLiteral("vat_1"));
        QCOMPARE(result.clientID, QStringLiteral("client-7"));
        QCOMPARE(result.kind, AuthKind::oauthGateway);
        QVERIFY(answer.startsWith("HTTP/1.1 200 OK\r\n"));

        const QList<CapturedRequest> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].method, QByteArray("POST"));
        QCOMPARE(requests[0].target, QByteArray("/token"));
        QVERIFY(requests[0].header("authorization").isEmpty());  // a public client: no secret at all
        const ProcessResult python = runPython(QStringLiteral(
            "import sys, json, hashlib, base64\nfrom urllib.parse import parse_qsl, urlsplit\n"
            "body = dict(parse_qsl(sys.argv[1], strict_parsing=True))\n"
            "query = dict(parse_qsl(urlsplit(sys.argv[2]).query))\n"
            "digest = base64.urlsafe_b64encode(hashlib.sha256(body['code_verifier'].encode()).digest()).decode().rstrip('=')\n"
            "print(json.dumps({'body': body, 'verifier_matches': digest == query['code_challenge'],"
            " 'state': query['state'], 'method': query['code_challenge_method']}))\n"),
            {QString::fromUtf8(requests[0].body), authorize.toString(QUrl::FullyEncoded)});
        QCOMPARE(python.exitCode, 0);
        const QJsonObject checked = QJsonDocument::fromJson(python.standardOutput).object();
        const QJsonObject body = checked.value(QStringLiteral("body")).toObject();
        QCOMPARE(body.value(QStringLiteral("grant_type")).toString(), QStringLiteral("authorization_code"));
        QCOMPARE(body.value(QStringLiteral("client_id")).toString(), QStringLiteral("client-7"));
        QCOMPARE(body.value(QStringLiteral("code")).toString(), QStringLiteral("c0de+1"));
        QCOMPARE(body.value(QStringLiteral("redirect_uri")).toString(), QStringLiteral("veltro-mornix://oauth/callback"));
        QCOMPARE(body.value(QStringLiteral("code_verifier")).toString().size(), 64);
        QCOMPARE(body.size(), 5);
        QVERIFY(checked.value(QStringLiteral("verifier_matches")).toBool());
        QCOMPARE(checked.value(QStringLiteral("method")).toString(), QStringLiteral("S256"));
        QVERIFY(checked.value(QStringLiteral("state")).toString().startsWith(QLatin1String("mornix_")));
        QCOMPARE(checked.value(QStringLiteral("state")).toString().size(), 7 + 36);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(OAuthTokenExchangeTest)
#include "tst_oauth_token_exchange.moc"
