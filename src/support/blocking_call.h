#pragma once

#include "support/serial_queue.h"

#include <QFuture>
#include <QPromise>

#include <exception>
#include <functional>
#include <memory>
#include <chrono>
#include <type_traits>
#include <utility>

namespace mornix {

// Runs one call that may block (a keychain that waits for an unlock prompt, a D-Bus peer that
// does not answer, signature checks that hash whole bundles, process scans) on a detached worker
// thread that runs nothing else meanwhile: an idle worker left by an earlier call when there is
// one, else a new one. No call ever waits for a busy worker and no event loop waits for any, so
// a stuck call can neither freeze the main thread, starve other blocking calls, nor hold up the
// process's exit. A worker idle for a minute ends. The returned future can be co_awaited
// (QCoroFuture), which resumes the coroutine on its own thread.
//
// An exception thrown by the callable is stored in the future and rethrown from the co_await
// (QFuture::result / waitForFinished), so the awaiting coroutine handles it as if the call had
// run inline.
//
// The callable runs on that thread: it must capture what it uses by value (shared, thread-safe
// collaborators). A plain function on purpose: with GCC 12, a non-trivially destructible
// temporary (such as a lambda) passed to a coroutine inside a co_await expression can be
// destroyed twice. Callers keep the future in a named variable and co_await that.
namespace blocking_call_detail {

template <typename Result, typename F>
void settle(QPromise<Result> &promise, F &work)
{
    try {
        if constexpr (std::is_void_v<Result>) {
            work();
        } else {
            promise.addResult(work());
        }
    } catch (...) {
        promise.setException(std::current_exception());
    }
    promise.finish();
}

// Counts the calls of startBlockingCall still running. Thread: any.
void blockingCallStarted();
void blockingCallFinished();

// Runs `task` on an idle worker, or on a new one when none is idle. The task must not throw.
void runOnWorker(std::function<void()> task);
// Workers waiting for a task right now.
int idleWorkers();

}  // namespace blocking_call_detail

// Waits until every call started with startBlockingCall (on a thread of its own) has returned,
// or the timeout has passed; true when none is left. The process calls it before its application
// object ends, so that no started write is cut off by exit and no call runs on without Qt.
bool waitForBlockingCalls(std::chrono::milliseconds timeout);

template <typename F>
QFuture<std::invoke_result_t<F>> startBlockingCall(F work)
{
    using Result = std::invoke_result_t<F>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    blocking_call_detail::blockingCallStarted();
    // Held by pointer: std::function wants a copyable callable, the work need not be.
    // What the call captured is released before it counts as finished: once
    // waitForBlockingCalls says none is left, no worker still runs a destructor of ours.
    blocking_call_detail::runOnWorker([promise, work = std::make_shared<F>(std::move(work))]() mutable {
        blocking_call_detail::settle(*promise, *work);
        work.reset();
        promise.reset();
        blocking_call_detail::blockingCallFinished();
    });
    return future;
}

// The same call on a serial queue instead of a thread of its own, for work whose order matters
// (journal writes): calls run one after the other in the order they were started. Results and
// exceptions reach the awaiting coroutine exactly as above. The queue must outlive the call
// (SerialQueue::drain() before destroying it, when every started call must run).
template <typename F>
QFuture<std::invoke_result_t<F>> startBlockingCall(SerialQueue &queue, F work)
{
    using Result = std::invoke_result_t<F>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    queue.post([promise, work = std::move(work)]() mutable { blocking_call_detail::settle(*promise, work); });
    return future;
}

}  // namespace mornix
