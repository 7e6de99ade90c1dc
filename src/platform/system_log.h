#pragma once

#include <QString>

namespace mornix {

// The operating system's log (os_log on macOS, syslog on Linux). Texts that the agent sends to
// the system log are fixed formats with their placeholders already filled in.
// Thread: any.
class SystemLog {
public:
    enum class Level { debug, info, error };
    virtual ~SystemLog() = default;
    virtual void write(Level level, const QString &message) = 0;

    void info(const QString &message) { write(Level::info, message); }
    void error(const QString &message) { write(Level::error, message); }
};

}  // namespace mornix
