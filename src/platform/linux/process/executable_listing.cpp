#include "platform/linux/process/executable_listing.h"

#include <algorithm>

#include <fcntl.h>
#include <time.h>

namespace mornix {

namespace {

// Clock ticks since boot, the clock of a process's start ticks.
quint64 ticksSinceBoot()
{
    timespec now{};
    if (::clock_gettime(CLOCK_BOOTTIME, &now) != 0)
        return 0;
    const quint64 ticks = static_cast<quint64>(procfs::ticksPerSecond());
    return static_cast<quint64>(now.tv_sec) * ticks + static_cast<quint64>(now.tv_nsec) * ticks / 1000000000ULL;
}

}  // namespace

ExecutableListing::ExecutableListing(std::chrono::milliseconds maxAge)
    : ExecutableListing(maxAge, Rotation())
{
}

ExecutableListing::ExecutableListing(std::chrono::milliseconds maxAge, Rotation rotation)
    : m_maxAge(maxAge)
    , m_rotation(rotation)
    , m_procDirectory(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    , m_loadAverage(m_procDirectory.isValid() ? ::openat(m_procDirectory.get(), "loadavg", O_RDONLY | O_CLOEXEC) : -1)
{
    m_clock.start();
}

QList<ProcessRecord> ExecutableListing::read()
{
    QList<ProcessRecord> result;
    for (const qint32 pid : procfs::pids()) {
        const std::optional<procfs::FileIdentity> image = procfs::executableIdentity(pid);
        QString path = procfs::executablePath(pid);
        if (!path.isEmpty())
            result.append({pid, std::move(path), image ? ProcessImage{image->device, image->inode} : ProcessImage{}});
    }
    return result;
}

QList<ProcessRecord> ExecutableListing::readPaths()
{
    QList<ProcessRecord> result;
    for (const qint32 pid : procfs::pids()) {
        QString path = procfs::executablePath(pid);
        if (!path.isEmpty())
            result.append({pid, std::move(path), ProcessImage{}});
    }
    return result;
}

QList<ProcessRecord> ExecutableListing::processes() const
{
    QMutexLocker lock(&m_mutex);
    if (m_refreshedAtMs < 0 || m_clock.elapsed() - m_refreshedAtMs > m_maxAge.count())
        refreshLocked(Images::rotation);
    return m_processes;
}

QList<ProcessRecord> ExecutableListing::refreshed() const
{
    QMutexLocker lock(&m_mutex);
    refreshLocked(Images::rotation);
    return m_processes;
}

QList<ProcessRecord> ExecutableListing::exact() const
{
    QMutexLocker lock(&m_mutex);
    refreshLocked(Images::all);
    return m_processes;
}

std::optional<procfs::FileIdentity> ExecutableListing::imageOf(qint32 pid) const
{
    return m_procDirectory.get() >= 0 ? procfs::executableIdentity(m_procDirectory.get(), pid)
                                      : procfs::executableIdentity(pid);
}

bool ExecutableListing::readProcess(qint32 pid, quint64 procInode, const Known *previous, Known &record) const
{
    // Each value is read after what tells of its change (the /proc inode from the listing, then
    // the image, then start and path), so a change racing with a read shows at the next refresh
    // at the latest, never hides behind a record that looks current.
    const std::optional<procfs::FileIdentity> image = imageOf(pid);
    const std::optional<procfs::StatFields> fields = procfs::stat(pid);
    if (!fields)
        return false;  // gone since the listing
    const bool sameProcessAndImage = previous && previous->image == image && previous->startTicks == fields->startTicks;
    record.procInode = procInode;
    record.startTicks = fields->startTicks;
    record.image = image;
    record.executablePath = sameProcessAndImage ? previous->executablePath : procfs::executablePath(pid);
    return true;
}

bool ExecutableListing::addNewPidsLocked(const procfs::TaskCounters &now) const
{
    // Only creations since the listing: the last pid moved forward by a little (no wrap) and the
    // task count grew. Every task created since has a pid in (then, now]; if the live ones among
    // those account for the whole growth, no task that was listed has been reaped. (A task that
    // ends while being looked up leaves the sum short: /proc is listed.)
    const int proc = m_procDirectory.get();
    if (proc < 0 || !m_listedAt || now.lastPid <= m_listedAt->lastPid
        || now.lastPid - m_listedAt->lastPid > kMaxLookedUpPids || now.tasks < m_listedAt->tasks
        || now.lastPid > static_cast<quint64>(INT32_MAX))
        return false;
    QList<procfs::Entry> added;
    quint64 live = 0;
    for (quint64 id = m_listedAt->lastPid + 1; id <= now.lastPid; ++id) {
        const qint32 pid = static_cast<qint32>(id);
        const std::optional<quint64> inode = procfs::entryInode(proc, pid);
        if (!inode)
            continue;  // ended already, or a task of another pid namespace
        ++live;
        // A thread's id finds its task too, but only a process is listed.
        if (procfs::threadGroup(proc, pid) == pid)
            added.append({pid, *inode});
    }
    if (m_listedAt->tasks + live != now.tasks)
        return false;
    for (const procfs::Entry &entry : std::as_const(added)) {
        // Pids can sit above the last one handed out (the counter wrapped before): kept sorted.
        const auto at = std::lower_bound(m_entries.begin(), m_entries.end(), entry.pid,
                                         [](const procfs::Entry &e, qint32 pid) { return e.pid < pid; });
        if (at != m_entries.end() && at->pid == entry.pid)
            return false;  // listed already: the listing is not what it seemed
        m_entries.insert(at, entry);
    }
    m_listedAt = now;
    return true;
}

void ExecutableListing::refreshLocked(Images images) const
{
    const quint64 refresh = ++m_refreshes;
    const quint64 spread = static_cast<quint64>(qMax(1, m_rotation.spread));
    const quint64 youngTicks =
        static_cast<quint64>(m_rotation.youngFor.count()) * static_cast<quint64>(procfs::ticksPerSecond()) / 1000;
    const quint64 nowTicks = ticksSinceBoot();
    const quint64 bornAfter = nowTicks > youngTicks ? nowTicks - youngTicks : 0;  // young: started since
    const int proc = m_procDirectory.get();
    const std::optional<procfs::TaskCounters> counters =
        proc >= 0 ? procfs::taskCounters(m_loadAverage.get()) : std::optional<procfs::TaskCounters>();
    const bool mayReuse =
        images == Images::rotation && refresh % (spread * kRotationsPerForcedListing) != 0 && counters;
    const bool sameTasks = mayReuse && counters == m_listedAt;
    if (!sameTasks && !(mayReuse && addNewPidsLocked(*counters))) {
        // Counters first: a task created during the listing shows in the next refresh's counters.
        m_listedAt = counters;
        m_entries = proc >= 0 ? procfs::entries(proc) : procfs::entries();
    }
    const QList<procfs::Entry> &entries = m_entries;

    // The published list is rebuilt only when something in it changed, so an unchanged machine
    // costs no allocation per process.
    bool changed = false;
    for (const procfs::Entry &entry : entries) {
        const auto found = m_known.find(entry.pid);
        Known *previous = found == m_known.end() ? nullptr : &found.value();
        if (previous && previous->procInode == entry.inode) {
            const bool due = images == Images::all || previous->startTicks >= bornAfter
                             || (static_cast<quint64>(entry.pid) + refresh) % spread == 0;
            const bool sameImage = !due || imageOf(entry.pid) == previous->image;
            if (sameImage) {
                previous->seenInRefresh = refresh;
                continue;
            }
        }
        Known record;
        if (!readProcess(entry.pid, entry.inode, previous, record)) {
            if (previous)
                m_known.erase(found);
            changed = true;
            continue;
        }
        record.seenInRefresh = refresh;
        changed = changed || !previous || previous->executablePath != record.executablePath
                  || previous->image != record.image;
        if (previous)
            *previous = std::move(record);
        else
            m_known.insert(entry.pid, std::move(record));
    }
    for (auto it = m_known.begin(); it != m_known.end();) {
        if (it->seenInRefresh != refresh) {
            it = m_known.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    m_refreshedAtMs = m_clock.elapsed();
    if (!changed)
        return;

    QList<ProcessRecord> listed;
    listed.reserve(m_known.size());
    for (const procfs::Entry &entry : entries) {
        const auto known = m_known.constFind(entry.pid);
        if (known == m_known.constEnd() || known->executablePath.isEmpty())
            continue;
        listed.append({entry.pid, known->executablePath,
                       known->image ? ProcessImage{known->image->device, known->image->inode} : ProcessImage{}});
    }
    m_processes = std::move(listed);
}

}  // namespace mornix
