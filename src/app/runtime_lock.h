#pragma once

#include <QString>

#include <memory>

class SystemLog;

// A per-user single-instance lock: an exclusive POSIX record lock (lockf) on the whole of a
// lock file under the application-support directory "VeltroMornix" (0700), file mode 0600,
// opened without following links. The lock lives as long as the object; the kernel drops it
// when the process ends, so a crashed holder never blocks a later start.
// Thread: main thread.
class RuntimeLock {
public:
    ~RuntimeLock();
    RuntimeLock(const RuntimeLock &) = delete;
    RuntimeLock &operator=(const RuntimeLock &) = delete;

    // The held lock, or nullptr when another process holds it or it cannot be set up (the
    // latter logged through `log`). A file already locked by this same process is refused as
    // well: POSIX record locks do not exclude their own process.
    static std::unique_ptr<RuntimeLock> acquire(const QString &fileName, SystemLog &log);
    // Same, with the lock directory given (tests).
    static std::unique_ptr<RuntimeLock> acquireIn(const QString &directory, const QString &fileName, SystemLog &log);

    // The user's application-support directory + "/VeltroMornix", or empty when there is none.
    static QString defaultDirectory();

    int descriptor() const { return m_descriptor; }

private:
    RuntimeLock(int descriptor, QString path);
    int m_descriptor;
    QString m_path;
};
