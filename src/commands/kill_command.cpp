#include "commands/kill_command.h"

#include "support/json_reader.h"

#include <QJsonArray>

namespace mornix {

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

// Optional fields of another type decode as absent instead of refusing the command.
template <typename T>
std::optional<T> tolerant(const JsonReader &reader, const char *key)
{
    try {
        return reader.optional<T>(key);
    } catch (const JsonFieldError &) {
        return std::nullopt;
    }
}

KillCommand readCommand(const JsonReader &reader)
{
    KillCommand command;
    command.id = reader.required<QString>("id");
    command.protocolVersion = reader.required<qint64>("protocol_version");
    command.action = reader.required<QString>("action");
    command.appKey = reader.required<QString>("app_key");
    command.targetBundleIDs = reader.required<QStringList>("target_bundle_ids");
    command.product = tolerant<QString>(reader, "product");
    command.instanceKind = tolerant<QString>(reader, "instance_kind");
    command.targetInstanceID = tolerant<QString>(reader, "target_instance_id");
    command.reason = tolerant<QString>(reader, "reason").value_or(QString());
    command.targetSurface = tolerant<QString>(reader, "target_surface").value_or(QString());
    command.metadata = tolerant<QMap<QString, QString>>(reader, "metadata");
    return command;
}

std::optional<KillCommand> decodeCommand(const JsonReader &reader, QString *error)
{
    try {
        return readCommand(reader);
    } catch (const JsonFieldError &failure) {
        setError(error,
                 QStringLiteral("command field \"%1\" is missing or not %2").arg(failure.key(), failure.expected()));
        return std::nullopt;
    }
}

}  // namespace

std::optional<KillCommand> KillCommand::fromJSON(const QJsonObject &object, QString *error)
{
    return decodeCommand(JsonReader(object), error);
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
    std::optional<JsonReader> command;
    try {
        command = JsonReader(object).required<JsonReader>("command");
    } catch (const JsonFieldError &) {
        setError(error, QStringLiteral("\"command\" is missing or not an object"));
        return std::nullopt;
    }
    auto decoded = decodeCommand(*command, error);
    if (!decoded)
        return std::nullopt;
    return KillCommandEnvelope{std::move(*decoded)};
}

std::optional<KillCommandEnvelope> KillCommandEnvelope::decode(const QByteArray &body, QString *error)
{
    std::optional<JsonReader> reader;
    try {
        reader = JsonReader::parse(body);
    } catch (const JsonFieldError &failure) {
        setError(error, failure.problem() == JsonProblem::NotJson
                            ? QStringLiteral("command response is not JSON: %1").arg(failure.detail())
                            : QStringLiteral("command response is not a JSON object"));
        return std::nullopt;
    }
    return fromJSON(reader->json(), error);
}

QJsonObject KillCommandEnvelope::toJSON() const
{
    return QJsonObject{{QStringLiteral("command"), command.toJSON()}};
}

}  // namespace mornix
