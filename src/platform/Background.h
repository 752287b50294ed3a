#pragma once

#include <QCoroFuture>
#include <QFuture>
#include <QPromise>
#include <QThreadPool>
#include <memory>
#include <type_traits>

// Starts work that would hold up the window (copying gigabytes, hashing,
// scanning a folder tree) on the thread pool; the caller awaits the future
// on the loop. The work gets copies of what it needs and touches nothing
// else. Keep the future in a variable before awaiting it: GCC 12 mishandles
// temporaries inside a co_await expression.
template <typename Work> QFuture<std::invoke_result_t<Work>> offLoop(Work work)
{
    using Result = std::invoke_result_t<Work>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, work = std::move(work)]() mutable {
        promise->addResult(work());
        promise->finish();
    });
    return future;
}
