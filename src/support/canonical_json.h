#pragma once

#include <QJsonValue>
#include <QString>
#include <QVariant>

#include <optional>

namespace mornix {

// Canonical JSON: the byte-exact text the service hashes and verifies.
// No whitespace outside string literals, object keys sorted by code point, strings escaped as
// jsonScalarString does. Returns nullopt for values that have no canonical form.
namespace canonical_json {

// The quoted JSON string literal of a text: '"' and '\' escaped, \b \f \n \r \t in short form,
// other characters below U+0020 as \u00xx (lower-case hex), everything else (the solidus and
// non-ASCII included) unchanged.
QString jsonScalarString(const QString &text);

std::optional<QString> stableJSONString(const QJsonValue &value);
std::optional<QString> stableJSONString(const QVariant &value);

// One compact JSON writer serves both forms the service sees: canonical JSON (keys in code-point
// order, the solidus unescaped) and the platform serialiser's sorted-keys form.
struct CompactStyle {
    bool (*keyLess)(const QString &a, const QString &b);  // object key order
    bool escapeSolidus;                                   // write "/" as "\/"
};
std::optional<QString> compactJSONString(const QJsonValue &value, const CompactStyle &style);

// Code-point order of two texts (the canonical key order).
bool codePointLess(const QString &a, const QString &b);

// Lower-case hex SHA-256 of the UTF-8 bytes of stableJSONString(value).
std::optional<QString> stableHashHex(const QJsonValue &value);

// The default decimal text of a number: integral values without a fraction, others in the
// shortest form that reads back as the same double.
QString numberText(double value);

}  // namespace canonical_json

}  // namespace mornix
