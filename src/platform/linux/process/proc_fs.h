#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace mornix {

// Readers of /proc for the Linux ports. Thread: any. Nothing here throws; an unreadable entry
// (another user's process, a zombie, a process that just ended) reads as nullopt / empty.
namespace procfs {

struct StatFields {
    char state = '?';  // 'R', 'S', 'Z', ...
    qint32 parentPid = 0;
    quint64 startTicks = 0;  // clock ticks after boot
};

// The numeric entries of /proc, ascending.
QList<qint32> pids();

// One numeric entry of /proc with the inode number the listing reports for it. The inode of
// /proc/PID belongs to one process: it is dropped when that process is reaped, so a process that
// later takes over the pid shows another number. (The same process may show a new number too,
// after the kernel evicted the inode; callers treat a change as "look again", never as proof.)
struct Entry {
    qint32 pid = 0;
    quint64 inode = 0;
};
// Ascending by pid; one directory listing. The second form lists an open /proc descriptor
// again from its start (callers serialise use of that descriptor).
QList<Entry> entries();
QList<Entry> entries(int procDirectory);

// What /proc/loadavg tells of process creation: the number of tasks (threads included, all
// namespaces) and the last pid handed out in this pid namespace. Any task created since changes
// the pid, any task reaped since the count, so equal values mean the set of /proc entries is
// the same (barring the pid counter wrapping all the way round to the same value between reads).
struct TaskCounters {
    quint64 tasks = 0;
    quint64 lastPid = 0;
    friend bool operator==(const TaskCounters &, const TaskCounters &) = default;
};
// Read from an open /proc/loadavg (positioned reads: the file is generated afresh at offset 0,
// so one descriptor serves every refresh).
std::optional<TaskCounters> taskCounters(int loadAverageFile);
std::optional<TaskCounters> parseLoadAverage(const QByteArray &text);

// The inode number of /proc/PID (as a listing reports it) looked up by pid, relative to an open
// /proc descriptor; nullopt when no task has that id. A thread's id finds its task too, though
// no listing shows it: see threadGroup.
std::optional<quint64> entryInode(int procDirectory, qint32 pid);
// The process (thread group) a task id belongs to: the id itself for a process, another for a
// thread; nullopt when the task is gone.
std::optional<qint32> threadGroup(int procDirectory, qint32 pid);
std::optional<qint32> parseThreadGroup(const QByteArray &statusText);

// The identity of the file a process runs: /proc/PID/exe followed (deleted or replaced files
// included). An exec in place changes it.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};
// nullopt when the process is gone, a zombie, or not ours to inspect.
std::optional<FileIdentity> executableIdentity(qint32 pid);
// The same, relative to an open /proc descriptor (no walk from the root).
std::optional<FileIdentity> executableIdentity(int procDirectory, qint32 pid);

// /proc/PID/exe resolved, without the " (deleted)" suffix of a replaced file; empty on failure.
QString executablePath(qint32 pid);

// Parses the text of /proc/PID/stat. The command name may hold blanks and ')', so the fields
// after it are found after the last ')'.
std::optional<StatFields> parseStat(const QByteArray &text);
std::optional<StatFields> stat(qint32 pid);

// Boot time (seconds since 1970, the "btime" line of /proc/stat) and ticks per second.
std::optional<qint64> bootTime();
long ticksPerSecond();

// The application form of a launch identity: (boot × ticks + start ticks) ÷ ticks.
double startSeconds(qint64 bootTime, long ticksPerSecond, quint64 startTicks);

// The process form: the start second in local time as "%a %b %e %H:%M:%S %Y" (C locale) with
// runs of blanks collapsed to one.
QString startText(qint64 startSecondsSinceEpoch);

// The start text of a live process, or nullopt when it is not running or unreadable.
std::optional<QString> processStartText(const StatFields &fields);

}  // namespace procfs

}  // namespace mornix
