#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantMap>

#include <optional>

namespace mornix {

// Reads an Info.plist (XML or binary) into Qt values: strings, bools, qint64 (integers; values
// above INT64_MAX are kept as quint64), doubles, lists and maps. Dates and data become QDateTime
// / QByteArray. The bytes come from other programs and may be anything: a plist whose strings or
// keys hold a NUL character, that repeats a key in one dictionary, or that is not a dictionary
// is refused as a whole (nullopt), never half read. Thread: any.
namespace info_plist {

inline constexpr qint64 kMaxBytes = 4 * 1024 * 1024;

std::optional<QVariantMap> parse(const QByteArray &bytes);

// Opens the file without following a final symbolic link and without blocking, and reads it
// only when it is a regular file of at most maxBytes.
std::optional<QVariantMap> read(const QString &path, qint64 maxBytes = kMaxBytes);

}  // namespace info_plist

}  // namespace mornix
