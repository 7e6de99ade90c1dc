// PKCE, the authorization URL, callback parsing, the failure texts of the flows and the sign-in
// window's own rules (fixed bytes checked against RFC 7636 and Python's standard library); the
// loopback listener over real sockets: exact answers, stray requests, completion once, the
// time-out, a taken port, and the browser asked only once listening.
#include "api/api_client.h"
#include "api/api_error.h"
#include "api/transport_error.h"
#include "signin/oauth_loopback_listener.h"
#include "signin/oauth_manager.h"
#include "signin/sign_in_flows.h"
#include "signin/sign_in_window.h"
#include "support/process_runner.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <map>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

// A plain TCP client for the loopback listener: sends raw bytes, returns everything the
// listener answered until it closed the connection.
QByteArray rawExchange(quint16 port, const QByteArray &bytes, int timeoutMs = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return QByteArrayLiteral("<no connection>");
    socket.write(bytes);
    socket.waitForBytesWritten(timeoutMs);
    QByteArray answer;
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < timeoutMs) {
        if (socket.waitForReadyRead(100))
            answer += socket.readAll();
    }
    answer += socket.readAll();
    return answer;
}

QByteArray getRequest(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n";
}

// A TCP port that was free a moment ago on 127.0.0.1.
quint16 freeLoopbackPort()
{
    QTcpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

// Runs a Python 3 program with a JSON document on standard input; its JSON answer.
QJsonDocument python(const char *program, const QJsonDocument &input)
{
    return QJsonDocument::fromJson(runPython(QString::fromUtf8(program), {}, input.toJson()).standardOutput);
}

const QByteArray kPageHead = "<!doctype html><html><head><meta charset=\"utf-8\"><title>Veltro</title></head>\n"
                             "<body style=\"font-family:-apple-system;padding:48px;background:#050505;color:#fff\">\n"
                             "<h1>Signed in to Veltro</h1><p>";

QByteArray expectedAnswer(const QByteArray &status, const QByteArray &message)
{
    const QByteArray body = kPageHead + message + "</p></body></html>";
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
           + QByteArray::number(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

const QByteArray kNotFound = expectedAnswer("404 Not Found", "Not found.");
const QByteArray kInvalid = expectedAnswer("400 Bad Request", "Invalid sign-in callback.");
const QByteArray kCompleted =
    expectedAnswer("200 OK", "Veltro sign-in completed. You can close this tab and return to the desktop app.");

// One authenticate() call, observed from the test.
struct Attempt {
    std::optional<QUrl> url;
    std::optional<OAuthError> error;
    bool done = false;
};

QCoro::Task<void> run(OAuthLoopbackListener &listener, QUrl authorizeURL, Attempt &attempt)
{
    try {
        attempt.url = co_await listener.authenticate(authorizeURL);
    } catch (const OAuthError &error) {
        attempt.error = error;
    }
    attempt.done = true;
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
            challenges.append(OAuthManager::codeChallengeS256(verifier));
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
        window.signInGitHub();  // disabled while the flow runs; enabled, it starts one (tst_sign_in_flows)
        QVERIFY(again.isEmpty());
    }

    void answersAreExactAndStrayRequestsNeverEndTheWait()
    {
        const quint16 port = freeLoopbackPort();
        int browserCalls = 0;
        bool listeningWhenAsked = false;
        const QUrl authorize(u"https://localhost:8443/authorize/external?x=1"_s);
        OAuthLoopbackListener listener(port, [&](const QUrl &url) {
            ++browserCalls;
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            listeningWhenAsked = probe.waitForConnected(2000) && url == authorize;
            return true;
        });
        Attempt attempt;
        run(listener, authorize, attempt);
        QTRY_COMPARE(browserCalls, 1);
        QVERIFY(listeningWhenAsked);

        QCOMPARE(rawExchange(port, getRequest("/favicon.ico")), kNotFound);
        QCOMPARE(rawExchange(port, "POST /oauth/callback?state=s&code=c HTTP/1.1\r\nContent-Length: 0\r\n\r\n"),
                 kNotFound);
        QCOMPARE(rawExchange(port, "GET\r\n\r\n"), kNotFound);
        QCOMPARE(rawExchange(port, getRequest("/oauth/callbackx?state=s&code=c")), kNotFound);
        QCOMPARE(rawExchange(port, QByteArray("\xff\xfe\x00garbage\r\n", 12)), kInvalid);
        QCOMPARE(rawExchange(port, "\r\n"), kInvalid);
        QCOMPARE(rawExchange(port, getRequest("/oauth/callback?code=c")), kInvalid);
        QCOMPARE(rawExchange(port, getRequest("/oauth/callback?state=&code=c")), kInvalid);
        QCOMPARE(rawExchange(port, getRequest("/oauth/callback?state=s&code=")), kInvalid);
        // A request line that arrives without its line break is judged once the client stops.
        QTcpSocket slow;
        slow.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(slow.waitForConnected(2000));
        slow.write("GET /favicon.ico");
        slow.flush();
        slow.disconnectFromHost();  // half-sent request, then the client closes
        QTest::qWait(50);
        QVERIFY(!attempt.done);

        // A connection opened before completion still gets its answer afterwards.
        QTcpSocket early;
        early.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(early.waitForConnected(2000));

        const QByteArray target = "/oauth/callback?state=mornix_1&code=abc%2Fdef#ignored";
        QCOMPARE(rawExchange(port, getRequest(target)), kCompleted);
        QTRY_VERIFY(attempt.done);
        QVERIFY(!attempt.error);
        QCOMPARE(attempt.url->toString(QUrl::FullyEncoded),
                 u"http://127.0.0.1:%1"_s.arg(port) + QString::fromLatin1(target));

        early.write(getRequest("/oauth/callback?state=other&code=second"));
        QByteArray late;
        QTRY_VERIFY((late += early.readAll()).endsWith("</html>"));
        QCOMPARE(late, kCompleted);
        QCOMPARE(attempt.url->query(), u"state=mornix_1&code=abc%2Fdef"_s);

        // Completed: the port is no longer listened on.
        QTcpSocket after;
        after.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!after.waitForConnected(1000));
        QCOMPARE(browserCalls, 1);
    }

    void failuresEndTheAttemptOnce_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::newRow("time-out") << u"timeout"_s;
        QTest::newRow("browser refused") << u"browser"_s;
        QTest::newRow("port taken") << u"taken"_s;
    }

    void failuresEndTheAttemptOnce()
    {
        QFETCH(QString, scenario);
        const quint16 port = freeLoopbackPort();
        QTcpServer squatter;
        if (scenario == "taken"_L1)
            QVERIFY(squatter.listen(QHostAddress::LocalHost, port));
        int browserCalls = 0;
        OAuthLoopbackListener listener(
            port, [&](const QUrl &) { return ++browserCalls, scenario != "browser"_L1; },
            std::chrono::milliseconds(scenario == "timeout"_L1 ? 300 : 60000));
        Attempt attempt;
        QElapsedTimer clock;
        clock.start();
        run(listener, QUrl(u"https://localhost/a"_s), attempt);
        QTRY_VERIFY_WITH_TIMEOUT(attempt.done, 10000);
        QVERIFY(attempt.error);
        if (scenario == "timeout"_L1) {
            QCOMPARE(attempt.error->kind(), OAuthError::Kind::callbackTimedOut);
            QVERIFY(clock.elapsed() >= 250);
        } else if (scenario == "browser"_L1) {
            QCOMPARE(attempt.error->kind(), OAuthError::Kind::failedToStart);
        } else {
            // The system's own reason; no browser for an attempt that cannot listen.
            QCOMPARE(*attempt.error, OAuthError::callbackListenerFailed(u"Address already in use"_s));
            QCOMPARE(browserCalls, 0);
        }
        if (scenario != "taken"_L1) {
            QTcpSocket after;
            after.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(!after.waitForConnected(1000));
        }
    }

    void listensOnTheLoopbackAddressOnly()
    {
        QHostAddress outside;
        for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
                outside = address;
        }
        if (outside.isNull())
            QSKIP("no non-loopback IPv4 address on this machine");
        const quint16 port = freeLoopbackPort();
        OAuthLoopbackListener listener(
            port, [](const QUrl &) { return true; }, std::chrono::milliseconds(3000));
        Attempt attempt;
        run(listener, QUrl(u"https://localhost/a"_s), attempt);
        QTest::qWait(200);
        QTcpSocket socket;
        socket.connectToHost(outside, port);
        QVERIFY(!socket.waitForConnected(1000));
        QTcpSocket loopback;
        loopback.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(loopback.waitForConnected(1000));
    }

    void refusesAPortThatIsNoEndpoint()
    {
        for (const quint32 port : {0u, 65536u}) {
            try {
                OAuthLoopbackListener listener(port, [](const QUrl &) { return true; });
                QFAIL("accepted an invalid port");
            } catch (const OAuthError &error) {
                QCOMPARE(error, OAuthError::callbackListenerFailed(u"invalid loopback port"_s));
            }
        }
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(OAuthPrimitivesTest)
#include "tst_oauth_primitives.moc"
