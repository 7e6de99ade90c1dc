#include "app/runtime_lock.h"

#include "platform/system_log.h"

#include <QDir>

namespace mornix {

RuntimeLock::~RuntimeLock() = default;

QString RuntimeLock::defaultDirectory()
{
    return posix::dataDirectoryPath();
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
    posix::LockAttempt taken = posix::LockFile::acquireAt(dir.fd.get(), fileName, path, posix::LockKind::Process,
                                                          posix::LockWait::Try, posix::ModeRule::makePrivate);
    if (taken.heldElsewhere) {
        attempt.outcome = Outcome::heldElsewhere;
        return attempt;
    }
    if (!taken.ok()) {
        if (taken.error != 0)
            log.error(QStringLiteral("failed to open runtime lock: %1").arg(taken.error));
        log.error(QStringLiteral("runtime lock unusable: %1").arg(taken.description));
        attempt.problem = taken.description;
        return attempt;
    }
    attempt.lock.reset(new RuntimeLock(std::move(taken.lock)));
    attempt.outcome = Outcome::acquired;
    return attempt;
}

}  // namespace mornix
