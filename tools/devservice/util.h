#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mornix {

namespace devservice {

std::int64_t nowMs();
std::int64_t nowSeconds();
// ISO 8601 UTC with whole seconds, e.g. 2026-01-31T08:15:00Z.
std::string isoUtc(std::int64_t ms);

// A random opaque token: prefix + 43 characters of base64url (32 random bytes).
std::string randomToken(const std::string &prefix);
std::string randomUUID();
// An invite code of three groups of four characters (no look-alike characters).
std::string randomInviteCode();

std::string sha256Hex(const std::string &data);
// Strict decimal integer (optional leading '-'); nullopt on anything else.
std::optional<std::int64_t> parseInteger(const std::string &text);
// Trim white space and line feeds, then upper-case (ASCII); how invite codes are compared.
std::string normalisedInviteCode(const std::string &code);
// Trim, drop U+0000..U+001F and U+007F, keep at most max characters (the agent's sanitize).
std::string sanitizeText(const std::string &text, int max);
// Length in user-perceived characters (grapheme clusters), the unit of the agent's text limits.
int userPerceivedLength(const std::string &text);
// Percent-decoding of a URL path (no '+' handling); nullopt on a malformed escape.
std::optional<std::string> percentDecode(const std::string &text);
std::string percentEncode(const std::string &text);

}  // namespace devservice

}  // namespace mornix
