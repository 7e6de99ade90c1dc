// PKCE, the authorization URL, callback parsing, the failure texts of the flows and the sign-in
// window's own rules. Fixed bytes are checked against RFC 7636 and Python's standard library.
#include "api/api_client.h"
#include "api/api_error.h"
#include "api/transport_error.h"
#include "signin/oauth_manager.h"
#include "signin/sign_in_flows.h"
#include "signin/sign_in_window.h"
#include "support/process_runner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <map>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

// Runs a Python 3 program with a JSON document on standard input; its JSON answer.
QJsonDocument python(const char *program, const QJsonDocument &input)
{
    return QJsonDocument::fromJson(runPython(QString::fromUtf8(program), {}, input.toJson()).standardOutput);
}

}  // namespace

class OAuthPrimitivesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void challengeMatchesTheRFCAndPython()
    {
        // RFC 7636, Appendix B.
        QCOMPARE(OAuthManager::codeChallengeS256(u"dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"_s),
                 u"E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"_s);
        QJsonArray verifiers;
        QJsonArray challenges;
        for (int i = 0; i < 40; ++i) {
            const QString verifier = OAuthManager::randomCodeVerifier(43 + i * 2);
            verifiers.append(verifier);
            const QString challenge = OAuthManager::codeChallengeS256(verifier);
            QCOMPARE(challenge.size(), 43);
            QVERIFY(!challenge.contains(u'+') && !challenge.contains(u'/') && !challenge.contains(u'='));
            challenges.append(challenge);
        }
        const QJsonDocument expected = python("import sys, json, hashlib, base64\n"
                                              "vs = json.load(sys.stdin)\n"
                                              "print(json.dumps([base64.urlsafe_b64encode(hashlib.sha256(v.encode('"
                                              "ascii')).digest()).decode().rstrip('=')"
                                              " for v in vs]))\n",
                                              QJsonDocument(verifiers));
        QCOMPARE(expected.array(), challenges);
    }

    void verifierLengthAlphabetAndUniformity()
    {
        QCOMPARE(OAuthManager::randomCodeVerifier(10).size(), 43);
        QCOMPARE(OAuthManager::randomCodeVerifier(500).size(), 128);
        QVERIFY(OAuthManager::randomCodeVerifier(64) != OAuthManager::randomCodeVerifier(64));
        // Uniform over the 66 characters: a modulo-biased draw would give the first 58 characters
        // a third more weight than the last 8.
        std::map<QChar, int> counts;
        for (int i = 0; i < 1000; ++i) {
            for (const QChar c : OAuthManager::randomCodeVerifier(66))
                ++counts[c];
        }
        QCOMPARE(int(counts.size()), 66);
        int low = 1 << 30, high = 0;
        for (const auto &[c, n] : counts) {
            QVERIFY2(OAuthManager::verifierAlphabet.contains(c), qPrintable(QString(c)));
            low = std::min(low, n);
            high = std::max(high, n);
        }
        QVERIFY2(double(high) / low < 1.25, qPrintable(u"%1..%2"_s.arg(low).arg(high)));
    }

    void authorizationURLCarriesItsItemsInOrder()
    {
        const QUrl url = OAuthManager::authorizeURL(u"https://auth.localhost:8443/base"_s, u"client 1"_s, u"mornix_x"_s,
                                                    u"chal"_s, u"github"_s);
        const QJsonDocument parsed = python("import sys, json\nfrom urllib.parse import urlsplit, parse_qsl\n"
                                            "u = urlsplit(json.load(sys.stdin)[0])\n"
                                            "print(json.dumps([u.scheme, u.netloc, u.path] + [list(p) for p in "
                                            "parse_qsl(u.query, keep_blank_values=True)]))\n",
                                            QJsonDocument(QJsonArray{url.toString(QUrl::FullyEncoded)}));
        const QJsonArray expected{u"https"_s,
                                  u"auth.localhost:8443"_s,
                                  u"/base/authorize/external"_s,
                                  QJsonArray{u"response_type"_s, u"code"_s},
                                  QJsonArray{u"client_id"_s, u"client 1"_s},
                                  QJsonArray{u"redirect_uri"_s, u"veltro-mornix://oauth/callback"_s},
                                  QJsonArray{u"state"_s, u"mornix_x"_s},
                                  QJsonArray{u"code_challenge"_s, u"chal"_s},
                                  QJsonArray{u"code_challenge_method"_s, u"S256"_s},
                                  QJsonArray{u"scope"_s, u"mcp:tools"_s},
                                  QJsonArray{u"provider"_s, u"github"_s}};
        QCOMPARE(parsed.array(), expected);
    }

    void callbackItemsComeFromQueryThenFragment()
    {
        const auto items = OAuthManager::callbackItems(
            QUrl(u"http://127.0.0.1:53682/oauth/callback?state=a&flag#state=b&code=x%2By"_s));
        QVERIFY(items);
        const OAuthManager::CallbackItems expected{
            {u"state"_s, u"a"_s}, {u"flag"_s, std::nullopt}, {u"state"_s, u"b"_s}, {u"code"_s, u"x+y"_s}};
        QCOMPARE(*items, expected);
    }

    void providerSignInWithoutClientFailsBeforeAnyBrowser()
    {
        int browserCalls = 0;
        OAuthManager manager({u"default-client"_s, [&](const QUrl &) { return ++browserCalls > 0; }});
        const auto attempt = [&](QString base, std::optional<QString> client) -> std::optional<OAuthError::Kind> {
            std::optional<OAuthError::Kind> kind;
            auto task = [&]() -> QCoro::Task<void> {
                const std::shared_ptr<const APIClient> noClient;
                const OAuthAuthenticationMethod method = OAuthAuthenticationMethod::github();
                const std::optional<QString> noSecret;
                try {
                    co_await manager.authenticateOnce(base, noClient, method, client, noSecret);
                } catch (const OAuthError &error) {
                    kind = error.kind();
                }
            };
            QCoro::waitFor(task());
            return kind;
        };
        QCOMPARE(attempt(u" https://localhost:8443 "_s, std::nullopt), OAuthError::Kind::missingClientCredentials);
        QCOMPARE(attempt(u"https://localhost:8443"_s, u" \n"_s), OAuthError::Kind::missingClientCredentials);
        QCOMPARE(attempt(u"not a url"_s, u"c"_s), OAuthError::Kind::invalidBaseURL);
        QCOMPARE(browserCalls, 0);
    }

    void normalisedAPIBaseURL_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("expected");
        const QString fallback = u"https://api.veltro.test"_s;
        QTest::newRow("absent") << QVariant() << fallback;
        QTest::newRow("unparsable") << QVariant(u"::not a url"_s) << fallback;
        QTest::newRow("no host") << QVariant(u"file:///tmp"_s) << fallback;
        QTest::newRow("web site") << QVariant(u"https://veltro.test/app"_s) << fallback;
        QTest::newRow("www web site") << QVariant(u" https://WWW.veltro.test "_s) << fallback;
        QTest::newRow("api host") << QVariant(u"https://api.veltro.test/v2"_s) << fallback;
        QTest::newRow("other host") << QVariant(u"  https://eu.example.test/path/x \n"_s)
                                    << u"https://eu.example.test/path/x"_s;
    }

    void normalisedAPIBaseURL()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, expected);
        const std::optional<QString> input = value.isValid() ? std::optional<QString>(value.toString()) : std::nullopt;
        QCOMPARE(SignInPreferences::normalizedAPIBaseURL(input, u"https://api.veltro.test"_s, u"veltro.test"_s),
                 expected);
    }

    // The flows' own failures (state, code, time-out, browser, redirect mismatch, a redacted
    // server detail) are checked through the real flows in tst_sign_in_flows; here the others.
    void failureTexts()
    {
        struct Case {
            std::exception_ptr error;
            QString lastCommand, label, logLine;
        };
        const auto oauth = [](OAuthError::Kind kind) { return std::make_exception_ptr(OAuthError(kind)); };
        using K = OAuthError::Kind;
        const QString redacted = u"redacted sensitive server detail"_s;
        const Case cases[] = {
            {oauth(K::missingClientCredentials),
             u"oauth app credentials missing"_s,
             u"enter oauth client id and secret"_s,
             {}},
            {oauth(K::canceled), u"oauth canceled (callback not received)"_s, u"sign-in canceled"_s, {}},
            {oauth(K::missingToken),
             u"oauth callback missing token"_s,
             u"provider sign-in did not return a token"_s,
             {}},
            {std::make_exception_ptr(OAuthError::callbackListenerFailed(QString(90, u'x'))),
             u"oauth listener failed: "_s + QString(57, u'x'),
             u"authentication failed"_s,
             {}},
            {std::make_exception_ptr(APIError::unauthorized(u"{\"error\":\"nope\"}\n"_s)),
             u"unauthorized at registering device: {\"error\":\"nope\"}"_s,
             u"unauthorized during registering device"_s,
             {}},
            {std::make_exception_ptr(APIError::serverError(500, u"bad STABLE_PAYLOAD_JSON: {secret}"_s)),
             u"server 500 at registering device: "_s + redacted, u"server error during registering device"_s,
             u"server detail at registering device: "_s + redacted},
            {std::make_exception_ptr(TransportError(QNetworkReply::OperationCanceledError, u"cancelled"_s)),
             u"tls pin mismatch at registering device"_s,
             u"tls pin mismatch"_s,
             {}},
            {std::make_exception_ptr(TransportError(QNetworkReply::ConnectionRefusedError, u"refused"_s)),
             u"network 1 at registering device"_s,
             u"network error at registering device"_s,
             {}},
        };
        for (const Case &c : cases) {
            const SignInFlows::FailureTexts texts =
                SignInFlows::failureTexts(c.error, u"registering device"_s, u"tls pin mismatch"_s);
            QCOMPARE(texts.lastCommand, c.lastCommand);
            QCOMPARE(texts.label, c.label);
            QCOMPARE(texts.logLine.value_or(QString()), c.logLine);
            // Whatever is shown is logged too (as a status text): a redacted detail never appears.
            QVERIFY(!texts.lastCommand.contains("secret"_L1));
        }
        // A cancelled request without a recorded pin failure is a network error.
        QCOMPARE(SignInFlows::failureTexts(cases[6].error, u"p"_s, u"ok"_s).lastCommand, u"network 5 at p"_s);
    }

    // The window's resolution rules are checked with its panel (tests/ui) and in the flows; here
    // what only the controller does: the chosen address is stored, a disabled window starts nothing.
    void windowStoresTheAddressAndIgnoresPressesWhileDisabled()
    {
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
        SignInWindowController::Settings settings{u"https://localhost:8443"_s, u"client"_s, u"localhost"_s, QUrl(), {}};
        SignInWindowController window(u" https://eu.example.test/x "_s, u"Box"_s, settings);
        std::optional<SignInRequest> request;
        auto task = [&]() -> QCoro::Task<void> { request = co_await window.present(); };
        auto running = task();
        window.signInGitHub();
        QCoro::waitFor(running);
        QCOMPARE(request->method.kind, SignInMethod::Kind::github);
        QCOMPARE(SignInPreferences::storedAPIBaseURL(), std::optional<QString>(u"https://eu.example.test/x"_s));

        QList<SignInMethod::Kind> again;
        window.setNewAttemptHandler([&](const SignInRequest &next) { again.append(next.method.kind); });
        window.setButtonsEnabled(false);
        window.signInGitHub();  // disabled while the flow runs
        QVERIFY(again.isEmpty());
        window.setButtonsEnabled(true);
        window.signInGitHub();
        QCOMPARE(again, QList<SignInMethod::Kind>{SignInMethod::Kind::github});
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(OAuthPrimitivesTest)
#include "tst_oauth_primitives.moc"
