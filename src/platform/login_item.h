#pragma once

#include <QString>

namespace mornix {

// The main application's login item: start this program when the user logs in.
// Thread: main thread.
class LoginItem {
public:
    enum class Status { notRegistered, enabled };

    virtual ~LoginItem() = default;
    virtual Status status() const = 0;
    // On failure `error` (if given) receives a readable reason.
    virtual bool registerItem(QString *error = nullptr) = 0;
    virtual bool unregisterItem(QString *error = nullptr) = 0;
};

}  // namespace mornix
