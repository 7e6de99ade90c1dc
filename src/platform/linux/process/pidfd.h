#pragma once

#include <functional>

#include <sys/types.h>

namespace mornix {

// Signals a process through a pidfd: the pidfd is opened first, then `stillSame` confirms that
// the process at pid is the expected one; only then is the signal sent through the pidfd, so a
// process that takes over the pid after the check can never receive it. Fails closed: without
// a pidfd nothing is signalled. Returns true when the signal was sent.
bool signalThroughPidfd(pid_t pid, int signal, const std::function<bool()> &stillSame);

// A pidfd on the process now at pid (close-on-exec), or -1. It becomes readable when that
// process exits.
int openPidfd(pid_t pid);

}  // namespace mornix
