#include "support/blocking_call.h"

#include <condition_variable>
#include <mutex>

namespace mornix {

namespace {

std::mutex g_mutex;
std::condition_variable g_finished;
int g_running = 0;  // guarded by g_mutex

}  // namespace

namespace blocking_call_detail {

void blockingCallStarted()
{
    const std::lock_guard<std::mutex> lock(g_mutex);
    ++g_running;
}

void blockingCallFinished()
{
    {
        const std::lock_guard<std::mutex> lock(g_mutex);
        --g_running;
    }
    g_finished.notify_all();
}

}  // namespace blocking_call_detail

bool waitForBlockingCalls(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_finished.wait_for(lock, timeout, [] { return g_running == 0; });
}

}  // namespace mornix
