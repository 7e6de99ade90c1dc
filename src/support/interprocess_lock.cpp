#include "support/interprocess_lock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(const QString &what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

}  // namespace

bool ensurePrivateDirectory(const QString &path, QString *error)
{
    const QByteArray encoded = QFile::encodeName(path);
    if (::mkdir(encoded.constData(), 0700) != 0 && errno != EEXIST) {
        if (errno != ENOENT || !QDir().mkpath(path)) {
            if (error)
                *error = systemError(QStringLiteral("cannot create %1").arg(path));
            return false;
        }
    }
    const int fd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = systemError(QStringLiteral("cannot open %1").arg(path));
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    if (ok && (st.st_mode & 077) != 0)
        ok = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    if (!ok && error)
        *error = QStringLiteral("%1 is not a private directory of this user").arg(path);
    return ok;
}

InterprocessLock::~InterprocessLock()
{
    ::flock(m_descriptor, LOCK_UN);
    ::close(m_descriptor);
}

std::unique_ptr<InterprocessLock> InterprocessLock::acquire(const QString &directory, const QString &fileName,
                                                            QString *error)
{
    if (!ensurePrivateDirectory(directory, error))
        return nullptr;
    const QByteArray path = QFile::encodeName(QDir(directory).filePath(fileName));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = systemError(QStringLiteral("cannot open lock %1").arg(QString::fromLocal8Bit(path)));
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        ::close(fd);
        if (error)
            *error = QStringLiteral("lock %1 is not a private file of this user").arg(QString::fromLocal8Bit(path));
        return nullptr;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (error)
            *error = systemError(QStringLiteral("cannot lock %1").arg(QString::fromLocal8Bit(path)));
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<InterprocessLock>(new InterprocessLock(fd));
}
