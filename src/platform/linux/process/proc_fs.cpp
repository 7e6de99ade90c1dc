#include "platform/linux/process/proc_fs.h"

#include "platform/posix_files.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <ctime>
#include <mutex>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mornix {

namespace procfs {

namespace {

// The head of a record getdents64 fills (glibc declares no type for it); the name follows
// d_type, NUL-terminated, and records are 8-byte aligned.
struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
};
constexpr std::size_t kDirentNameOffset = offsetof(LinuxDirent64, d_type) + 1;

template <typename Number>
bool parseNumber(const char *begin, const char *end, Number &value)
{
    const auto [last, error] = std::from_chars(begin, end, value);
    return error == std::errc() && last == end;
}

QByteArray readSmallFile(const char *path)
{
    const posix::UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0)
        return {};
    QByteArray data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, n);
        if (data.size() > 1 << 20)
            break;
    }
    return data;
}

}  // namespace

QList<qint32> pids()
{
    QList<qint32> result;
    DIR *dir = ::opendir("/proc");
    if (!dir)
        return result;
    while (const dirent *entry = ::readdir(dir)) {
        char *end = nullptr;
        errno = 0;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (errno == 0 && end && *end == '\0' && pid > 0 && pid <= INT32_MAX)
            result.append(static_cast<qint32>(pid));
    }
    ::closedir(dir);
    std::sort(result.begin(), result.end());
    return result;
}

QList<Entry> entries()
{
    const posix::UniqueFd directory(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory.get() < 0 ? QList<Entry>() : entries(directory.get());
}

QList<Entry> entries(int procDirectory)
{
    QList<Entry> result;
    if (::lseek(procDirectory, 0, SEEK_SET) != 0)
        return result;
    result.reserve(1024);
    // getdents64 straight into a large buffer: /proc hands out a few hundred entries per call.
    alignas(8) char buffer[32768];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, procDirectory, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (long offset = 0; offset < n;) {
            const auto *entry = reinterpret_cast<const LinuxDirent64 *>(buffer + offset);
            const char *name = buffer + offset + kDirentNameOffset;
            offset += entry->d_reclen;
            if (name[0] < '1' || name[0] > '9')
                continue;
            quint64 pid = 0;
            const char *c = name;
            for (; *c >= '0' && *c <= '9' && pid <= INT32_MAX; ++c)
                pid = pid * 10 + static_cast<quint64>(*c - '0');
            if (*c == '\0' && pid <= INT32_MAX)
                result.append({static_cast<qint32>(pid), static_cast<quint64>(entry->d_ino)});
        }
    }
    const auto byPid = [](const Entry &a, const Entry &b) { return a.pid < b.pid; };
    if (!std::is_sorted(result.begin(), result.end(), byPid))
        std::sort(result.begin(), result.end(), byPid);
    return result;
}

std::optional<TaskCounters> parseLoadAverage(const QByteArray &text)
{
    // "0.20 0.18 0.12 1/80 11206": three averages, running/total tasks, last pid. Read in place:
    // this runs at every rescan.
    const char *at = text.constData();
    const char *const end = at + text.size();
    const auto skipSpace = [&] {
        while (at < end && (*at == ' ' || *at == '\t' || *at == '\n'))
            ++at;
    };
    const auto skipWord = [&] {
        while (at < end && *at != ' ' && *at != '\t' && *at != '\n')
            ++at;
    };
    for (int field = 0; field < 3; ++field) {
        skipSpace();
        if (at == end)
            return std::nullopt;
        skipWord();
    }
    skipSpace();
    const char *const running = at;
    skipWord();
    const char *const slash = std::find(running, at, '/');
    TaskCounters counters;
    if (slash == at || std::from_chars(slash + 1, at, counters.tasks).ptr != at)
        return std::nullopt;
    skipSpace();
    const char *const pid = at;
    skipWord();
    if (pid == at || std::from_chars(pid, at, counters.lastPid).ptr != at)
        return std::nullopt;
    skipSpace();
    if (at != end)
        return std::nullopt;
    return counters;
}

std::optional<TaskCounters> taskCounters(int loadAverageFile)
{
    if (loadAverageFile < 0)
        return std::nullopt;
    char buffer[128];
    ssize_t n = 0;
    do {
        n = ::pread(loadAverageFile, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof buffer))
        return std::nullopt;
    return parseLoadAverage(QByteArray::fromRawData(buffer, n));
}

