#include "runtime/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "runtime/internal_failure.hpp"
#include "runtime/pool_size.hpp"

namespace runtime {

namespace {

constexpr std::size_t no_index = std::numeric_limits<std::size_t>::max();

}  // namespace

// ---------------------------------------------------------------------------
// The pool

namespace detail {

// One for_each_index call: what to run and how much of it is still pending.
struct Call {
    Call(const std::function<void(std::size_t)>& f, std::size_t n, bool worker)
        : item(f), remaining(n), waiter_is_worker(worker) {}

    const std::function<void(std::size_t)>& item;
    std::atomic<std::size_t> remaining;  // items not yet finished
    const bool waiter_is_worker;         // the caller waits by working, not on `finished`
    std::atomic<bool> cancelled{false};  // set by an interrupted caller: start no more items

    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;                    // guarded by mutex
    bool news = false;                    // an item reported progress; guarded by mutex
    std::size_t failed_index = no_index;  // guarded by mutex
    std::exception_ptr failure;           // guarded by mutex
};

// A pending range [begin, end) of one call.  `splits` is how many more times
// the range may be halved; a range taken over by another thread may be
// divided further, so that the work spreads as threads become idle.
struct Task {
    Call* call;
    std::size_t begin;
    std::size_t end;
    std::size_t splits;
    std::size_t origin;  // the worker that offered it, no_index for an outside caller
};

struct alignas(64) TaskQueue {
    std::mutex mutex;
    std::deque<Task> tasks;
};

// Per-worker state is made as each worker starts, never for a requested
// count that may not start at all (a thread count of a million would
// otherwise claim hundreds of megabytes before the first thread fails).
// Workers wait at the gate until every thread has started; only then are
// `size` and `queues` fixed, and from then on they are only read.
struct PoolState {
    std::size_t size = 0;
    std::vector<std::unique_ptr<TaskQueue>> queues;  // one per worker: newest at the back
    TaskQueue handed_over;                           // whole ranges from outside callers

