#include "platform/linux/pidfd.h"

#include <cerrno>
#include <csignal>

#include <sys/syscall.h>
#include <unistd.h>

bool signalThroughPidfd(pid_t pid, int signal, const std::function<bool()> &stillSame)
{
    if (pid <= 0)
        return false;
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return false;
    bool sent = false;
    if (stillSame())
        sent = ::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0) == 0;
    ::close(fd);
    return sent;
}
