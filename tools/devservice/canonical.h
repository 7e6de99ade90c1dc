#pragma once

#include <QJsonValue>

#include <optional>
#include <string>

namespace mornix {

namespace devservice {

// The service's own canonical JSON, written from the rules and independent of the agent's code:
// no white space; object keys sorted by code point; strings with '"' and '\' escaped, \b \f \n
// \r \t in short form, other characters below U+0020 as \u00xx (lower-case hex), "/" and every
// other character as UTF-8; integral numbers in decimal, other finite numbers in their
// shortest round-trip form. nullopt for a value that has no such text.
std::optional<std::string> canonicalJSON(const QJsonValue &value);
// Lower-case hex SHA-256 of canonicalJSON(value).
std::optional<std::string> canonicalHashHex(const QJsonValue &value);

}  // namespace devservice

}  // namespace mornix
