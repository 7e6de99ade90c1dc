#include "api/pinned_session.h"

#include "api/api_logging.h"
#include "api/leaf_key.h"
#include "api/pinned_session_failure_store.h"
#include "api/transport_error.h"
#include "support/crypto.h"
#include "support/https_session.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QTimer>

#include <QCoroNetworkReply>

// How the checks run before any request byte is sent, with Qt's network stack:
// - The host check runs before a request is handed to the network manager (a request for
//   another host never opens a connection) and on every redirect (redirect policy
//   UserVerifiedRedirectPolicy; each `redirected` is answered with redirectAllowed() or abort()).
// - Trust evaluation is the TLS handshake's own verification against the session's CA list
//   (system anchors plus the build's extra anchors) with host-name checking. A failure arrives
//   as `sslErrors`; the errors are never ignored, so the handshake is torn down.
// - Leaf key and pin checks run in `QNetworkReply::encrypted`, which Qt emits once per new
//   connection after the handshake and before it writes the request; aborting the reply from
//   that slot drops the request unsent (Qt documents this contract for `encrypted`), and the
//   aborted connection is closed, never reused for a later request (both covered by tests).
// HTTP/2 is disabled so that every request travels on a connection checked this way.

namespace mornix {

using https_session::ReplyDeleter;

const char *PinnedSessionError::what() const noexcept
{
    switch (m_kind) {
    case Kind::invalidAPIBaseURL: return "invalidAPIBaseURL";
    case Kind::insecureScheme: return "insecureScheme";
    case Kind::disallowedHost: return "disallowedHost";
    }
    return "PinnedSessionError";
}

PinnedSessionDelegate::PinnedSessionDelegate(const QString &allowedHost, const QSet<QString> &pinnedSPKIHashes,
                                             std::shared_ptr<PinnedSessionFailureStore> failures)
    : m_allowedHost(allowedHost.toLower())
    , m_failures(std::move(failures))
{
    for (const QString &pin : pinnedSPKIHashes)
        m_pinnedSPKIHashes.insert(pin.toLower());
}

QString PinnedSessionDelegate::outcomeText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::ok: return QStringLiteral("ok");
    case Outcome::hostMismatch: return QStringLiteral("tls host mismatch");
    case Outcome::trustEvaluationFailed: return QStringLiteral("tls trust evaluation failed");
    case Outcome::leafKeyExtractionFailed: return QStringLiteral("tls leaf key extraction failed");
    case Outcome::pinMismatch: return QStringLiteral("tls pin mismatch");
    }
    return {};
}

void PinnedSessionDelegate::record(Outcome outcome) const
{
    if (m_failures)
        m_failures->set(outcomeText(outcome));
}

PinnedSessionDelegate::Outcome PinnedSessionDelegate::checkHost(const QString &host) const
{
    if (host.toLower() == m_allowedHost)
        return Outcome::ok;
    record(Outcome::hostMismatch);
    return Outcome::hostMismatch;
}

PinnedSessionDelegate::Outcome PinnedSessionDelegate::evaluate(const QString &connectionHost, bool trustPassed,
                                                               const QList<QSslCertificate> &chain) const
{
    const Outcome outcome = [&] {
        if (connectionHost.toLower() != m_allowedHost)
            return Outcome::hostMismatch;
        if (!trustPassed)
            return Outcome::trustEvaluationFailed;
        if (chain.isEmpty())
            return Outcome::leafKeyExtractionFailed;
        const std::optional<QByteArray> key = leafKeyRepresentation(chain.first());
        if (!key || key->isEmpty())
            return Outcome::leafKeyExtractionFailed;
        if (!m_pinnedSPKIHashes.isEmpty() && !m_pinnedSPKIHashes.contains(crypto::sha256Hex(*key)))
            return Outcome::pinMismatch;
        return Outcome::ok;
    }();
    record(outcome);
    return outcome;
}

struct PinnedSession::ReplyState {
    bool narrowTrust = false;      // sent before the session took its wider trust
    bool wantsWiderTrust = false;  // refused by the narrow trust for want of an anchor only
    bool refused = false;          // a TLS or redirect check refused the exchange
    bool timedOut = false;         // the resource timeout fired
    bool cancelled = false;        // the caller's token was cancelled
};

