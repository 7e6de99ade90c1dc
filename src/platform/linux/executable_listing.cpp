#include "platform/linux/executable_listing.h"

namespace mornix {

ExecutableListing::ExecutableListing(std::chrono::milliseconds maxAge)
    : m_maxAge(maxAge)
{
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

QList<ProcessRecord> ExecutableListing::processes() const
{
    QMutexLocker lock(&m_mutex);
    if (!m_age.isValid() || m_age.elapsed() > m_maxAge.count())
        refreshLocked();
    return m_processes;
}

QList<ProcessRecord> ExecutableListing::refreshed() const
{
    QMutexLocker lock(&m_mutex);
    refreshLocked();
    return m_processes;
}

void ExecutableListing::refreshLocked() const
{
    // Each value is read after what tells of its change (the /proc inode from the listing, then
    // the image, then start and path), so a change racing with a read shows at the next refresh
    // at the latest, never hides behind a record that looks current.
    const QList<procfs::Entry> entries = procfs::entries();
    QHash<qint32, Known> known;
    known.reserve(entries.size());
    QList<ProcessRecord> listed;
    listed.reserve(m_processes.size() + 16);
    for (const procfs::Entry &entry : entries) {
        const std::optional<procfs::FileIdentity> image = procfs::executableIdentity(entry.pid);
        const auto previous = m_known.constFind(entry.pid);
        Known record;
        if (previous != m_known.constEnd() && previous->procInode == entry.inode && previous->image == image) {
            record = *previous;
        } else {
            const std::optional<procfs::StatFields> fields = procfs::stat(entry.pid);
            if (!fields)
                continue;   // gone since the listing
            record.procInode = entry.inode;
            record.startTicks = fields->startTicks;
            record.image = image;
            const bool sameProcessAndImage = previous != m_known.constEnd() && previous->image == image
                && previous->startTicks == fields->startTicks;
            record.executablePath = sameProcessAndImage ? previous->executablePath : procfs::executablePath(entry.pid);
        }
        if (!record.executablePath.isEmpty())
            listed.append({entry.pid, record.executablePath,
                           record.image ? ProcessImage{record.image->device, record.image->inode} : ProcessImage{}});
        known.insert(entry.pid, std::move(record));
    }
    m_known = std::move(known);
    m_processes = std::move(listed);
    m_age.start();
}

}  // namespace mornix
