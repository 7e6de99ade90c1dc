#pragma once

#include "api/http_exchange.h"
#include "api/pinned_session_failure_store.h"
#include "support/cancellation.h"
#include "support/config.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>

#include <QCoroTask>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace mornix {

// Why makePinnedSession refused a base URL.
class PinnedSessionError : public std::exception {
public:
    enum class Kind { invalidAPIBaseURL, insecureScheme, disallowedHost };

    explicit PinnedSessionError(Kind kind)
        : m_kind(kind)
    {
    }
    Kind kind() const { return m_kind; }
    const char *what() const noexcept override;  // the case name

private:
    Kind m_kind;
};

// The checks run on every TLS connection of one session, in this order: the connection's host
// equals the session's host; the server passed trust evaluation (system anchors plus the
// build's extra anchors, default policy for the host); the leaf key can be extracted; its
// pin is in the pin set when one is configured. Every outcome is recorded in the failure store
// (when there is one). Thread-safe (immutable after construction; the store locks).
class PinnedSessionDelegate {
public:
    enum class Outcome { ok, hostMismatch, trustEvaluationFailed, leafKeyExtractionFailed, pinMismatch };

    // failures: where outcomes are recorded; null: nowhere.
    PinnedSessionDelegate(const QString &allowedHost, const QSet<QString> &pinnedSPKIHashes,
                          std::shared_ptr<PinnedSessionFailureStore> failures);

    const QString &allowedHost() const { return m_allowedHost; }
    const QSet<QString> &pinnedSPKIHashes() const { return m_pinnedSPKIHashes; }

    // Runs the checks for one connection and records the outcome. trustPassed tells whether the
    // TLS stack's verification of the chain succeeded; chain starts with the leaf.
    Outcome evaluate(const QString &connectionHost, bool trustPassed, const QList<QSslCertificate> &chain) const;
    // Records and returns hostMismatch unless host is the session's host (then ok, unrecorded).
    Outcome checkHost(const QString &host) const;

    static QString outcomeText(Outcome outcome);

private:
    void record(Outcome outcome) const;

    QString m_allowedHost;
    QSet<QString> m_pinnedSPKIHashes;
    std::shared_ptr<PinnedSessionFailureStore> m_failures;
};

// An ephemeral HTTPS session bound to one host and one trust policy. It owns its own network
// access manager (connections are reused only within the session, so a connection is checked
// once, when it is made). No cookies, no cache, no stored credentials; redirects are followed
// only to the same host over HTTPS.
// Thread: create, use and destroy on one thread that runs an event loop (the main thread).
class PinnedSession : public QObject, public std::enable_shared_from_this<PinnedSession> {
    Q_OBJECT
public:
    // Inactivity limit of a request that names none of its own.
    static constexpr std::chrono::milliseconds defaultTransferTimeout{25000};
    static constexpr std::chrono::milliseconds resourceTimeout{50000};  // whole exchange

    // widerTrust: when set, tlsConfiguration leaves part of the trusted anchors out (the system
    // store, see https_session::SystemAnchors) and this gives the full configuration. It is asked
    // for once, the first time a handshake fails only for want of an anchor; that request is then
    // sent again (nothing of it reached the server) and the session keeps the full configuration.
    PinnedSession(PinnedSessionDelegate delegate, QSslConfiguration tlsConfiguration,
                  std::function<QSslConfiguration()> widerTrust = {});
    ~PinnedSession() override;

    const PinnedSessionDelegate &delegate() const { return m_delegate; }
    QString allowedHost() const { return m_delegate.allowedHost(); }

    // Sends one request and waits for the whole answer. Raises TransportError for failures below
    // HTTP (a refused TLS check gives OperationCanceledError, cancelling through the token too).
    // An HTTP error status is an answer, not a failure. The session stays alive until it returns.
    QCoro::Task<HTTPResponse> send(HTTPRequest request, QPointer<CancellationToken> cancel = {});

private:
    struct ReplyState;
    void watch(QNetworkReply *reply, const std::shared_ptr<ReplyState> &state);
    void refuse(QNetworkReply *reply, const std::shared_ptr<ReplyState> &state);

    PinnedSessionDelegate m_delegate;
    QSslConfiguration m_tlsConfiguration;
    std::function<QSslConfiguration()> m_widerTrust;  // empty once taken (or never given)
    QNetworkAccessManager *m_manager;
};

// Makes a session for the host of apiBaseURL (not trimmed). Fails with PinnedSessionError when
// the text is no URL, the scheme is not https, or the host is not one of config's allowed hosts.
// failures: where its TLS check outcomes are recorded (null: nowhere).
std::shared_ptr<PinnedSession> makePinnedSession(const QString &apiBaseURL, const Config &config,
                                                 std::shared_ptr<PinnedSessionFailureStore> failures);

}  // namespace mornix
