#include "platform/linux/executable_listing.h"

#include "platform/linux/proc_fs.h"

ExecutableListing::ExecutableListing(std::chrono::milliseconds maxAge)
    : m_maxAge(maxAge)
{
}

QList<ProcessRecord> ExecutableListing::read()
{
    QList<ProcessRecord> result;
    for (const qint32 pid : procfs::pids()) {
        QString path = procfs::executablePath(pid);
        if (!path.isEmpty())
            result.append({pid, std::move(path)});
    }
    return result;
}

QList<ProcessRecord> ExecutableListing::processes() const
{
    QMutexLocker lock(&m_mutex);
    if (!m_age.isValid() || m_age.elapsed() > m_maxAge.count()) {
        m_processes = read();
        m_age.start();
    }
    return m_processes;
}
