#include "support/json_reader.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QMetaType>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <limits>

namespace mornix {

namespace {

// What each field type accepts, and how a failure names it. `from` answers nullopt for a
// (non-null) value of another type.
template <typename T>
struct Conversion;

template <>
struct Conversion<QString> {
    static QString expected() { return QStringLiteral("a string"); }
    static std::optional<QString> from(const QJsonValue &v)
    {
        return v.isString() ? std::optional(v.toString()) : std::nullopt;
    }
};

template <>
struct Conversion<bool> {
    static QString expected() { return QStringLiteral("a boolean"); }
    static std::optional<bool> from(const QJsonValue &v)
    {
        return v.isBool() ? std::optional(v.toBool()) : std::nullopt;
    }
};

template <>
struct Conversion<double> {
    static QString expected() { return QStringLiteral("a number"); }
    static std::optional<double> from(const QJsonValue &v)
    {
        return v.isDouble() ? std::optional(v.toDouble()) : std::nullopt;
    }
};

template <>
struct Conversion<qint64> {
    static QString expected() { return QStringLiteral("an integer"); }
};

template <>
struct Conversion<JsonReader> {
    static QString expected() { return QStringLiteral("an object"); }
};

template <>
struct Conversion<QJsonArray> {
    static QString expected() { return QStringLiteral("an array"); }
    static std::optional<QJsonArray> from(const QJsonValue &v)
    {
        return v.isArray() ? std::optional(v.toArray()) : std::nullopt;
    }
};

template <>
struct Conversion<QStringList> {
    static QString expected() { return QStringLiteral("a list of strings"); }
    static std::optional<QStringList> from(const QJsonValue &value)
    {
        if (!value.isArray())
            return std::nullopt;
        const QJsonArray array = value.toArray();
        QStringList list;
        list.reserve(array.size());
        for (const QJsonValue &item : array) {
            if (!item.isString())
                return std::nullopt;
            list.append(item.toString());
        }
        return list;
    }
};

template <>
struct Conversion<QMap<QString, QString>> {
    static QString expected() { return QStringLiteral("an object of strings"); }
    static std::optional<QMap<QString, QString>> from(const QJsonValue &value)
    {
        if (!value.isObject())
            return std::nullopt;
        const QJsonObject object = value.toObject();
        QMap<QString, QString> map;
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!it.value().isString())
                return std::nullopt;
            map.insert(it.key(), it.value().toString());
        }
        return map;
    }
};

}  // namespace

JsonFieldError::JsonFieldError(JsonProblem problem, QString path, QString expected, QString detail, qsizetype offset)
    : m_problem(problem)
    , m_path(std::move(path))
    , m_expected(std::move(expected))
    , m_detail(std::move(detail))
    , m_offset(offset)
{
    m_what = description().toStdString();
}

QString JsonFieldError::key() const
{
    const qsizetype dot = m_path.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? m_path : m_path.mid(dot + 1);
}

QString JsonFieldError::reason() const
{
    switch (m_problem) {
    case JsonProblem::NotJson: return QStringLiteral("is not valid JSON (%1 at offset %2)").arg(m_detail).arg(m_offset);
    case JsonProblem::NotObject: return QStringLiteral("is not a JSON object");
    case JsonProblem::Missing: return QStringLiteral("is missing");
    case JsonProblem::Null: return QStringLiteral("is null");
    case JsonProblem::WrongType: return QStringLiteral("is not %1").arg(m_expected);
    case JsonProblem::NotInteger: return QStringLiteral("is not a whole number within range");
    case JsonProblem::UnknownKey: return QStringLiteral("is not allowed here");
    }
    return {};
}

QString JsonFieldError::description() const
{
    if (m_path.isEmpty())
        return QStringLiteral("the document ") + reason();
    return QStringLiteral("field \"%1\" ").arg(m_path) + reason();
}

JsonReader::JsonReader(QJsonObject object, QString path)
    : m_object(std::move(object))
    , m_path(std::move(path))
{
}

JsonReader JsonReader::parse(const QByteArray &bytes)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw JsonFieldError(JsonProblem::NotJson, {}, Conversion<JsonReader>::expected(), error.errorString(),
                             error.offset);
    if (!document.isObject())
        throw JsonFieldError(JsonProblem::NotObject, {}, Conversion<JsonReader>::expected());
    return JsonReader(document.object());
}

void JsonReader::allowOnly(std::initializer_list<QLatin1StringView> keys) const
{
    for (auto it = m_object.constBegin(); it != m_object.constEnd(); ++it) {
        if (std::find(keys.begin(), keys.end(), it.key()) == keys.end())
            fail(JsonProblem::UnknownKey, it.key(), QString());
    }
}

QString JsonReader::pathOf(QAnyStringView key) const
{
    return m_path.isEmpty() ? key.toString() : m_path + QLatin1Char('.') + key.toString();
}

void JsonReader::fail(JsonProblem problem, QAnyStringView key, const QString &expected) const
{
    throw JsonFieldError(problem, pathOf(key), expected);
}

template <typename T>
std::optional<T> JsonReader::read(QAnyStringView key, bool isRequired) const
{
    const QJsonValue value = m_object.value(key.toString());
    if (value.isUndefined() || value.isNull()) {
        if (isRequired)
            fail(value.isNull() ? JsonProblem::Null : JsonProblem::Missing, key, Conversion<T>::expected());
        return std::nullopt;
    }
    std::optional<T> result;
    if constexpr (std::is_same_v<T, JsonReader>) {
        if (value.isObject())
            result = JsonReader(value.toObject(), pathOf(key));
    } else if constexpr (std::is_same_v<T, qint64>) {
        if (value.isDouble())
            result = integerOf(value, key);
    } else {
        result = Conversion<T>::from(value);
    }
    if (!result)
        fail(JsonProblem::WrongType, key, Conversion<T>::expected());
    return result;
}

qint64 JsonReader::integerOf(const QJsonValue &number, QAnyStringView key) const
{
    // The parser keeps every whole number within 64 bits (written "1000", "1e3" or "1000.0") as
    // an exact integer; what it keeps as a double is a fraction or lies beyond that range. It also
    // rounds literals just below -2^63 up to -2^63, so that one value is refused as ambiguous.
    constexpr qint64 lowest = std::numeric_limits<qint64>::min();
    if (number.toVariant().typeId() == QMetaType::LongLong && number.toInteger() != lowest)
        return number.toInteger();
    const double value = number.toDouble();
    if (std::trunc(value) == value && value > -0x1p63 && value < 0x1p63)
        return static_cast<qint64>(value);
    fail(JsonProblem::NotInteger, key, Conversion<qint64>::expected());
}

template std::optional<QString> JsonReader::read<QString>(QAnyStringView, bool) const;
template std::optional<bool> JsonReader::read<bool>(QAnyStringView, bool) const;
template std::optional<double> JsonReader::read<double>(QAnyStringView, bool) const;
template std::optional<qint64> JsonReader::read<qint64>(QAnyStringView, bool) const;
template std::optional<JsonReader> JsonReader::read<JsonReader>(QAnyStringView, bool) const;
template std::optional<QJsonArray> JsonReader::read<QJsonArray>(QAnyStringView, bool) const;
template std::optional<QStringList> JsonReader::read<QStringList>(QAnyStringView, bool) const;
template std::optional<QMap<QString, QString>> JsonReader::read<QMap<QString, QString>>(QAnyStringView, bool) const;

}  // namespace mornix
