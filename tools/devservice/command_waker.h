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
// own database connection reads SQLite's data_version (a cheap check that changes whenever
// another connection commits) as soon as inotify reports a write to the database's files, and
// at the latest every interval (a commit's last step, the shared-memory index, is no file write
// inotify sees); when the commands table grew, it bumps a generation counter
// and notifies every waiter. One thread serves all waiting requests.
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
    // Until a database file is written, the interval passes or shutdown(); false once shut down.
    bool waitForWrite();

    std::string m_path;
    std::chrono::milliseconds m_interval;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_generation = 0;
    bool m_stopping = false;
    int m_inotify = -1;  // watching the database's directory; -1: the interval alone
    int m_wake = -1;     // eventfd written by shutdown()
    std::thread m_thread;
};

}  // namespace devservice

}  // namespace mornix
