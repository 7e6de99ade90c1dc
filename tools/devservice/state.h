#pragma once

#include "database.h"

#include <mutex>
#include <string>

namespace mornix {

namespace devservice {

// The dev user every sign-in path authenticates, and the workspace it belongs to.
struct DevIdentity {
    std::string userId;
    std::string email;
    std::string password;
    std::string orgId;
    std::string projectId;
    std::string anonKey;  // the hosted provider's public "apikey"
};

inline constexpr const char *kDevUserEmail = "dev@veltro.localhost";
inline constexpr const char *kDevUserPassword = "veltro-dev-password";

// $XDG_DATA_HOME/veltro-devservice, or ~/.local/share/veltro-devservice.
std::string defaultStateDirectory();

// The state directory (0700) and its SQLite database (0600): schema created on first use,
// identity generated once and kept. One connection; callers on several threads go through
// locked(), which serialises them.
class State {
public:
    explicit State(const std::string &directory);

    template <class F>
    auto locked(F &&f)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return f(m_db);
    }

    const DevIdentity &identity() const { return m_identity; }
    const std::string &databasePath() const { return m_path; }

private:
    std::string m_path;
    std::mutex m_mutex;
    Database m_db;
    DevIdentity m_identity;
};

}  // namespace devservice

}  // namespace mornix
