#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

struct stat;

// Small POSIX helpers for the files the program keeps for itself (data directory, logs, locks,
// keychain files, markers): directories created 0700 in one step, files opened without
// following links and without blocking on FIFOs, and every decision made on what the
// descriptor holds (fstat after open), never on a path looked at earlier.
// Thread: any; no shared state.
namespace posix {

// Owns one file descriptor; closes it when destroyed. Move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// What an open gave: the descriptor, or the system error number (0 when the refusal came from
// a check after opening) and a readable description that keeps the OS reason, e.g.
// "cannot open /home/u/.local/share/VeltroMornix/runtime.lock: Too many levels of symbolic links".
struct OpenResult {
    UniqueFd fd;
    int error = 0;
    QString description;
    bool ok() const { return fd.isValid(); }
};

// How the permission bits of an existing entry are treated.
enum class ModeRule {
    requirePrivate,  // no group or other bits, else refused
    makePrivate,     // group or other bits are removed through the descriptor (fchmod)
    notWritableByOthers,  // no group or other write bit, else refused
};

// The system's text for an error number ("Permission denied").
QString errorText(int error);

// Opens (creating when missing) the directory `path` for the program's own use. Missing
// ancestors are created with mode 0700 too. The last component must be a real directory (a
// symbolic link is refused, never followed) owned by the current user; its group and other
// bits are treated by `rule`. Mode changes go through the descriptor, so the target of a link
// is never touched. The returned descriptor is a directory handle for the *At functions.
OpenResult openPrivateDirectory(const QString &path, ModeRule rule = ModeRule::makePrivate);
// Same for the entry `name` inside an open directory (mkdirat + openat, no path lookup).
OpenResult openPrivateDirectoryAt(int directoryFd, const QString &name, const QString &displayPath,
                                  ModeRule rule = ModeRule::makePrivate);

// Opens a file with O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC added to `flags` (with O_CREAT the mode
// is 0600). The descriptor must hold a regular file owned by the current user with one link;
// group and other bits are treated by `rule`. A FIFO, device, directory or link at the path is
// refused without blocking. `directoryFd` may be AT_FDCWD with an absolute `path`.
OpenResult openOwnFileAt(int directoryFd, const QString &path, int flags, ModeRule rule,
                         const QString &displayPath = QString());
OpenResult openOwnFile(const QString &path, int flags, ModeRule rule);

// Checks a stat result of an open descriptor against the rules above (regular file, owner,
// one link, mode rule; MakePrivate counts as RequirePrivate here). Empty when it passes, else
// the reason ("is a FIFO", "is owned by another user", ...).
QString ownFileProblem(const struct stat &st, ModeRule rule);

// Writes all of `data`, retrying after EINTR and short writes. False with errno set on failure
// (EIO when a write makes no progress).
bool writeAll(int fd, const QByteArray &data);
// Reads until end of file; fails (nullopt-like: false) beyond `maxBytes` or on a read error.
bool readAll(int fd, qint64 maxBytes, QByteArray *out);

// Appends one line (ending in "\n") in one write to a file opened O_RDWR | O_APPEND (its last
// byte is read), so that lines of concurrent writers never interleave. When the file does not
// end in a newline (an earlier write was cut short), the line starts with one: two entries are
// never glued together. A short write is finished with a newline where possible and reported,
// never continued later. Empty on success, else the reason with the OS text.
QString appendLine(int fd, const QByteArray &line);

// Opens (creating when missing) `first` under `base` and then each further component inside
// the previous one, every one of them as openPrivateDirectoryAt does: 0700 at creation, links
// refused, owned by the user. `base` itself is the user's (it may be a link, e.g. a relocated
// data directory); missing parts of it are created 0700.
OpenResult openPrivateDirectoryChain(const QString &base, const QStringList &components,
                                     ModeRule rule = ModeRule::makePrivate);

// Replaces `name` in the directory atomically: a new 0600 file beside it (O_EXCL, no links
// followed) is written, synced and renamed over the entry. An existing entry that is a link is
// replaced as an entry, never followed. Empty on success, else the reason with the OS text.
QString replaceFileAt(int directoryFd, const QString &name, const QByteArray &data, mode_t mode = 0600);

}  // namespace posix
