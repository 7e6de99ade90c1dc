#pragma once

#include "platform/posix_files.h"

#include <QString>

#include <memory>

namespace mornix {

class SystemLog;

// A per-user single-instance lock: an exclusive POSIX record lock (lockf) on the whole of a
// lock file under the application-support directory "VeltroMornix" (0700), file mode 0600,
// opened without following links and checked on its descriptor. The lock lives as long as the object; the kernel drops
// it when the process ends, so a crashed holder never blocks a later start. Thread: main thread.
class RuntimeLock {
public:
    ~RuntimeLock();
    RuntimeLock(const RuntimeLock &) = delete;
    RuntimeLock &operator=(const RuntimeLock &) = delete;

    enum class Outcome {
        acquired,
        heldElsewhere,  // another process (or this one) holds the lock
        unusable,       // the directory or the file cannot be used; `problem` says why
    };
    struct Attempt {
        std::unique_ptr<RuntimeLock> lock;
        Outcome outcome = Outcome::unusable;
        QString problem;  // with the OS reason, e.g. "... runtime.lock is a symbolic link"
    };

    // Takes the lock. The directory is created 0700 (and narrowed to 0700 through its
    // descriptor); a symbolic link there, or a lock file that is a link, a directory, a FIFO,
    // another user's or multiply linked, makes the attempt Unusable (logged through `log`),
    // never "held elsewhere". A file already locked by this same process counts as held: POSIX
    // record locks do not exclude their own process.
    static Attempt tryAcquire(const QString &fileName, SystemLog &log);
    static Attempt tryAcquireIn(const QString &directory, const QString &fileName, SystemLog &log);

    // The held lock, or nullptr (held elsewhere or unusable).
    static std::unique_ptr<RuntimeLock> acquire(const QString &fileName, SystemLog &log);
    // Same, with the lock directory given (tests).
    static std::unique_ptr<RuntimeLock> acquireIn(const QString &directory, const QString &fileName, SystemLog &log);

    // The user's application-support directory + "/VeltroMornix", or empty when there is none.
    static QString defaultDirectory();

    int descriptor() const { return m_lock->descriptor(); }

private:
    explicit RuntimeLock(std::unique_ptr<posix::LockFile> lock)
        : m_lock(std::move(lock))
    {
    }
    std::unique_ptr<posix::LockFile> m_lock;
};

}  // namespace mornix
