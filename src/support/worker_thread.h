#pragma once

#include <QCoroFuture>
#include <QCoroTask>
#include <QFuture>
#include <QPromise>
#include <QThreadPool>

#include <memory>
#include <type_traits>
#include <utility>

// Runs blocking work (signature checks, scans) on the global thread pool and resumes the
// awaiting coroutine on its own thread once the result is there. The callable must be safe to
// run on another thread (capture shared, thread-safe collaborators by value).
template <typename F>
auto onWorkerThread(F work) -> QCoro::Task<std::invoke_result_t<F>>
{
    using Result = std::invoke_result_t<F>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, work = std::move(work)]() mutable {
        promise->addResult(work());
        promise->finish();
    });
    co_return co_await future;
}