std::optional<quint64> entryInode(int procDirectory, qint32 pid)
{
    char name[16];
    std::snprintf(name, sizeof name, "%d", pid);
    struct stat info;
    if (::fstatat(procDirectory, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return static_cast<quint64>(info.st_ino);
}

std::optional<qint32> parseThreadGroup(const QByteArray &text)
{
    // "Name:\t...\nUmask:\t...\nState:\t...\nTgid:\t1234\n..."
    const qsizetype at = text.indexOf("\nTgid:");
    if (at < 0)
        return std::nullopt;
    const char *c = text.constData() + at + 6;
    const char *const end = text.constData() + text.size();
    while (c != end && (*c == '\t' || *c == ' '))
        ++c;
    const char *const digits = c;
    while (c != end && *c >= '0' && *c <= '9')
        ++c;
    qint32 group = 0;
    if (c == digits || c == end || *c != '\n' || !parseNumber(digits, c, group) || group <= 0)
        return std::nullopt;
    return group;
}

std::optional<qint32> threadGroup(int procDirectory, qint32 pid)
{
    char name[32];
    std::snprintf(name, sizeof name, "%d/status", pid);
    const posix::UniqueFd file(::openat(procDirectory, name, O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        return std::nullopt;
    // The Tgid line comes fourth, after the command name (15 bytes, escaped at most fourfold).
    char buffer[512];
    ssize_t n = 0;
    do {
        n = ::read(file.get(), buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return std::nullopt;
    return parseThreadGroup(QByteArray::fromRawData(buffer, n));
}

std::optional<FileIdentity> executableIdentity(int procDirectory, qint32 pid)
{
    char link[32];
    std::snprintf(link, sizeof link, "%d/exe", pid);
    struct stat info;
    if (::fstatat(procDirectory, link, &info, 0) != 0)
        return std::nullopt;
    return FileIdentity{static_cast<quint64>(info.st_dev), static_cast<quint64>(info.st_ino)};
}

std::optional<FileIdentity> executableIdentity(qint32 pid)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", pid);
    struct stat info;
    if (::stat(link, &info) != 0)
        return std::nullopt;
    return FileIdentity{static_cast<quint64>(info.st_dev), static_cast<quint64>(info.st_ino)};
}

QString executablePath(qint32 pid)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", pid);
    char buffer[4096];
    const ssize_t n = ::readlink(link, buffer, sizeof buffer);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof buffer))
        return {};
    QString path = QString::fromUtf8(buffer, n);
    static const QString deleted = QStringLiteral(" (deleted)");
    if (path.endsWith(deleted))
        path.chop(deleted.size());
    return path;
}

namespace {

bool isBlank(char c)
{
    // The blanks QByteArray::simplified() collapses.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::optional<StatFields> parseStat(const QByteArray &text)
{
    // Read for every new process of every rescan: parsed in place, nothing allocated.
    const qsizetype close = text.lastIndexOf(')');
    const qsizetype open = text.indexOf('(');
    if (close < 0 || open < 0 || open > close)
        return std::nullopt;
    // After the name: state(3) ppid(4) ... starttime(22): index 0 is field 3.
    constexpr int kState = 0, kParent = 1, kStart = 19;
    const char *c = text.constData() + close + 1;
    const char *const end = text.constData() + text.size();
    StatFields result;
    int index = 0;
    for (; index <= kStart; ++index) {
        while (c != end && isBlank(*c))
            ++c;
        if (c == end)
            return std::nullopt;
        const char *const field = c;
        while (c != end && !isBlank(*c))
            ++c;
        if (index == kState) {
            if (c - field != 1)
                return std::nullopt;
            result.state = *field;
        } else if (index == kParent) {
            if (!parseNumber(field, c, result.parentPid))
                return std::nullopt;
        } else if (index == kStart) {
            if (!parseNumber(field, c, result.startTicks))
                return std::nullopt;
        }
    }
    return result;
}

std::optional<StatFields> stat(qint32 pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    // A stat line is a few hundred bytes: read onto the stack, nothing allocated.
    const posix::UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        return std::nullopt;
    char buffer[2048];
    std::size_t size = 0;
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer + size, sizeof buffer - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        size += static_cast<std::size_t>(n);
        if (size == sizeof buffer)
            return std::nullopt;  // no stat line is this long
    }
    if (size == 0)
        return std::nullopt;
    return parseStat(QByteArray::fromRawData(buffer, static_cast<qsizetype>(size)));
}

std::optional<qint64> bootTime()
{
    static std::once_flag once;
    static std::optional<qint64> value;
    std::call_once(once, [] {
        const QByteArray text = readSmallFile("/proc/stat");
        for (const QByteArray &line : text.split('\n')) {
            if (line.startsWith("btime ")) {
                bool ok = false;
                const qint64 seconds = line.mid(6).trimmed().toLongLong(&ok);
                if (ok)
                    value = seconds;
            }
        }
    });
    return value;
}

long ticksPerSecond()
{
    static const long ticks = [] {
        const long value = ::sysconf(_SC_CLK_TCK);
        return value > 0 ? value : 100L;
    }();
    return ticks;
}

double startSeconds(qint64 boot, long ticks, quint64 startTicks)
{
    return (static_cast<double>(boot) * static_cast<double>(ticks) + static_cast<double>(startTicks))
           / static_cast<double>(ticks);
}

QString startText(qint64 startSecondsSinceEpoch)
{
    const std::time_t time = static_cast<std::time_t>(startSecondsSinceEpoch);
    std::tm local{};
    if (!::localtime_r(&time, &local))
        return {};
    // strftime in the C locale: %a and %b are English regardless of the user's locale.
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    char buffer[64];
    const size_t n = cLocale ? ::strftime_l(buffer, sizeof buffer, "%a %b %e %H:%M:%S %Y", &local, cLocale)
                             : ::strftime(buffer, sizeof buffer, "%a %b %e %H:%M:%S %Y", &local);
    if (n == 0)
        return {};
    return QString::fromLatin1(buffer, static_cast<qsizetype>(n)).simplified();
}

std::optional<QString> processStartText(const StatFields &fields)
{
    const std::optional<qint64> boot = bootTime();
    if (!boot)
        return std::nullopt;
    const qint64 seconds = *boot + static_cast<qint64>(fields.startTicks / static_cast<quint64>(ticksPerSecond()));
    const QString text = startText(seconds);
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

}  // namespace procfs

}  // namespace mornix
