#include "support/canonical_json.h"

#include "support/crypto.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace mornix {

namespace canonical_json {

QString jsonScalarString(const QString &text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        switch (c) {
        case u'"': out += QLatin1String("\\\""); break;
        case u'\\': out += QLatin1String("\\\\"); break;
        case u'\b': out += QLatin1String("\\b"); break;
        case u'\f': out += QLatin1String("\\f"); break;
        case u'\n': out += QLatin1String("\\n"); break;
        case u'\r': out += QLatin1String("\\r"); break;
        case u'\t': out += QLatin1String("\\t"); break;
        default:
            if (c < 0x20)
                out += QStringLiteral("\\u%1").arg(static_cast<uint>(c), 4, 16, QLatin1Char('0'));
            else
                out += ch;
        }
    }
    out += QLatin1Char('"');
    return out;
}

QString numberText(double value)
{
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.007199254740992e15)
        return QString::number(static_cast<qint64>(value));
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

bool codePointLess(const QString &a, const QString &b)
{
    // QString::operator< compares UTF-16 units, which differs from code points only for
    // supplementary characters versus U+E000..U+FFFF.
    const QList<uint> ua = a.toUcs4();
    const QList<uint> ub = b.toUcs4();
    return std::lexicographical_compare(ua.begin(), ua.end(), ub.begin(), ub.end());
}

namespace {

void appendString(const QString &text, const CompactStyle &style, QString &out)
{
    QString literal = jsonScalarString(text);
    if (style.escapeSolidus)
        literal.replace(QLatin1Char('/'), QLatin1String("\\/"));
    out += literal;
}

bool appendCompact(const QJsonValue &value, const CompactStyle &style, QString &out)
{
    switch (value.type()) {
    case QJsonValue::Null: out += QLatin1String("null"); return true;
    case QJsonValue::Bool: out += value.toBool() ? QLatin1String("true") : QLatin1String("false"); return true;
    case QJsonValue::Double:
        if (!std::isfinite(value.toDouble()))
            return false;
        out += numberText(value.toDouble());
        return true;
    case QJsonValue::String: appendString(value.toString(), style, out); return true;
    case QJsonValue::Array: {
        out += QLatin1Char('[');
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i > 0)
                out += QLatin1Char(',');
            if (!appendCompact(array.at(i), style, out))
                return false;
        }
        out += QLatin1Char(']');
        return true;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        QStringList keys = object.keys();
        std::sort(keys.begin(), keys.end(), style.keyLess);
        out += QLatin1Char('{');
        for (qsizetype i = 0; i < keys.size(); ++i) {
            if (i > 0)
                out += QLatin1Char(',');
            appendString(keys.at(i), style, out);
            out += QLatin1Char(':');
            if (!appendCompact(object.value(keys.at(i)), style, out))
                return false;
        }
        out += QLatin1Char('}');
        return true;
    }
    case QJsonValue::Undefined: return false;
    }
    return false;
}

}  // namespace

std::optional<QString> compactJSONString(const QJsonValue &value, const CompactStyle &style)
{
    QString out;
    if (!appendCompact(value, style, out))
        return std::nullopt;
    return out;
}

std::optional<QString> stableJSONString(const QJsonValue &value)
{
    return compactJSONString(value, CompactStyle{codePointLess, false});
}

std::optional<QString> stableJSONString(const QVariant &value)
{
    if (!value.isValid())
        return std::nullopt;
    const QJsonValue json = QJsonValue::fromVariant(value);
    if (json.isUndefined() || (json.isNull() && !value.isNull()))
        return std::nullopt;
    return stableJSONString(json);
}

std::optional<QString> stableHashHex(const QJsonValue &value)
{
    const auto text = stableJSONString(value);
    if (!text)
        return std::nullopt;
    return crypto::sha256Hex(text->toUtf8());
}

}  // namespace canonical_json

}  // namespace mornix
