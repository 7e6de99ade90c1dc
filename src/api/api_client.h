#pragma once

#include "api/api_error.h"
#include "api/http_exchange.h"
#include "api/pinned_session.h"
#include "api/transport_error.h"
#include "api/wire_records.h"
#include "support/cancellation.h"

#include <QPointer>
#include <QString>

#include <QCoroTask>

#include <functional>
#include <memory>

// The program's only HTTP client for the service and the hosted sign-in provider. It owns
// nothing but its pinned session; every operation builds one request, sends it on that session
// and decodes the answer. Operations raise APIError for answers they cannot use and
// TransportError (unchanged) for failures below HTTP; the client never retries.
// Thread: the thread that owns the session (the main thread). Operations may run concurrently;
// each keeps the session alive until it returns, so a client may be replaced while they run.
// Every operation takes an optional cancellation token that aborts its request.
class APIClient {
public:
    // Receives the lines the client writes to the operational log (claim preflight).
    using OperationalLog = std::function<void(const QString &line)>;

    explicit APIClient(std::shared_ptr<PinnedSession> session, OperationalLog log = {});

    const std::shared_ptr<PinnedSession> &session() const { return m_session; }

    // Service sign-in configuration: GET "/api/public-config" on the auth base URL.
    QCoro::Task<PublicAuthConfig> fetchPublicAuthConfig(QString authBaseURL, QPointer<CancellationToken> cancel = {}) const;

    // The service's OAuth token endpoint (POST "/token", form body). An empty client secret
    // means none: no Basic authorisation and no "client_secret" field.
    QCoro::Task<OAuthTokenResponse> exchangeAuthorizationCode(QString apiBaseURL, QString clientID,
                                                              QString clientSecret, QString code,
                                                              QString codeVerifier, QString redirectURI,
                                                              QPointer<CancellationToken> cancel = {}) const;
    QCoro::Task<OAuthTokenResponse> refreshAccessToken(QString apiBaseURL, QString clientID, QString clientSecret,
                                                       QString refreshToken, QPointer<CancellationToken> cancel = {}) const;

    // The hosted sign-in provider's token endpoint, found through the public configuration read
    // from authBaseURL; sent on this client's session, so its host must be the session's.
    QCoro::Task<OAuthTokenResponse> exchangePasswordCredentials(QString authBaseURL, QString email, QString password,
                                                                QPointer<CancellationToken> cancel = {}) const;
    QCoro::Task<OAuthTokenResponse> refreshSupabaseAccessToken(QString authBaseURL, QString refreshToken,
                                                               QPointer<CancellationToken> cancel = {}) const;

private:
    std::shared_ptr<PinnedSession> m_session;
    OperationalLog m_log;
};
