#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace mornix {

namespace devservice {

// Wakes waiting long polls when a command is queued by any process. A watcher thread with its
// own database connection reads SQLite's data_version every interval (a cheap check that
// changes whenever another connection commits) and, when the commands table grew, bumps a
// generation counter and notifies every waiter. One thread serves all waiting requests.
class CommandWaker {
public:
    CommandWaker(std::string databasePath, std::chrono::milliseconds interval);
    ~CommandWaker();
    CommandWaker(const CommandWaker &) = delete;
    CommandWaker &operator=(const CommandWaker &) = delete;

    std::uint64_t generation();
    // Blocks until the generation differs from seen, the deadline passes or shutdown();
    // returns false once shut down.
    bool waitForChange(std::uint64_t seen, std::chrono::steady_clock::time_point deadline);
    void notify();
    void shutdown();

private:
    void watch();

    std::string m_path;
    std::chrono::milliseconds m_interval;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_generation = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace devservice

}  // namespace mornix
