#include "command_waker.h"

#include "database.h"

#include <cstdio>
#include <memory>

namespace mornix {

namespace devservice {

CommandWaker::CommandWaker(std::string databasePath, std::chrono::milliseconds interval)
    : m_path(std::move(databasePath))
    , m_interval(interval)
    , m_thread([this] { watch(); })
{
}

CommandWaker::~CommandWaker()
{
    shutdown();
    if (m_thread.joinable())
        m_thread.join();
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
}

void CommandWaker::watch()
{
    std::int64_t lastVersion = -1;
    std::int64_t lastSeq = -1;
    std::unique_ptr<Database> db;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_changed.wait_for(lock, m_interval, [this] { return m_stopping; }))
                return;
        }
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
