#include "platform/linux/keychain_lock.h"

#include "platform/linux/platform_logging.h"
#include "support/posix_files.h"

#include <QDir>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

KeychainLock::KeychainLock(const QString &path)
{
    if (path.isEmpty())
        return;
    posix::OpenResult file = posix::openOwnFile(path, O_RDWR | O_CREAT, posix::ModeRule::requirePrivate);
    if (!file.ok()) {
        qCWarning(lcKeychainLock).noquote() << "keychain lock unusable:" << file.description;
        return;
    }
    int rc;
    do {
        rc = ::flock(file.fd.get(), LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return;
    m_fd = file.fd.release();
}

KeychainLock::~KeychainLock()
{
    if (m_fd >= 0)
        ::close(m_fd);   // releases the lock
}

bool ensurePrivateDirectory(const QString &path, bool strict)
{
    const posix::OpenResult dir
        = posix::openPrivateDirectory(path, strict ? posix::ModeRule::requirePrivate : posix::ModeRule::notWritableByOthers);
    if (!dir.ok())
        qCWarning(lcKeychainLock).noquote() << "keychain directory unusable:" << dir.description;
    return dir.ok();
}

QString keychainBaseDirectory()
{
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataHome.isEmpty())
        return {};
    // The program's data directory, shared with the runtime lock and the log: 0700, narrowed
    // through its descriptor when an earlier version left it open.
    const QString base = dataHome + QStringLiteral("/VeltroMornix");
    const posix::OpenResult dir = posix::openPrivateDirectory(base, posix::ModeRule::makePrivate);
    if (!dir.ok()) {
        qCWarning(lcKeychainLock).noquote() << "data directory unusable:" << dir.description;
        return {};
    }
    return base;
}
