#pragma once

#include "signin/oauth_loopback_listener.h"
#include "signin/oauth_types.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <memory>
#include <optional>

namespace mornix {

class APIClient;

// Turns one sign-in attempt into an access token for the service: a password pair exchanged
// directly, or a provider sign-in (authorization code with PKCE S256) in the user's browser,
// answered on the loopback listener. No retries: every failure ends the attempt.
// Thread: main thread; attempts suspend while the browser and the token requests run.
class OAuthManager : public QObject {
    Q_OBJECT
public:
    static inline const QString redirectURI = QStringLiteral("veltro-mornix://oauth/callback");
    static inline const QString authorizePathComponent = QStringLiteral("authorize/external");
    static inline const QString scope = QStringLiteral("mcp:tools");
    static inline const QString statePrefix = QStringLiteral("mornix_");
    static inline const QString verifierAlphabet =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~");
    static constexpr quint32 loopbackPort = 53682;

    struct Options {
        QString defaultClientID;  // the build's OAuth client identifier
        OAuthLoopbackListener::OpenBrowser openBrowser;
        // Who owns a callback connection's other end (the composition root's port).
        std::shared_ptr<const SocketOwners> socketOwners;
        quint32 port = loopbackPort;  // tests may not change what users get
        std::chrono::milliseconds callbackTimeout = OAuthLoopbackListener::defaultTimeout;
        std::chrono::milliseconds outcomeWait = OAuthLoopbackListener::defaultOutcomeWait;
    };

    explicit OAuthManager(Options options, QObject *parent = nullptr);

    // One attempt. Throws OAuthError, or what the API client throws, unchanged. A provider
    // sign-in that fails after its callback has shown the browser what failed; on success the
    // result's callbackPage waits for the caller's outcome.
    QCoro::Task<AuthResult> authenticateOnce(QString authBaseURL, std::shared_ptr<const APIClient> apiClient,
                                             OAuthAuthenticationMethod method, std::optional<QString> oauthClientID,
                                             std::optional<QString> oauthClientSecret);

    // `length` clamped to 43..128; every character drawn uniformly from the 66-character
    // alphabet with the system's secure random source (rejection sampling).
    static QString randomCodeVerifier(int length);
    // Base64url without padding of SHA-256 over the verifier's UTF-8 bytes (43 characters).
    static QString codeChallengeS256(const QString &verifier);

    // The authorization URL for a provider sign-in; invalid when it cannot be formed.
    static QUrl authorizeURL(const QString &trimmedBaseURL, const QString &clientID, const QString &state,
                             const QString &challenge, const QString &provider);
    // The callback's items: the query's, then those of a non-empty fragment read as a query.
    // A value is absent when the item has no "=". nullopt when the URL cannot be split.
    using CallbackItems = QList<QPair<QString, std::optional<QString>>>;
    static std::optional<CallbackItems> callbackItems(const QUrl &callbackURL);
    // A provider's error redirect: "error" or "error: description", cleaned of control
    // characters and bounded (64 and 200 characters). Empty when the items carry no `error`.
    static QString providerErrorText(const CallbackItems &items);

    const Options &options() const { return m_options; }

private:
    Options m_options;
};

}  // namespace mornix
