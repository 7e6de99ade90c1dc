#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantMap>

#include <optional>

// Reads an Info.plist (XML or binary) into Qt values: strings, bools, qint64 (integers; values
// above INT64_MAX are kept as quint64), doubles, lists and maps. Dates and data become QByteArray
// / QDateTime. Returns nullopt when the file cannot be read or is not a dictionary plist.
// Thread: any.
namespace info_plist {

std::optional<QVariantMap> parse(const QByteArray &bytes);
std::optional<QVariantMap> read(const QString &path, qint64 maxBytes = 4 * 1024 * 1024);

}  // namespace info_plist
