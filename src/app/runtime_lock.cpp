#include "app/runtime_lock.h"

#include "platform/system_log.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Lock files this process holds. Closing any descriptor of a file drops every record lock the
// process has on it, so a second acquisition in the same process must never open the file.
QMutex g_heldMutex;
QSet<QString> g_held;

}  // namespace

RuntimeLock::RuntimeLock(int descriptor, QString path)
    : m_descriptor(descriptor)
    , m_path(std::move(path))
{
}

RuntimeLock::~RuntimeLock()
{
    ::lseek(m_descriptor, 0, SEEK_SET);
    ::lockf(m_descriptor, F_ULOCK, 0);
    ::close(m_descriptor);
    QMutexLocker locker(&g_heldMutex);
    g_held.remove(m_path);
}

QString RuntimeLock::defaultDirectory()
{
    const QString support = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (support.isEmpty())
        return {};
    return support + QStringLiteral("/VeltroMornix");
}

std::unique_ptr<RuntimeLock> RuntimeLock::acquire(const QString &fileName, SystemLog &log)
{
    const QString directory = defaultDirectory();
    if (directory.isEmpty())
        return nullptr;
    return acquireIn(directory, fileName, log);
}

std::unique_ptr<RuntimeLock> RuntimeLock::acquireIn(const QString &directory, const QString &fileName, SystemLog &log)
{
    const QByteArray dirPath = QFile::encodeName(directory);
    if (!QDir().mkpath(directory)) {
        log.error(QStringLiteral("failed to create runtime lock directory: %1")
                      .arg(QStringLiteral("cannot create %1").arg(directory)));
        return nullptr;
    }
    if (::chmod(dirPath.constData(), 0700) != 0) {
        log.error(QStringLiteral("failed to create runtime lock directory: %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return nullptr;
    }

    const QString path = QDir(directory).filePath(fileName);
    QMutexLocker locker(&g_heldMutex);
    if (g_held.contains(path))
        return nullptr;

    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        log.error(QStringLiteral("failed to open runtime lock: %1").arg(errno));
        return nullptr;
    }
    ::fchmod(fd, 0600);  // result ignored: the lock works either way
    if (::lockf(fd, F_TLOCK, 0) != 0) {
        ::close(fd);
        return nullptr;
    }
    g_held.insert(path);
    return std::unique_ptr<RuntimeLock>(new RuntimeLock(fd, path));
}
