#include "tokens.h"

#include "util.h"

namespace devservice {

std::string issueAccessToken(Database &db, const std::string &userId, const std::string &source,
                             std::int64_t lifetimeSeconds)
{
    const std::string token = randomToken("vat_");
    Statement insert(db, "INSERT INTO user_tokens (token_hash, source, user_id, created_at, expires_at) "
                         "VALUES (?, ?, ?, ?, ?)");
    insert.bind(1, sha256Hex(token)).bind(2, source).bind(3, userId).bind(4, nowSeconds())
        .bind(5, nowSeconds() + lifetimeSeconds).run();
    return token;
}

std::optional<std::string> userForAccessToken(Database &db, const std::string &token)
{
    Statement select(db, "SELECT user_id FROM user_tokens WHERE token_hash = ? AND expires_at > ?");
    select.bind(1, sha256Hex(token)).bind(2, nowSeconds());
    if (!select.step())
        return std::nullopt;
    return select.text(0);
}

std::string issueRefreshToken(Database &db, const std::string &kind, const std::string &clientId,
                              const std::string &userId)
{
    const std::string token = randomToken("vrt_");
    Statement insert(db, "INSERT INTO refresh_tokens (token_hash, kind, client_id, user_id, created_at, expires_at) "
                         "VALUES (?, ?, ?, ?, ?, ?)");
    insert.bind(1, sha256Hex(token)).bind(2, kind).bind(3, clientId).bind(4, userId).bind(5, nowSeconds())
        .bind(6, nowSeconds() + kRefreshTokenSeconds).run();
    return token;
}

std::optional<RefreshGrant> redeemRefreshToken(Database &db, const std::string &kind, const std::string &token)
{
    Statement update(db, "UPDATE refresh_tokens SET revoked = 1 WHERE token_hash = ? AND kind = ? "
                         "AND revoked = 0 AND expires_at > ? RETURNING user_id, COALESCE(client_id, '')");
    update.bind(1, sha256Hex(token)).bind(2, kind).bind(3, nowSeconds());
    if (!update.step())
        return std::nullopt;
    RefreshGrant grant{update.text(0), update.text(1)};
    update.run();
    return grant;
}

}  // namespace devservice
