#include "command_waker.h"

#include "database.h"

#include <cstdio>
#include <memory>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace mornix {

namespace devservice {

CommandWaker::CommandWaker(std::string databasePath, std::chrono::milliseconds interval)
    : m_path(std::move(databasePath))
    , m_interval(interval)
{
    // The directory, not the files: SQLite creates and removes its -wal and -shm files.
    const std::size_t slash = m_path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : m_path.substr(0, slash);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_inotify >= 0
        && inotify_add_watch(m_inotify, directory.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        std::perror("veltro-devservice: command watcher: inotify");
        close(m_inotify);
        m_inotify = -1;
    }
    m_thread = std::thread([this] { watch(); });
}

CommandWaker::~CommandWaker()
{
    shutdown();
    if (m_thread.joinable())
        m_thread.join();
    if (m_inotify >= 0)
        close(m_inotify);
    if (m_wake >= 0)
        close(m_wake);
}

std::uint64_t CommandWaker::generation()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_generation;
}

bool CommandWaker::waitForChange(std::uint64_t seen, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_until(lock, deadline, [&] { return m_stopping || m_generation != seen; });
    return !m_stopping;
}

void CommandWaker::notify()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_generation;
    }
    m_changed.notify_all();
}

void CommandWaker::shutdown()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_wake >= 0) {
        const std::uint64_t one = 1;
        if (write(m_wake, &one, sizeof one) < 0) {
            // Full only after 2^64 - 2 writes: the watcher is awake already.
        }
    }
}

bool CommandWaker::waitForWrite()
{
    if (m_inotify < 0 || m_wake < 0) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return !m_changed.wait_for(lock, m_interval, [this] { return m_stopping; });
    }
    pollfd fds[2] = {{m_inotify, POLLIN, 0}, {m_wake, POLLIN, 0}};
    poll(fds, 2, static_cast<int>(m_interval.count()));
    if (fds[0].revents & POLLIN) {
        char events[4096];
        while (read(m_inotify, events, sizeof events) > 0) {
        }
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    return !m_stopping;
}

void CommandWaker::watch()
{
    std::int64_t lastVersion = -1;
    std::int64_t lastSeq = -1;
    std::unique_ptr<Database> db;
    for (;;) {
        if (!waitForWrite())
            return;
        try {
            if (!db)
                db = std::make_unique<Database>(m_path);
            const std::int64_t version = db->dataVersion();
            if (version == lastVersion)
                continue;
            lastVersion = version;
            Statement select(*db, "SELECT COALESCE(MAX(seq), 0) FROM commands");
            select.step();
            const std::int64_t seq = select.integer(0);
            if (seq != lastSeq) {
                lastSeq = seq;
                notify();
            }
        } catch (const DatabaseError &error) {
            // Transient (a checkpoint holding the lock); waiters still time out normally.
            std::fprintf(stderr, "veltro-devservice: command watcher: %s\n", error.what());
            lastVersion = -1;
        }
    }
}

}  // namespace devservice

}  // namespace mornix
