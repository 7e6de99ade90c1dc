#pragma once

#include "platform/linux/process/proc_fs.h"
#include "platform/posix_files.h"
#include "platform/process_table.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMutex>

#include <chrono>
#include <optional>

namespace mornix {

// The (pid, executable path) listing of /proc, shared by the process table and the workspace so
// that one rescan reads /proc once instead of once per port. A listing is reused while it is
// younger than maxAge (long enough for the two reads of one rescan, short enough that a command
// never acts on an old listing). Callers re-check each listed pid before using it.
//
// Refreshes are incremental: a record per pid remembers the process (its /proc inode and start
// ticks) and the file it runs (device and inode of /proc/PID/exe). A refresh lists /proc; a pid
// that is new, or whose /proc inode changed (another process on the pid, or the same one re-read:
// told apart by start ticks), has its start, image and path read again. Gone pids are dropped.
//
// An exec in place keeps the pid, the inode and the start, so only the image tells of it, and
// checking every image costs a stat per pid. A routine refresh therefore checks the images of
// young processes (wrappers that exec right after they start) every time, and those of older
// ones in rotation: each pid at least every `Rotation::spread` refreshes (with the monitor's 3 s
// rescans, an old process that execs an agent is in the inventory within 48 s; a stop command
// always checks every image first). Each check is a path walk through /proc that costs a few
// microseconds on a cold cache, and on a machine of a thousand processes these checks are most
// of what the idle agent spends. A routine refresh also
// reuses the last directory listing while /proc/loadavg shows that no task was created or reaped
// since (see procfs::TaskCounters). When tasks were only created (the task count grew by exactly
// the number of live tasks among the few pids handed out since), those pids are looked up one by
// one instead: the processes among them join the listing, threads are left out. Any other change
// lists /proc again, and so does one refresh in every kRotationsPerForcedListing rotations, for
// what the counters cannot show (tasks of a pid namespace this one does not see). An exact
// refresh lists /proc and checks every image; what acts on processes (a stop command's lookup)
// asks for one.
// Thread: any.
class ExecutableListing {
public:
    struct Rotation {
        std::chrono::milliseconds youngFor{std::chrono::seconds(10)};  // since the process started
        int spread = 16;                                               // refreshes per full round
    };

    explicit ExecutableListing(std::chrono::milliseconds maxAge = std::chrono::milliseconds(100));
    ExecutableListing(std::chrono::milliseconds maxAge, Rotation rotation);
    // The shared listing, refreshed routinely when older than maxAge.
    QList<ProcessRecord> processes() const;
    // Refreshed now, routinely, whatever its age.
    QList<ProcessRecord> refreshed() const;
    // Refreshed now with every image checked.
    QList<ProcessRecord> exact() const;

    // A fresh, full listing, bypassing any shared one and its records.
    static QList<ProcessRecord> read();
    // The same without the images (left empty): one readlink per process, for callers that never
    // compare images.
    static QList<ProcessRecord> readPaths();

private:
    struct Known {
        quint64 procInode = 0;
        quint64 startTicks = 0;
        quint64 seenInRefresh = 0;
        std::optional<procfs::FileIdentity> image;  // nullopt: not readable (another user's, a zombie)
        QString executablePath;                     // empty: not listed
    };
    enum class Images { rotation, all };
    void refreshLocked(Images images) const;
    std::optional<procfs::FileIdentity> imageOf(qint32 pid) const;
    bool readProcess(qint32 pid, quint64 procInode, const Known *previous, Known &record) const;
    // The pids handed out since the last listing merged into it, when the counters show that
    // nothing else changed; false when /proc must be listed again.
    bool addNewPidsLocked(const procfs::TaskCounters &now) const;

    static constexpr quint64 kMaxLookedUpPids = 128;  // more new pids than this: list /proc
    static constexpr quint64 kRotationsPerForcedListing = 4;

    const std::chrono::milliseconds m_maxAge;
    const Rotation m_rotation;
    const posix::UniqueFd m_procDirectory;  // /proc, open for the life of the listing
    const posix::UniqueFd m_loadAverage;    // /proc/loadavg, likewise
    mutable QMutex m_mutex;                 // guards the members below
    mutable QElapsedTimer m_clock;
    mutable qint64 m_refreshedAtMs = -1;
    mutable quint64 m_refreshes = 0;
    mutable QHash<qint32, Known> m_known;
    mutable QList<procfs::Entry> m_entries;                  // of the last directory listing
    mutable std::optional<procfs::TaskCounters> m_listedAt;  // read just before that listing (or the
                                                             // look-up of new pids that extended it)
    mutable QList<ProcessRecord> m_processes;
};

}  // namespace mornix
