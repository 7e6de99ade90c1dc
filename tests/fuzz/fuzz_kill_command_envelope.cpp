// Fuzz harness: the poll answer's body, decoded as a KillCommandEnvelope, then carried through
// everything that reads a command (validators, acknowledgement). Invariants checked:
// a refused body always says why; a decoded command survives encoding and decoding unchanged.
#include "commands/command_acknowledgement.h"
#include "commands/command_validation.h"
#include "commands/kill_command.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QString error;
    const std::optional<KillCommandEnvelope> envelope = KillCommandEnvelope::decode(body, &error);
    if (!envelope) {
        if (error.isEmpty())
            std::abort();
        return 0;
    }
    const KillCommand &command = envelope->command;
    const std::optional<KillCommandEnvelope> again = KillCommandEnvelope::fromJSON(envelope->toJSON());
    if (!again || !(again->command == command))
        std::abort();

    const bool accepted = command.protocolVersion == 2
                              ? CommandValidation::validatedCommandProduct(
                                    command.protocolVersion, command.action, command.product, command.instanceKind,
                                    command.appKey, command.targetInstanceID, command.targetBundleIDs)
                                    .has_value()
                              : CommandValidation::validatedTarget(command.protocolVersion, command.action,
                                                                   command.appKey, command.targetBundleIDs)
                                    .has_value();
    const CommandAcknowledgement ack =
        CommandAcknowledgement::make(command.id, QStringLiteral("device"),
                                     accepted ? AckStatus::received : AckStatus::ignored, std::nullopt, command.reason);
    if (!ack.idempotencyKey.startsWith(QStringLiteral("ack-")))
        std::abort();
    return 0;
}
