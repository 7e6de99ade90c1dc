#pragma once

#include <QFuture>
#include <QPromise>

#include <memory>
#include <thread>
#include <type_traits>
#include <utility>

// Runs one call that may block for an unbounded time (a keychain that waits for an unlock
// prompt, a D-Bus peer that does not answer) on a thread of its own, detached: no pool and no
// event loop ever waits for it, so a stuck call can neither freeze the main thread nor hold up
// the process's exit. The returned future can be co_awaited (QCoroFuture).
//
// The callable runs on that thread: it must capture what it uses by value (shared, thread-safe
// collaborators) and must not throw (fold failures into its result). GCC 12: keep the future in
// a named variable and co_await that.
template <typename F>
QFuture<std::invoke_result_t<F>> startBlockingCall(F work)
{
    using Result = std::invoke_result_t<F>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    std::thread([promise, work = std::move(work)]() mutable {
        if constexpr (std::is_void_v<Result>) {
            work();
        } else {
            promise->addResult(work());
        }
        promise->finish();
    }).detach();
    return future;
}
