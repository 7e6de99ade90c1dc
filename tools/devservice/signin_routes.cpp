// Sign-in: the public configuration, the service's OAuth authorization and token endpoints
// (authorization code with PKCE S256, refresh) and the hosted provider's token endpoint
// (password and refresh grants). Every path signs in the one dev user.
#include "faults.h"
#include "http_util.h"
#include "routes.h"
#include "signatures.h"
#include "tokens.h"
#include "util.h"

#include <QByteArray>

#include <map>
#include <regex>

#ifndef MORNIX_OAUTH_CLIENT_ID
#error "MORNIX_OAUTH_CLIENT_ID must name the registered OAuth client"
#endif

namespace mornix {

namespace devservice {

namespace {

constexpr std::int64_t kCodeSeconds = 300;
constexpr const char *kScope = "mcp:tools";

struct OAuthError {
    int status;
    std::string error;
    std::string description;
};

void sendOAuthError(httplib::Response &res, const OAuthError &error)
{
    sendJson(res, error.status,
             QJsonObject{{"error", QString::fromStdString(error.error)},
                         {"error_description", QString::fromStdString(error.description)},
                         {"message", QString::fromStdString(error.description)}});
}

// application/x-www-form-urlencoded: '+' is a space, %XX escapes; a repeated name is refused.
std::optional<std::map<std::string, std::string>> parseForm(const std::string &body)
{
    std::map<std::string, std::string> fields;
    size_t start = 0;
    while (start <= body.size() && !body.empty()) {
        const size_t end = std::min(body.find('&', start), body.size());
        std::string pair = body.substr(start, end - start);
        start = end + 1;
        if (pair.empty())
            continue;
        for (char &c : pair) {
            if (c == '+')
                c = ' ';
        }
        const size_t equals = pair.find('=');
        const auto name = percentDecode(pair.substr(0, equals));
        const auto value = percentDecode(equals == std::string::npos ? std::string() : pair.substr(equals + 1));
        if (!name || !value || fields.count(*name))
            return std::nullopt;
        fields[*name] = *value;
    }
    return fields;
}

bool isCodeVerifier(const std::string &verifier)
{
    static const std::regex pattern("^[A-Za-z0-9._~-]{43,128}$");
    return std::regex_match(verifier, pattern);
}

QJsonObject tokenResponse(const std::string &accessToken, const std::string &refreshToken, const char *tokenType)
{
    return QJsonObject{{"access_token", QString::fromStdString(accessToken)},
                       {"token_type", tokenType},
                       {"expires_in", static_cast<int>(kAccessTokenSeconds)},
                       {"refresh_token", QString::fromStdString(refreshToken)},
                       {"scope", kScope}};
}

std::string singleParam(const httplib::Request &req, const char *name)
{
    if (req.get_param_value_count(name) > 1)
        refuse(400, "invalid_request", std::string("query parameter repeated: ") + name);
    return req.get_param_value(name);
}

// --- /authorize/external --------------------------------------------------------------------

void handleAuthorize(State &state, const httplib::Request &req, httplib::Response &res)
{
    const std::string clientId = singleParam(req, "client_id");
    const std::string redirectURI = singleParam(req, "redirect_uri");
    const std::string oauthState = singleParam(req, "state");
    // Without a registered client, redirect URI and state there is nowhere safe to send the
    // browser: answer here.
    if (clientId != MORNIX_OAUTH_CLIENT_ID)
        refuse(400, "invalid_client", "unknown client_id");
    if (redirectURI != kRedirectURI)
        refuse(400, "invalid_request", "redirect_uri is not registered for this client");
    if (oauthState.empty())
        refuse(400, "invalid_request", "state is required");

    auto redirect = [&](const std::string &query) {
        res.status = 302;
        res.set_header("Location",
                       std::string(kLoopbackCallback) + "?" + query + "&state=" + percentEncode(oauthState));
        res.set_header("Cache-Control", "no-store");
        res.set_content("<!doctype html><title>Veltro</title><p>Returning to the desktop app...</p>", "text/html");
    };
    auto redirectError = [&](const std::string &error, const std::string &description) {
        redirect("error=" + error + "&error_description=" + percentEncode(description));
    };

    if (singleParam(req, "response_type") != "code")
        return redirectError("unsupported_response_type", "response_type must be code");
    if (singleParam(req, "code_challenge_method") != "S256")
        return redirectError("invalid_request", "code_challenge_method must be S256");
    const std::string challenge = singleParam(req, "code_challenge");
    static const std::regex challengePattern("^[A-Za-z0-9_-]{43}$");
    if (!std::regex_match(challenge, challengePattern))
        return redirectError("invalid_request", "code_challenge must be 43 characters of base64url");
    if (singleParam(req, "scope") != kScope)
        return redirectError("invalid_scope", "scope must be mcp:tools");
    const std::string provider = singleParam(req, "provider");
    if (provider != "google" && provider != "github")
        return redirectError("invalid_request", "provider must be google or github");

    // The dev user is signed in and consents at once.
    const std::string code = randomToken("vac_");
    state.locked([&](Database &db) {
        Statement insert(db, "INSERT INTO auth_codes (code_hash, client_id, redirect_uri, code_challenge, scope, "
                             "user_id, expires_at) VALUES (?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, sha256Hex(code))
            .bind(2, clientId)
            .bind(3, redirectURI)
            .bind(4, challenge)
            .bind(5, std::string(kScope))
            .bind(6, state.identity().userId)
            .bind(7, nowSeconds() + kCodeSeconds)
            .run();
    });
    redirect("code=" + percentEncode(code));
}

// --- /token ---------------------------------------------------------------------------------

QJsonObject exchangeToken(State &state, const httplib::Request &req)
{
    if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) != 0)
        throw OAuthError{400, "invalid_request", "Content-Type must be application/x-www-form-urlencoded"};
    const auto form = parseForm(req.body);
    if (!form)
        throw OAuthError{400, "invalid_request", "malformed form body"};
    auto field = [&](const char *name) {
        const auto it = form->find(name);
        return it == form->end() ? std::string() : it->second;
    };
    // A public client: it has no secret, so any presented secret is wrong.
    if (req.has_header("Authorization") || form->count("client_secret"))
        throw OAuthError{401, "invalid_client", "client authentication failed"};
    const std::string clientId = field("client_id");
    if (clientId != MORNIX_OAUTH_CLIENT_ID)
        throw OAuthError{401, "invalid_client", "unknown client_id"};

