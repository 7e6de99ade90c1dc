#include "commands/command_journal.h"

#include "commands/command_id.h"
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

QStringList CommandJournal::open()
{
    QMutexLocker lock(&m_mutex);
    QStringList problems;
    if (m_directory.isEmpty() || m_opened)
        return problems;
    m_opened = true;
    auto refuse = [&](const QString &text) {
        m_lastError = text;
        problems << QStringLiteral("command journal kept in memory only: ") + text;
        closeFile();
        return problems;
    };

    // A real directory (never a link) of this user's, open to nobody else.
    posix::OpenResult directory = posix::openPrivateDirectory(m_directory, posix::ModeRule::requirePrivate);
    if (!directory.ok())
        return refuse(directory.description);
    m_dirFd = std::move(directory.fd);
    if (!reopenFile())
        return refuse(m_lastError);

    // Read what is there; damage is reported and skipped.
    QByteArray bytes;
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(m_fd.get(), buffer, sizeof buffer, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return refuse(errnoText("cannot read the journal"));
        }
        if (got == 0)
            break;
        offset += got;
        bytes.append(buffer, got);
        if (bytes.size() >= kMaxFileBytes) {
            problems << QStringLiteral("command journal larger than %1 bytes; only its beginning was read")
                            .arg(kMaxFileBytes);
            break;
        }
    }
    const ParsedCommandJournal parsed = parseCommandJournal(bytes);
    for (const JournalEntry &entry : parsed.entries) {
        m_entries.insert(entry.id, entry);
        m_order.append(entry.id);
    }
    m_lines = parsed.entries.size() + parsed.damagedLines;
    if (parsed.damagedLines > 0)
        problems << QStringLiteral("command journal damaged: %1 unreadable line(s) skipped, %2 command(s) kept")
                        .arg(parsed.damagedLines)
                        .arg(parsed.entries.size());
    const qsizetype before = m_entries.size();
    prune();
    // Damage, dropped entries or a long history: rewrite the file from what was kept.
    if ((parsed.damagedLines > 0 || m_entries.size() != before || m_lines > m_entries.size() * 2 + 16) && !compact())
        return refuse(m_lastError);
    return problems;
}

bool CommandJournal::reopenFile()
{
    closeFile();
    // A private regular file of this user's with one link, checked on the descriptor.
    posix::OpenResult file = posix::openOwnFileAt(m_dirFd.get(), QString::fromLatin1(kFileName),
                                                  O_RDWR | O_CREAT | O_APPEND, posix::ModeRule::requirePrivate,
                                                  filePath());
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
    if (!m_fd.isValid() || ::fdatasync(m_fd.get()) != 0) {
        m_lastError = !m_fd.isValid() ? QStringLiteral("the journal is not open") : errnoText("cannot flush the journal");
        return false;
    }
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

bool CommandJournal::append(const JournalEntry &record, bool sync)
{
    if (m_directory.isEmpty())
        return true;
    if (!m_fd.isValid()) {
        if (m_lastError.isEmpty())
            m_lastError = QStringLiteral("the journal was not opened");
        return false;
    }
    if (!posix::writeAll(m_fd.get(), commandJournalLine(record))) {
        m_lastError = errnoText("cannot write the journal");
        return false;
    }
    if (sync && ::fdatasync(m_fd.get()) != 0) {
        m_lastError = errnoText("cannot flush the journal");
        return false;
    }
    ++m_lines;
    return true;
}

bool CommandJournal::compact()
{
    if (m_directory.isEmpty())
        return true;
    QByteArray bytes;
    for (const QString &id : std::as_const(m_order))
        bytes += commandJournalLine(m_entries.value(id));
    ::unlinkat(m_dirFd.get(), kTemporaryName, 0);
    posix::UniqueFd file(::openat(m_dirFd.get(), kTemporaryName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const int fd = file.get();
    if (fd < 0) {
        m_lastError = errnoText("cannot create the new journal");
        return false;
    }
    const bool written = posix::writeAll(fd, bytes) && ::fsync(fd) == 0 && file.close() == 0;
    if (!written || ::renameat(m_dirFd.get(), kTemporaryName, m_dirFd.get(), kFileName) != 0 || ::fsync(m_dirFd.get()) != 0) {
        m_lastError = errnoText("cannot replace the journal");
        ::unlinkat(m_dirFd.get(), kTemporaryName, 0);
        return false;
    }
    m_lines = m_order.size();
    return reopenFile();
}

}  // namespace mornix
