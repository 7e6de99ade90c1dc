#include "commands/kill_command.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

std::optional<QString> requiredString(const QJsonObject &object, const QString &key, QString *error)
{
    const QJsonValue value = object.value(key);
    if (!value.isString()) {
        setError(error, QStringLiteral("command field \"%1\" is missing or not a string").arg(key));
        return std::nullopt;
    }
    return value.toString();
}

std::optional<QString> optionalString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// An integer is a JSON number without fraction that fits in 64 bits.
std::optional<qint64> requiredInteger(const QJsonObject &object, const QString &key, QString *error)
{
    const QJsonValue value = object.value(key);
    // toInteger() answers its default for anything but a whole number within qint64: two
    // different defaults tell a genuine value from the fallback.
    const qint64 first = value.toInteger(0);
    if (first != 0 || value.toInteger(1) == 0)
        return first;
    setError(error, QStringLiteral("command field \"%1\" is missing or not an integer").arg(key));
    return std::nullopt;
}

std::optional<QStringList> requiredStringList(const QJsonObject &object, const QString &key, QString *error)
{
    const QJsonValue value = object.value(key);
    bool ok = value.isArray();
    QStringList list;
    if (ok) {
        const QJsonArray array = value.toArray();
        list.reserve(array.size());
        for (const QJsonValue &item : array) {
            if (!item.isString()) {
                ok = false;
                break;
            }
            list.append(item.toString());
        }
    }
    if (!ok) {
        setError(error, QStringLiteral("command field \"%1\" is missing or not a list of strings").arg(key));
        return std::nullopt;
    }
    return list;
}

std::optional<QMap<QString, QString>> optionalStringMap(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (!value.isObject())
        return std::nullopt;
    QMap<QString, QString> map;
    const QJsonObject inner = value.toObject();
    for (auto it = inner.begin(); it != inner.end(); ++it) {
        if (!it.value().isString())
            return std::nullopt;
        map.insert(it.key(), it.value().toString());
    }
    return map;
}

}  // namespace

std::optional<KillCommand> KillCommand::fromJSON(const QJsonObject &object, QString *error)
{
    KillCommand command;
    const auto id = requiredString(object, QStringLiteral("id"), error);
    if (!id)
        return std::nullopt;
    const auto protocolVersion = requiredInteger(object, QStringLiteral("protocol_version"), error);
    if (!protocolVersion)
        return std::nullopt;
    const auto action = requiredString(object, QStringLiteral("action"), error);
    if (!action)
        return std::nullopt;
    const auto appKey = requiredString(object, QStringLiteral("app_key"), error);
    if (!appKey)
        return std::nullopt;
    const auto bundleIDs = requiredStringList(object, QStringLiteral("target_bundle_ids"), error);
    if (!bundleIDs)
        return std::nullopt;

    command.id = *id;
    command.protocolVersion = *protocolVersion;
    command.action = *action;
    command.appKey = *appKey;
    command.product = optionalString(object, QStringLiteral("product"));
    command.instanceKind = optionalString(object, QStringLiteral("instance_kind"));
    command.targetInstanceID = optionalString(object, QStringLiteral("target_instance_id"));
    command.targetBundleIDs = *bundleIDs;
    command.reason = optionalString(object, QStringLiteral("reason")).value_or(QString());
    command.targetSurface = optionalString(object, QStringLiteral("target_surface")).value_or(QString());
    command.metadata = optionalStringMap(object, QStringLiteral("metadata"));
    return command;
}

QJsonObject KillCommand::toJSON() const
{
    QJsonObject object;
    object.insert(QStringLiteral("id"), id);
    object.insert(QStringLiteral("protocol_version"), protocolVersion);
    object.insert(QStringLiteral("action"), action);
    object.insert(QStringLiteral("app_key"), appKey);
    if (product)
        object.insert(QStringLiteral("product"), *product);
    if (instanceKind)
        object.insert(QStringLiteral("instance_kind"), *instanceKind);
    if (targetInstanceID)
        object.insert(QStringLiteral("target_instance_id"), *targetInstanceID);
    object.insert(QStringLiteral("target_bundle_ids"), QJsonArray::fromStringList(targetBundleIDs));
    object.insert(QStringLiteral("reason"), reason);
    object.insert(QStringLiteral("target_surface"), targetSurface);
    if (metadata) {
        QJsonObject map;
        for (auto it = metadata->begin(); it != metadata->end(); ++it)
            map.insert(it.key(), it.value());
        object.insert(QStringLiteral("metadata"), map);
    }
    return object;
}

std::optional<KillCommandEnvelope> KillCommandEnvelope::fromJSON(const QJsonObject &object, QString *error)
{
    const QJsonValue value = object.value(QStringLiteral("command"));
    if (!value.isObject()) {
        setError(error, QStringLiteral("\"command\" is missing or not an object"));
        return std::nullopt;
    }
    auto command = KillCommand::fromJSON(value.toObject(), error);
    if (!command)
        return std::nullopt;
    return KillCommandEnvelope{std::move(*command)};
}

std::optional<KillCommandEnvelope> KillCommandEnvelope::decode(const QByteArray &body, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        setError(error, QStringLiteral("command response is not JSON: %1").arg(parseError.errorString()));
        return std::nullopt;
    }
    if (!document.isObject()) {
        setError(error, QStringLiteral("command response is not a JSON object"));
        return std::nullopt;
    }
    return fromJSON(document.object(), error);
}

QJsonObject KillCommandEnvelope::toJSON() const
{
    return QJsonObject{{QStringLiteral("command"), command.toJSON()}};
}
