#pragma once

#include "signin/sign_in_window.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace mornix {

// A user at the sign-in window who answers at once: the next window presented through the
// attacher resolves as if the button of the method set here had been pressed (nullopt: the
// window was closed). Each answer is used once; a window presented without one waits.
// Fills SignInFlows::Dependencies::attachWindow. Thread: main thread.
class SignInWindowAnswers {
public:
    void setNext(std::optional<SignInMethod> method) { *m_next = std::move(method); }
    void clear() { m_next->reset(); }

    std::function<void(SignInWindowController *)> attacher() const
    {
        return [next = m_next](SignInWindowController *window) {
            const QPointer<SignInWindowController> guard(window);
            QObject::connect(window, &SignInWindowController::presented, window, [next, guard] {
                std::optional<std::optional<SignInMethod>> answer = std::exchange(*next, std::nullopt);
                if (!answer)
                    return;
                // After present() has finished setting the window up, as a click would come.
                QTimer::singleShot(0, guard, [guard, method = std::move(*answer)] {
                    if (!guard)
                        return;
                    if (method)
                        guard->submit(*method);
                    else
                        guard->windowWillClose();
                });
            });
        };
    }

private:
    // Outer optional: whether an answer is set.
    std::shared_ptr<std::optional<std::optional<SignInMethod>>> m_next =
        std::make_shared<std::optional<std::optional<SignInMethod>>>();
};

}  // namespace mornix
