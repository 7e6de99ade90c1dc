#include "platform/linux/pidfd.h"

#include <cerrno>
#include <csignal>

#include <sys/syscall.h>
#include <unistd.h>

int openPidfd(pid_t pid)
{
    if (pid <= 0)
        return -1;
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return fd < 0 ? -1 : fd;
}

bool signalThroughPidfd(pid_t pid, int signal, const std::function<bool()> &stillSame)
{
    const int fd = openPidfd(pid);
    if (fd < 0)
        return false;
    bool sent = false;
    if (stillSame())
        sent = ::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0) == 0;
    ::close(fd);
    return sent;
}
