#include "app/runtime_lock.h"

#include "platform/system_log.h"
#include "support/posix_files.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QStandardPaths>

#include <fcntl.h>
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

RuntimeLock::Attempt RuntimeLock::tryAcquire(const QString &fileName, SystemLog &log)
{
    const QString directory = defaultDirectory();
    if (directory.isEmpty()) {
        Attempt attempt;
        attempt.problem = QStringLiteral("the user has no data directory");
        return attempt;
    }
    return tryAcquireIn(directory, fileName, log);
}

std::unique_ptr<RuntimeLock> RuntimeLock::acquire(const QString &fileName, SystemLog &log)
{
    return tryAcquire(fileName, log).lock;
}

std::unique_ptr<RuntimeLock> RuntimeLock::acquireIn(const QString &directory, const QString &fileName, SystemLog &log)
{
    return tryAcquireIn(directory, fileName, log).lock;
}

RuntimeLock::Attempt RuntimeLock::tryAcquireIn(const QString &directory, const QString &fileName, SystemLog &log)
{
    Attempt attempt;
    // Created 0700 in one step; an existing directory is narrowed through its descriptor, so a
    // symbolic link (refused) never has its target's mode changed.
    const posix::OpenResult dir = posix::openPrivateDirectory(directory, posix::ModeRule::makePrivate);
    if (!dir.ok()) {
        log.error(QStringLiteral("failed to create runtime lock directory: %1").arg(dir.description));
        attempt.problem = dir.description;
        return attempt;
    }

    const QString path = QDir(directory).filePath(fileName);
    QMutexLocker locker(&g_heldMutex);
    if (g_held.contains(path)) {
        attempt.outcome = Outcome::heldElsewhere;
        return attempt;
    }

    posix::OpenResult file = posix::openOwnFileAt(dir.fd.get(), fileName, O_RDWR | O_CREAT,
                                                  posix::ModeRule::makePrivate, path);
    if (!file.ok()) {
        if (file.error != 0)
            log.error(QStringLiteral("failed to open runtime lock: %1").arg(file.error));
        log.error(QStringLiteral("runtime lock unusable: %1").arg(file.description));
        attempt.problem = file.description;
        return attempt;
    }
    if (::lockf(file.fd.get(), F_TLOCK, 0) != 0) {
        attempt.outcome = Outcome::heldElsewhere;
        return attempt;
    }
    g_held.insert(path);
    attempt.lock.reset(new RuntimeLock(file.fd.release(), path));
    attempt.outcome = Outcome::acquired;
    return attempt;
}
