#pragma once

#include <QFuture>
#include <QFutureInterface>
#include <QList>
#include <QThreadPool>

#include <atomic>
#include <memory>
#include <utility>

// Work on the global thread pool, delivered as a QFuture that a QFutureWatcher observes on the
// owner's thread: the watcher, not a shared variable, carries the result back, and waiting on the
// future waits for the workers.
namespace PoolFuture {

// Runs work() on one worker.
template <typename Work>
auto run(Work work) -> QFuture<decltype(work())> {
    using Result = decltype(work());
    QFutureInterface<Result> promise;
    promise.reportStarted();
    QFuture<Result> future = promise.future();
    QThreadPool::globalInstance()->start([promise, work = std::move(work)]() mutable {
        const Result result = work();
        promise.reportResult(result);
        promise.reportFinished();
    });
    return future;
}

// Runs fn(item) for every item, one job each; the results keep the order of the items.
template <typename T, typename Fn>
QFuture<T> mapped(const QList<T> &items, Fn fn) {
    QFutureInterface<T> promise;
    promise.reportStarted();
    QFuture<T> future = promise.future();
    if (items.isEmpty()) {
        promise.reportFinished();
        return future;
    }
    promise.setExpectedResultCount(items.size());
    auto left = std::make_shared<std::atomic<int>>(items.size());
    for (int i = 0; i < items.size(); ++i) {
        QThreadPool::globalInstance()->start([promise, fn, item = items.at(i), i, left]() mutable {
            if (!promise.isCanceled())
                promise.reportResult(fn(item), i);
            if (left->fetch_sub(1) == 1)
                promise.reportFinished();
        });
    }
    return future;
}

} // namespace PoolFuture
