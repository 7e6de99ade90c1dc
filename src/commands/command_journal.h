#pragma once

#include "commands/command_acknowledgement.h"
#include "platform/posix_files.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace mornix {

// The outcome acknowledgement of one command, exactly as it was (or will be) sent: resending it
// rebuilds the same body and the same idempotency key.
struct JournalOutcome {
    AckStatus status = AckStatus::failed;  // executed, failed or ignored
    QString message;                       // as sent (already cleaned)
    QJsonObject payload;
    QString idempotencyKey;
    QString deviceID;                      // the device the acknowledgement belongs to

    friend bool operator==(const JournalOutcome &, const JournalOutcome &) = default;
};

// What the journal knows about one command id, in the order of the steps.
struct JournalEntry {
    QString id;
    qint64 receivedAt = 0;                 // Unix seconds, when the id was first recorded
    bool intent = false;                   // about to be carried out: signals may have been sent
    std::optional<JournalOutcome> outcome;
    bool settled = false;                  // the service accepted the outcome, or refused it for good

    friend bool operator==(const JournalEntry &, const JournalEntry &) = default;
};

// The journal file's content, read leniently: every line that is not a well-formed, intact
// record is counted as damaged and skipped; unknown ids are simply absent.
struct ParsedCommandJournal {
    QList<JournalEntry> entries;           // in order of first appearance
    int damagedLines = 0;
};

// One line per record: 16 lower-case hex digits of the SHA-256 of the JSON text, a space, the
// compact JSON object, a line feed. A record carries "id" and any of "t" (received time),
// "intent", "outcome" and "settled"; records of one id merge.
ParsedCommandJournal parseCommandJournal(const QByteArray &bytes);
QByteArray commandJournalLine(const JournalEntry &record);

// The durable record of every command the agent was handed: its id before the "received"
// acknowledgement, its intent before anything is signalled, the outcome acknowledgement (body
// and idempotency key) and finally that the service accepted it. Each step reaches the disk
// (fdatasync) before the call returns. Kept to the newest maxEntries ids and maxAgeSeconds; the
// file is rewritten compactly when it has grown to several lines per kept id.
//
// File handling: the directory is created 0700 and the file "journal" 0600, neither followed
// through a symbolic link; a directory or file owned by another user or open to group or others
// is refused. A journal that cannot be used (refused, unreadable, failing writes) never stops
// the agent: the problem is reported by open() or lastError() and the journal keeps working in
// memory. Without a directory it is memory-only from the start.
// Thread: any; calls are serialised by an internal mutex (the poll loop calls it from a worker).
class CommandJournal {
public:
    struct Limits {
        qsizetype maxEntries = 1000;
        qint64 maxAgeSeconds = 7 * 24 * 3600;
        std::function<qint64()> now;  // Unix seconds; empty: the system clock
    };

    explicit CommandJournal(QString directory, Limits limits);
    explicit CommandJournal(QString directory = {}) : CommandJournal(std::move(directory), Limits{}) {}
    ~CommandJournal();
    CommandJournal(const CommandJournal &) = delete;
    CommandJournal &operator=(const CommandJournal &) = delete;

    // Reads the file (creating it when missing); only the first call does anything. Returns one
    // readable line per problem found (damage, refusal); the journal is usable in every case.
    QStringList open();

    std::optional<JournalEntry> entry(const QString &id) const;
    // Outcomes the service has not yet accepted, oldest first.
    QList<JournalEntry> unsettledOutcomes() const;
    qsizetype size() const;

    // Each returns false when the step could not be made durable (it is still kept in memory);
    // lastError() then says why. Memory-only journals always succeed.
    // sync false: written, but reaching the disk is left to a later flush() (the caller overlaps
    // it with a network request); a process that dies meanwhile loses nothing, only the machine
    // going down could.
    bool recordReceived(const QString &id, bool sync = true);
    bool recordIntent(const QString &id);
    bool recordOutcome(const QString &id, const JournalOutcome &outcome, bool sync = true);
    bool recordSettled(const QString &id);
    // Makes everything written so far durable (fdatasync).
    bool flush();

    bool isDurable() const;
    QString lastError() const;
    QString filePath() const;

    static constexpr const char *kFileName = "journal";

private:
    bool append(const JournalEntry &record, bool sync);
    bool compact();
    bool reopenFile();
    void prune();
    qint64 now() const;
    JournalEntry &entryFor(const QString &id);
    void closeFile();

    mutable QMutex m_mutex;
    QString m_directory;
    Limits m_limits;
    posix::UniqueFd m_dirFd;
    posix::UniqueFd m_fd;
    bool m_opened = false;
    qsizetype m_lines = 0;
    QString m_lastError;
    QHash<QString, JournalEntry> m_entries;
    QStringList m_order;  // ids, oldest first
};

}  // namespace mornix
