#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

namespace mornix {

// The compact text that the platform JSON serialiser writes with sorted keys (the form the
// acknowledgement's idempotency key hashes): no white space; object keys ordered by the
// serialiser's key comparison (numeric runs compared by value, case-insensitive, ties broken by
// code point); strings escaped like canonical JSON plus the solidus written as "\/".
// nullopt for values without a JSON text (undefined, non-finite numbers).
std::optional<QString> sortedKeysJSONString(const QJsonValue &value);

// The key order used above: true when a sorts before b.
bool sortedKeysLess(const QString &a, const QString &b);

}  // namespace mornix
