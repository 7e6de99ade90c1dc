#pragma once

#include "platform/linux/proc_fs.h"
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
// ticks) and the file it runs (device and inode of /proc/PID/exe). A refresh lists /proc and
// stats each pid's running image; only a pid that is new, whose /proc inode changed (another
// process on the pid, or the same one re-read: told apart by start ticks), or whose image
// changed (an exec in place) has its start and path read again. Gone pids are dropped.
// Thread: any.
class ExecutableListing {
public:
    explicit ExecutableListing(std::chrono::milliseconds maxAge = std::chrono::milliseconds(100));

    QList<ProcessRecord> processes() const;
    // A refreshed listing now, whatever its age.
    QList<ProcessRecord> refreshed() const;

    // A fresh, full listing, bypassing any shared one and its records.
    static QList<ProcessRecord> read();

private:
    struct Known {
        quint64 procInode = 0;
        quint64 startTicks = 0;
        std::optional<procfs::FileIdentity> image;   // nullopt: not readable (another user's, a zombie)
        QString executablePath;                      // empty: not listed
    };
    void refreshLocked() const;

    const std::chrono::milliseconds m_maxAge;
    mutable QMutex m_mutex;  // guards the members below
    mutable QElapsedTimer m_age;
    mutable QHash<qint32, Known> m_known;
    mutable QList<ProcessRecord> m_processes;
};

}  // namespace mornix
