// The process-wide pool of worker threads that computes independent items
// (the curves of a batch) concurrently.
//
// A call hands the pool a range of indices; the pool divides it recursively
// into halves, and idle workers steal pending halves from busy ones.  Every
// index runs exactly once, and the call returns only when all have finished.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace runtime {

namespace detail {

struct PoolState;

}  // namespace detail

// Thrown by WorkerPool::for_each_index in a child process forked while the
// call was waiting for its workers (by a signal handler that the interrupt
// test ran): the workers, and the items they were computing, exist only in
// the parent.  Whatever the items wrote may be half written in the child.
struct ForkedDuringCall {};

class WorkerPool {
public:
    // Starts one worker thread running the given body.
    using Spawner = std::function<std::thread(std::function<void()>)>;

    // Starts `size` workers (at least one) with `spawn`, std::thread by
    // default.  When threads are unsupported (ENOSYS, EOPNOTSUPP) and the
    // creating thread is no pool worker, the pool has size 1 and no threads:
    // each caller does its own work.  Any other failure to start throws
    // InternalFailure, after stopping the workers already started.
    explicit WorkerPool(std::size_t size, const Spawner& spawn = {});
    ~WorkerPool();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    // Calls item(i) exactly once for every i in [0, n) and returns when all
    // calls have finished.  A single item runs on the calling thread.  An
    // outside caller waits while the workers compute; a worker of this pool
    // calling in keeps working on pending items until its range is done.  If
    // items throw, every other item still runs, and the exception of the
    // lowest failing index is rethrown here.
    //
    // An outside caller polls `interrupted` (if given) every few
    // milliseconds while it waits; once it answers true no further item
    // starts, the running ones finish, and the call returns false.  It
    // returns true when every item ran.  If `interrupted` throws (or the
    // thread is ended by a forced unwind), no further item starts and the
    // exception passes on once the running items have finished.  In a
    // child forked by `interrupted` it throws ForkedDuringCall at once.
    //
    // An outside caller that gives `progress` calls it, without the call's
    // lock, each time an item has called report_progress(), so that it can
    // take up results that are already finished while later items are still
    // computed.  It is treated as the interrupt test is: if it throws, no
    // further item starts and the exception passes on once the running items
    // have finished.  Workers and a caller without threads never call it.
    bool for_each_index(std::size_t n, const std::function<void(std::size_t)>& item,
                        const std::function<bool()>& interrupted = {},
                        const std::function<void()>& progress = {});

    // Called from inside an item: wakes an outside caller that waits for
    // this item's call to run its `progress`.  Does nothing elsewhere.
    static void report_progress() noexcept;

private:
    void stop_and_join() noexcept;

    std::size_t size_;
    std::unique_ptr<detail::PoolState> state_;
    std::vector<std::thread> threads_;
};

// The process-wide pool, created on first use with configured_pool_size() and
// never shut down.  A failed creation throws InternalFailure and is tried
// again by the next call.  A child process after fork() gets its own pool on
// first use.
WorkerPool& global_pool();

}  // namespace runtime
