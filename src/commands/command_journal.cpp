#include "commands/command_journal.h"

#include "commands/commands_logging.h"
#include "platform/posix_files.h"

#include <QDateTime>
#include <QDir>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace mornix {

namespace {

constexpr qsizetype kMaxFileBytes = 16 * 1024 * 1024;  // larger files are read up to here
constexpr const char *kTemporaryName = "journal.new";

QString errnoText(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

// Opens requiring a private mode; when only the mode was wrong (the second open, which removes
// group and other bits through the descriptor, succeeds), `note` says what was made private.
template <typename Open>
posix::OpenResult openMadePrivate(const Open &open, QString *note)
{
    posix::OpenResult strict = open(posix::ModeRule::requirePrivate);
    if (strict.ok())
        return strict;
    posix::OpenResult loose = open(posix::ModeRule::makePrivate);
    if (!loose.ok())
        return strict;
    if (note)
        *note = QStringLiteral("command journal: ") + strict.description + QStringLiteral("; made private");
    return loose;
}

// Equal as far as the file is concerned.
bool sameOnDisk(JournalEntry a, JournalEntry b)
{
    a.intentHere = b.intentHere = false;
    return a == b;
}

}  // namespace

CommandJournal::CommandJournal(QString directory, Limits limits)
    : m_directory(std::move(directory))
    , m_limits(std::move(limits))
{
}

CommandJournal::~CommandJournal() = default;

void CommandJournal::closeFile()
{
    m_fd.reset();
}

qint64 CommandJournal::now() const
{
    return m_limits.now ? m_limits.now() : QDateTime::currentSecsSinceEpoch();
}

QString CommandJournal::filePath() const
{
    return m_directory.isEmpty() ? QString() : QDir(m_directory).filePath(QLatin1String(kFileName));
}

bool CommandJournal::isDurable() const
{
    QMutexLocker lock(&m_mutex);
    return m_fd.isValid();
}

QString CommandJournal::lastError() const
{
    QMutexLocker lock(&m_mutex);
    return m_lastError;
}

bool CommandJournal::isDegraded() const
{
    QMutexLocker lock(&m_mutex);
    return !m_degradedReason.isEmpty();
}

QString CommandJournal::degradedReason() const
{
    QMutexLocker lock(&m_mutex);
    return m_degradedReason;
}

QStringList CommandJournal::open()
{
    QMutexLocker lock(&m_mutex);
    QStringList problems;
    if (m_directory.isEmpty() || m_opened)
        return problems;
    m_opened = true;
    attach(&problems);
    return problems;
}

bool CommandJournal::reopen()
{
    QMutexLocker lock(&m_mutex);
    if (m_directory.isEmpty() || m_fd.isValid())
        return true;
    m_opened = true;
    QStringList problems;
    if (!attach(&problems))
        return false;
    for (const QString &problem : std::as_const(problems))
        qCWarning(lcCommands).noquote() << problem;
    return true;
}

bool CommandJournal::needsReopen() const
{
    QMutexLocker lock(&m_mutex);
    return !m_directory.isEmpty() && !m_fd.isValid();
}

bool CommandJournal::degrade(const QString &reason)
{
    m_lastError = reason;
    m_degradedReason = reason;
    closeFile();
    m_dirFd.reset();
    return false;
}

bool CommandJournal::attach(QStringList *problems)
{
    closeFile();
    m_dirFd.reset();
    auto fail = [&](const QString &reason) {
        *problems << QStringLiteral("command journal kept in memory only: ") + reason;
        return degrade(reason);
    };

    // A real directory (never a link) of this user's; group and other bits are removed.
    QString note;
    const auto openDirectory = [this](posix::ModeRule rule) { return posix::openPrivateDirectory(m_directory, rule); };
    posix::OpenResult directory = openMadePrivate(openDirectory, &note);
    if (!note.isEmpty())
        *problems << note;
    if (!directory.ok())
        return fail(directory.description);
    m_dirFd = std::move(directory.fd);
    note.clear();
    if (!reopenFile(&note))
        return fail(m_lastError);
    if (!note.isEmpty())
        *problems << note;

    // Read what is there; damage is reported and skipped.
    QByteArray bytes;
    bool truncated = false;
    if (!posix::readAtMost(m_fd.get(), kMaxFileBytes, &bytes, &truncated))
        return fail(errnoText("cannot read the journal"));
    if (truncated)
        *problems
            << QStringLiteral("command journal larger than %1 bytes; only its beginning was read").arg(kMaxFileBytes);
    const ParsedCommandJournal parsed = parseCommandJournal(bytes);
    const bool memoryAhead = mergeWithMemory(parsed);
    m_lines = parsed.entries.size() + parsed.damagedLines;
    if (parsed.damagedLines > 0)
        *problems << QStringLiteral("command journal damaged: %1 unreadable line(s) skipped, %2 command(s) kept")
                         .arg(parsed.damagedLines)
                         .arg(parsed.entries.size());
    const qsizetype before = m_entries.size();
    prune();
    // Damage, dropped entries, steps kept in memory meanwhile or a long history: rewrite the file
    // from what is kept.
    if ((parsed.damagedLines > 0 || m_entries.size() != before || memoryAhead || m_lines > m_entries.size() * 2 + 16)
        && !compact())
        return fail(m_lastError);
    m_degradedReason.clear();
    return true;
}

bool CommandJournal::mergeWithMemory(const ParsedCommandJournal &parsed)
{
    // The file first, then what only memory holds (kept while the journal could not be used);
    // for an id in both, what memory knows wins.
    QHash<QString, JournalEntry> entries;
    QStringList order;
    bool memoryAhead = false;
    for (const JournalEntry &stored : parsed.entries) {
        JournalEntry entry = stored;
        const auto known = m_entries.constFind(stored.id);
        if (known != m_entries.cend()) {
            entry = *known;
            mergeJournalRecord(entry, stored);
            memoryAhead = memoryAhead || !sameOnDisk(entry, stored);
        }
        entries.insert(entry.id, entry);
        order.append(entry.id);
    }
    for (const QString &id : std::as_const(m_order)) {
        if (!entries.contains(id)) {
            entries.insert(id, m_entries.value(id));
            order.append(id);
            memoryAhead = true;
        }
    }
    m_entries = std::move(entries);
    m_order = std::move(order);
    return memoryAhead;
}

bool CommandJournal::reopenFile(QString *note)
{
    closeFile();
    // A regular file of this user's with one link, checked on the descriptor; group and other
    // bits are removed through it.
    const auto openFile = [this](posix::ModeRule rule) {
        return posix::openOwnFileAt(m_dirFd.get(), QString::fromLatin1(kFileName), O_RDWR | O_CREAT | O_APPEND, rule,
                                    filePath());
    };
    posix::OpenResult file = openMadePrivate(openFile, note);
    if (!file.ok()) {
        m_lastError = file.description;
        return false;
    }
    m_fd = std::move(file.fd);
    return true;
}

std::optional<JournalEntry> CommandJournal::entry(const QString &id) const
{
    QMutexLocker lock(&m_mutex);
    const auto found = m_entries.constFind(id);
    if (found == m_entries.cend())
        return std::nullopt;
    return *found;
}

QList<JournalEntry> CommandJournal::unsettledOutcomes() const
{
    QMutexLocker lock(&m_mutex);
    QList<JournalEntry> pending;
    for (const QString &id : m_order) {
        const JournalEntry &entry = m_entries[id];
        if (entry.outcome && !entry.settled)
            pending.append(entry);
    }
    return pending;
}

qsizetype CommandJournal::size() const
{
    QMutexLocker lock(&m_mutex);
    return m_entries.size();
}

JournalEntry &CommandJournal::entryFor(const QString &id)
{
    auto found = m_entries.find(id);
    if (found == m_entries.end()) {
        found = m_entries.insert(id, JournalEntry{id, now(), false, std::nullopt, false});
        m_order.append(id);
    }
    return *found;
}

void CommandJournal::prune()
{
    const qint64 oldest = now() - m_limits.maxAgeSeconds;
    while (!m_order.isEmpty()
           && (m_order.size() > m_limits.maxEntries || m_entries.value(m_order.first()).receivedAt < oldest))
        m_entries.remove(m_order.takeFirst());
}

bool CommandJournal::flush()
{
    QMutexLocker lock(&m_mutex);
    if (m_directory.isEmpty())
        return true;
    if (!m_fd.isValid()) {
        if (m_degradedReason.isEmpty())
            m_lastError = QStringLiteral("the journal was not opened");
        return false;
    }
    if (::fdatasync(m_fd.get()) != 0)
        return degrade(errnoText("cannot flush the journal"));
    return true;
}

bool CommandJournal::recordReceived(const QString &id, bool sync)
{
    QMutexLocker lock(&m_mutex);
    if (m_entries.contains(id))
        return true;
    JournalEntry &entry = entryFor(id);
    const JournalEntry record{id, entry.receivedAt, false, std::nullopt, false};
    const qsizetype before = m_entries.size();
    prune();
    if (m_entries.size() != before && m_lines > m_limits.maxEntries * 4)
        return compact();
    return append(record, sync);
}

bool CommandJournal::recordIntent(const QString &id)
{
    QMutexLocker lock(&m_mutex);
    JournalEntry &entry = entryFor(id);
    entry.intent = true;
    entry.intentHere = true;
    return append(JournalEntry{id, entry.receivedAt, true, std::nullopt, false}, true);
}

bool CommandJournal::recordOutcome(const QString &id, const JournalOutcome &outcome, bool sync)
{
    QMutexLocker lock(&m_mutex);
    JournalEntry &entry = entryFor(id);
    entry.outcome = outcome;
    return append(JournalEntry{id, entry.receivedAt, false, outcome, false}, sync);
}

bool CommandJournal::recordSettled(const QString &id)
{
    QMutexLocker lock(&m_mutex);
    const auto found = m_entries.find(id);
    if (found == m_entries.end() || found->settled)
        return true;  // already dropped, or already recorded
    found->settled = true;
    // Not synchronised: if it is lost, the outcome is merely sent once more with its own key.
    return append(JournalEntry{id, found->receivedAt, false, std::nullopt, true}, false);
}

bool CommandJournal::recordRefused(const QString &id)
{
    QMutexLocker lock(&m_mutex);
    JournalEntry &entry = entryFor(id);
    if (entry.refused)
        return true;
    entry.refused = true;
    JournalEntry record{id, entry.receivedAt, false, std::nullopt, false};
    record.refused = true;
    return append(record, false);
}

bool CommandJournal::append(const JournalEntry &record, bool sync)
{
    if (m_directory.isEmpty())
        return true;
    if (!m_fd.isValid()) {
        if (m_degradedReason.isEmpty())
            m_lastError = QStringLiteral("the journal was not opened");
        return false;
    }
    // A failed write may leave a torn line behind: it is skipped as damage when the file is
    // taken up again, and the file is rewritten from memory then.
    if (!posix::writeAll(m_fd.get(), commandJournalLine(record)))
        return degrade(errnoText("cannot write the journal"));
    if (sync && ::fdatasync(m_fd.get()) != 0)
        return degrade(errnoText("cannot flush the journal"));
    ++m_lines;
    return true;
}

bool CommandJournal::compact()
{
    if (m_directory.isEmpty())
        return true;
    if (!m_dirFd.isValid())
        return false;  // degraded or not opened: the reason is already recorded
    QByteArray bytes;
    for (const QString &id : std::as_const(m_order))
        bytes += commandJournalLine(m_entries.value(id));
    // Serialised by the mutex: one fixed temporary name serves, and a crash leaves no litter.
    posix::ReplaceOptions options;
    options.temporaryName = QLatin1String(kTemporaryName);
    options.directorySync = posix::DirectorySync::required;
    const posix::ReplaceResult replaced = posix::replaceFile(m_dirFd.get(), QLatin1String(kFileName), bytes, options);
    if (!replaced.ok()) {
        const char *what = replaced.step == posix::ReplaceResult::Step::create ? "cannot create the new journal"
                                                                               : "cannot replace the journal";
        return degrade(QStringLiteral("%1: %2").arg(QLatin1String(what), posix::errorText(replaced.error)));
    }
    m_lines = m_order.size();
    return reopenFile() || degrade(m_lastError);
}

}  // namespace mornix
