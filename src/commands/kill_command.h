#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace mornix {

// One command from the service, as it arrives. Required fields must be present with their JSON
// type; optional ones that are absent, null or of another type decode as absent (reason and
// target_surface as empty text). Nothing here is validated against the catalogs.
struct KillCommand {
    QString id;
    qint64 protocolVersion = 0;
    QString action;
    QString appKey;
    std::optional<QString> product;
    std::optional<QString> instanceKind;
    std::optional<QString> targetInstanceID;
    QStringList targetBundleIDs;
    QString reason;
    QString targetSurface;
    std::optional<QMap<QString, QString>> metadata;

    // nullopt when a required key is missing or mistyped; error (if given) then says which.
    static std::optional<KillCommand> fromJSON(const QJsonObject &object, QString *error = nullptr);
    // The wire form; absent optional fields are omitted.
    QJsonObject toJSON() const;

    friend bool operator==(const KillCommand &, const KillCommand &) = default;
};

// The poll answer's body: {"command": KillCommand}.
struct KillCommandEnvelope {
    KillCommand command;

    static std::optional<KillCommandEnvelope> fromJSON(const QJsonObject &object, QString *error = nullptr);
    // Parses the bytes of a response body: not JSON, not an object, or an undecodable command
    // yield nullopt.
    static std::optional<KillCommandEnvelope> decode(const QByteArray &body, QString *error = nullptr);
    QJsonObject toJSON() const;
};

}  // namespace mornix