    // Every new task or finished nested call advances the epoch; a thread
    // that found nothing to do sleeps until it moves on.
    std::atomic<std::uint64_t> epoch{0};
    std::atomic<std::size_t> sleepers{0};
    std::mutex sleep_mutex;
    std::condition_variable wake;
    bool open = false;      // every worker started; guarded by sleep_mutex
    bool stopping = false;  // guarded by sleep_mutex
};

}  // namespace detail

namespace {

using detail::Call;
using detail::PoolState;
using detail::Task;
using detail::TaskQueue;

struct WorkerIdentity {
    PoolState* pool;
    std::size_t index;
    std::uint64_t random;  // picks where stealing starts
};

thread_local WorkerIdentity* current_worker = nullptr;

// The call whose item this thread is running, for report_progress().
thread_local Call* running_call = nullptr;

std::size_t next_random(WorkerIdentity& self) noexcept {
    // xorshift64
    std::uint64_t x = self.random;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    self.random = x;
    return static_cast<std::size_t>(x);
}

void announce(PoolState& pool, bool everyone) {
    pool.epoch.fetch_add(1);
    if (pool.sleepers.load() == 0) return;
    std::lock_guard lock(pool.sleep_mutex);
    if (everyone) {
        pool.wake.notify_all();
    } else {
        pool.wake.notify_one();
    }
}

// Sleeps until the epoch moves past `seen`, the pool stops, or `own` (if
// given) completes.  Returns false when the pool stops.
bool sleep_until_news(PoolState& pool, std::uint64_t seen, const Call* own) {
    std::unique_lock lock(pool.sleep_mutex);
    pool.sleepers.fetch_add(1);
    while (!pool.stopping && pool.epoch.load() == seen && (own == nullptr || own->remaining.load() != 0)) {
        pool.wake.wait(lock);
    }
    pool.sleepers.fetch_sub(1);
    return !pool.stopping;
}

std::optional<Task> take_newest(TaskQueue& queue) {
    std::lock_guard lock(queue.mutex);
    if (queue.tasks.empty()) return std::nullopt;
    Task task = queue.tasks.back();
    queue.tasks.pop_back();
    return task;
}

std::optional<Task> take_oldest(TaskQueue& queue) {
    std::lock_guard lock(queue.mutex);
    if (queue.tasks.empty()) return std::nullopt;
    Task task = queue.tasks.front();
    queue.tasks.pop_front();
    return task;
}

// Own newest work first, then ranges handed over from outside, then the
// oldest (largest) work of the other workers.
std::optional<Task> find_task(PoolState& pool, WorkerIdentity& self) {
    if (auto task = take_newest(*pool.queues[self.index])) return task;
    if (auto task = take_oldest(pool.handed_over)) return task;
    if (pool.size > 1) {
        const std::size_t start = next_random(self) % pool.size;
        for (std::size_t k = 0; k < pool.size; ++k) {
            const std::size_t victim = (start + k) % pool.size;
            if (victim == self.index) continue;
            if (auto task = take_oldest(*pool.queues[victim])) return task;
        }
    }
    return std::nullopt;
}

void record_failure(Call& call, std::size_t index, std::exception_ptr failure) {
    std::lock_guard lock(call.mutex);
    if (index < call.failed_index) {
        call.failed_index = index;
        call.failure = std::move(failure);
    }
}

void finish(PoolState& pool, Call& call, std::size_t count) {
    // Once `remaining` reaches zero a working waiter may return and release
    // the call at any moment, so nothing of it is read after the decrement.
    const bool worker_waits = call.waiter_is_worker;
    if (call.remaining.fetch_sub(count, std::memory_order_acq_rel) != count) return;
    if (worker_waits) {
        announce(pool, true);
        return;
    }
    std::lock_guard lock(call.mutex);
    call.done = true;
    call.finished.notify_all();
}

// Evaluates [begin, end) in index order; a throwing item does not stop the
// others, and within one range only the first failure can be the lowest.
void evaluate(PoolState& pool, Call& call, std::size_t begin, std::size_t end) {
    bool failed = false;
    for (std::size_t i = begin; i < end; ++i) {
        if (call.cancelled.load(std::memory_order_relaxed)) {
            continue;  // counted as finished without running
        }
        Call* const outer = running_call;  // an item may call in again
        running_call = &call;
        try {
            call.item(i);
            running_call = outer;
        } catch (...) {
            running_call = outer;
            if (!failed) {
                failed = true;
                record_failure(call, i, std::current_exception());
            }
        }
    }
    finish(pool, call, end - begin);
}

// Halves the range while it may be divided, offering each second half to
// the other workers and keeping the first, then evaluates what is left.
void run_task(PoolState& pool, std::size_t self, const Task& task) {
    std::size_t splits = task.splits;
    if (task.origin != self) splits = std::max(splits / 2, pool.size);
    std::size_t begin = task.begin;
    std::size_t end = task.end;
    while (end - begin > 1 && splits > 0) {
        splits /= 2;
        const std::size_t middle = begin + (end - begin) / 2;
        try {
            TaskQueue& own = *pool.queues[self];
            std::lock_guard lock(own.mutex);
            own.tasks.push_back(Task{task.call, middle, end, splits, self});
        } catch (...) {
            break;  // no room to offer work: keep the whole range
        }
        announce(pool, false);
        end = middle;
    }
    evaluate(pool, *task.call, begin, end);
}

void name_this_thread(std::size_t index) {
    char name[16];  // the kernel keeps 15 characters
    std::snprintf(name, sizeof name, "caustrix-wk-%zu", index);
    pthread_setname_np(pthread_self(), name);
}

// Waits until the pool has started all its workers; false when it stops
// instead.
bool wait_at_gate(PoolState& pool) {
    std::unique_lock lock(pool.sleep_mutex);
    pool.wake.wait(lock, [&] { return pool.open || pool.stopping; });
    return !pool.stopping;
}

void worker_main(PoolState& pool, std::size_t index) {
    if (!wait_at_gate(pool)) return;
    WorkerIdentity identity{&pool, index, 0x9e3779b97f4a7c15ULL * (index + 1)};
    current_worker = &identity;
    name_this_thread(index);
    while (true) {
        const std::uint64_t seen = pool.epoch.load();
        if (const auto task = find_task(pool, identity)) {
            run_task(pool, index, *task);
            continue;
        }
        if (!sleep_until_news(pool, seen, nullptr)) break;
    }
    current_worker = nullptr;
}

bool threads_unsupported(const std::error_code& code) {
    return code == std::errc::function_not_supported || code == std::errc::operation_not_supported;
}

[[noreturn]] void fail_to_start(const std::string& cause, int line) {
    std::string message = "The global thread pool has not been initialized.";
    if (!cause.empty()) message += " (" + cause + ")";
    throw InternalFailure{std::move(message), __FILE__, line};
}

}  // namespace

WorkerPool::WorkerPool(std::size_t size, const Spawner& spawn) try
    : size_(std::max<std::size_t>(size, 1)), state_(std::make_unique<detail::PoolState>()) {
    for (std::size_t i = 0; i < size_; ++i) {
        try {
            state_->queues.push_back(std::make_unique<TaskQueue>());
            std::function<void()> body = [state = state_.get(), i] { worker_main(*state, i); };
            std::thread thread = spawn ? spawn(std::move(body)) : std::thread(std::move(body));
            try {
                threads_.push_back(std::move(thread));
            } catch (...) {
                stop_and_join();
                thread.join();
                throw;
            }
        } catch (const std::system_error& e) {
            stop_and_join();
            if (threads_unsupported(e.code()) && current_worker == nullptr) {
                size_ = 1;  // no threads: every caller evaluates its own items
                return;
            }
            fail_to_start("starting worker " + std::to_string(i) + ": " + e.what(), __LINE__);
        } catch (const std::exception& e) {
            stop_and_join();
            fail_to_start("starting worker " + std::to_string(i) + ": " + e.what(), __LINE__);
        } catch (...) {
            stop_and_join();
            fail_to_start("starting worker " + std::to_string(i), __LINE__);
        }
    }
    {
        std::lock_guard lock(state_->sleep_mutex);
        state_->size = size_;
        state_->open = true;
    }
    state_->wake.notify_all();
} catch (const InternalFailure&) {
    throw;
} catch (const std::exception& e) {
    // No room for the pool's own bookkeeping; no thread was started yet.
    fail_to_start(e.what(), __LINE__);
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::stop_and_join() noexcept {
    {
        std::lock_guard lock(state_->sleep_mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    for (auto& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
    threads_.clear();
}

void WorkerPool::report_progress() noexcept {
    Call* const call = running_call;
    // A worker waiting for its own nested call works instead of sleeping on
    // `finished`, so only an outside caller is told.
    if (call == nullptr || call->waiter_is_worker) return;
    std::lock_guard lock(call->mutex);
    call->news = true;
    call->finished.notify_all();
}

bool WorkerPool::for_each_index(std::size_t n, const std::function<void(std::size_t)>& item,
                                const std::function<bool()>& interrupted,
                                const std::function<void()>& progress) {
    if (n == 0) return true;
    if (n == 1) {
        item(0);
        return true;
    }

    if (threads_.empty()) {
        std::exception_ptr first_failure;
        for (std::size_t i = 0; i < n; ++i) {
            if (interrupted && interrupted()) {
                if (first_failure) std::rethrow_exception(first_failure);
                return false;
            }
            try {
                item(i);
            } catch (...) {
                if (!first_failure) first_failure = std::current_exception();
            }
        }
        if (first_failure) std::rethrow_exception(first_failure);
        return true;
    }

    PoolState& pool = *state_;
    WorkerIdentity* const self = current_worker != nullptr && current_worker->pool == &pool ? current_worker : nullptr;

    if (self == nullptr) {
        // An outside caller hands the whole range over and waits.  The call
        // lives on the heap so that a forked child, where the workers that
        // use it do not exist, can leave it alone (see below).
        const pid_t owner = getpid();
        auto call = std::make_unique<Call>(item, n, false);
        {
            std::lock_guard lock(pool.handed_over.mutex);
            pool.handed_over.tasks.push_back(Task{call.get(), 0, n, pool.size, no_index});
        }
        announce(pool, false);
        // The interrupt test and the progress report may run arbitrary code
        // (a signal handler, a finaliser), so they run without the call's
        // lock held.
        constexpr auto poll_interval = std::chrono::milliseconds(10);
        std::exception_ptr failure;
        {
            std::unique_lock lock(call->mutex);
            auto next_poll = std::chrono::steady_clock::now() + poll_interval;
            while (!call->done) {
                call->finished.wait_until(lock, next_poll, [&] { return call->done || call->news; });
                if (call->done) {
                    break;
                }
                const bool news = call->news;
                call->news = false;
                const bool poll_due = std::chrono::steady_clock::now() >= next_poll;
                if (poll_due) {
                    next_poll = std::chrono::steady_clock::now() + poll_interval;
                }
                const bool ask = poll_due && interrupted &&
                                 !call->cancelled.load(std::memory_order_relaxed);
                const bool report = news && progress &&
                                    !call->cancelled.load(std::memory_order_relaxed);
                if (ask || report) {
                    lock.unlock();
                    bool stop = false;
                    try {
                        if (report) {
                            progress();
                        }
                        if (ask && getpid() == owner) {
                            stop = interrupted();
                        }
                    } catch (...) {
                        // The test failed, or this thread is being ended by a
                        // forced unwind: the workers still use the call, so
                        // none starts another item, and the frame waits for
                        // the running ones before it goes.
                        if (getpid() != owner) {
                            (void)call.release();
                            throw;
                        }
                        call->cancelled.store(true, std::memory_order_relaxed);
                        lock.lock();
                        call->finished.wait(lock, [&] { return call->done; });
                        throw;
                    }
                    // A signal handler may have forked.  In the child the
                    // workers are gone and the call can never complete; its
                    // state may have been half written by them at the fork,
                    // so it is abandoned untouched, and the caller decides.
                    if (getpid() != owner) {
                        (void)call.release();
                        throw ForkedDuringCall{};
                    }
                    lock.lock();
                    if (stop) call->cancelled.store(true, std::memory_order_relaxed);
                }
            }
            failure = call->failure;
        }
        if (failure) std::rethrow_exception(failure);
        return !call->cancelled.load(std::memory_order_relaxed);
    }

    // A worker calling in from one of its items works on its own range, and
    // on anything else pending, until the range is complete: it never sleeps
    // while work it could do is waiting, so nesting cannot deadlock.
    Call call(item, n, true);
    run_task(pool, self->index, Task{&call, 0, n, pool.size, self->index});
    while (call.remaining.load(std::memory_order_acquire) != 0) {
        const std::uint64_t seen = pool.epoch.load();
        if (const auto task = find_task(pool, *self)) {
            run_task(pool, self->index, *task);
            continue;
        }
        sleep_until_news(pool, seen, &call);
    }
    std::exception_ptr failure;
    {
        std::lock_guard lock(call.mutex);
        failure = call.failure;
    }
    if (failure) std::rethrow_exception(failure);
    return true;
}

// ---------------------------------------------------------------------------
// The process-wide pool

namespace {

std::atomic<WorkerPool*> process_pool{nullptr};
std::mutex process_pool_mutex;
bool fork_handlers_installed = false;  // guarded by process_pool_mutex

void before_fork() { process_pool_mutex.lock(); }

void after_fork_in_parent() { process_pool_mutex.unlock(); }

void after_fork_in_child() {
    // The parent's workers do not exist in the child: its pool is abandoned
    // without being touched, and the child starts its own on first use.
    process_pool.store(nullptr, std::memory_order_relaxed);
    current_worker = nullptr;
    process_pool_mutex.unlock();
}

}  // namespace

WorkerPool& global_pool() {
    if (WorkerPool* pool = process_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard lock(process_pool_mutex);
    if (WorkerPool* pool = process_pool.load(std::memory_order_relaxed)) return *pool;
    if (!fork_handlers_installed) {
        fork_handlers_installed = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    }
    auto* pool = new WorkerPool(configured_pool_size());  // never deleted
    process_pool.store(pool, std::memory_order_release);
    return *pool;
}

}  // namespace runtime
