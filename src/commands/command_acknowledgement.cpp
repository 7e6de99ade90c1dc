#include "commands/command_acknowledgement.h"

#include "support/crypto.h"
#include "support/sorted_keys_json.h"
#include "support/text_cleaning.h"

namespace mornix {

namespace {
constexpr qsizetype kMaxMessageCharacters = 4000;
}

QString ackStatusText(AckStatus status)
{
    switch (status) {
    case AckStatus::received: return QStringLiteral("received");
    case AckStatus::executed: return QStringLiteral("executed");
    case AckStatus::failed: return QStringLiteral("failed");
    case AckStatus::ignored: return QStringLiteral("ignored");
    }
    return QString();
}

std::optional<AckStatus> ackStatusFromText(const QString &text)
{
    for (AckStatus status : {AckStatus::received, AckStatus::executed, AckStatus::failed, AckStatus::ignored}) {
        if (ackStatusText(status) == text)
            return status;
    }
    return std::nullopt;
}

CommandAcknowledgement CommandAcknowledgement::make(const QString &commandID, const QString &deviceID, AckStatus status,
                                                    const std::optional<KillExecutionResult> &result,
                                                    const std::optional<QString> &overrideMessage)
{
    CommandAcknowledgement ack;
    ack.status = status;
    const QString message = overrideMessage ? *overrideMessage : result ? result->message : ackStatusText(status);
    ack.message = sanitizeLog(message, kMaxMessageCharacters);
    ack.payload = result ? result->payload : QJsonObject();
    ack.idempotencyKey = idempotencyKeyFor(commandID, deviceID, status, ack.payload);
    return ack;
}

QString CommandAcknowledgement::idempotencyKeyFor(const QString &commandID, const QString &deviceID, AckStatus status,
                                                  const QJsonObject &payload)
{
    // An object always has a JSON text (the numbers a QJsonObject holds are finite).
    const QString payloadText = sortedKeysJSONString(payload).value_or(QStringLiteral("{}"));
    const QString digest = crypto::sha256Hex(payloadText.toUtf8()).left(16);
    return QStringLiteral("ack-") + commandID + QLatin1Char('-') + deviceID + QLatin1Char('-') + ackStatusText(status)
           + QLatin1Char('-') + digest;
}

QJsonObject CommandAcknowledgement::toJSON() const
{
    return QJsonObject{
        {QStringLiteral("status"), ackStatusText(status)},
        {QStringLiteral("message"), message},
        {QStringLiteral("payload"), payload},
        {QStringLiteral("idempotency_key"), idempotencyKey},
    };
}

}  // namespace mornix
