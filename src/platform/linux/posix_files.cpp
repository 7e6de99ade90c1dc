#include "platform/posix_files.h"

#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace posix {

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

int UniqueFd::close()
{
    const int fd = release();
    return fd >= 0 ? ::close(fd) : 0;
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

QString errorText(int error)
{
    char buffer[256] = {};
    // GNU strerror_r returns the text (possibly a static string, not the buffer).
    const char *text = ::strerror_r(error, buffer, sizeof buffer);
    return QString::fromLocal8Bit(text ? text : "unknown error");
}

namespace {

OpenResult failure(int error, const QString &action, const QString &path)
{
    OpenResult result;
    result.error = error;
    result.description = QStringLiteral("cannot %1 %2: %3").arg(action, path, errorText(error));
    return result;
}

OpenResult refusal(const QString &path, const QString &problem)
{
    OpenResult result;
    result.description = path + QLatin1Char(' ') + problem;
    return result;
}

QString typeProblem(mode_t mode)
{
    if (S_ISLNK(mode))
        return QStringLiteral("is a symbolic link");
    if (S_ISDIR(mode))
        return QStringLiteral("is a directory");
    if (S_ISFIFO(mode))
        return QStringLiteral("is a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("is a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("is a device");
    return QStringLiteral("is not a regular file");
}

// Checks the mode bits by `rule`; MakePrivate removes group and other bits through fd.
QString applyModeRule(int fd, const struct stat &st, ModeRule rule)
{
    switch (rule) {
    case ModeRule::requirePrivate:
        if (st.st_mode & 077)
            return QStringLiteral("is open to group or others (mode %1)")
                .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return {};
    case ModeRule::notWritableByOthers:
        if (st.st_mode & 022)
            return QStringLiteral("is writable by group or others (mode %1)")
                .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return {};
    case ModeRule::makePrivate:
        if ((st.st_mode & 077) && ::fchmod(fd, st.st_mode & 07700) != 0)
            return QStringLiteral("cannot be made private: %1").arg(errorText(errno));
        return {};
    }
    return {};
}

// mkdir of every missing ancestor of `path` with mode 0700 (the last component excluded).
int createAncestors(const QByteArray &path)
{
    for (qsizetype i = 1; i < path.size(); ++i) {
        if (path.at(i) != '/')
            continue;
        const QByteArray prefix = path.left(i);
        if (::mkdir(prefix.constData(), 0700) != 0 && errno != EEXIST)
            return errno;
    }
    return 0;
}

OpenResult finishDirectory(UniqueFd fd, const QString &path, ModeRule rule)
{
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return failure(errno, QStringLiteral("inspect"), path);
    if (!S_ISDIR(st.st_mode))
        return refusal(path, QStringLiteral("is not a directory"));
    if (st.st_uid != ::getuid())
        return refusal(path, QStringLiteral("is owned by another user"));
    const QString problem = applyModeRule(fd.get(), st, rule);
    if (!problem.isEmpty())
        return refusal(path, problem);
    OpenResult result;
    result.fd = std::move(fd);
    return result;
}

OpenResult openDirectoryEntry(int directoryFd, const QByteArray &entry, const QString &displayPath, ModeRule rule)
{
    // 0700 from the first moment: no window before a later chmod (the umask can only narrow it).
    if (::mkdirat(directoryFd, entry.constData(), 0700) != 0 && errno != EEXIST)
        return failure(errno, QStringLiteral("create the directory"), displayPath);
    const int fd = ::openat(directoryFd, entry.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        struct stat st {};
        // O_NOFOLLOW | O_DIRECTORY reports a link as ENOTDIR or ELOOP: name it plainly.
        if ((error == ELOOP || error == ENOTDIR)
            && ::fstatat(directoryFd, entry.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            return refusal(displayPath, QStringLiteral("is a symbolic link (refused, not followed)"));
        return failure(error, QStringLiteral("open the directory"), displayPath);
    }
    return finishDirectory(UniqueFd(fd), displayPath, rule);
}

}  // namespace

OpenResult openPrivateDirectory(const QString &path, ModeRule rule)
{
    QByteArray native = QFile::encodeName(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    if (native.isEmpty() || !native.startsWith('/'))
        return refusal(path.isEmpty() ? QStringLiteral("(empty path)") : path,
                       QStringLiteral("is not an absolute path"));
    if (const int error = createAncestors(native))
        return failure(error, QStringLiteral("create the parent directories of"), path);
    return openDirectoryEntry(AT_FDCWD, native, path, rule);
}

OpenResult openPrivateDirectoryAt(int directoryFd, const QString &name, const QString &displayPath, ModeRule rule)
{
    return openDirectoryEntry(directoryFd, QFile::encodeName(name), displayPath, rule);
}

OpenResult openOwnDirectory(const QString &path, ModeRule rule)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return failure(errno, QStringLiteral("open the directory"), path);
    return finishDirectory(UniqueFd(fd), path, rule);
}

namespace {
QString basicFileProblem(const struct stat &st)
{
    if (!S_ISREG(st.st_mode))
        return typeProblem(st.st_mode);
    if (st.st_uid != ::getuid())
        return QStringLiteral("is owned by another user");
    if (st.st_nlink != 1)
        return QStringLiteral("has %1 hard links").arg(st.st_nlink);
    return {};
}
}  // namespace

QString ownFileProblem(const struct stat &st, ModeRule rule)
{
    const QString problem = basicFileProblem(st);
    if (!problem.isEmpty())
        return problem;
    return applyModeRule(-1, st, rule == ModeRule::makePrivate ? ModeRule::requirePrivate : rule);
}

OpenResult openOwnFileAt(int directoryFd, const QString &path, int flags, ModeRule rule, const QString &displayPath)
{
    const QString shown = displayPath.isEmpty() ? path : displayPath;
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::openat(directoryFd, native.constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        struct stat st {};
        // ELOOP: a link; ENXIO: a FIFO without reader (write-only open); EISDIR: a directory.
        if (::fstatat(directoryFd, native.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
            OpenResult refused = refusal(shown, typeProblem(st.st_mode));
            refused.error = error;
            return refused;
        }
        return failure(error, QStringLiteral("open"), shown);
    }
    UniqueFd owned(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return failure(errno, QStringLiteral("inspect"), shown);
    QString problem = basicFileProblem(st);
    if (problem.isEmpty())
        problem = applyModeRule(fd, st, rule);
    if (!problem.isEmpty())
        return refusal(shown, problem);
    OpenResult result;
    result.fd = std::move(owned);
    return result;
}

OpenResult openOwnFile(const QString &path, int flags, ModeRule rule)
{
    return openOwnFileAt(AT_FDCWD, path, flags, rule, path);
}

bool writeAll(int fd, const QByteArray &data)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {  // no progress: fail rather than spin
            errno = EIO;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

bool readAtMost(int fd, qint64 maxBytes, QByteArray *out, bool *truncated)
{
    QByteArray data;
    char buffer[8192];
    *truncated = false;
    for (;;) {
        // One byte beyond the limit tells whether more follows.
        const qint64 wanted = std::min<qint64>(sizeof buffer, maxBytes + 1 - data.size());
        const ssize_t n = ::read(fd, buffer, static_cast<size_t>(wanted));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        if (data.size() + n > maxBytes) {
            data.append(buffer, maxBytes - data.size());
            *truncated = true;
            break;
        }
        data.append(buffer, n);
    }
    *out = data;
    return true;
}

bool readAll(int fd, qint64 maxBytes, QByteArray *out)
{
    QByteArray data;
    bool truncated = false;
    if (!readAtMost(fd, maxBytes, &data, &truncated))
        return false;
    if (truncated) {
        errno = EFBIG;
        return false;
    }
    *out = data;
    return true;
}

ReadResult readOwnFileAt(int directoryFd, const QString &name, qint64 maxBytes, ModeRule rule,
                         const QString &displayPath)
{
    const QString shown = displayPath.isEmpty() ? name : displayPath;
    OpenResult file = openOwnFileAt(directoryFd, name, O_RDONLY, rule, shown);
    ReadResult result;
    if (!file.ok()) {
        result.error = file.error;
        result.description = std::move(file.description);
        return result;
    }
    QByteArray bytes;
    if (!readAll(file.fd.get(), maxBytes, &bytes)) {
        result.error = errno;
        result.description = result.error == EFBIG
                                 ? QStringLiteral("%1 is larger than %2 bytes").arg(shown).arg(maxBytes)
                                 : QStringLiteral("cannot read %1: %2").arg(shown, errorText(result.error));
        return result;
    }
    result.bytes = std::move(bytes);
    return result;
}

namespace {

ReplaceResult replaceFailure(ReplaceResult::Step step, int error, const QString &what)
{
    ReplaceResult result;
    result.step = step;
    result.error = error;
    const char *action = step == ReplaceResult::Step::create  ? "create"
                         : step == ReplaceResult::Step::write ? "write"
                                                              : "replace";
    result.description = QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(action), what, errorText(error));
    return result;
}

// Creates the temporary file of a replacement (O_EXCL, never through a link).
int createTemporary(int directoryFd, const QByteArray &target, const ReplaceOptions &options, QByteArray *name)
{
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    if (!options.temporaryName.isEmpty()) {
        *name = QFile::encodeName(options.temporaryName);
        ::unlinkat(directoryFd, name->constData(), 0);
        return ::openat(directoryFd, name->constData(), flags, options.mode);
    }
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        *name = target + ".tmp-" + QByteArray::number(::getpid()) + '.'
                + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
        fd = ::openat(directoryFd, name->constData(), flags, options.mode);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    return fd;
}

}  // namespace

ReplaceResult replaceFile(int directoryFd, const QString &name, const QByteArray &data, const ReplaceOptions &options)
{
    using Step = ReplaceResult::Step;
    const QByteArray target = QFile::encodeName(name);
    QByteArray temporary;
    UniqueFd file(createTemporary(directoryFd, target, options, &temporary));
    if (!file.isValid())
        return replaceFailure(Step::create, errno, QString::fromLocal8Bit(temporary));
    // The creation mode is narrowed by the umask only; make it exact before any byte is written.
    const bool written =
        ::fchmod(file.get(), options.mode) == 0 && writeAll(file.get(), data) && ::fsync(file.get()) == 0;
    const int writeError = errno;
    if (!written || file.close() != 0) {
        const ReplaceResult result = replaceFailure(Step::write, written ? errno : writeError, name);
        ::unlinkat(directoryFd, temporary.constData(), 0);
        return result;
    }
    if (::renameat(directoryFd, temporary.constData(), directoryFd, target.constData()) != 0) {
        const ReplaceResult result = replaceFailure(Step::rename, errno, name);
        ::unlinkat(directoryFd, temporary.constData(), 0);
        return result;
    }
    if (::fsync(directoryFd) != 0 && options.directorySync == DirectorySync::required)
        return replaceFailure(Step::syncDirectory, errno, name);
    return {};
}

QString replaceFileAt(int directoryFd, const QString &name, const QByteArray &data, mode_t mode)
{
    ReplaceOptions options;
    options.mode = mode;
    return replaceFile(directoryFd, name, data, options).description;
}

QString appendLine(int fd, const QByteArray &line)
{
    QByteArray bytes = line;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return QStringLiteral("cannot inspect the file: %1").arg(errorText(errno));
    if (st.st_size > 0) {
        char last = '\n';
        ssize_t n;
        do {
            n = ::pread(fd, &last, 1, st.st_size - 1);
        } while (n < 0 && errno == EINTR);
        if (n == 1 && last != '\n')
            bytes.prepend('\n');
    }
    ssize_t written;
    do {
        written = ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
    } while (written < 0 && errno == EINTR);
    if (written < 0)
        return QStringLiteral("cannot write: %1").arg(errorText(errno));
    if (written < bytes.size()) {
        // Never continue the rest later (it could land after another writer's line): end the
        // fragment here; if even that fails, the next append starts on a new line.
        if (written > 0 && ::write(fd, "\n", 1) != 1)
            return QStringLiteral("short write (%1 of %2 bytes, line left open: %3)")
                .arg(written)
                .arg(bytes.size())
                .arg(errorText(errno));
        return QStringLiteral("short write (%1 of %2 bytes)").arg(written).arg(bytes.size());
    }
    return {};
}

OpenResult openPrivateDirectoryChain(const QString &base, const QStringList &components, ModeRule rule)
{
    if (components.isEmpty())
        return openPrivateDirectory(base, rule);
    QString shown = base + QLatin1Char('/') + components.first();
    OpenResult current = openPrivateDirectory(shown, rule);
    for (qsizetype i = 1; i < components.size() && current.ok(); ++i) {
        shown += QLatin1Char('/') + components.at(i);
        current = openPrivateDirectoryAt(current.fd.get(), components.at(i), shown, rule);
    }
    return current;
}

QString dataDirectoryPath()
{
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataHome.isEmpty())
        return {};
    return dataHome + QStringLiteral("/VeltroMornix");
}

OpenResult openDataDirectory()
{
    const QString path = dataDirectoryPath();
    if (path.isEmpty())
        return refusal(QStringLiteral("the data directory"),
                       QStringLiteral("is unknown: the user has no data location"));
    return openPrivateDirectory(path, ModeRule::makePrivate);
}

QString preparedDataDirectory(QString *problem)
{
    const OpenResult dir = openDataDirectory();
    if (!dir.ok()) {
        if (problem)
            *problem = dir.description;
        return {};
    }
    return dataDirectoryPath();
}

}  // namespace posix

}  // namespace mornix
