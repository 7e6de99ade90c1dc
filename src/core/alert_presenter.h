#pragma once

#include <QString>

namespace mornix {

// Shows a modal warning alert and returns once the user has dismissed it.
// Thread: main thread. Tests answer it with a recording implementation.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    virtual void showWarning(const QString &messageText, const QString &informativeText) = 0;
};

}  // namespace mornix
