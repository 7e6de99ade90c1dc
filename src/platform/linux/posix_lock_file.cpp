// LockFile: exclusive locks on private lock files (flock or a POSIX record lock).
#include "platform/posix_files.h"

#include <QMutex>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace posix {

namespace {

// Files this process holds a record lock on, by directory identity and name. Closing any
// descriptor of such a file drops every record lock the process has on it, so a second
// attempt must be answered before the file is opened.
QMutex g_recordLocksMutex;
QSet<QString> g_recordLocks;

QString recordLockKey(int directoryFd, const QString &name)
{
    struct stat st {};
    if (directoryFd != AT_FDCWD && ::fstat(directoryFd, &st) == 0)
        return QStringLiteral("%1:%2/%3").arg(st.st_dev).arg(st.st_ino).arg(name);
    return name;
}

// 0 when locked, else the errno (EWOULDBLOCK/EAGAIN/EACCES: held by another).
int lockDescriptor(int fd, LockKind kind, LockWait wait)
{
    int rc;
    do {
        if (kind == LockKind::OpenFile)
            rc = ::flock(fd, LOCK_EX | (wait == LockWait::Try ? LOCK_NB : 0));
        else
            rc = ::lockf(fd, wait == LockWait::Try ? F_TLOCK : F_LOCK, 0);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

}  // namespace

LockFile::LockFile(UniqueFd fd, LockKind kind, QString key)
    : m_fd(std::move(fd))
    , m_kind(kind)
    , m_key(std::move(key))
{
}

LockFile::~LockFile()
{
    if (m_kind == LockKind::Process) {
        ::lseek(m_fd.get(), 0, SEEK_SET);
        ::lockf(m_fd.get(), F_ULOCK, 0);
        m_fd.reset();
        QMutexLocker locker(&g_recordLocksMutex);
        g_recordLocks.remove(m_key);
    }
    // An OpenFile lock goes with its descriptor.
}

LockAttempt LockFile::acquireAt(int directoryFd, const QString &name, const QString &displayPath, LockKind kind,
                                LockWait wait, ModeRule rule)
{
    LockAttempt attempt;
    const QString key = kind == LockKind::Process ? recordLockKey(directoryFd, name) : QString();
    // Held for the whole attempt (Process locks): a second thread must not open the file while
    // the first one takes the lock.
    QMutexLocker locker(kind == LockKind::Process ? &g_recordLocksMutex : nullptr);
    if (kind == LockKind::Process && g_recordLocks.contains(key)) {
        attempt.heldElsewhere = true;
        return attempt;
    }
    OpenResult file = openOwnFileAt(directoryFd, name, O_RDWR | O_CREAT, rule, displayPath);
    if (!file.ok()) {
        attempt.error = file.error;
        attempt.description = file.description;
        return attempt;
    }
    if (const int error = lockDescriptor(file.fd.get(), kind, wait)) {
        if (error == EWOULDBLOCK || error == EAGAIN || error == EACCES) {
            attempt.heldElsewhere = true;
        } else {
            attempt.error = error;
            attempt.description = QStringLiteral("cannot lock %1: %2").arg(displayPath, errorText(error));
        }
        return attempt;
    }
    if (kind == LockKind::Process)
        g_recordLocks.insert(key);
    attempt.lock.reset(new LockFile(std::move(file.fd), kind, key));
    return attempt;
}

LockAttempt LockFile::acquire(const QString &path, LockKind kind, LockWait wait, ModeRule rule)
{
    return acquireAt(AT_FDCWD, path, path, kind, wait, rule);
}

LockAttempt LockFile::acquireIn(const QString &directory, const QString &name, LockKind kind, LockWait wait,
                                ModeRule rule)
{
    const OpenResult dir = openPrivateDirectory(directory, ModeRule::makePrivate);
    if (!dir.ok()) {
        LockAttempt attempt;
        attempt.error = dir.error;
        attempt.description = dir.description;
        return attempt;
    }
    const QString shown = directory + QLatin1Char('/') + name;
    return acquireAt(dir.fd.get(), name, shown, kind, wait, rule);
}

}  // namespace posix

}  // namespace mornix
