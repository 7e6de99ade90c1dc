// PKCE, the authorization URL, callback parsing, the failure texts of the flows and the sign-in
// window's own rules (fixed bytes checked against RFC 7636 and Python's standard library); the
// loopback listener over real sockets: exact answers, stray requests, completion once, the
// outcome page held until the sign-in knows it, the time-out, a taken port, an accept failure,
// a second local user's callback refused, and the browser asked only once listening.
#include "api/api_client.h"
#include "api/api_error.h"
#include "api/transport_error.h"
#include "platform/linux/system/settings_user_defaults.h"
#include "platform/linux/process/sock_diag_socket_owners.h"
#include "signin/oauth_loopback_listener.h"
#include "signin/oauth_manager.h"
#include "signin/sign_in_flows.h"
#include "signin/sign_in_window.h"
#include "support/process_runner.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <QCoroTask>

#include <map>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

// Reads what the listener answers on `socket` until it closes the connection.
QByteArray answerOn(QTcpSocket &socket, int timeoutMs = 5000)
{
    QByteArray answer;
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < timeoutMs) {
        if (socket.waitForReadyRead(100))
            answer += socket.readAll();
    }
    return answer + socket.readAll();
}

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
    return answerOn(socket, timeoutMs);
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

QByteArray expectedAnswer(const QByteArray &status, const QByteArray &heading, const QByteArray &message)
{
    const QByteArray body = "<!doctype html><html><head><meta charset=\"utf-8\"><title>Veltro</title></head>\n"
                            "<body style=\"font-family:-apple-system;padding:48px;background:#050505;color:#fff\">\n"
                            "<h1>"
                            + heading + "</h1><p>" + message + "</p></body></html>";
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: "
           + QByteArray::number(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

const QByteArray kNotFound = expectedAnswer("404 Not Found", "Not found", "Not found.");
const QByteArray kInvalid =
    expectedAnswer("400 Bad Request", "Sign-in callback not accepted", "Invalid sign-in callback.");
const QByteArray kWrongState = expectedAnswer("400 Bad Request", "Sign-in callback not accepted",
                                              "This sign-in callback does not belong to the sign-in in progress.");
const QByteArray kForeign = expectedAnswer("403 Forbidden", "Sign-in callback not accepted",
                                           "This sign-in callback did not come from the user signing in.");
const QByteArray kSignedIn = expectedAnswer(
    "200 OK", "Signed in to Veltro", "Veltro sign-in completed. You can close this tab and return to the desktop app.");
const QByteArray kNeutral =
    expectedAnswer("200 OK", "Return to the Veltro app",
                   "The Veltro desktop app is finishing the sign-in. You can close this tab and "
                   "check the app for the result.");

std::shared_ptr<const SocketOwners> realOwners()
{
    return std::make_shared<SockDiagSocketOwners>();
}

OAuthLoopbackListener::Settings settings(OAuthLoopbackListener::OpenBrowser open,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(60),
                                         std::chrono::milliseconds outcomeWait = std::chrono::seconds(15))
{
    return {std::move(open), realOwners(), timeout, outcomeWait};
}

// Connects once the listener listens (it starts on its own thread).
bool connectWhenListening(QTcpSocket &socket, quint16 port)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        socket.abort();
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200))
            return true;
        QTest::qWait(20);
    }
    return false;
}

// One authenticate() call, observed from the test.
struct Attempt {
    std::optional<QUrl> url;
    std::optional<OAuthError> error;
    bool done = false;
};

