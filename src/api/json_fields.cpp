#include "api/json_fields.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>

namespace json_fields {

namespace {

QJsonValue present(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        throw DecodeFailure(QStringLiteral("No value associated with key \"%1\".").arg(key));
    if (value.isNull())
        throw DecodeFailure(QStringLiteral("Expected a value for key \"%1\" but found null.").arg(key));
    return value;
}

[[noreturn]] void typeMismatch(const QString &key, const char *expected)
{
    throw DecodeFailure(QStringLiteral("Expected %1 for key \"%2\" but found another type.")
                            .arg(QLatin1String(expected), key));
}

}  // namespace

QJsonObject parseObject(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodeFailure(QStringLiteral("The data is not valid JSON (%1 at offset %2).")
                                .arg(error.errorString())
                                .arg(error.offset));
    if (!document.isObject())
        throw DecodeFailure(QStringLiteral("Expected a JSON object at the top level."));
    return document.object();
}

QString requiredString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = present(object, key);
    if (!value.isString())
        typeMismatch(key, "a string");
    return value.toString();
}

std::optional<QString> optionalString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString())
        typeMismatch(key, "a string");
    return value.toString();
}

std::optional<qint64> optionalInteger(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || !std::isfinite(number) || std::trunc(number) != number || std::fabs(number) > 9.0e15)
        typeMismatch(key, "an integer");
    return static_cast<qint64>(number);
}

QJsonObject requiredObject(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = present(object, key);
    if (!value.isObject())
        typeMismatch(key, "an object");
    return value.toObject();
}

std::optional<QJsonObject> optionalObject(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isObject())
        typeMismatch(key, "an object");
    return value.toObject();
}

}  // namespace json_fields
