// The pinned session against in-process TLS servers: base URL rules, trust, pins (leaf keys
// cross-checked with openssl), redirects, other hosts, cancellation, and the system store read
// only when a chain lacks one of the build's anchors.
#include "api/leaf_key.h"
#include "api/pinned_session.h"
#include "api/pinned_session_failure_store.h"
#include "api_test_run.h"
#include "support/crypto.h"
#include "support/https_session.h"
#include "support/test_files.h"
#include "test_pki.h"
#include "tls_test_server.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

namespace mornix {

namespace {

// One request through the session (a POST when `body` is given), run to its end.
OperationResult<HTTPResponse> fetch(const std::shared_ptr<PinnedSession> &session, const QUrl &url,
                                    QPointer<CancellationToken> token = {},
                                    std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                                    const QByteArray &body = {})
{
    HTTPRequest request;
    request.url = url;
    if (timeout)
        request.timeout = *timeout;
    if (!body.isEmpty()) {
        request.method = "POST";
        request.body = body;
    }

    return runOperation<HTTPResponse>([=] { return session->send(request, token); });
}

QUrl url(quint16 port, const QString &path, const QString &host = QStringLiteral("localhost"))
{
    return QUrl(QStringLiteral("https://%1:%2%3").arg(host).arg(port).arg(path));
}

}  // namespace

class PinnedSessionTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TestPki> m_pki;
    std::shared_ptr<PinnedSessionFailureStore> m_failures = std::make_shared<PinnedSessionFailureStore>();
    int m_widenings = 0;

    std::unique_ptr<TlsTestServer> serve(const QString &leaf, TlsTestServer::Handler handler) const
    {
        return std::make_unique<TlsTestServer>(loadChain(m_pki->certificate(leaf)), loadKey(m_pki->key(leaf)),
                                               std::move(handler));
    }

    // A session for "https://localhost:<port>"; the failure store starts empty.
    std::shared_ptr<PinnedSession> localSession(quint16 port) const
    {
        m_failures->take();
        return makePinnedSession(QStringLiteral("https://localhost:%1").arg(port), m_pki->config(), m_failures);
    }

    // A session for localhost that trusts the test CA first and widens to it plus the stand-in
    // system store holding `systemHolds` (counted in m_widenings).
    std::shared_ptr<PinnedSession> wideningSession(const QStringList &systemHolds)
    {
        const QByteArray ours = readFile(m_pki->certificate(QStringLiteral("ca")));
        QByteArray system;
        for (const QString &ca : systemHolds)
            system += readFile(m_pki->certificate(ca));
        m_widenings = 0;
        m_failures->take();
        return std::make_shared<PinnedSession>(
            PinnedSessionDelegate(QStringLiteral("localhost"), {}, m_failures),
            https_session::tlsConfiguration(ours, https_session::SystemAnchors::deferred), [this, ours, system] {
                ++m_widenings;
                return https_session::tlsConfiguration(ours + system, https_session::SystemAnchors::deferred);
            });
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_pki = std::make_unique<TestPki>();
        QVERIFY(m_pki->isValid());
    }

