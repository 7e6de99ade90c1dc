// The loopback listener over real sockets: exact answers, stray requests, completion once,
// the time-out, a taken port, and the browser asked only once listening.
#include "signin/oauth_loopback_listener.h"

#include "listener_client.h"

#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QUrlQuery>
#include <QTcpServer>
#include <QTest>

#include <QCoroTask>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

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

class OAuthLoopbackListenerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
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

        // The "Not found." page: 10 bytes of message inside the fixed page.
        const QByteArray favicon = rawExchange(port, getRequest("/favicon.ico"));
        QCOMPARE(favicon, kNotFound);
        const qsizetype headEnd = favicon.indexOf("\r\n\r\n") + 4;
        QVERIFY(favicon.contains("Content-Length: " + QByteArray::number(favicon.size() - headEnd) + "\r\n"));
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

    void errorRedirectCompletesTheWait()
    {
        const quint16 port = freeLoopbackPort();
        bool asked = false;
        OAuthLoopbackListener listener(port, [&](const QUrl &) { return asked = true; });
        Attempt attempt;
        run(listener, QUrl(u"https://localhost/a"_s), attempt);
        QTRY_VERIFY2(asked || attempt.done, attempt.error ? attempt.error->what() : "");
        QVERIFY2(!attempt.done, attempt.error ? attempt.error->what() : "");
        QCOMPARE(rawExchange(port, getRequest("/oauth/callback?error=access_denied&state=s")), kCompleted);
        QTRY_VERIFY(attempt.done);
        QCOMPARE(QUrlQuery(*attempt.url).queryItemValue(u"error"_s), u"access_denied"_s);
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

QTEST_GUILESS_MAIN(OAuthLoopbackListenerTest)
#include "tst_oauth_loopback_listener.moc"
