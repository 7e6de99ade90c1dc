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
    QString deviceID;  // the device the acknowledgement belongs to

    friend bool operator==(const JournalOutcome &, const JournalOutcome &) = default;
};

// What the journal knows about one command id, in the order of the steps.
struct JournalEntry {
    QString id;
    qint64 receivedAt = 0;  // Unix seconds, when the id was first recorded
    bool intent = false;    // about to be carried out: signals may have been sent
    std::optional<JournalOutcome> outcome;
    bool settled = false;  // the service accepted the outcome, or refused it for good
    bool refused = false;  // the service refused its "received" (HTTP 4xx): not carried out
    // Not stored: the intent was recorded by this process (the command runs or ran here, and its
    // outcome is recorded in memory before anything else is done with it).
    bool intentHere = false;

    friend bool operator==(const JournalEntry &, const JournalEntry &) = default;
};

// The journal file's content, read leniently: every line that is not a well-formed, intact
// record is counted as damaged and skipped; unknown ids are simply absent.
struct ParsedCommandJournal {
    QList<JournalEntry> entries;  // in order of first appearance
    int damagedLines = 0;
};

// One line per record: 16 lower-case hex digits of the SHA-256 of the JSON text, a space, the
// compact JSON object, a line feed. A record carries "id" and any of "t" (received time),
// "intent", "outcome", "settled" and "refused"; records of one id merge.
ParsedCommandJournal parseCommandJournal(const QByteArray &bytes);
QByteArray commandJournalLine(const JournalEntry &record);
// Folds a later record of the same id into `into`: steps only ever get added, the first time
// and the first outcome stay.
void mergeJournalRecord(JournalEntry &into, const JournalEntry &record);

// The durable record of every command the agent was handed: its id before the "received"
// acknowledgement, its intent before anything is signalled, the outcome acknowledgement (body
// and idempotency key) and finally that the service accepted it. Each step reaches the disk
// (fdatasync) before the call returns. Kept to the newest maxEntries ids and maxAgeSeconds; the
// file is rewritten compactly when it has grown to several lines per kept id.
//
// File handling: the directory is created 0700 and the file "journal" 0600, both opened without
// following a link and checked on the descriptor: a directory or file of this user's that is
// open to group or others is made private through that descriptor (fchmod); a link, another
// user's directory or file, a file with several names or anything but a regular file (a FIFO,
// a device) is refused and never followed.
//
// Degraded: a journal that cannot be used (refused as above, unreadable, a write or flush that
// fails: ENOSPC, EIO) never stops the agent. It keeps working in memory, so a command is still
// carried out at most once while the process runs (not across a restart);
// isDegraded()/degradedReason() say so and why. reopen() takes the durable journal up again once
// the fault is gone: what the file holds and what was kept in memory meanwhile are merged and
// written back. Without a directory the journal is memory-only by design (never degraded).
// Thread: any; calls are serialised by an internal mutex (the poll loop calls it from a worker).
class CommandJournal {
public:
    struct Limits {
        qsizetype maxEntries = 1000;
        qint64 maxAgeSeconds = 7 * 24 * 3600;
        std::function<qint64()> now;  // Unix seconds; empty: the system clock
    };

    explicit CommandJournal(QString directory, Limits limits);
    explicit CommandJournal(QString directory = {})
        : CommandJournal(std::move(directory), Limits{})
    {
    }
    ~CommandJournal();
    CommandJournal(const CommandJournal &) = delete;
    CommandJournal &operator=(const CommandJournal &) = delete;

    // Reads the file (creating it when missing); only the first call does anything. Returns one
    // readable line per problem found (damage, refusal, a mode that was made private); the
    // journal is usable in every case.
    QStringList open();
    // When degraded (or not opened yet): tries to open the directory and file again as open()
    // does, merges what the file holds with what is in memory and writes the union back. True
    // when durable afterwards (and for a memory-only journal); does nothing while durable.
    bool reopen();
    // Whether reopen() would do anything: the journal has a directory and no file open.
    bool needsReopen() const;

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
    // The service refused the "received" acknowledgement for good: nothing is carried out.
    bool recordRefused(const QString &id);
    // Makes everything written so far durable (fdatasync).
    bool flush();

    // Every step reaches the file (false for memory-only and degraded journals).
    bool isDurable() const;
    // A directory was given but the journal is kept in memory only (see above); the reason is
    // readable and names the path and the system's error, e.g. ".../Commands is owned by another
    // user" or "cannot write the journal: No space left on device". Empty unless degraded.
    bool isDegraded() const;
    QString degradedReason() const;
    // The last failure of any step (kept after a recovery); empty when none happened.
    QString lastError() const;
    QString filePath() const;

    static constexpr const char *kFileName = "journal";

private:
    // Opens directory and file, reads and merges the file into memory, rewrites it when needed.
    // Degrades (with the reason) on any failure; false then.
    bool attach(QStringList *problems);
    // Takes up what the file holds beside what memory kept meanwhile (memory wins for an id in
    // both); true when memory knows more than the file.
    bool mergeWithMemory(const ParsedCommandJournal &parsed);
    // Keeps the journal in memory from now on, for `reason`; always false.
    bool degrade(const QString &reason);
    bool append(const JournalEntry &record, bool sync);
    bool compact();
    // note: set when the file's mode had to be made private.
    bool reopenFile(QString *note = nullptr);
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
    QString m_degradedReason;  // empty while durable, memory-only by design or not opened yet
    QHash<QString, JournalEntry> m_entries;
    QStringList m_order;  // ids, oldest first
};

}  // namespace mornix
