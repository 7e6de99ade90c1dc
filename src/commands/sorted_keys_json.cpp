#include "commands/sorted_keys_json.h"

#include "support/canonical_json.h"

#include <QCollator>
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

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

QString escapedString(const QString &text)
{
    QString literal = canonical_json::jsonScalarString(text);
    literal.replace(QLatin1Char('/'), QLatin1String("\\/"));
    return literal;
}

bool append(const QJsonValue &value, QString &out)
{
    switch (value.type()) {
    case QJsonValue::Null:
        out += QLatin1String("null");
        return true;
    case QJsonValue::Bool:
        out += value.toBool() ? QLatin1String("true") : QLatin1String("false");
        return true;
    case QJsonValue::Double:
        if (!std::isfinite(value.toDouble()))
            return false;
        out += canonical_json::numberText(value.toDouble());
        return true;
    case QJsonValue::String:
        out += escapedString(value.toString());
        return true;
    case QJsonValue::Array: {
        out += QLatin1Char('[');
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i > 0)
                out += QLatin1Char(',');
            if (!append(array.at(i), out))
                return false;
        }
        out += QLatin1Char(']');
        return true;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        QStringList keys = object.keys();
        std::sort(keys.begin(), keys.end(), sortedKeysLess);
        out += QLatin1Char('{');
        for (qsizetype i = 0; i < keys.size(); ++i) {
            if (i > 0)
                out += QLatin1Char(',');
            out += escapedString(keys.at(i));
            out += QLatin1Char(':');
            if (!append(object.value(keys.at(i)), out))
                return false;
        }
        out += QLatin1Char('}');
        return true;
    }
    case QJsonValue::Undefined:
        return false;
    }
    return false;
}

}  // namespace

bool sortedKeysLess(const QString &a, const QString &b)
{
    thread_local const QCollator collator = makeKeyCollator();
    const int order = collator.compare(a, b);
    if (order != 0)
        return order < 0;
    // Forced ordering: texts equal to the collator still get a fixed order.
    const QList<uint> ua = a.toUcs4();
    const QList<uint> ub = b.toUcs4();
    return std::lexicographical_compare(ua.begin(), ua.end(), ub.begin(), ub.end());
}

std::optional<QString> sortedKeysJSONString(const QJsonValue &value)
{
    QString out;
    if (!append(value, out))
        return std::nullopt;
    return out;
}
