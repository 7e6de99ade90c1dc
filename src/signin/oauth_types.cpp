#include "signin/oauth_types.h"

namespace mornix {

namespace {

const char *kindName(OAuthError::Kind kind)
{
    switch (kind) {
    case OAuthError::Kind::callbackListenerFailed: return "callbackListenerFailed";
    case OAuthError::Kind::invalidBaseURL: return "invalidBaseURL";
    case OAuthError::Kind::invalidAuthorizeURL: return "invalidAuthorizeURL";
    case OAuthError::Kind::invalidCallback: return "invalidCallback";
    case OAuthError::Kind::missingCode: return "missingCode";
    case OAuthError::Kind::missingToken: return "missingToken";
    case OAuthError::Kind::missingClientCredentials: return "missingClientCredentials";
    case OAuthError::Kind::stateMismatch: return "stateMismatch";
    case OAuthError::Kind::canceled: return "canceled";
    case OAuthError::Kind::failedToStart: return "failedToStart";
    case OAuthError::Kind::callbackTimedOut: return "callbackTimedOut";
    case OAuthError::Kind::providerError: return "providerError";
    }
    return "unknown";
}

}  // namespace

QString authKindRawValue(AuthKind kind)
{
    switch (kind) {
    case AuthKind::oauthGateway: return QStringLiteral("oauth-gateway");
    case AuthKind::supabasePassword: return QStringLiteral("supabase-password");
    case AuthKind::supabaseProvider: return QStringLiteral("supabase-provider");
    }
    return {};
}

OAuthError::OAuthError(Kind kind, QString message)
    : m_kind(kind)
    , m_message(std::move(message))
    , m_what(std::string("OAuthError.") + kindName(kind) + (m_message.isEmpty() ? "" : ": " + m_message.toStdString()))
{
}

}  // namespace mornix
