#include "platform/linux/pidfd.h"

#include "platform/posix_files.h"
#include <cerrno>
#include <csignal>

#include <sys/syscall.h>
#include <unistd.h>

bool signalThroughPidfd(pid_t pid, int signal, const std::function<bool()> &stillSame)
{
    if (pid <= 0)
        return false;
    const posix::UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!fd.isValid())
        return false;
    return stillSame() && ::syscall(SYS_pidfd_send_signal, fd.get(), signal, nullptr, 0) == 0;
}
