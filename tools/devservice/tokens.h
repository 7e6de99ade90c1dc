#pragma once

#include "database.h"

#include <cstdint>
#include <optional>
#include <string>

namespace mornix {

namespace devservice {

inline constexpr std::int64_t kAccessTokenSeconds = 3600;
inline constexpr std::int64_t kAdminTokenSeconds = 12 * 3600;
inline constexpr std::int64_t kRefreshTokenSeconds = 30 * 24 * 3600;

// User access tokens (bearer for device registration). Only hashes are stored.
// codeHash: the authorization code the grant began with ("" for none), so that a reused code
// can revoke everything issued from it.
std::string issueAccessToken(Database &db, const std::string &userId, const std::string &source,
                             std::int64_t lifetimeSeconds, const std::string &codeHash = {});
// The user id of a live access token.
std::optional<std::string> userForAccessToken(Database &db, const std::string &token);

// Refresh tokens, per kind ("oauth" for the service's /token, "supabase" for the provider).
std::string issueRefreshToken(Database &db, const std::string &kind, const std::string &clientId,
                              const std::string &userId, const std::string &codeHash = {});
struct RefreshGrant {
    std::string userId;
    std::string clientId;
    std::string codeHash;
};
// Revokes every access and refresh token issued from an authorization code (a reused code).
void revokeTokensOfCode(Database &db, const std::string &codeHash);
// Adds the columns that link tokens to their authorization code to an older database.
void upgradeTokenTables(Database &db);
// Takes a live refresh token of the kind out of use (rotation) and returns what it granted.
std::optional<RefreshGrant> redeemRefreshToken(Database &db, const std::string &kind, const std::string &token);

}  // namespace devservice

}  // namespace mornix
