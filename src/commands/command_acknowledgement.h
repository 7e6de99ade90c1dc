#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace mornix {

// The acknowledgement states, in this order; the wire text is the lower-case name.
enum class AckStatus { received, executed, failed, ignored };

QString ackStatusText(AckStatus status);
std::optional<AckStatus> ackStatusFromText(const QString &text);

// The outcome of executing one command (produced by the executor).
struct KillExecutionResult {
    bool succeeded = false;  // the target is confirmed stopped
    QString message;         // one fixed sentence describing the outcome
    QJsonObject payload;     // structured details, sent verbatim as the acknowledgement's payload

    friend bool operator==(const KillExecutionResult &, const KillExecutionResult &) = default;
};

// The body of one acknowledgement. The same idempotency key goes in the "X-Idempotency-Key"
// header; it depends only on command, device, status and payload, so a resent acknowledgement
// of the same outcome carries the same key.
struct CommandAcknowledgement {
    AckStatus status = AckStatus::received;
    QString message;
    QJsonObject payload;
    QString idempotencyKey;

    // message: the override if given, else the result's message if a result is given, else the
    // status text; cleaned like a log text and cut to 4000 characters. payload: the result's or {}.
    static CommandAcknowledgement make(const QString &commandID, const QString &deviceID, AckStatus status,
                                       const std::optional<KillExecutionResult> &result,
                                       const std::optional<QString> &overrideMessage = std::nullopt);

    // "ack-" id "-" device "-" status "-" + the first 16 lower-case hex digits of the SHA-256 of
    // the payload written by the platform serialiser with sorted keys.
    static QString idempotencyKeyFor(const QString &commandID, const QString &deviceID, AckStatus status,
                                     const QJsonObject &payload);

    // {"status", "message", "payload", "idempotency_key"}.
    QJsonObject toJSON() const;
};

// Override messages of refused commands.
inline constexpr QStringView kApplicationCommandRefusedMessage = u"command protocol or target validation failed";
inline constexpr QStringView kInstanceCommandRefusedMessage = u"agent instance command validation failed";

}  // namespace mornix