PinnedSession::PinnedSession(PinnedSessionDelegate delegate, QSslConfiguration tlsConfiguration,
                             std::function<QSslConfiguration()> widerTrust)
    : m_delegate(std::move(delegate))
    , m_tlsConfiguration(std::move(tlsConfiguration))
    , m_widerTrust(std::move(widerTrust))
    , m_manager(new QNetworkAccessManager(this))
{
    https_session::configureManager(m_manager);
}

PinnedSession::~PinnedSession() = default;

void PinnedSession::refuse(QNetworkReply *reply, const std::shared_ptr<ReplyState> &state)
{
    state->refused = true;
    reply->abort();
}

void PinnedSession::watch(QNetworkReply *reply, const std::shared_ptr<ReplyState> &state)
{
    connect(reply, &QNetworkReply::sslErrors, this, [this, reply, state](const QList<QSslError> &errors) {
        // Not ignoring the errors ends the handshake. A chain that only lacks an anchor under
        // the narrow trust is tried again under the full one; anything else is recorded here.
        if (state->narrowTrust && https_session::untrustedIssuerOnly(errors)) {
            state->wantsWiderTrust = true;
            return;
        }
        QList<QSslCertificate> chain;
        for (const QSslError &error : errors) {
            if (!error.certificate().isNull()) {
                chain.append(error.certificate());
                break;
            }
        }
        const auto outcome = m_delegate.evaluate(reply->url().host(), false, chain);
        qCWarning(lcApi) << "TLS connection refused:" << PinnedSessionDelegate::outcomeText(outcome);
        state->refused = true;
    });
    connect(reply, &QNetworkReply::encrypted, this, [this, reply, state] {
        const auto outcome =
            m_delegate.evaluate(reply->url().host(), true, reply->sslConfiguration().peerCertificateChain());
        if (outcome != PinnedSessionDelegate::Outcome::ok) {
            qCWarning(lcApi) << "TLS connection refused:" << PinnedSessionDelegate::outcomeText(outcome);
            refuse(reply, state);
        }
    });
    connect(reply, &QNetworkReply::redirected, this, [this, reply, state](const QUrl &target) {
        if (target.scheme().toLower() != QLatin1String("https")) {
            qCWarning(lcApi) << "refused a redirect that leaves HTTPS";
            refuse(reply, state);
            return;
        }
        if (m_delegate.checkHost(target.host()) != PinnedSessionDelegate::Outcome::ok) {
            qCWarning(lcApi) << "refused a redirect to another host";
            refuse(reply, state);
            return;
        }
        Q_EMIT reply->redirectAllowed();
    });

    auto *resourceTimer = new QTimer(reply);
    resourceTimer->setSingleShot(true);
    connect(resourceTimer, &QTimer::timeout, reply, [reply, state] {
        state->timedOut = true;
        reply->abort();
    });
    resourceTimer->start(resourceTimeout);
}

