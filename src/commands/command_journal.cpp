#include "commands/command_journal.h"

#include "commands/command_id.h"
#include "commands/commands_logging.h"
#include "support/crypto.h"
#include "platform/posix_files.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QMutexLocker>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

constexpr qsizetype kChecksumDigits = 16;
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

bool isLowerHex(QByteArrayView text)
{
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

std::optional<JournalOutcome> outcomeFromJSON(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    const std::optional<AckStatus> status = ackStatusFromText(object.value(QLatin1String("status")).toString());
    if (!status || *status == AckStatus::received)
        return std::nullopt;
    const QJsonValue message = object.value(QLatin1String("message"));
    const QJsonValue payload = object.value(QLatin1String("payload"));
    const QJsonValue key = object.value(QLatin1String("key"));
    const QJsonValue device = object.value(QLatin1String("device"));
    if (!message.isString() || !payload.isObject() || !key.isString() || !device.isString())
        return std::nullopt;
    return JournalOutcome{*status, message.toString(), payload.toObject(), key.toString(), device.toString()};
}

QJsonObject outcomeToJSON(const JournalOutcome &outcome)
{
    return QJsonObject{{QStringLiteral("status"), ackStatusText(outcome.status)},
                       {QStringLiteral("message"), outcome.message},
                       {QStringLiteral("payload"), outcome.payload},
                       {QStringLiteral("key"), outcome.idempotencyKey},
                       {QStringLiteral("device"), outcome.deviceID}};
}

// One record line's content, or nullopt when it is not a well-formed record.
std::optional<JournalEntry> recordFromLine(QByteArrayView line)
{
    if (line.size() < kChecksumDigits + 2 || line.at(kChecksumDigits) != ' ')
        return std::nullopt;
    const QByteArrayView checksum = line.first(kChecksumDigits);
    const QByteArray json = line.sliced(kChecksumDigits + 1).toByteArray();
    if (!isLowerHex(checksum) || crypto::sha256Hex(json).left(kChecksumDigits).toLatin1() != checksum)
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    JournalEntry record;
    const QJsonValue id = object.value(QLatin1String("id"));
    if (!id.isString() || !command_id::isSafe(id.toString()))
        return std::nullopt;
    record.id = id.toString();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString key = it.key();
        if (key == QLatin1String("id"))
            continue;
        if (key == QLatin1String("t")) {
            const qint64 seconds = it.value().toInteger(-1);
            if (seconds < 0)
                return std::nullopt;
            record.receivedAt = seconds;
        } else if (key == QLatin1String("intent") && it.value().isBool()) {
            record.intent = it.value().toBool();
        } else if (key == QLatin1String("settled") && it.value().isBool()) {
            record.settled = it.value().toBool();
        } else if (key == QLatin1String("refused") && it.value().isBool()) {
            record.refused = it.value().toBool();
        } else if (key == QLatin1String("outcome")) {
            record.outcome = outcomeFromJSON(it.value());
            if (!record.outcome)
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    return record;
}

void merge(JournalEntry &into, const JournalEntry &record)
{
    if (into.receivedAt == 0)
        into.receivedAt = record.receivedAt;
    into.intent = into.intent || record.intent;
    if (record.outcome && !into.outcome)
        into.outcome = record.outcome;
    into.settled = into.settled || record.settled;
    into.refused = into.refused || record.refused;
}

// Equal as far as the file is concerned.
bool sameOnDisk(JournalEntry a, JournalEntry b)
{
    a.intentHere = b.intentHere = false;
    return a == b;
}

}  // namespace

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
            merge(parsed.entries[*found], *record);
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
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(m_fd.get(), buffer, sizeof buffer, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return fail(errnoText("cannot read the journal"));
        }
        if (got == 0)
            break;
        offset += got;
        bytes.append(buffer, got);
        if (bytes.size() >= kMaxFileBytes) {
            *problems << QStringLiteral("command journal larger than %1 bytes; only its beginning was read")
                             .arg(kMaxFileBytes);
            break;
        }
    }
    const ParsedCommandJournal parsed = parseCommandJournal(bytes);
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
            merge(entry, stored);
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
    ::unlinkat(m_dirFd.get(), kTemporaryName, 0);
    posix::UniqueFd file(::openat(m_dirFd.get(), kTemporaryName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const int fd = file.get();
    if (fd < 0)
        return degrade(errnoText("cannot create the new journal"));
    const bool written = posix::writeAll(fd, bytes) && ::fsync(fd) == 0 && file.close() == 0;
    if (!written || ::renameat(m_dirFd.get(), kTemporaryName, m_dirFd.get(), kFileName) != 0 || ::fsync(m_dirFd.get()) != 0) {
        const QString reason = errnoText("cannot replace the journal");
        ::unlinkat(m_dirFd.get(), kTemporaryName, 0);
        return degrade(reason);
    }
    m_lines = m_order.size();
    return reopenFile() || degrade(m_lastError);
}

}  // namespace mornix
