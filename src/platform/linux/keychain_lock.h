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

// The directory for the keychain's lock and files: $XDG_DATA_HOME/VeltroMornix (created 0700;
// other parts of the program share it, so an existing one only has to be ours and writable by
// no one else). Empty when it cannot be created or fails that test.
QString keychainBaseDirectory();
// Creates a directory with mode 0700 when missing; true when it is a real directory (not a link)
// of the current user without group or other permissions (`strict`), or at least without group
// or other write permission (not strict).
bool ensurePrivateDirectory(const QString &path, bool strict = true);
