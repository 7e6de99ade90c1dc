#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace mornix {

// Command ids come from the service and end up in a request path, a request header and the
// command journal. Only safe ids are ever acknowledged; everything else is treated like an
// envelope without a readable id. Pure functions; thread-safe.
namespace command_id {

inline constexpr qsizetype kMaxCharacters = 256;

// 1 to 256 characters (code points), not "." or "..", no control characters (U+0000-U+001F,
// U+007F-U+009F) and no unpaired surrogates.
bool isSafe(const QString &id);

// The id as one path segment: its UTF-8 bytes with every byte outside the unreserved set
// (A-Z a-z 0-9 - . _ ~) percent-encoded with upper-case hex digits. Never contains '/'.
QByteArray pathSegment(const QString &id);

// The "id" of an envelope that does not decode as a command: the body must be a JSON object
// whose "command" is an object with a string "id" that is safe. nullopt otherwise.
std::optional<QString> readableID(const QByteArray &body);

}  // namespace command_id

}  // namespace mornix