QCoro::Task<void> run(OAuthLoopbackListener &listener, QUrl authorizeURL, Attempt &attempt,
                      QString state = QStringLiteral("mornix_1"))
{
    try {
        attempt.url = co_await listener.authenticate(authorizeURL, state);
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
        QCOMPARE(OAuthManager::providerErrorText(*items), QString());
        // A provider's error as it reaches the status text: control characters gone, bounded.
        const auto denied = OAuthManager::callbackItems(QUrl(
            u"http://127.0.0.1:53682/oauth/callback?state=a&error=access%5Fdenied%0D&error_description=You%0Asaid+no"_s
            + QString(300, u'!')));
        QCOMPARE(OAuthManager::providerErrorText(*denied), u"access_denied: Yousaid no"_s + QString(200 - 10, u'!'));
    }

    void providerSignInWithoutClientFailsBeforeAnyBrowser()
    {
        int browserCalls = 0;
        OAuthManager::Options options;
        options.defaultClientID = u"default-client"_s;
        options.openBrowser = [&](const QUrl &) { return ++browserCalls > 0; };
        OAuthManager manager(options);
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
            {std::make_exception_ptr(OAuthError(K::providerError, u"access_denied: "_s + QString(120, u'd'))),
             u"oauth provider error: access_denied: "_s + QString(120 - 37, u'd'),
             u"sign-in provider reported an error"_s,
             {}},
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
        QCOMPARE(SignInFlows::failureTexts(cases[7].error, u"p"_s, u"ok"_s).lastCommand, u"network 5 at p"_s);
    }

    // The window's resolution rules are checked with its panel (tests/ui) and in the flows; here
    // what only the controller does: the chosen address is stored, a disabled window starts nothing.
    void windowStoresTheAddressAndIgnoresPressesWhileDisabled()
    {
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
        const auto defaults = std::make_shared<SettingsUserDefaults>();
        SignInWindowController::Settings settings{
            u"https://localhost:8443"_s, u"client"_s, u"localhost"_s, QUrl(), {}, defaults};
        SignInWindowController window(u" https://eu.example.test/x "_s, u"Box"_s, settings);
        std::optional<SignInRequest> request;
        auto task = [&]() -> QCoro::Task<void> { request = co_await window.present(); };
        auto running = task();
        window.signInGitHub();
        QCoro::waitFor(running);
        QCOMPARE(request->method.kind, SignInMethod::Kind::github);
        QCOMPARE(SignInPreferences::storedAPIBaseURL(*defaults),
                 std::optional<QString>(u"https://eu.example.test/x"_s));
        // The store the macOS agent's defaults map to: organisation "Veltro", application "VeltroMornix".
        QFile file(home.filePath(u"Veltro/VeltroMornix.conf"_s));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("eu.example.test/x"));
        // A value that is not text reads as none.
        QSettings(u"Veltro"_s, u"VeltroMornix"_s)
            .setValue(SignInPreferences::apiBaseURLKey, QStringList{u"a"_s, u"b"_s});
        QCOMPARE(SignInPreferences::storedAPIBaseURL(*defaults), std::nullopt);

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
        OAuthLoopbackListener listener(port, settings([&](const QUrl &url) {
                                           ++browserCalls;
                                           QTcpSocket probe;
                                           probe.connectToHost(QHostAddress::LocalHost, port);
                                           listeningWhenAsked = probe.waitForConnected(2000) && url == authorize;
                                           return true;
                                       }));
        Attempt attempt;
        run(listener, authorize, attempt);
        QTRY_COMPARE(browserCalls, 1);
        QVERIFY(listeningWhenAsked);

        QCOMPARE(rawExchange(port, getRequest("/favicon.ico")), kNotFound);
        QCOMPARE(rawExchange(port, "POST /oauth/callback?state=mornix_1&code=c HTTP/1.1\r\nContent-Length: 0\r\n\r\n"),
                 kNotFound);
        QCOMPARE(rawExchange(port, "GET\r\n\r\n"), kNotFound);
        QCOMPARE(rawExchange(port, getRequest("/oauth/callbackx?state=mornix_1&code=c")), kNotFound);
        QCOMPARE(rawExchange(port, QByteArray("\xff\xfe\x00garbage\r\n", 12)), kInvalid);
        QCOMPARE(rawExchange(port, "\r\n"), kInvalid);
        QCOMPARE(rawExchange(port, getRequest("/oauth/callback?code=c")), kInvalid);
        QCOMPARE(rawExchange(port, getRequest("/oauth/callback?state=&code=c")), kInvalid);
        QCOMPARE(rawExchange(port, getRequest("/oauth/callback?state=mornix_1&code=")), kInvalid);
        // Anyone who read the authorization URL's neighbourhood but not its state: refused, and
        // the first state decides.
        QCOMPARE(rawExchange(port, getRequest("/oauth/callback?state=mornix_2&code=c")), kWrongState);
        QCOMPARE(rawExchange(port, getRequest("/oauth/callback?state=mornix_2&state=mornix_1&code=c")), kWrongState);
        QCOMPARE(rawExchange(port, getRequest("/oauth/callback?state=mornix_1x&error=access_denied")), kWrongState);
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

        // The callback completes the attempt; its tab waits for the sign-in's outcome, its
        // request line and headers arriving apart as a browser may send them.
        const QByteArray target = "/oauth/callback?state=mornix_1&code=abc%2Fdef#ignored";
        QTcpSocket browser;
        browser.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(browser.waitForConnected(2000));
        browser.write("GET " + target + " HTTP/1.1\r\n");
        browser.flush();
        QTRY_VERIFY(attempt.done);
        browser.write("Host: 127.0.0.1\r\n\r\n");
        browser.flush();
        QVERIFY(!attempt.error);
        QCOMPARE(attempt.url->toString(QUrl::FullyEncoded),
                 u"http://127.0.0.1:%1"_s.arg(port) + QString::fromLatin1(target));
        QVERIFY(!browser.waitForReadyRead(300));
        listener.showSignedIn();
        QCOMPARE(answerOn(browser), kSignedIn);

        // Completing nothing, a late callback is told to look at the app.
        early.write(getRequest("/oauth/callback?state=mornix_1&code=second"));
        QCOMPARE(answerOn(early), kNeutral);
        QCOMPARE(attempt.url->query(), u"state=mornix_1&code=abc%2Fdef"_s);

        // Completed: the port is no longer listened on.
        QTcpSocket after;
        after.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!after.waitForConnected(1000));
        QCOMPARE(browserCalls, 1);
    }

    // The held callback tab is answered with what happened: signed in, a failure (escaped, the
    // first outcome wins), or the neutral page when no outcome comes in time or the listener is
    // released without one.
    void theCallbackTabShowsTheOutcome_data()
    {
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QByteArray>("page");
        QTest::newRow("registered") << u"signedIn"_s << kSignedIn;
        QTest::newRow("failed") << u"failure"_s
                                << expectedAnswer("200 OK", "Veltro sign-in failed",
                                                  "Not registered: &lt;500&gt; &amp; more. You can close this tab and "
                                                  "try again from the desktop app.");
        QTest::newRow("no outcome in time") << u"wait"_s << kNeutral;
        QTest::newRow("released without outcome") << u"released"_s << kNeutral;
    }

    void theCallbackTabShowsTheOutcome()
    {
        QFETCH(QString, outcome);
        QFETCH(QByteArray, page);
        const quint16 port = freeLoopbackPort();
        auto listener = std::make_unique<OAuthLoopbackListener>(
            port, settings([](const QUrl &) { return true; }, std::chrono::seconds(60),
                           std::chrono::milliseconds(outcome == "wait"_L1 ? 300 : 60000)));
        Attempt attempt;
        run(*listener, QUrl(u"https://localhost/a"_s), attempt);
        QTcpSocket browser;
        QVERIFY(connectWhenListening(browser, port));
        browser.write(getRequest("/oauth/callback?state=mornix_1&code=c"));
        QTRY_VERIFY(attempt.done);
        QVERIFY(attempt.url);
        if (outcome == "signedIn"_L1) {
            listener->showSignedIn();
        } else if (outcome == "failure"_L1) {
            listener->showFailure(u"Not registered: <500> & more."_s);
            listener->showSignedIn();
        } else if (outcome == "released"_L1) {
            QVERIFY(!browser.waitForReadyRead(200));
            listener.reset();
        }
        QCOMPARE(answerOn(browser), page);
    }

    // A second local user who read the authorization URL (state included) from the browser's
    // command line delivers a callback first: refused, and the user's own callback completes.
    void anotherUsersCallbackIsRefused()
    {
        if (::geteuid() != 0)
            QSKIP("acting as a second local user (uid 65534) needs root");
        const quint16 port = freeLoopbackPort();
        OAuthLoopbackListener listener(port, settings([](const QUrl &) { return true; }));
        Attempt attempt;
        run(listener, QUrl(u"https://localhost/a"_s), attempt, u"mornix_s"_s);
        QTcpSocket probe;
        QVERIFY(connectWhenListening(probe, port));
        probe.abort();

        const QString intruder =
            u"import socket, sys\n"
            "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
            "s.sendall(b'GET /oauth/callback?state=mornix_s&code=intruder HTTP/1.1\\r\\nHost: x\\r\\n\\r\\n')\n"
            "out = b''\n"
            "while True:\n"
            "    chunk = s.recv(65536)\n"
            "    if not chunk:\n"
            "        break\n"
            "    out += chunk\n"
            "sys.stdout.buffer.write(out)\n"_s;
        const ProcessResult refused =
            runProcess(u"setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                                      u"/usr/bin/python3"_s, u"-c"_s, intruder, QString::number(port)});
        QCOMPARE(refused.exitCode, 0);
        QCOMPARE(refused.standardOutput, kForeign);
        QTest::qWait(100);
        QVERIFY(!attempt.done);

        QTcpSocket own;
        own.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(own.waitForConnected(2000));
        own.write(getRequest("/oauth/callback?state=mornix_s&code=mine"));
        QTRY_VERIFY(attempt.done);
        QVERIFY(attempt.url);
        QCOMPARE(QUrlQuery(*attempt.url).queryItemValue(u"code"_s), u"mine"_s);
        listener.showSignedIn();
        QCOMPARE(answerOn(own), kSignedIn);
    }

    // The owner of a connection's other end, by netlink and by /proc/net: this user's while
    // the socket is held, unknown once it is gone.
    void socketOwnersFindTheConnectionsOtherEnd_data()
    {
        QTest::addColumn<bool>("netlink");
        QTest::newRow("sock_diag") << true;
        QTest::newRow("/proc/net/tcp") << false;
    }

    void socketOwnersFindTheConnectionsOtherEnd()
    {
        QFETCH(bool, netlink);
        const auto lookup = netlink ? &SockDiagSocketOwners::viaNetlink : &SockDiagSocketOwners::viaProcNet;
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(client.waitForConnected(2000));
        QVERIFY(server.waitForNewConnection(2000));
        QTcpSocket *accepted = server.nextPendingConnection();
        QVERIFY(accepted);
        const auto owner = [&] {
            return lookup(accepted->peerAddress(), accepted->peerPort(), accepted->localAddress(),
                          accepted->localPort());
        };
        QCOMPARE(owner(), std::optional<quint32>(::geteuid()));
        client.abort();  // reset: the peer's socket is gone
        QTRY_COMPARE(owner(), std::optional<quint32>());
    }

    // The listening socket fails after the browser was asked (no descriptor left for the
    // connection): the attempt ends at once, not at its time-out.
    void acceptFailureEndsTheAttemptAtOnce()
    {
        const quint16 port = freeLoopbackPort();
        bool asked = false;
        OAuthLoopbackListener listener(port,
                                       settings([&](const QUrl &) { return asked = true; }, std::chrono::seconds(120)));
        Attempt attempt;
        run(listener, QUrl(u"https://localhost/a"_s), attempt);
        QTRY_VERIFY(asked);

        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(client >= 0);
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        QVERIFY(lowestFree >= 0);
        ::close(lowestFree);
        // From here no new descriptor can be made in this process: accept() fails with EMFILE.
        rlimit exhausted = saved;
        exhausted.rlim_cur = rlim_t(lowestFree);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &exhausted), 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int connected = ::connect(client, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        const bool ended = QTest::qWaitFor([&] { return attempt.done; }, 10000);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        ::close(client);
        QCOMPARE(connected, 0);
        QVERIFY(ended);
        QVERIFY(attempt.error);
        QCOMPARE(attempt.error->kind(), OAuthError::Kind::callbackListenerFailed);
        QVERIFY2(!attempt.error->message().isEmpty(), qPrintable(attempt.error->message()));
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
        OAuthLoopbackListener listener(port,
                                       settings([&](const QUrl &) { return ++browserCalls, scenario != "browser"_L1; },
                                                std::chrono::milliseconds(scenario == "timeout"_L1 ? 300 : 60000)));
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
        OAuthLoopbackListener listener(port,
                                       settings([](const QUrl &) { return true; }, std::chrono::milliseconds(3000)));
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
                OAuthLoopbackListener listener(port, settings([](const QUrl &) { return true; }));
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
