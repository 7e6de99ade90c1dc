#include "platform/linux/process/procfs_process_table.h"

#include "platform/linux/process/pidfd.h"
#include "platform/linux/process/proc_fs.h"

#include <QDir>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

QList<ProcessRecord> ProcfsProcessTable::processes() const
{
    return m_listing ? m_listing->processes() : ExecutableListing::read();
}

ProcessStartObservation ProcfsProcessTable::startIdentity(qint32 pid) const
{
    if (pid <= 0)
        return ProcessStartObservation::notRunning();
    const std::optional<procfs::StatFields> fields = procfs::stat(pid);
    if (!fields) {
        // A missing /proc entry means no such process; anything else is unknown.
        char dir[64];
        std::snprintf(dir, sizeof dir, "/proc/%d", pid);
        struct stat info;
        if (::stat(dir, &info) != 0 && errno == ENOENT)
            return ProcessStartObservation::notRunning();
        return ProcessStartObservation::unavailable();
    }
    if (fields->state == 'Z' || fields->state == 'X')
        return ProcessStartObservation::notRunning();
    const std::optional<QString> text = procfs::processStartText(*fields);
    if (!text)
        return ProcessStartObservation::unavailable();
    return ProcessStartObservation::observed(*text, fields->startTicks);
}

bool ProcfsProcessTable::sendSignal(qint32 pid, const ProcessStartObservation &expected, int signal)
{
    if (expected.state != ProcessStartObservation::State::observed || expected.startText.isEmpty())
        return false;
    // The pidfd is opened first; the process it holds must have started at exactly the expected
    // tick, so a process that took over the pid after the check can never be signalled.
    return signalThroughPidfd(pid, signal, [&] {
        const ProcessStartObservation now = startIdentity(pid);
        return now.state == ProcessStartObservation::State::observed && now.startText == expected.startText
               && now.startTicks == expected.startTicks;
    });
}

namespace {

class PidfdExitWatch final : public ProcessExitWatch {
public:
    explicit PidfdExitWatch(int fd)
        : m_fd(fd)
    {
    }
    ~PidfdExitWatch() override { ::close(m_fd); }
    PidfdExitWatch(const PidfdExitWatch &) = delete;
    PidfdExitWatch &operator=(const PidfdExitWatch &) = delete;
    int descriptor() const override { return m_fd; }

private:
    int m_fd;
};

}  // namespace

std::unique_ptr<ProcessExitWatch> ProcfsProcessTable::watchExit(qint32 pid) const
{
    const int fd = openPidfd(pid);
    if (fd < 0)
        return nullptr;
    return std::make_unique<PidfdExitWatch>(fd);
}

}  // namespace mornix