QCoro::Task<HTTPResponse> PinnedSession::send(HTTPRequest request, QPointer<CancellationToken> cancel)
{
    const std::shared_ptr<PinnedSession> self = shared_from_this();  // alive until the exchange ends

    if (request.url.scheme().toLower() != QLatin1String("https"))
        throw TransportError(QNetworkReply::ProtocolUnknownError,
                             QStringLiteral("A pinned session sends nothing but HTTPS requests"));
    if (m_delegate.checkHost(request.url.host()) != PinnedSessionDelegate::Outcome::ok)
        throw TransportError(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
    if (cancel && cancel->isCancelled())
        throw TransportError(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));

    for (int attempt = 1;; ++attempt) {
        QNetworkRequest networkRequest(request.url);
        for (const auto &[name, value] : std::as_const(request.headers))
            networkRequest.setRawHeader(name, value);
        // Answers uncompressed: they are small JSON, which a compressor (brotli above all) costs
        // both ends more time and memory to pack and unpack than it saves on the wire, and a
        // compressed answer that carries a token beside text an attacker can influence is what
        // length-based attacks on TLS (BREACH) read.
        if (!networkRequest.hasRawHeader("Accept-Encoding"))
            networkRequest.setRawHeader("Accept-Encoding", "identity");
        networkRequest.setSslConfiguration(m_tlsConfiguration);
        networkRequest.setTransferTimeout(static_cast<int>(request.timeout.value_or(defaultTransferTimeout).count()));
        networkRequest.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        networkRequest.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        networkRequest.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        networkRequest.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        networkRequest.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        networkRequest.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);

        const QByteArray method = request.method.isEmpty() ? QByteArrayLiteral("GET") : request.method.toUpper();
        std::unique_ptr<QNetworkReply, ReplyDeleter> reply(
            request.body.isEmpty() && method == "GET"
                ? m_manager->get(networkRequest)
                : m_manager->sendCustomRequest(networkRequest, method, request.body));
        auto state = std::make_shared<ReplyState>();
        state->narrowTrust = attempt == 1 && m_widerTrust;
        watch(reply.get(), state);
        if (cancel) {
            QNetworkReply *raw = reply.get();
            connect(cancel.data(), &CancellationToken::cancelled, raw, [raw, state] {
                state->cancelled = true;
                raw->abort();
            });
        }

        co_await reply.get();

        const QNetworkReply::NetworkError error = reply->error();
        if (state->wantsWiderTrust && error != QNetworkReply::NoError && !state->timedOut && !state->cancelled) {
            // Once per session: parse the full set of anchors and send the request again.
            if (m_widerTrust) {
                qCInfo(lcApi) << "no anchor of the build's own for" << request.url.host()
                              << "- trusting the system store too";
                m_tlsConfiguration = std::exchange(m_widerTrust, nullptr)();
                // A cached connection keeps the configuration it was made with.
                m_manager->clearConnectionCache();
            }
            continue;
        }
        // Codes below 200 are failures of the connection, TLS or proxy, never an HTTP status.
        if (error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied) {
            if (state->timedOut)
                throw TransportError(QNetworkReply::TimeoutError, QStringLiteral("The request timed out"));
            if (state->refused || state->cancelled)
                throw TransportError(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
            if (error == QNetworkReply::OperationCanceledError)  // Qt's inactivity timeout aborts the reply
                throw TransportError(QNetworkReply::TimeoutError, QStringLiteral("The request timed out"));
            throw TransportError(error, reply->errorString());
        }

        HTTPResponse response;
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid())
            response.status = status.toInt();
        else if (error != QNetworkReply::NoError)
            throw TransportError(error, reply->errorString());
        response.headers = reply->rawHeaderPairs();
        response.body = reply->readAll();
        co_return response;
    }
}

std::shared_ptr<PinnedSession> makePinnedSession(const QString &apiBaseURL, const Config &config,
                                                 std::shared_ptr<PinnedSessionFailureStore> failures)
{
    const QUrl url(apiBaseURL, QUrl::StrictMode);
    if (apiBaseURL.isEmpty() || !url.isValid())
        throw PinnedSessionError(PinnedSessionError::Kind::invalidAPIBaseURL);
    if (url.scheme().toLower() != QLatin1String("https"))
        throw PinnedSessionError(PinnedSessionError::Kind::insecureScheme);
    const QString host = url.host().toLower();
    if (host.isEmpty() || !config.allowedAPIHosts.contains(host))
        throw PinnedSessionError(PinnedSessionError::Kind::disallowedHost);

    // With anchors of the build's own, the system store is parsed only if a chain needs it.
    std::function<QSslConfiguration()> widerTrust;
    if (!config.extraTLSAnchorsPEM.isEmpty())
        widerTrust = [pem = config.extraTLSAnchorsPEM] { return https_session::tlsConfiguration(pem); };
    return std::make_shared<PinnedSession>(
        PinnedSessionDelegate(host, config.pinnedSPKIHashes, std::move(failures)),
        https_session::tlsConfiguration(config.extraTLSAnchorsPEM, https_session::SystemAnchors::deferred),
        std::move(widerTrust));
}

}  // namespace mornix
