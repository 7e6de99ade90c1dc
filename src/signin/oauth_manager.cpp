#include "signin/oauth_manager.h"

#include "api/api_client.h"
#include "support/crypto.h"
#include "support/text_cleaning.h"

#include <QUrlQuery>

namespace mornix {

namespace {

QString trimmed(const QString &text)
{
    return text.trimmed();
}

bool parsesAsURL(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return !text.isEmpty() && url.isValid() && !url.scheme().isEmpty();
}

// Items of a query text in order; "name" alone has an absent value.
OAuthManager::CallbackItems queryItems(const QString &query)
{
    OAuthManager::CallbackItems items;
    for (const QString &pair : query.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        const auto decode = [](QString part) {
            part.replace(QLatin1Char('+'), QLatin1Char(' '));
            return QUrl::fromPercentEncoding(part.toUtf8());
        };
        if (equals < 0)
            items.append({decode(pair), std::nullopt});
        else
            items.append({decode(pair.left(equals)), decode(pair.mid(equals + 1))});
    }
    return items;
}

std::optional<QString> firstValue(const OAuthManager::CallbackItems &items, const QString &name, bool *found)
{
    for (const auto &item : items) {
        if (item.first == name) {
            *found = true;
            return item.second;
        }
    }
    *found = false;
    return std::nullopt;
}

}  // namespace

OAuthManager::OAuthManager(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
}

QString OAuthManager::randomCodeVerifier(int length)
{
    const int count = std::clamp(length, 43, 128);
    const qsizetype alphabetSize = verifierAlphabet.size();  // 66
    const int limit = 256 - (256 % int(alphabetSize));       // 198: unbiased bytes
    QString verifier;
    verifier.reserve(count);
    while (verifier.size() < count) {
        const QByteArray bytes = crypto::randomBytes(count * 2);
        if (bytes.isEmpty())
            qFatal("the system's secure random source failed");
        for (const char byte : bytes) {
            const int value = static_cast<unsigned char>(byte);
            if (value >= limit)
                continue;
            verifier.append(verifierAlphabet.at(value % alphabetSize));
            if (verifier.size() == count)
                break;
        }
    }
    return verifier;
}

QString OAuthManager::codeChallengeS256(const QString &verifier)
{
    QString challenge = crypto::base64(crypto::sha256(verifier.toUtf8()));
    challenge.replace(QLatin1Char('+'), QLatin1Char('-'));
    challenge.replace(QLatin1Char('/'), QLatin1Char('_'));
    challenge.remove(QLatin1Char('='));
    return challenge;
}

QUrl OAuthManager::authorizeURL(const QString &trimmedBaseURL, const QString &clientID, const QString &state,
                                const QString &challenge, const QString &provider)
{
    QUrl url(trimmedBaseURL, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return {};
    QString path = url.path(QUrl::FullyEncoded);
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    url.setPath(path + authorizePathComponent, QUrl::StrictMode);
    QUrlQuery query;
    query.setQueryItems({{QStringLiteral("response_type"), QStringLiteral("code")},
                         {QStringLiteral("client_id"), clientID},
                         {QStringLiteral("redirect_uri"), redirectURI},
                         {QStringLiteral("state"), state},
                         {QStringLiteral("code_challenge"), challenge},
                         {QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
                         {QStringLiteral("scope"), scope},
                         {QStringLiteral("provider"), provider}});
    url.setQuery(query);
    return url.isValid() ? url : QUrl();
}

std::optional<OAuthManager::CallbackItems> OAuthManager::callbackItems(const QUrl &callbackURL)
{
    if (!callbackURL.isValid())
        return std::nullopt;
    CallbackItems items = queryItems(callbackURL.query(QUrl::FullyEncoded));
    const QString fragment = callbackURL.fragment(QUrl::FullyEncoded);
    if (!fragment.isEmpty())
        items.append(queryItems(fragment));
    return items;
}

QString OAuthManager::providerErrorText(const CallbackItems &items)
{
    bool found = false;
    const std::optional<QString> error = firstValue(items, QStringLiteral("error"), &found);
    const QString code = sanitizeLog(error.value_or(QString()), 64);
    if (code.isEmpty())
        return {};
    const std::optional<QString> description = firstValue(items, QStringLiteral("error_description"), &found);
    const QString detail = sanitizeLog(description.value_or(QString()), 200);
    return detail.isEmpty() ? code : code + QStringLiteral(": ") + detail;
}

QCoro::Task<AuthResult> OAuthManager::authenticateOnce(QString authBaseURL, std::shared_ptr<const APIClient> apiClient,
                                                       OAuthAuthenticationMethod method,
                                                       std::optional<QString> oauthClientID,
                                                       std::optional<QString> oauthClientSecret)
{
    const QString baseURL = trimmed(authBaseURL);
    if (!parsesAsURL(baseURL))
        throw OAuthError(OAuthError::Kind::invalidBaseURL);

    if (method.kind == OAuthAuthenticationMethod::Kind::password) {
        OAuthTokenResponse token =
            co_await apiClient->exchangePasswordCredentials(baseURL, method.email, method.password);
        const QString clientID = oauthClientID ? trimmed(*oauthClientID) : m_options.defaultClientID;
        co_return AuthResult{std::move(token), clientID, AuthKind::supabasePassword, nullptr};
    }

    const QString clientID = oauthClientID ? trimmed(*oauthClientID) : QString();
    if (clientID.isEmpty())
        throw OAuthError(OAuthError::Kind::missingClientCredentials);

    const QString state = statePrefix + crypto::randomUUIDLower();
    const QString verifier = randomCodeVerifier(64);
    const QString challenge = codeChallengeS256(verifier);
    const QString provider =
        method.kind == OAuthAuthenticationMethod::Kind::google ? QStringLiteral("google") : QStringLiteral("github");
    const QUrl authorize = authorizeURL(baseURL, clientID, state, challenge, provider);
    if (!authorize.isValid() || authorize.isEmpty())
        throw OAuthError(OAuthError::Kind::invalidAuthorizeURL);

    // Kept past the callback: the browser's tab waits for the outcome.
    OAuthLoopbackListener::Settings settings{m_options.openBrowser, m_options.socketOwners, m_options.callbackTimeout,
                                             m_options.outcomeWait};
    const auto listener = std::make_shared<OAuthLoopbackListener>(m_options.port, settings);
    const QUrl callback = co_await listener->authenticate(authorize, state);

    const std::optional<CallbackItems> items = callbackItems(callback);
    if (!items) {
        listener->showFailure(
            QStringLiteral("The sign-in callback could not be read. This computer was not registered."));
        throw OAuthError(OAuthError::Kind::invalidCallback);
    }
    bool found = false;
    const std::optional<QString> returnedState = firstValue(*items, QStringLiteral("state"), &found);
    if (!found || !returnedState || *returnedState != state) {
        listener->showFailure(
            QStringLiteral("The sign-in callback does not belong to this sign-in. This computer was not registered."));
        throw OAuthError(OAuthError::Kind::stateMismatch);
    }
    const std::optional<QString> code = firstValue(*items, QStringLiteral("code"), &found);
    if (!found || !code || code->isEmpty()) {
        // The provider said why (the user denied access, say): that is the failure to report.
        const QString providerError = providerErrorText(*items);
        if (!providerError.isEmpty()) {
            listener->showFailure(QStringLiteral("The sign-in provider reported an error (") + providerError
                                  + QStringLiteral("). This computer was not registered."));
            throw OAuthError(OAuthError::Kind::providerError, providerError);
        }
        listener->showFailure(
            QStringLiteral("The sign-in callback carried no authorization code. This computer was not registered."));
        throw OAuthError(OAuthError::Kind::missingCode);
    }

    const QString secret = oauthClientSecret ? trimmed(*oauthClientSecret) : QString();
    const QString codeValue = *code;
    const QString redirect = redirectURI;
    std::optional<OAuthTokenResponse> token;
    std::exception_ptr failure;
    try {
        token = co_await apiClient->exchangeAuthorizationCode(baseURL, clientID, secret, codeValue, verifier, redirect);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        listener->showFailure(
            QStringLiteral("The service did not issue a token for this sign-in. This computer was not registered."));
        std::rethrow_exception(failure);
    }
    co_return AuthResult{std::move(*token), clientID, AuthKind::oauthGateway, listener};
}

}  // namespace mornix