    void factoryRefusesBadBaseURLs_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind");
        using K = PinnedSessionError::Kind;
        QTest::newRow("empty") << QString() << int(K::invalidAPIBaseURL);
        QTest::newRow("unparsable") << QStringLiteral("https://local host:8443") << int(K::invalidAPIBaseURL);
        QTest::newRow("leading space, not trimmed")
            << QStringLiteral(" https://localhost") << int(K::invalidAPIBaseURL);
        QTest::newRow("http on an allowed host") << QStringLiteral("http://localhost:8443") << int(K::insecureScheme);
        QTest::newRow("no scheme") << QStringLiteral("//localhost:8443") << int(K::insecureScheme);
        QTest::newRow("ftp") << QStringLiteral("ftp://localhost") << int(K::insecureScheme);
        QTest::newRow("host not allowed") << QStringLiteral("https://evil.example") << int(K::disallowedHost);
        QTest::newRow("allowed host as a suffix")
            << QStringLiteral("https://localhost.evil.example") << int(K::disallowedHost);
        QTest::newRow("no host") << QStringLiteral("https:/path") << int(K::disallowedHost);
    }

    void factoryRefusesBadBaseURLs()
    {
        QFETCH(QString, text);
        QFETCH(int, kind);
        try {
            makePinnedSession(text, m_pki->config(), m_failures);
            QFAIL("a session was made");
        } catch (const PinnedSessionError &error) {
            QCOMPARE(int(error.kind()), kind);
        }
    }

    void factoryAcceptsAllowedHostsInAnyCase()
    {
        const auto session =
            makePinnedSession(QStringLiteral("https://LocalHost:8443/some/path"), m_pki->config(), m_failures);
        QCOMPARE(session->allowedHost(), QStringLiteral("localhost"));
    }

    // A certificate that carries its EC point compressed is pinned by the uncompressed point, as
    // openssl computes it. (EC and RSA pins are matched against openssl's in pins().)
    void compressedPointIsPinnedUncompressed()
    {
        const auto key = leafKeyRepresentation(loadChain(m_pki->certificate(QStringLiteral("ec-compressed"))).value(0));
        QVERIFY(key && key->size() == 65 && key->at(0) == '\x04');
        QCOMPARE(crypto::sha256Hex(*key), m_pki->opensslPin(QStringLiteral("ec-compressed")));
    }

    void untrustedServersAreRefusedBeforeAnyRequestByte_data()
    {
        QTest::addColumn<QString>("leaf");
        QTest::newRow("unknown CA") << QStringLiteral("rogue");
        QTest::newRow("certificate for another host name") << QStringLiteral("wrong-name");
    }

    void untrustedServersAreRefusedBeforeAnyRequestByte()
    {
        QFETCH(QString, leaf);
        const auto server = serve(leaf, [](const CapturedRequest &) { return TlsTestServer::response(200, "{}"); });
        const auto exchange = fetch(localSession(server->port()), url(server->port(), QStringLiteral("/x")));
        QVERIFY(exchange.transportError);
        QCOMPARE(exchange.transportError->code(), QNetworkReply::OperationCanceledError);
        QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("tls trust evaluation failed")));
        QCOMPARE(m_failures->take(), std::nullopt);  // told once
        QCOMPARE(server->applicationBytesReceived(), 0);
    }

    void pins_data()
    {
        QTest::addColumn<QString>("leaf");
        QTest::addColumn<bool>("listed");
        QTest::newRow("EC leaf, pin listed") << QStringLiteral("ec") << true;
        QTest::newRow("EC leaf, pin not listed") << QStringLiteral("ec") << false;
        QTest::newRow("RSA leaf, pin listed") << QStringLiteral("rsa") << true;
        QTest::newRow("RSA leaf, pin not listed") << QStringLiteral("rsa") << false;
    }

    void pins()
    {
        QFETCH(QString, leaf);
        QFETCH(bool, listed);
        const auto owned = serve(leaf, [](const CapturedRequest &) { return TlsTestServer::response(200, "pinned"); });
        TlsTestServer &server = *owned;
        // The listed pin is the one openssl computes, written upper-case; the other one belongs to
        // a different leaf of the same CA.
        const QString other = leaf == QLatin1String("ec") ? QStringLiteral("rsa") : QStringLiteral("ec");
        const QSet<QString> pins{listed ? m_pki->opensslPin(leaf).toUpper() : m_pki->opensslPin(other)};
        const auto session = makePinnedSession(QStringLiteral("https://127.0.0.1:%1").arg(server.port()),
                                               m_pki->config(pins), m_failures);
        const QUrl target = url(server.port(), QStringLiteral("/pinned"), QStringLiteral("127.0.0.1"));
        m_failures->take();
        const auto first = fetch(session, target);
        if (listed) {
            QVERIFY(first.value);
            QCOMPARE(first.value->body, QByteArray("pinned"));
            QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("ok")));
            return;
        }
        QVERIFY(first.transportError);
        QCOMPARE(first.transportError->code(), QNetworkReply::OperationCanceledError);
        QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("tls pin mismatch")));
        // The handshake completed (the pin was checked), yet not one request byte reached the server.
        QCOMPARE(server.applicationBytesReceived(), 0);

        // The refused connection is not reused: the next request is checked (and refused) again.
        const auto second = fetch(session, target);
        QVERIFY(second.transportError);
        QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("tls pin mismatch")));
        QCOMPARE(server.applicationBytesReceived(), 0);
        QVERIFY(server.requests().isEmpty());
    }

    void leafKeyThatCannotBeExtractedIsRefused()
    {
        // An Ed25519 leaf has no EC point and no RSA key: the check cannot compute a pin.
        QProcess server;
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(QStringLiteral("openssl"),
                     {QStringLiteral("s_server"), QStringLiteral("-accept"), QStringLiteral("0"),
                      QStringLiteral("-www"), QStringLiteral("-cert"), m_pki->certificate(QStringLiteral("ed25519")),
                      QStringLiteral("-key"), m_pki->key(QStringLiteral("ed25519"))});
        QVERIFY(server.waitForStarted());
        QByteArray output;
        const QRegularExpression accept(QStringLiteral("ACCEPT \\S*:(\\d+)"));
        QRegularExpressionMatch match;
        QTRY_VERIFY_WITH_TIMEOUT(
            (output += server.readAll(), match = accept.match(QString::fromLatin1(output))).hasMatch(), 10000);
        const QString port = match.captured(1);

        const auto exchange = fetch(localSession(port.toUShort()), url(port.toUShort(), QStringLiteral("/")));
        QVERIFY(exchange.transportError);
        QCOMPARE(exchange.transportError->code(), QNetworkReply::OperationCanceledError);
        QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("tls leaf key extraction failed")));
        server.kill();
        server.waitForFinished();
    }

    void redirects()
    {
        quint16 port = 0;
        const QHash<QByteArray, QByteArray> redirects{{"/same-host", "https://localhost:"},
                                                      {"/other-host", "https://127.0.0.1:"},
                                                      {"/plain-http", "http://localhost:"}};
        const auto owned = serve(QStringLiteral("ec"), [&](const CapturedRequest &request) {
            if (!redirects.contains(request.target))
                return TlsTestServer::response(200, "landed");
            return TlsTestServer::response(
                302, {}, {{"Location", redirects[request.target] + QByteArray::number(port) + "/landing"}});
        });
        TlsTestServer &server = *owned;
        port = server.port();
        const auto session = localSession(port);
        const auto same = fetch(session, url(port, QStringLiteral("/same-host")));
        QVERIFY(same.value);
        QCOMPARE(same.value->body, QByteArray("landed"));

        const auto other = fetch(session, url(port, QStringLiteral("/other-host")));
        QVERIFY(other.transportError);
        QCOMPARE(other.transportError->code(), QNetworkReply::OperationCanceledError);
        QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("tls host mismatch")));

        const auto downgrade = fetch(session, url(port, QStringLiteral("/plain-http")));
        QVERIFY(downgrade.transportError);

        // Every request the server saw named the session's host and asked for an uncompressed
        // answer (redirects included); the landing page was fetched only through the same-host
        // redirect.
        for (const CapturedRequest &request : server.requests()) {
            QCOMPARE(request.header("Host"), "localhost:" + QByteArray::number(port));
            QCOMPARE(request.header("Accept-Encoding"), QByteArray("identity"));
        }
        const auto landings = std::count_if(server.requests().cbegin(), server.requests().cend(),
                                            [](const CapturedRequest &r) { return r.target == "/landing"; });
        QCOMPARE(landings, 1);
    }

    void requestForAnotherHostNeverConnects()
    {
        const auto server =
            serve(QStringLiteral("ec"), [](const CapturedRequest &) { return TlsTestServer::response(200, "{}"); });
        const auto session = localSession(server->port());
        const auto exchange = fetch(session, url(server->port(), QStringLiteral("/x"), QStringLiteral("127.0.0.1")));
        QVERIFY(exchange.transportError);
        QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("tls host mismatch")));
        // Plain HTTP is never sent, not even to the session's own host.
        const auto plain = fetch(session, QUrl(QStringLiteral("http://localhost:%1/x").arg(server->port())));
        QVERIFY(plain.transportError);
        QCOMPARE(server->handshakes(), 0);
        QCOMPARE(server->applicationBytesReceived(), 0);
    }

    // A server that takes the request and never answers: cancelling the token ends the wait at once,
    // and without a token the inactivity timeout ends it.
    void cancellationAndSilenceEndTheExchange()
    {
        const auto server = serve(QStringLiteral("ec"), [](const CapturedRequest &) { return QByteArray(); });
        const auto session = localSession(server->port());
        CancellationToken token;
        QTimer::singleShot(300, &token, &CancellationToken::cancel);
        const auto cancelled = fetch(session, url(server->port(), QStringLiteral("/wait")), &token);
        QVERIFY(cancelled.transportError);
        QCOMPARE(cancelled.transportError->code(), QNetworkReply::OperationCanceledError);

        const auto silent =
            fetch(session, url(server->port(), QStringLiteral("/silent")), {}, std::chrono::milliseconds(400));
        QVERIFY(silent.transportError);
        QCOMPARE(silent.transportError->code(), QNetworkReply::TimeoutError);
        QCOMPARE(server->requests().size(), 2);
    }

    void systemStoreReadOnlyForAMissingAnchor_data()
    {
        QTest::addColumn<QString>("leaf");
        QTest::addColumn<QStringList>("systemHolds");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("widenings");
        QTest::newRow("chain under our anchor")
            << QStringLiteral("ec") << QStringList{"rogue-ca"} << QStringLiteral("ok") << 0;
        QTest::newRow("chain under a system anchor")
            << QStringLiteral("rogue") << QStringList{"rogue-ca"} << QStringLiteral("ok") << 1;
        QTest::newRow("chain under no anchor")
            << QStringLiteral("rogue") << QStringList() << QStringLiteral("tls trust evaluation failed") << 1;
        // A wrong name is no missing anchor: more anchors would not help, so none are read.
        QTest::newRow("wrong name") << QStringLiteral("wrong-name") << QStringList{"ca"}
                                    << QStringLiteral("tls trust evaluation failed") << 0;
    }

    // A request refused for a missing anchor is sent again, once, after the store is read, and
    // reaches the server once: the refused handshake carried none of it. The session keeps the
    // wider set, and a checked connection is reused.
    void systemStoreReadOnlyForAMissingAnchor()
    {
        QFETCH(QString, leaf);
        QFETCH(QStringList, systemHolds);
        QFETCH(QString, outcome);
        QFETCH(int, widenings);
        const auto server = serve(
            leaf, [](const CapturedRequest &request) { return TlsTestServer::response(200, "got " + request.body); });
        const auto session = wideningSession(systemHolds);
        const QUrl target = url(server->port(), QStringLiteral("/report"));
        const auto first = fetch(session, target, {}, std::nullopt, "body one");
        QCOMPARE(m_failures->take(), std::optional<QString>(outcome));
        QCOMPARE(m_widenings, widenings);
        if (outcome != QLatin1String("ok")) {
            QVERIFY(first.transportError);
            QCOMPARE(first.transportError->code(), QNetworkReply::OperationCanceledError);
            QCOMPARE(server->applicationBytesReceived(), 0);
            return;
        }
        QVERIFY2(first.value, first.describe());
        QCOMPARE(first.value->body, QByteArray("got body one"));
        QCOMPARE(server->requests().size(), 1);
        QCOMPARE(server->requests().at(0).body, QByteArray("body one"));
        QVERIFY(fetch(session, target, {}, std::nullopt, "body two").value);
        QCOMPARE(m_widenings, widenings);
        QCOMPARE(server->requests().size(), 2);
        if (widenings == 0)
            QCOMPARE(server->handshakes(), 1);
    }

    void untrustedIssuerOnly()
    {
        const QSslCertificate leaf = loadChain(m_pki->certificate(QStringLiteral("rogue"))).value(0);
        using E = QSslError;
        QVERIFY(https_session::untrustedIssuerOnly({E(E::UnableToGetLocalIssuerCertificate, leaf)}));
        QVERIFY(https_session::untrustedIssuerOnly(
            {E(E::SelfSignedCertificateInChain, leaf), E(E::UnableToVerifyFirstCertificate, leaf)}));
        QVERIFY(!https_session::untrustedIssuerOnly({}));
        QVERIFY(!https_session::untrustedIssuerOnly(
            {E(E::UnableToGetLocalIssuerCertificate, leaf), E(E::HostNameMismatch, leaf)}));
        QVERIFY(!https_session::untrustedIssuerOnly({E(E::CertificateExpired, leaf)}));
        QVERIFY(!https_session::untrustedIssuerOnly({E(E::CertificateUntrusted, leaf)}));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(PinnedSessionTest)
#include "tst_pinned_session.moc"
