#include "platform/linux/process/pidfd.h"

#include "platform/posix_files.h"
#include <cerrno>
#include <csignal>

#include <sys/syscall.h>
#include <unistd.h>

namespace mornix {

int openPidfd(pid_t pid)
{
    if (pid <= 0)
        return -1;
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return fd < 0 ? -1 : fd;
}

bool signalThroughPidfd(pid_t pid, int signal, const std::function<bool()> &stillSame)
{
    const posix::UniqueFd fd(openPidfd(pid));
    if (!fd.isValid())
        return false;
    return stillSame() && ::syscall(SYS_pidfd_send_signal, fd.get(), signal, nullptr, 0) == 0;
}

}  // namespace mornix
