#include "api/api_client.h"

#include "api/api_exchange.h"
#include "api/transport_steps.h"
#include "support/crypto.h"

#include <QUrlQuery>

namespace mornix {

using namespace api_exchange;
using api_transport::buildURL;

namespace {

HTTPRequest tokenRequest(const QString &apiBaseURL, const QString &clientID, const QString &clientSecret,
                         QList<QPair<QString, QString>> fields)
{
    HTTPRequest request;
    request.method = "POST";
    request.url = buildURL(apiBaseURL, QStringLiteral("/token"));
    request.timeout = api_transport::operationTransferTimeout;
    request.setHeader("Content-Type", "application/x-www-form-urlencoded");
    if (!clientSecret.isEmpty()) {
        fields.append({QStringLiteral("client_secret"), clientSecret});
        request.setHeader("Authorization",
                          "Basic " + crypto::base64((clientID + QLatin1Char(':') + clientSecret).toUtf8()).toLatin1());
    }
    request.body = api_transport::formBody(fields);
    return request;
}

// The provider's token URL: "auth/v1/token" appended to supabase_url, with one grant_type item.
QUrl providerTokenURL(const QString &supabaseURL, const QString &grantType)
{
    QUrl url(supabaseURL, QUrl::StrictMode);
    if (supabaseURL.isEmpty() || !url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        throw APIError::badURL();
    QString path = url.path();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    url.setPath(path + QStringLiteral("auth/v1/token"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("grant_type"), grantType);
    url.setQuery(query);
    url.setFragment(QString());
    return url;
}

QCoro::Task<OAuthTokenResponse> providerToken(std::shared_ptr<PinnedSession> session, PublicAuthConfig config,
                                              QString grantType, QJsonObject body, QString decodePrefix,
                                              QPointer<CancellationToken> cancel)
{
    HTTPRequest request;
    request.method = "POST";
    request.url = providerTokenURL(config.supabase_url, grantType);
    request.timeout = api_transport::operationTransferTimeout;
    request.setHeader("Content-Type", "application/json");
    request.setHeader("apikey", config.supabase_public_key.toUtf8());
    request.body = compactJSON(body);
    const QByteArray answer = co_await sendValidated(std::move(session), std::move(request), cancel);
    co_return decode<OAuthTokenResponse>(answer, decodePrefix);
}

QCoro::Task<PublicAuthConfig> readPublicConfig(std::shared_ptr<PinnedSession> session, QString authBaseURL,
                                               QPointer<CancellationToken> cancel)
{
    HTTPRequest request;
    request.method = "GET";
    request.url = buildURL(authBaseURL, QStringLiteral("/api/public-config"));
    const QByteArray answer = co_await sendValidated(std::move(session), std::move(request), cancel);
    co_return decode<PublicAuthConfig>(answer, QStringLiteral("Failed to decode public auth config: "));
}

}  // namespace

APIClient::APIClient(std::shared_ptr<PinnedSession> session, Collaborators collaborators)
    : m_session(std::move(session))
    , m_collaborators(std::move(collaborators))
{
}

QCoro::Task<PublicAuthConfig> APIClient::fetchPublicAuthConfig(QString authBaseURL,
                                                               QPointer<CancellationToken> cancel) const
{
    return readPublicConfig(m_session, std::move(authBaseURL), std::move(cancel));
}

QCoro::Task<OAuthTokenResponse> APIClient::exchangeAuthorizationCode(QString apiBaseURL, QString clientID,
                                                                     QString clientSecret, QString code,
                                                                     QString codeVerifier, QString redirectURI,
                                                                     QPointer<CancellationToken> cancel) const
{
    HTTPRequest request = tokenRequest(apiBaseURL, clientID, clientSecret,
                                       {{QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
                                        {QStringLiteral("client_id"), clientID},
                                        {QStringLiteral("code"), code},
                                        {QStringLiteral("redirect_uri"), redirectURI},
                                        {QStringLiteral("code_verifier"), codeVerifier}});
    const std::shared_ptr<PinnedSession> session = m_session;
    const QByteArray answer = co_await sendValidated(session, std::move(request), cancel);
    co_return decode<OAuthTokenResponse>(answer, QStringLiteral("Failed to decode OAuth token response: "));
}

QCoro::Task<OAuthTokenResponse> APIClient::refreshAccessToken(QString apiBaseURL, QString clientID,
                                                              QString clientSecret, QString refreshToken,
                                                              QPointer<CancellationToken> cancel) const
{
    HTTPRequest request = tokenRequest(apiBaseURL, clientID, clientSecret,
                                       {{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
                                        {QStringLiteral("client_id"), clientID},
                                        {QStringLiteral("refresh_token"), refreshToken}});
    const std::shared_ptr<PinnedSession> session = m_session;
    const QByteArray answer = co_await sendValidated(session, std::move(request), cancel);
    co_return decode<OAuthTokenResponse>(answer, QStringLiteral("Failed to decode refreshed OAuth token response: "));
}

QCoro::Task<OAuthTokenResponse> APIClient::exchangePasswordCredentials(QString authBaseURL, QString email,
                                                                       QString password,
                                                                       QPointer<CancellationToken> cancel) const
{
    const std::shared_ptr<PinnedSession> session = m_session;
    PublicAuthConfig config = co_await readPublicConfig(session, std::move(authBaseURL), cancel);
    QJsonObject body{{QStringLiteral("email"), email}, {QStringLiteral("password"), password}};
    OAuthTokenResponse token =
        co_await providerToken(session, std::move(config), QStringLiteral("password"), std::move(body),
                               QStringLiteral("Failed to decode password OAuth response: "), cancel);
    co_return token;
}

QCoro::Task<OAuthTokenResponse> APIClient::refreshSupabaseAccessToken(QString authBaseURL, QString refreshToken,
                                                                      QPointer<CancellationToken> cancel) const
{
    const std::shared_ptr<PinnedSession> session = m_session;
    PublicAuthConfig config = co_await readPublicConfig(session, std::move(authBaseURL), cancel);
    QJsonObject body{{QStringLiteral("refresh_token"), refreshToken}};
    OAuthTokenResponse token =
        co_await providerToken(session, std::move(config), QStringLiteral("refresh_token"), std::move(body),
                               QStringLiteral("Failed to decode Supabase refresh response: "), cancel);
    co_return token;
}

}  // namespace mornix
