#include "support/blocking_call.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace mornix {

namespace {

std::mutex g_mutex;
std::condition_variable g_finished;
int g_running = 0;  // guarded by g_mutex

constexpr std::chrono::seconds kWorkerIdleLimit{60};

// The workers of runOnWorker. Never destroyed: detached workers may still wait on it while the
// process exits.
struct Workers {
    std::mutex mutex;
    std::condition_variable available;
    std::deque<std::function<void()>> tasks;  // guarded by mutex
    int idle = 0;                             // workers waiting for a task; guarded by mutex
};

Workers &workers()
{
    static auto *const instance = new Workers;
    return *instance;
}

void workerLoop()
{
    Workers &pool = workers();
    std::unique_lock<std::mutex> lock(pool.mutex);
    for (;;) {
        if (pool.tasks.empty()) {
            ++pool.idle;
            const bool woken = pool.available.wait_for(lock, kWorkerIdleLimit, [&] { return !pool.tasks.empty(); });
            --pool.idle;
            if (!woken)
                return;
        }
        std::function<void()> task = std::move(pool.tasks.front());
        pool.tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // what it captured goes before the worker waits again
        lock.lock();
    }
}

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

void runOnWorker(std::function<void()> task)
{
    Workers &pool = workers();
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(pool.mutex);
        pool.tasks.push_back(std::move(task));
        // Every waiting task has an idle worker of its own, or a new one is started.
        wake = static_cast<std::size_t>(pool.idle) >= pool.tasks.size();
    }
    if (wake)
        pool.available.notify_one();
    else
        std::thread(workerLoop).detach();
}

int idleWorkers()
{
    Workers &pool = workers();
    const std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.idle;
}

}  // namespace blocking_call_detail

bool waitForBlockingCalls(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_finished.wait_for(lock, timeout, [] { return g_running == 0; });
}

}  // namespace mornix