    const std::string grantType = field("grant_type");
    if (grantType == "authorization_code") {
        const std::string code = field("code");
        const std::string redirectURI = field("redirect_uri");
        const std::string verifier = field("code_verifier");
        if (code.empty() || redirectURI.empty() || verifier.empty())
            throw OAuthError{400, "invalid_request", "code, redirect_uri and code_verifier are required"};
        if (!isCodeVerifier(verifier))
            throw OAuthError{400, "invalid_request", "code_verifier must be 43 to 128 unreserved characters"};
        return state.locked([&](Database &db) {
            Transaction transaction(db);
            Statement select(db, "SELECT client_id, redirect_uri, code_challenge, user_id, expires_at, used "
                                 "FROM auth_codes WHERE code_hash = ?");
            select.bind(1, sha256Hex(code));
            if (!select.step() || select.integer(4) < nowSeconds())
                throw OAuthError{400, "invalid_grant", "authorization code is invalid, expired or already used"};
            if (select.integer(5) != 0) {
                // A code presented twice may have been stolen: everything issued from it goes.
                revokeTokensOfCode(db, sha256Hex(code));
                transaction.commit();
                throw OAuthError{400, "invalid_grant", "authorization code is invalid, expired or already used"};
            }
            if (select.text(0) != clientId)
                throw OAuthError{400, "invalid_grant", "authorization code was issued to another client"};
            if (select.text(1) != redirectURI)
                throw OAuthError{400, "invalid_grant", "redirect_uri does not match previously seen redirect URI"};
            if (codeChallengeS256(verifier) != select.text(2))
                throw OAuthError{400, "invalid_grant", "code_verifier does not match the code challenge"};
            const std::string userId = select.text(3);
            Statement used(db, "UPDATE auth_codes SET used = 1 WHERE code_hash = ?");
            used.bind(1, sha256Hex(code)).run();
            const std::string access = issueAccessToken(db, userId, "oauth", kAccessTokenSeconds, sha256Hex(code));
            const std::string refresh = issueRefreshToken(db, "oauth", clientId, userId, sha256Hex(code));
            transaction.commit();
            return tokenResponse(access, refresh, "Bearer");
        });
    }
    if (grantType == "refresh_token") {
        const std::string token = field("refresh_token");
        if (token.empty())
            throw OAuthError{400, "invalid_request", "refresh_token is required"};
        return state.locked([&](Database &db) {
            Transaction transaction(db);
            const auto grant = redeemRefreshToken(db, "oauth", token);
            if (!grant || grant->clientId != clientId)
                throw OAuthError{400, "invalid_grant", "refresh token is invalid, expired or already used"};
            const std::string access =
                issueAccessToken(db, grant->userId, "oauth", kAccessTokenSeconds, grant->codeHash);
            const std::string refresh = issueRefreshToken(db, "oauth", clientId, grant->userId, grant->codeHash);
            transaction.commit();
            return tokenResponse(access, refresh, "Bearer");
        });
    }
    throw OAuthError{400, "unsupported_grant_type", "grant_type must be authorization_code or refresh_token"};
}

// --- the hosted provider's auth/v1/token -----------------------------------------------------

QJsonObject providerToken(State &state, const httplib::Request &req)
{
    const DevIdentity &identity = state.identity();
    if (req.get_header_value("apikey") != identity.anonKey || req.get_header_value_count("apikey") != 1)
        throw OAuthError{401, "invalid_api_key", "missing or invalid apikey header"};
    if (req.get_param_value_count("grant_type") != 1)
        throw OAuthError{400, "unsupported_grant_type", "grant_type must be password or refresh_token"};
    const std::string grantType = req.get_param_value("grant_type");
    if (grantType != "password" && grantType != "refresh_token")
        throw OAuthError{400, "unsupported_grant_type", "grant_type must be password or refresh_token"};
    QJsonObject body;
    try {
        body = requireJsonObject(req);
    } catch (const HttpError &error) {
        throw OAuthError{400, "invalid_request", error.message};
    }
    std::optional<std::string> userId;
    QJsonObject response = state.locked([&](Database &db) {
        Transaction transaction(db);
        if (grantType == "password") {
            if (body.value("email").toString().toStdString() != identity.email
                || body.value("password").toString().toStdString() != identity.password)
                throw OAuthError{400, "invalid_grant", "Invalid login credentials"};
            userId = identity.userId;
        } else {
            const auto grant = redeemRefreshToken(db, "supabase", body.value("refresh_token").toString().toStdString());
            if (!grant)
                throw OAuthError{400, "invalid_grant", "Invalid Refresh Token"};
            userId = grant->userId;
        }
        const std::string access = issueAccessToken(db, *userId, "supabase", kAccessTokenSeconds);
        const std::string refresh = issueRefreshToken(db, "supabase", "", *userId);
        transaction.commit();
        return tokenResponse(access, refresh, "bearer");
    });
    response.insert("user", QJsonObject{{"id", QString::fromStdString(*userId)},
                                        {"email", QString::fromStdString(identity.email)}});
    return response;
}

template <class F>
httplib::Server::Handler oauthGuarded(F body)
{
    return [body](const httplib::Request &req, httplib::Response &res) {
        try {
            sendJson(res, 200, body(req));
        } catch (const OAuthError &error) {
            sendOAuthError(res, error);
        } catch (const HttpError &error) {
            sendError(res, error);
        }
        // Token answers are never cached (Cache-Control is set with every JSON answer).
        res.set_header("Pragma", "no-cache");
    };
}

// A Host header we are willing to echo back: host name or address with an optional port.
bool isPlainHost(const std::string &host)
{
    static const std::regex pattern("^([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]{1,5})?$");
    return host.size() < 256 && std::regex_match(host, pattern);
}

}  // namespace

void installSignInRoutes(httplib::Server &server, State &state, const std::string &publicOrigin)
{
    server.Get("/api/public-config",
               guarded([&state, publicOrigin](const httplib::Request &req, httplib::Response &res) {
                   const std::string host = req.get_header_value("Host");
                   const std::string origin =
                       isPlainHost(host) && req.get_header_value_count("Host") == 1 ? "https://" + host : publicOrigin;
                   sendJson(res, 200,
                            QJsonObject{{"supabase_url", QString::fromStdString(origin)},
                                        {"supabase_public_key", QString::fromStdString(state.identity().anonKey)}});
               }));
    server.Get("/authorize/external", guarded([&state](const httplib::Request &req, httplib::Response &res) {
                   handleAuthorize(state, req, res);
               }));
    server.Post("/token", withFaults(state, oauthGuarded([&state](const httplib::Request &req) {
                                         return exchangeToken(state, req);
                                     })));
    server.Post("/auth/v1/token", withFaults(state, oauthGuarded([&state](const httplib::Request &req) {
                                                 return providerToken(state, req);
                                             })));
}

}  // namespace devservice

}  // namespace mornix
