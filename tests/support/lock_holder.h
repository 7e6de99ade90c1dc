#pragma once

#include <QProcess>
#include <QString>

namespace mornix {

// Another process that takes an exclusive flock on `path` (creating it 0600) and holds it until
// release() or destruction, so a test can see how the program treats a lock held elsewhere.
class LockHolder {
public:
    explicit LockHolder(const QString &path);
    ~LockHolder();
    LockHolder(const LockHolder &) = delete;
    LockHolder &operator=(const LockHolder &) = delete;

    // True once the holder reported that it holds the lock (waits up to timeoutMs).
    bool waitUntilHeld(int timeoutMs = 10000);
    // Lets the holder exit (its lock goes with it); true when it did within timeoutMs.
    bool release(int timeoutMs = 10000);

private:
    QProcess m_process;
};

}  // namespace mornix
