#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <sys/types.h>

struct stat;

namespace mornix {

// The one set of POSIX helpers for the files the program keeps for itself (data directory,
// logs, locks, keychain files, markers): a descriptor guard, directories created 0700 in one
// step, files opened without following links and without blocking on FIFOs, private lock files,
// and every decision made on what the descriptor holds (fstat after open), never on a path
// looked at earlier. These are Linux helpers: they are built and tested on Linux only, and
// they rely on Linux behaviour (GNU strerror_r, O_NOFOLLOW reporting a link as ELOOP, flock and
// lockf semantics). The calls are POSIX, so another POSIX port can adopt them after checking
// those points; portable code may call them through this header.
// Thread: any; no shared state except the record-lock table of LockFile (guarded).
namespace posix {

// Owns one file descriptor; closes it when destroyed. Move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : m_fd(fd)
    {
    }
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept
        : m_fd(other.release())
    {
    }
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);
    // Closes now and reports it: 0, or -1 with errno set. Where a failed close means a failed
    // write (a file about to be renamed into place), check this instead of letting it go.
    int close();

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
    requirePrivate,       // no group or other bits, else refused
    makePrivate,          // group or other bits are removed through the descriptor (fchmod)
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
// Opens the existing directory `path` by the same checks, without creating it or anything above
// it (a missing directory fails with ENOENT).
OpenResult openOwnDirectory(const QString &path, ModeRule rule = ModeRule::requirePrivate);

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
// Reads until end of file; fails (false, errno EFBIG) beyond `maxBytes`, or on a read error.
bool readAll(int fd, qint64 maxBytes, QByteArray *out);
// Reads at most `maxBytes`, from the current offset; `truncated` tells whether more follows.
// False with errno set on a read error.
bool readAtMost(int fd, qint64 maxBytes, QByteArray *out, bool *truncated);

// What reading a whole own file gave: the bytes, or the system error number (0 when a check
// after opening refused the file, EFBIG beyond the limit) and a readable description.
struct ReadResult {
    std::optional<QByteArray> bytes;
    int error = 0;
    QString description;
    bool ok() const { return bytes.has_value(); }
};
// Opens `name` read-only as openOwnFileAt does and reads it whole, up to `maxBytes`.
ReadResult readOwnFileAt(int directoryFd, const QString &name, qint64 maxBytes,
                         ModeRule rule = ModeRule::requirePrivate, const QString &displayPath = QString());

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

// Whether a failed fsync of the directory after the rename fails the replacement.
enum class DirectorySync {
    bestEffort,  // the new content is in place either way; a crash may bring the old one back
    required,    // the caller counts on the rename having reached the disk
};

struct ReplaceOptions {
    mode_t mode = 0600;  // exact (fchmod after creation, whatever the umask)
    // Empty: a fresh name beside the entry ("<name>.tmp-<pid>.<random>"), created O_EXCL, so
    // concurrent writers never share one. Otherwise this fixed name, removed first: only for
    // callers whose writers are serialised (a lock or a mutex), so a crash leaves no litter.
    QString temporaryName;
    DirectorySync directorySync = DirectorySync::bestEffort;
};

// How a replacement went: the step that failed and its system error number.
struct ReplaceResult {
    enum class Step {
        done,
        create,         // creating the temporary file
        write,          // fchmod, write, fsync or close of the temporary file
        rename,         // renaming it over the entry
        syncDirectory,  // DirectorySync::required only: the entry is replaced, not yet durable
    };
    Step step = Step::done;
    int error = 0;
    QString description;  // "cannot create|write|replace <name>: <OS text>"
    bool ok() const { return step == Step::done; }
};

// Replaces `name` in the directory atomically: a new file beside it (O_EXCL, no links followed,
// mode exact from creation) is written whole, synced (fsync) and closed, renamed over the entry
// and the directory is synced. An existing entry that is a link is replaced as an entry, never
// followed. On failure the temporary file is removed and the entry is left as it was (except
// after Step::syncDirectory).
ReplaceResult replaceFile(int directoryFd, const QString &name, const QByteArray &data,
                          const ReplaceOptions &options = {});
// replaceFile with the defaults and `mode`: empty on success, else the description.
QString replaceFileAt(int directoryFd, const QString &name, const QByteArray &data, mode_t mode = 0600);

// The program's data directory: the user's data location + "/VeltroMornix"
// ($XDG_DATA_HOME/VeltroMornix). Empty when the user has none. Only computes the path.
QString dataDirectoryPath();
// Opens (creating) the data directory as openPrivateDirectory does with MakePrivate: 0700, a
// link there refused, group and other bits removed through the descriptor.
OpenResult openDataDirectory();
// The data directory's path once openDataDirectory() succeeded; else empty, with the reason in
// `problem`.
QString preparedDataDirectory(QString *problem = nullptr);

// How a lock file is locked.
enum class LockKind {
    // flock(2): held by the open file. Two opens exclude each other even within one process,
    // so threads of one process serialise through it as well.
    OpenFile,
    // An exclusive POSIX record lock (lockf) on the whole file: held by the process. Closing any
    // descriptor of the file drops it, so the file is never opened again by a process that
    // holds it; a second attempt in the holding process counts as held elsewhere.
    Process,
};

enum class LockWait {
    Try,    // fail at once when another holder has it
    Block,  // wait until it is free (interrupted waits are resumed). With LockKind::Process the
            // table guard is held while waiting: other Process attempts wait too.
};

class LockFile;

// The result of a lock attempt: the held lock; or heldElsewhere; or unusable with the system
// error number (0 when a check after opening refused the file) and a readable description.
struct LockAttempt {
    std::unique_ptr<LockFile> lock;
    bool heldElsewhere = false;
    int error = 0;
    QString description;
    bool ok() const { return lock != nullptr; }
};

// An exclusive lock on a private lock file: opened (created 0600) as openOwnFileAt opens it, so
// a link, FIFO, directory, another user's or multiply linked file is refused as unusable, never
// reported as held. The lock lives as long as the object; the kernel drops it when the process
// ends, so a crashed holder never blocks a later attempt. Thread: any.
class LockFile {
public:
    ~LockFile();
    LockFile(const LockFile &) = delete;
    LockFile &operator=(const LockFile &) = delete;

    // `name` inside the open directory `directoryFd` (AT_FDCWD with an absolute path); the
    // descriptions name `displayPath`. `rule` treats the mode bits of an existing file.
    static LockAttempt acquireAt(int directoryFd, const QString &name, const QString &displayPath, LockKind kind,
                                 LockWait wait, ModeRule rule = ModeRule::requirePrivate);
    static LockAttempt acquire(const QString &path, LockKind kind, LockWait wait,
                               ModeRule rule = ModeRule::requirePrivate);
    // Opens (creating) `directory` as openPrivateDirectory does with MakePrivate, then the lock
    // file `name` inside it.
    static LockAttempt acquireIn(const QString &directory, const QString &name, LockKind kind, LockWait wait,
                                 ModeRule rule = ModeRule::requirePrivate);

    int descriptor() const { return m_fd.get(); }

private:
    LockFile(UniqueFd fd, LockKind kind, QString key);
    UniqueFd m_fd;
    LockKind m_kind;
    QString m_key;  // the record-lock table entry (Process locks)
};

}  // namespace posix

}  // namespace mornix
