#pragma once

#include "api/wire_records.h"

#include <QString>

#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace mornix {

// How a token was obtained; the raw value is what a credential record stores as authKind.
enum class AuthKind { oauthGateway, supabasePassword, supabaseProvider };
QString authKindRawValue(AuthKind kind);

// The failures of a sign-in attempt (the OAuth manager and the loopback listener). The error
// carries no user-facing text: the flows turn each case into their own texts.
class OAuthError : public std::exception {
public:
    enum class Kind {
        callbackListenerFailed,  // message(): the underlying reason
        invalidBaseURL,
        invalidAuthorizeURL,
        invalidCallback,
        missingCode,
        missingToken,
        missingClientCredentials,
        stateMismatch,
        canceled,
        failedToStart,
        callbackTimedOut,
        providerError,  // the provider's redirect carried `error`; message(): error and description
    };

    explicit OAuthError(Kind kind, QString message = {});
    static OAuthError callbackListenerFailed(const QString &message)
    {
        return OAuthError(Kind::callbackListenerFailed, message);
    }

    Kind kind() const { return m_kind; }
    QString message() const { return m_message; }
    const char *what() const noexcept override { return m_what.c_str(); }  // diagnostics only

    bool operator==(const OAuthError &other) const { return m_kind == other.m_kind && m_message == other.m_message; }

private:
    Kind m_kind;
    QString m_message;
    std::string m_what;
};

// The sign-in method handed to the OAuth manager.
struct OAuthAuthenticationMethod {
    enum class Kind { google, github, password };
    Kind kind = Kind::google;
    QString email;     // password only
    QString password;  // password only

    static OAuthAuthenticationMethod google() { return {Kind::google, {}, {}}; }
    static OAuthAuthenticationMethod github() { return {Kind::github, {}, {}}; }
    static OAuthAuthenticationMethod passwordPair(QString email, QString password)
    {
        return {Kind::password, std::move(email), std::move(password)};
    }
};

class OAuthLoopbackListener;

// The outcome of one sign-in attempt.
struct AuthResult {
    OAuthTokenResponse token;
    QString clientID;
    AuthKind kind = AuthKind::oauthGateway;
    // Provider sign-ins: the listener holding the browser's callback tab until the caller
    // shows the outcome (showSignedIn, showFailure); releasing it shows a neutral page.
    std::shared_ptr<OAuthLoopbackListener> callbackPage;
};

}  // namespace mornix
