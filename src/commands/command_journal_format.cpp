// The journal file's line format: reading records leniently and writing them.
#include "commands/command_journal.h"

#include "commands/command_id.h"
#include "support/crypto.h"
#include "support/json_reader.h"

#include <QHash>
#include <QJsonDocument>

namespace mornix {

namespace {

constexpr qsizetype kChecksumDigits = 16;

bool isLowerHex(QByteArrayView text)
{
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// Throws JsonFieldError when a field is missing or of another type; nullopt for a status that
// is unknown or "received" (never an outcome).
std::optional<JournalOutcome> outcomeFrom(const JsonReader &object)
{
    const std::optional<AckStatus> status = ackStatusFromText(object.required<QString>("status"));
    if (!status || *status == AckStatus::received)
        return std::nullopt;
    return JournalOutcome{*status, object.required<QString>("message"), object.required<JsonReader>("payload").json(),
                          object.required<QString>("key"), object.required<QString>("device")};
}

QJsonObject outcomeToJSON(const JournalOutcome &outcome)
{
    return QJsonObject{{QStringLiteral("status"), ackStatusText(outcome.status)},
                       {QStringLiteral("message"), outcome.message},
                       {QStringLiteral("payload"), outcome.payload},
                       {QStringLiteral("key"), outcome.idempotencyKey},
                       {QStringLiteral("device"), outcome.deviceID}};
}

// The record in a line's JSON text; nullopt for an unknown key, a field of another type, a
// negative time or an unsafe id.
std::optional<JournalEntry> recordFromJSON(const QByteArray &json)
{
    try {
        const JsonReader object = JsonReader::parse(json);
        object.allowOnly({QLatin1StringView("id"), QLatin1StringView("t"), QLatin1StringView("intent"),
                          QLatin1StringView("settled"), QLatin1StringView("refused"), QLatin1StringView("outcome")});
        JournalEntry record;
        record.id = object.required<QString>("id");
        record.receivedAt = object.optional<qint64>("t").value_or(0);
        if (!command_id::isSafe(record.id) || record.receivedAt < 0)
            return std::nullopt;
        record.intent = object.optional<bool>("intent").value_or(false);
        record.settled = object.optional<bool>("settled").value_or(false);
        record.refused = object.optional<bool>("refused").value_or(false);
        if (const std::optional<JsonReader> outcome = object.optional<JsonReader>("outcome")) {
            record.outcome = outcomeFrom(*outcome);
            if (!record.outcome)
                return std::nullopt;
        }
        return record;
    } catch (const JsonFieldError &) {
        return std::nullopt;
    }
}

// One record line's content, or nullopt when it is not a well-formed, intact record.
std::optional<JournalEntry> recordFromLine(QByteArrayView line)
{
    if (line.size() < kChecksumDigits + 2 || line.at(kChecksumDigits) != ' ')
        return std::nullopt;
    const QByteArrayView checksum = line.first(kChecksumDigits);
    const QByteArray json = line.sliced(kChecksumDigits + 1).toByteArray();
    if (!isLowerHex(checksum) || crypto::sha256Hex(json).left(kChecksumDigits).toLatin1() != checksum)
        return std::nullopt;
    return recordFromJSON(json);
}

}  // namespace

void mergeJournalRecord(JournalEntry &into, const JournalEntry &record)
{
    if (into.receivedAt == 0)
        into.receivedAt = record.receivedAt;
    into.intent = into.intent || record.intent;
    if (record.outcome && !into.outcome)
        into.outcome = record.outcome;
    into.settled = into.settled || record.settled;
    into.refused = into.refused || record.refused;
}

ParsedCommandJournal parseCommandJournal(const QByteArray &bytes)
{
    ParsedCommandJournal parsed;
    QHash<QString, qsizetype> index;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        const QByteArrayView line(bytes.constData() + start, end - start);
        start = end + 1;
        if (line.isEmpty())
            continue;
        const std::optional<JournalEntry> record = recordFromLine(line);
        if (!record) {
            ++parsed.damagedLines;
            continue;
        }
        const auto found = index.constFind(record->id);
        if (found == index.cend()) {
            index.insert(record->id, parsed.entries.size());
            parsed.entries.append(*record);
        } else {
            mergeJournalRecord(parsed.entries[*found], *record);
        }
    }
    return parsed;
}

QByteArray commandJournalLine(const JournalEntry &record)
{
    QJsonObject object{{QStringLiteral("id"), record.id}};
    if (record.receivedAt > 0)
        object.insert(QStringLiteral("t"), record.receivedAt);
    if (record.intent)
        object.insert(QStringLiteral("intent"), true);
    if (record.outcome)
        object.insert(QStringLiteral("outcome"), outcomeToJSON(*record.outcome));
    if (record.settled)
        object.insert(QStringLiteral("settled"), true);
    if (record.refused)
        object.insert(QStringLiteral("refused"), true);
    const QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return crypto::sha256Hex(json).left(kChecksumDigits).toLatin1() + ' ' + json + '\n';
}

}  // namespace mornix
