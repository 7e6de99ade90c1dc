#pragma once

#include <QFuture>
#include <QPromise>
#include <QThreadPool>

#include <memory>
#include <type_traits>
#include <utility>

// Starts blocking work (signature checks, scans) on the global thread pool; the returned future
// can be co_awaited (QCoroFuture), which resumes the coroutine on its own thread. The callable
// must be safe to run on another thread (capture shared, thread-safe collaborators by value).
//
// A plain function on purpose: with GCC 12, a non-trivially destructible temporary (such as a
// lambda) passed to a coroutine inside a co_await expression can be destroyed twice. Callers
// keep the future in a named variable and co_await that.
template <typename F>
QFuture<std::invoke_result_t<F>> startOnWorkerThread(F work)
{
    using Result = std::invoke_result_t<F>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, work = std::move(work)]() mutable {
        promise->addResult(work());
        promise->finish();
    });
    return future;
}
