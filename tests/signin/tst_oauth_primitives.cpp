// PKCE, the authorization URL, callback parsing, the failure texts of the flows and the sign-in
// window's resolution rules. Fixed bytes are checked against RFC 7636 and Python's standard
// library.
#include "api/api_error.h"
#include "api/transport_error.h"
#include "signin/oauth_manager.h"
#include "signin/sign_in_flows.h"
#include "signin/sign_in_window.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <map>

namespace mornix {

namespace {

// Runs a Python 3 program with a JSON document on standard input; its JSON answer.
QJsonDocument python(const char *program, const QJsonDocument &input)
{
    QProcess process;
    process.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromUtf8(program)});
    process.waitForStarted();
    process.write(input.toJson());
    process.closeWriteChannel();
    process.waitForFinished(30000);
    const QByteArray out = process.readAllStandardOutput();
    if (process.exitCode() != 0)
        qWarning("python: %s", process.readAllStandardError().constData());
    return QJsonDocument::fromJson(out);
}

}  // namespace

class OAuthPrimitivesTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void challengeMatchesTheRFCAndPython()
    {
        // RFC 7636, Appendix B.
        QCOMPARE(OAuthManager::codeChallengeS256(QStringLiteral("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk")),
                 QStringLiteral("E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"));
        QJsonArray verifiers;
        QJsonArray challenges;
        for (int i = 0; i < 40; ++i) {
            const QString verifier = OAuthManager::randomCodeVerifier(43 + i * 2);
            verifiers.append(verifier);
            const QString challenge = OAuthManager::codeChallengeS256(verifier);
            QCOMPARE(challenge.size(), 43);
            QVERIFY(!challenge.contains(QLatin1Char('+')) && !challenge.contains(QLatin1Char('/'))
                    && !challenge.contains(QLatin1Char('=')));
            challenges.append(challenge);
        }
        const QJsonDocument expected = python(
            "import sys, json, hashlib, base64\n"
            "vs = json.load(sys.stdin)\n"
            "print(json.dumps([base64.urlsafe_b64encode(hashlib.sha256(v.encode('ascii')).digest()).decode().rstrip('=')"
            " for v in vs]))\n",
            QJsonDocument(verifiers));
        QCOMPARE(expected.array(), challenges);
    }

    void verifierLengthAlphabetAndUniformity()
    {
        QCOMPARE(OAuthManager::randomCodeVerifier(10).size(), 43);
        QCOMPARE(OAuthManager::randomCodeVerifier(500).size(), 128);
        QCOMPARE(OAuthManager::randomCodeVerifier(64).size(), 64);
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
        QVERIFY2(double(high) / low < 1.25, qPrintable(QStringLiteral("%1..%2").arg(low).arg(high)));
    }

    void authorizationURLCarriesItsItemsInOrder()
    {
        const QUrl url = OAuthManager::authorizeURL(QStringLiteral("https://auth.localhost:8443/base"),
                                                    QStringLiteral("client 1"), QStringLiteral("mornix_x"),
                                                    QStringLiteral("chal"), QStringLiteral("github"));
        const QJsonDocument parsed = python(
            "import sys, json\nfrom urllib.parse import urlsplit, parse_qsl\n"
            "u = urlsplit(json.load(sys.stdin)[0])\n"
            "print(json.dumps([u.scheme, u.netloc, u.path] + [list(p) for p in parse_qsl(u.query, keep_blank_values=True)]))\n",
            QJsonDocument(QJsonArray{url.toString(QUrl::FullyEncoded)}));
        const QJsonArray expected{QStringLiteral("https"), QStringLiteral("auth.localhost:8443"),
                                  QStringLiteral("/base/authorize/external"),
                                  QJsonArray{QStringLiteral("response_type"), QStringLiteral("code")},
                                  QJsonArray{QStringLiteral("client_id"), QStringLiteral("client 1")},
                                  QJsonArray{QStringLiteral("redirect_uri"), QStringLiteral("veltro-mornix://oauth/callback")},
                                  QJsonArray{QStringLiteral("state"), QStringLiteral("mornix_x")},
                                  QJsonArray{QStringLiteral("code_challenge"), QStringLiteral("chal")},
                                  QJsonArray{QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
                                  QJsonArray{QStringLiteral("scope"), QStringLiteral("mcp:tools")},
                                  QJsonArray{QStringLiteral("provider"), QStringLiteral("github")}};
        QCOMPARE(parsed.array(), expected);
        QCOMPARE(OAuthManager::authorizeURL(QStringLiteral("https://localhost:8443"), QStringLiteral("c"),
                                            QStringLiteral("s"), QStringLiteral("h"), QStringLiteral("google"))
                     .path(),
                 QStringLiteral("/authorize/external"));
    }

    void callbackItemsComeFromQueryThenFragment()
    {
        const auto items = OAuthManager::callbackItems(
            QUrl(QStringLiteral("http://127.0.0.1:53682/oauth/callback?state=a&flag#state=b&code=x%2By")));
        QVERIFY(items);
        const OAuthManager::CallbackItems expected{{QStringLiteral("state"), QStringLiteral("a")},
                                                   {QStringLiteral("flag"), std::nullopt},
                                                   {QStringLiteral("state"), QStringLiteral("b")},
                                                   {QStringLiteral("code"), QStringLiteral("x+y")}};
        QCOMPARE(*items, expected);
    }

    void providerSignInWithoutClientFailsBeforeAnyBrowser()
    {
        int browserCalls = 0;
        OAuthManager manager({QStringLiteral("default-client"), [&](const QUrl &) { return ++browserCalls > 0; }});
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
        QCOMPARE(attempt(QStringLiteral(" https://localhost:8443 "), std::nullopt), OAuthError::Kind::missingClientCredentials);
        QCOMPARE(attempt(QStringLiteral("https://localhost:8443"), QStringLiteral(" \n")), OAuthError::Kind::missingClientCredentials);
        QCOMPARE(attempt(QStringLiteral("not a url"), QStringLiteral("c")), OAuthError::Kind::invalidBaseURL);
        QCOMPARE(browserCalls, 0);
    }

    void normalisedAPIBaseURL_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("expected");
        const QString fallback = QStringLiteral("https://api.veltro.test");
        QTest::newRow("absent") << QVariant() << fallback;
        QTest::newRow("unparsable") << QVariant(QStringLiteral("::not a url")) << fallback;
        QTest::newRow("no host") << QVariant(QStringLiteral("file:///tmp")) << fallback;
        QTest::newRow("web site") << QVariant(QStringLiteral("https://veltro.test/app")) << fallback;
        QTest::newRow("www web site") << QVariant(QStringLiteral(" https://WWW.veltro.test ")) << fallback;
        QTest::newRow("api host") << QVariant(QStringLiteral("https://api.veltro.test/v2")) << fallback;
        QTest::newRow("other host") << QVariant(QStringLiteral("  https://eu.example.test/path/x \n"))
                                    << QStringLiteral("https://eu.example.test/path/x");
    }

    void normalisedAPIBaseURL()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, expected);
        const std::optional<QString> input = value.isValid() ? std::optional<QString>(value.toString()) : std::nullopt;
        QCOMPARE(SignInPreferences::normalizedAPIBaseURL(input, QStringLiteral("https://api.veltro.test"),
                                                         QStringLiteral("veltro.test")),
                 expected);
    }

    void failureTexts_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("lastCommand");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("logLine");
        const QString p = QStringLiteral("registering device");
        QTest::newRow("no client") << 0 << "oauth app credentials missing" << "enter oauth client id and secret" << "";
        QTest::newRow("state") << 1 << "oauth state mismatch, retry sign-in" << "state mismatch" << "";
        QTest::newRow("canceled") << 2 << "oauth canceled (callback not received)" << "sign-in canceled" << "";
        QTest::newRow("timeout") << 3 << "oauth timeout, retry sign-in" << "sign-in timed out" << "";
        QTest::newRow("no code") << 4 << "oauth callback missing code" << "missing authorization code" << "";
        QTest::newRow("no token") << 5 << "oauth callback missing token" << "provider sign-in did not return a token" << "";
        QTest::newRow("listener") << 6 << "oauth listener failed: " + QString(90, QLatin1Char('x')).left(57)
                                  << "authentication failed" << "";
        QTest::newRow("unauthorized") << 7 << "unauthorized at registering device: {\"error\":\"nope\"}"
                                      << "unauthorized during registering device" << "";
        QTest::newRow("redirect mismatch") << 8 << "oauth redirect mismatch, retry sign-in" << "redirect mismatch on auth server"
                                           << "server detail at registering device: Redirect_URI Does Not Match Previously Seen Redirect URI";
        QTest::newRow("redacted") << 9 << "server 500 at registering device: redacted sensitive server detail"
                                  << "server error during registering device"
                                  << "server detail at registering device: redacted sensitive server detail";
        QTest::newRow("pin") << 10 << "tls pin mismatch at registering device" << "tls pin mismatch" << "";
        QTest::newRow("network") << 11 << "network 1 at registering device" << "network error at registering device" << "";
        QTest::newRow("other") << 12 << "failed at registering device: The web browser could not be opened."
                               << "failed during registering device" << "";
        Q_UNUSED(p);
    }

    void failureTexts()
    {
        QFETCH(int, which);
        QFETCH(QString, lastCommand);
        QFETCH(QString, label);
        QFETCH(QString, logLine);
        const std::exception_ptr errors[] = {
            std::make_exception_ptr(OAuthError(OAuthError::Kind::missingClientCredentials)),
            std::make_exception_ptr(OAuthError(OAuthError::Kind::stateMismatch)),
            std::make_exception_ptr(OAuthError(OAuthError::Kind::canceled)),
            std::make_exception_ptr(OAuthError(OAuthError::Kind::callbackTimedOut)),
            std::make_exception_ptr(OAuthError(OAuthError::Kind::missingCode)),
            std::make_exception_ptr(OAuthError(OAuthError::Kind::missingToken)),
            std::make_exception_ptr(OAuthError::callbackListenerFailed(QString(90, QLatin1Char('x')))),
            std::make_exception_ptr(APIError::unauthorized(QStringLiteral("{\"error\":\"nope\"}\n"))),
            std::make_exception_ptr(APIError::serverError(
                400, QStringLiteral("Redirect_URI Does Not Match Previously Seen Redirect URI"))),
            std::make_exception_ptr(APIError::serverError(500, QStringLiteral("bad STABLE_PAYLOAD_JSON: {secret}"))),
            std::make_exception_ptr(TransportError(QNetworkReply::OperationCanceledError, QStringLiteral("cancelled"))),
            std::make_exception_ptr(TransportError(QNetworkReply::ConnectionRefusedError, QStringLiteral("refused"))),
            std::make_exception_ptr(OAuthError(OAuthError::Kind::failedToStart)),
        };
        const SignInFlows::FailureTexts texts = SignInFlows::failureTexts(
            errors[which], QStringLiteral("registering device"), QStringLiteral("tls pin mismatch"));
        QCOMPARE(texts.lastCommand, lastCommand);
        QCOMPARE(texts.label, label);
        QCOMPARE(texts.logLine.value_or(QString()), logLine);
        // Whatever is shown is logged too (as a status text): a redacted detail never appears.
        QVERIFY(!texts.lastCommand.contains(QLatin1String("secret")));
        // A cancelled request without a recorded pin failure is a network error.
        if (which == 10) {
            QCOMPARE(SignInFlows::failureTexts(errors[which], QStringLiteral("p"), QStringLiteral("ok")).lastCommand,
                     QStringLiteral("network 5 at p"));
        }
    }

    void windowResolvesOnce()
    {
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
        SignInWindowController::Settings settings{QStringLiteral("https://localhost:8443"), QStringLiteral("client"),
                                                  QStringLiteral("localhost"), QUrl(), {}};
        // Both buttons pressed quickly: the first method wins, the window stays open.
        {
            SignInWindowController window(QStringLiteral(" https://eu.example.test/x "), QStringLiteral("Box"), settings);
            QCOMPARE(window.deviceLine(), QStringLiteral("CONNECTING  Box"));
            std::optional<SignInRequest> request;
            auto task = [&]() -> QCoro::Task<void> { request = co_await window.present(); };
            auto running = task();
            window.signInGitHub();
            window.signInGoogle();
            QCoro::waitFor(running);
            QVERIFY(request);
            QCOMPARE(request->method.kind, SignInMethod::Kind::github);
            QCOMPARE(request->apiBaseURL, QStringLiteral("https://eu.example.test/x"));
            QCOMPARE(request->oauthClientID, std::optional<QString>(QStringLiteral("client")));
            QCOMPARE(SignInPreferences::storedAPIBaseURL(), std::optional<QString>(QStringLiteral("https://eu.example.test/x")));
            QVERIFY(window.isOpen());
            // Closing afterwards reports nothing more.
            window.windowWillClose();
            QVERIFY(!window.isOpen());
        }
        // Closed first: nothing, and a later button does nothing.
        {
            SignInWindowController window(QStringLiteral("https://localhost:8443"), QStringLiteral("Box"), settings);
            SignInWindowController::setNextAnswer(std::nullopt);
            std::optional<std::optional<SignInRequest>> result;
            auto task = [&]() -> QCoro::Task<void> { result = co_await window.present(); };
            QCoro::waitFor(task());
            QVERIFY(result && !*result);
            window.signInGoogle();
        }
        // After a failed attempt the re-enabled buttons start a new attempt in the same window.
        {
            SignInWindowController window(QStringLiteral("https://localhost:8443"), QStringLiteral("Box"), settings);
            SignInWindowController::setNextAnswer(SignInMethod::google());
            std::optional<SignInRequest> first;
            auto task = [&]() -> QCoro::Task<void> { first = co_await window.present(); };
            QCoro::waitFor(task());
            QVERIFY(first && first->method.kind == SignInMethod::Kind::google);
            QList<SignInMethod::Kind> again;
            window.setNewAttemptHandler([&](const SignInRequest &request) { again.append(request.method.kind); });
            window.setButtonsEnabled(false);
            window.signInGitHub();  // disabled while the flow runs
            QVERIFY(again.isEmpty());
            QCOMPARE(window.buttonAlpha(), 0.55);
            window.setButtonsEnabled(true);
            window.signInGitHub();
            QCOMPARE(again, QList<SignInMethod::Kind>{SignInMethod::Kind::github});
        }
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(OAuthPrimitivesTest)
#include "tst_oauth_primitives.moc"
