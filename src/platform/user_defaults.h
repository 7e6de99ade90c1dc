#pragma once

#include <QString>

#include <optional>

namespace mornix {

// The user's preferences of this application (NSUserDefaults on macOS): small values by key,
// kept across runs, readable and writable by this user only.
// Thread: main thread.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // The stored text, or nullopt when the key is absent or holds something other than text.
    virtual std::optional<QString> string(const QString &key) const = 0;
    virtual void setString(const QString &key, const QString &value) = 0;
};

}  // namespace mornix
