#include "tokens.h"

#include "util.h"

namespace mornix {

namespace devservice {

namespace {

bool hasColumn(Database &db, const char *table, const std::string &column)
{
    const std::string query = std::string("SELECT name FROM pragma_table_info('") + table + "')";
    Statement columns(db, query.c_str());
    while (columns.step()) {
        if (columns.text(0) == column)
            return true;
    }
    return false;
}

}  // namespace

void upgradeTokenTables(Database &db)
{
    for (const char *table : {"user_tokens", "refresh_tokens"}) {
        if (!hasColumn(db, table, "code_hash"))
            db.exec((std::string("ALTER TABLE ") + table + " ADD COLUMN code_hash TEXT NOT NULL DEFAULT ''").c_str());
    }
}

void revokeTokensOfCode(Database &db, const std::string &codeHash)
{
    Statement refresh(db, "UPDATE refresh_tokens SET revoked = 1 WHERE code_hash = ?");
    refresh.bind(1, codeHash).run();
    Statement access(db, "DELETE FROM user_tokens WHERE code_hash = ?");
    access.bind(1, codeHash).run();
}

std::string issueAccessToken(Database &db, const std::string &userId, const std::string &source,
                             std::int64_t lifetimeSeconds, const std::string &codeHash)
{
    const std::string token = randomToken("vat_");
    Statement insert(db, "INSERT INTO user_tokens (token_hash, source, user_id, created_at, expires_at, code_hash) "
                         "VALUES (?, ?, ?, ?, ?, ?)");
    insert.bind(1, sha256Hex(token))
        .bind(2, source)
        .bind(3, userId)
        .bind(4, nowSeconds())
        .bind(5, nowSeconds() + lifetimeSeconds)
        .bind(6, codeHash)
        .run();
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
                              const std::string &userId, const std::string &codeHash)
{
    const std::string token = randomToken("vrt_");
    Statement insert(db, "INSERT INTO refresh_tokens (token_hash, kind, client_id, user_id, created_at, expires_at, "
                         "code_hash) VALUES (?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, sha256Hex(token))
        .bind(2, kind)
        .bind(3, clientId)
        .bind(4, userId)
        .bind(5, nowSeconds())
        .bind(6, nowSeconds() + kRefreshTokenSeconds)
        .bind(7, codeHash)
        .run();
    return token;
}

std::optional<RefreshGrant> redeemRefreshToken(Database &db, const std::string &kind, const std::string &token)
{
    Statement update(db, "UPDATE refresh_tokens SET revoked = 1 WHERE token_hash = ? AND kind = ? "
                         "AND revoked = 0 AND expires_at > ? RETURNING user_id, COALESCE(client_id, ''), code_hash");
    update.bind(1, sha256Hex(token)).bind(2, kind).bind(3, nowSeconds());
    if (!update.step())
        return std::nullopt;
    RefreshGrant grant{update.text(0), update.text(1), update.text(2)};
    update.run();
    return grant;
}

}  // namespace devservice

}  // namespace mornix
