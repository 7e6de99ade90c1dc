#include "signin/token_refresh.h"

#include "api/api_client.h"
#include "commands/controller_state.h"
#include "identity/keychain_store.h"
#include "signin/signin_logging.h"
#include "support/blocking_call.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QPointer>

#include <QCoroFuture>

namespace mornix {

TokenRefresh::TokenRefresh(ControllerState &state, PinnedAPIClients clients, std::shared_ptr<KeychainStore> keychain,
                           QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_clients(std::move(clients))
    , m_keychain(std::move(keychain))
{
}

QCoro::Task<std::optional<DeviceCredentials>> TokenRefresh::refreshIfNeeded(DeviceCredentials credentials, bool force)
{
    const QPointer<TokenRefresh> self(this);
    const std::optional<DeviceCredentials> unchanged =
        force ? std::nullopt : std::optional<DeviceCredentials>(credentials);
    if (!m_state.serviceClient() || !credentials.refreshToken)
        co_return unchanged;
    if (!force) {
        if (!credentials.tokenExpiresAt)
            co_return credentials;
        if (*credentials.tokenExpiresAt - 60.0 > double(QDateTime::currentSecsSinceEpoch()))
            co_return credentials;
    }
    std::optional<DeviceCredentials> renewed;
    try {
        renewed = co_await renew(credentials);
    } catch (const std::exception &error) {
        qCInfo(lcSignIn) << "token refresh failed:" << error.what();
    } catch (...) {
        qCInfo(lcSignIn) << "token refresh failed";
    }
    if (!self)
        co_return std::nullopt;
    if (!renewed)
        co_return unchanged;
    m_state.setCredentials(renewed);
    co_return renewed;
}

QCoro::Task<DeviceCredentials> TokenRefresh::renew(DeviceCredentials credentials)
{
    const QString refreshBaseURL = credentials.authBaseURL.value_or(credentials.apiBaseURL);
    const QString refreshToken = *credentials.refreshToken;
    const QString defaultClientID = m_clients.config.defaultOAuthClientID;
    // The refresh goes to the refresh base URL, on a session pinned to that origin.
    const std::shared_ptr<const APIClient> client = m_clients.make(refreshBaseURL);
    const std::shared_ptr<KeychainStore> keychain = m_keychain;
    const QString kind = credentials.authKind.value_or(QString());
    OAuthTokenResponse token;
    if (kind == QLatin1String("supabase-password") || kind == QLatin1String("supabase-provider")) {
        token = co_await client->refreshSupabaseAccessToken(refreshBaseURL, refreshToken);
    } else {
        const QString clientID = credentials.oauthClientID.value_or(defaultClientID);
        const QString noSecret;
        token = co_await client->refreshAccessToken(refreshBaseURL, clientID, noSecret, refreshToken);
    }

    DeviceCredentials next = credentials;
    next.bearerToken = token.access_token;
    next.refreshToken = token.refresh_token ? token.refresh_token : credentials.refreshToken;
    next.tokenExpiresAt =
        token.expires_in ? std::optional<double>(double(QDateTime::currentSecsSinceEpoch()) + double(*token.expires_in))
                         : std::nullopt;
    next.oauthClientID = credentials.oauthClientID.value_or(defaultClientID);
    QFuture<void> save = startBlockingCall([keychain, next] { keychain->saveCredentials(next); });
    co_await save;
    co_return next;
}

}  // namespace mornix
