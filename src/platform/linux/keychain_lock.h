#pragma once

#include <QString>

// An exclusive advisory lock (flock) on a lock file, shared by every process of the user that
// writes the keychain: check-and-add stays atomic across processes. The file is created 0600
// without following links; a lock file owned by another user or open to others is refused.
// Blocks until the lock is held. Thread: any (each object is used by one thread).
class KeychainLock {
public:
    explicit KeychainLock(const QString &path);
    ~KeychainLock();
    KeychainLock(const KeychainLock &) = delete;
    KeychainLock &operator=(const KeychainLock &) = delete;
    bool isLocked() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// The directory for the keychain's lock and files: $XDG_DATA_HOME/VeltroMornix (created 0700,
// narrowed to 0700 through its descriptor when it exists; a link there is refused). Empty when
// it cannot be created or used.
QString keychainBaseDirectory();
// Creates a directory with mode 0700 (and missing parents) in one step; true when it is a real
// directory (a link is refused, not followed) of the current user. `strict`: it has no group or
// other bits; not strict: it only must not be writable by group or others. The reason of a
// refusal is logged.
bool ensurePrivateDirectory(const QString &path, bool strict = true);
