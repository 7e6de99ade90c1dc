#pragma once

#include <QString>

#include <memory>

// An exclusive lock shared by every process of this user that opens the same lock file: flock(2)
// on a file created 0600 and opened without following a symbolic link. Two opens in one process
// exclude each other too, so threads of one process serialise through it as well.
// Thread: any; acquire() blocks until the lock is free.
class InterprocessLock {
public:
    ~InterprocessLock();
    InterprocessLock(const InterprocessLock &) = delete;
    InterprocessLock &operator=(const InterprocessLock &) = delete;

    // Creates `directory` (0700) when missing and waits for the lock on `directory/fileName`.
    // nullptr when the directory or file cannot be set up, is not ours or is open to others.
    static std::unique_ptr<InterprocessLock> acquire(const QString &directory, const QString &fileName,
                                                     QString *error = nullptr);

private:
    explicit InterprocessLock(int descriptor) : m_descriptor(descriptor) {}
    int m_descriptor;
};

// Creates `path` and its missing parents with mode 0700; the final directory must then be a
// directory (not a link) owned by this user without group or other permissions, which are
// removed when they are set. False (and `error`) otherwise.
bool ensurePrivateDirectory(const QString &path, QString *error = nullptr);
