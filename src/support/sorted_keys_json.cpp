#include "support/sorted_keys_json.h"

#include "support/canonical_json.h"

#include <QCollator>

namespace mornix {

namespace {

// The serialiser compares keys numerically and case-insensitively in the root locale (whose
// collation en-US shares).
QCollator makeKeyCollator()
{
    QCollator collator{QLocale(QLocale::English, QLocale::UnitedStates)};
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    return collator;
}

}  // namespace

bool sortedKeysLess(const QString &a, const QString &b)
{
    thread_local const QCollator collator = makeKeyCollator();
    const int order = collator.compare(a, b);
    if (order != 0)
        return order < 0;
    // Forced ordering: texts equal to the collator still get a fixed order.
    return canonical_json::codePointLess(a, b);
}

std::optional<QString> sortedKeysJSONString(const QJsonValue &value)
{
    return canonical_json::compactJSONString(value, canonical_json::CompactStyle{sortedKeysLess, true});
}

}  // namespace mornix
