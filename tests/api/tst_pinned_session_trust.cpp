#include "api/pinned_session.h"
#include "api/pinned_session_failure_store.h"
#include "api/transport_error.h"
#include "support/https_session.h"
#include "test_pki.h"
#include "tls_test_server.h"

#include <QFile>
#include <QTest>

#include <QCoroTask>

namespace mornix {

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

// With anchors of the build's own, a session first trusts only those and parses the system store
// only when a chain lacks an anchor: the same chains pass and fail as with both from the start.
// The "system store" here is a stand-in that holds the CA the build does not.
class PinnedSessionTrustTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestPki> m_pki;
    std::shared_ptr<PinnedSessionFailureStore> m_failures = std::make_shared<PinnedSessionFailureStore>();
    int m_widenings = 0;

    std::unique_ptr<TlsTestServer> serve(const QString &leaf)
    {
        return std::make_unique<TlsTestServer>(loadChain(m_pki->certificate(leaf)), loadKey(m_pki->key(leaf)),
                                               [](const CapturedRequest &request) {
                                                   return TlsTestServer::response(200, "got " + request.body);
                                               });
    }

    // systemHolds: the CAs the stand-in system store trusts.
    std::shared_ptr<PinnedSession> session(const QStringList &systemHolds)
    {
        const QByteArray ours = readAll(m_pki->certificate(QStringLiteral("ca")));
        QByteArray system;
        for (const QString &ca : systemHolds)
            system += readAll(m_pki->certificate(ca));
        m_widenings = 0;
        m_failures->take();
        return std::make_shared<PinnedSession>(
            PinnedSessionDelegate(QStringLiteral("localhost"), {}, m_failures),
            https_session::tlsConfiguration(ours, https_session::SystemAnchors::deferred), [this, ours, system] {
                ++m_widenings;
                return https_session::tlsConfiguration(ours + system, https_session::SystemAnchors::deferred);
            });
    }

    struct Outcome {
        std::optional<HTTPResponse> response;
        std::optional<TransportError> error;
    };
    static Outcome post(const std::shared_ptr<PinnedSession> &session, quint16 port, const QByteArray &body)
    {
        auto run = [](std::shared_ptr<PinnedSession> session, quint16 port, QByteArray body) -> QCoro::Task<Outcome> {
            HTTPRequest request;
            request.url = QUrl(QStringLiteral("https://localhost:%1/report").arg(port));
            request.method = "POST";
            request.body = body;
            try {
                HTTPResponse response = co_await session->send(request);
                co_return Outcome{std::move(response), std::nullopt};
            } catch (const TransportError &error) {
                co_return Outcome{std::nullopt, error};
            }
        };
        return QCoro::waitFor(run(session, port, body));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_pki = std::make_unique<TestPki>();
        QVERIFY(m_pki->isValid());
    }

    void chainUnderOurAnchorNeverReadsTheSystemStore()
    {
        const auto server = serve(QStringLiteral("ec"));
        const auto client = session({QStringLiteral("rogue-ca")});
        const Outcome outcome = post(client, server->port(), "a");
        QVERIFY(outcome.response);
        QCOMPARE(outcome.response->body, QByteArray("got a"));
        QCOMPARE(m_widenings, 0);
        QCOMPARE(server->handshakes(), 1);
    }

    // The request is sent again, once, and reaches the server once: the refused handshake
    // carried none of it. The session then keeps the full set.
    void chainUnderASystemAnchorPassesOnceTheStoreIsRead()
    {
        const auto server = serve(QStringLiteral("rogue"));
        const auto client = session({QStringLiteral("rogue-ca")});
        const Outcome first = post(client, server->port(), "body one");
        QVERIFY2(first.response, first.error ? first.error->what() : "no answer");
        QCOMPARE(first.response->body, QByteArray("got body one"));
        QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("ok")));
        QCOMPARE(server->requests().size(), 1);
        QCOMPARE(server->requests().at(0).body, QByteArray("body one"));

        QVERIFY(post(client, server->port(), "body two").response);
        QCOMPARE(m_widenings, 1);
        QCOMPARE(server->requests().size(), 2);
    }

    void chainUnderNoAnchorIsRefusedAsBefore()
    {
        const auto server = serve(QStringLiteral("rogue"));
        const auto client = session({});
        const Outcome outcome = post(client, server->port(), "secret");
        QVERIFY(outcome.error);
        QCOMPARE(outcome.error->code(), QNetworkReply::OperationCanceledError);
        QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("tls trust evaluation failed")));
        QCOMPARE(m_widenings, 1);
        QCOMPARE(server->applicationBytesReceived(), 0);
    }

    // A wrong name is no missing anchor: more anchors would not help, so none are read.
    void otherFailuresAreNotRetried()
    {
        const auto server = serve(QStringLiteral("wrong-name"));
        const auto client = session({QStringLiteral("ca")});
        const Outcome outcome = post(client, server->port(), "secret");
        QVERIFY(outcome.error);
        QCOMPARE(m_failures->take(), std::optional<QString>(QStringLiteral("tls trust evaluation failed")));
        QCOMPARE(m_widenings, 0);
        QCOMPARE(server->applicationBytesReceived(), 0);
    }

    void untrustedIssuerOnly()
    {
        const QSslCertificate leaf = loadChain(m_pki->certificate(QStringLiteral("rogue"))).value(0);
        using E = QSslError;
        QVERIFY(https_session::untrustedIssuerOnly({E(E::UnableToGetLocalIssuerCertificate, leaf)}));
        QVERIFY(https_session::untrustedIssuerOnly({E(E::SelfSignedCertificateInChain, leaf),
                                                    E(E::UnableToVerifyFirstCertificate, leaf)}));
        QVERIFY(!https_session::untrustedIssuerOnly({}));
        QVERIFY(!https_session::untrustedIssuerOnly({E(E::UnableToGetLocalIssuerCertificate, leaf),
                                                     E(E::HostNameMismatch, leaf)}));
        QVERIFY(!https_session::untrustedIssuerOnly({E(E::CertificateExpired, leaf)}));
        QVERIFY(!https_session::untrustedIssuerOnly({E(E::CertificateUntrusted, leaf)}));
    }
};

}  // namespace mornix

QTEST_GUILESS_MAIN(mornix::PinnedSessionTrustTest)
#include "tst_pinned_session_trust.moc"
