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

using namespace Qt::StringLiterals;

namespace mornix {

class OAuthTokenExchangeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tokenRequestCarriesTheVerifierOfTheChallenge()
    {
        TestPki pki;
        QVERIFY(pki.isValid());
        TlsTestServer server(loadChain(pki.certificate(u"ec"_s)), loadKey(pki.key(u"ec"_s)),
                             [](const CapturedRequest &) {
                                 return TlsTestServer::response(
                                     200, "{\"access_token\":\"vat_1\",\"token_type\":\"Bearer\",\"expires_in\":3600}",
                                     {{"Content-Type", "application/json"}});
                             });
        const QString base = u"https://localhost:%1"_s.arg(server.port());
        const quint16 port = freeLoopbackPort();

        QUrl authorize;
        QByteArray answer;
        OAuthManager::Options options;
        options.defaultClientID = u"unused"_s;
        options.port = port;
        options.openBrowser = [&](const QUrl &url) {
            authorize = url;
            const QString state = QUrlQuery(url).queryItemValue(u"state"_s);
            QTimer::singleShot(0, [&answer, port, state] {
                answer = rawExchange(port, getRequest("/oauth/callback?code=c0de%2B1&state=" + state.toUtf8()));
            });
            return true;
        };
        OAuthManager manager(options);
        const std::shared_ptr<const APIClient> client =
            std::make_shared<APIClient>(makePinnedSession(base, pki.config(), nullptr));
        const OAuthAuthenticationMethod method = OAuthAuthenticationMethod::google();
        const std::optional<QString> clientID = u" client-7 "_s;
        const std::optional<QString> noSecret;
        const QString paddedBase = u" "_s + base + u"\n"_s;
        const AuthResult result =
            QCoro::waitFor(manager.authenticateOnce(paddedBase, client, method, clientID, noSecret));
        QCOMPARE(result.token.access_token, u"vat_1"_s);
        QCOMPARE(result.clientID, u"client-7"_s);
        QCOMPARE(result.kind, AuthKind::oauthGateway);
        QVERIFY(answer.startsWith("HTTP/1.1 200 OK\r\n"));

        const QList<CapturedRequest> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].method, QByteArray("POST"));
        QCOMPARE(requests[0].target, QByteArray("/token"));
        QVERIFY(requests[0].header("authorization").isEmpty());  // a public client: no secret at all
        const ProcessResult python = runPython(
            QStringLiteral("import sys, json, hashlib, base64\nfrom urllib.parse import parse_qsl, urlsplit\n"
                           "body = dict(parse_qsl(sys.argv[1], strict_parsing=True))\n"
                           "query = dict(parse_qsl(urlsplit(sys.argv[2]).query))\n"
                           "digest = "
                           "base64.urlsafe_b64encode(hashlib.sha256(body['code_verifier'].encode()).digest()).decode()."
                           "rstrip('=')\n"
                           "print(json.dumps({'body': body, 'verifier_matches': digest == query['code_challenge'],"
                           " 'state': query['state'], 'method': query['code_challenge_method']}))\n"),
            {QString::fromUtf8(requests[0].body), authorize.toString(QUrl::FullyEncoded)});
        QCOMPARE(python.exitCode, 0);
        const QJsonObject checked = QJsonDocument::fromJson(python.standardOutput).object();
        const QJsonObject body = checked.value(u"body"_s).toObject();
        QCOMPARE(body.value(u"grant_type"_s).toString(), u"authorization_code"_s);
        QCOMPARE(body.value(u"client_id"_s).toString(), u"client-7"_s);
        QCOMPARE(body.value(u"code"_s).toString(), u"c0de+1"_s);
        QCOMPARE(body.value(u"redirect_uri"_s).toString(), u"veltro-mornix://oauth/callback"_s);
        QCOMPARE(body.value(u"code_verifier"_s).toString().size(), 64);
        QCOMPARE(body.size(), 5);
        QVERIFY(checked.value(u"verifier_matches"_s).toBool());
        QCOMPARE(checked.value(u"method"_s).toString(), u"S256"_s);
        QVERIFY(checked.value(u"state"_s).toString().startsWith("mornix_"_L1));
        QCOMPARE(checked.value(u"state"_s).toString().size(), 7 + 36);
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(OAuthTokenExchangeTest)
#include "tst_oauth_token_exchange.moc"
