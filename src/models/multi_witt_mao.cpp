#include "models/multi_witt_mao.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "models/witt_mao.hpp"
#include "runtime/worker_pool.hpp"

namespace models {

namespace {

using runtime::ForkedDuringCall;
using runtime::WorkerPool;

using Slots = std::vector<std::optional<Outcome<Curve>>>;

// Evaluates every pair on the pool into `slots`; false when interrupted.
bool compute_on_pool(WorkerPool& pool, const Curve& l, const Curve& re, const Curve& rstar,
                     Slots& slots, const Interrupt& interrupt) {
    // Once the caller is interrupted the curves being computed stop at their
    // next check too, instead of running to their end: a curve may be long.
    std::atomic<bool> stop{false};
    const Interrupt stopped = [&stop] { return stop.load(std::memory_order_relaxed); };
    std::function<bool()> poll;
    if (interrupt) {
        poll = [&]() -> bool {
            try {
                if (!interrupt()) {
                    return false;
                }
            } catch (...) {
                stop.store(true, std::memory_order_relaxed);
                throw;
            }
            stop.store(true, std::memory_order_relaxed);
            return true;
        };
    }
    return pool.for_each_index(
        slots.size(),
        [&](std::size_t k) {
            const std::size_t i = k / rstar.size();
            const std::size_t j = k % rstar.size();
            slots[k].emplace(witt_mao_magnification(l, re[i], rstar[j], stopped));
        },
        poll);
}

}  // namespace

Outcome<Batch> multi_witt_mao_magnification(const Curve& l, const Curve& re, const Curve& rstar,
                                            const Interrupt& interrupt) {
    const std::size_t pairs = re.size() * rstar.size();
    // The pool exists after the first batched call, even an empty one.
    WorkerPool* pool = &runtime::global_pool();

    // A single pair is computed on the calling thread, which may then be
    // interrupted between elements as the single-curve function is.
    if (pairs == 1) {
        Outcome<Curve> curve = witt_mao_magnification(l, re[0], rstar[0], interrupt);
        if (!curve.ok()) {
            return curve.error();
        }
        return Batch{std::move(curve).value()};
    }

    // One slot per pair, each written by exactly one thread.
    auto slots = std::make_unique<Slots>(pairs);
    bool complete = false;
    while (true) {
        try {
            complete = compute_on_pool(*pool, l, re, rstar, *slots, interrupt);
            break;
        } catch (const ForkedDuringCall&) {
            // This is a child forked while the parent's workers computed: the
            // slots they were writing may be half written, so they are left
            // unfreed, and the child computes the batch again on its own pool.
            (void)slots.release();
            slots = std::make_unique<Slots>(pairs);
            pool = &runtime::global_pool();
        }
    }
    if (!complete) {
        return interrupted();
    }

    Batch batch;
    batch.reserve(pairs);
    for (std::optional<Outcome<Curve>>& slot : *slots) {
        if (!slot->ok()) {
            return slot->error();
        }
        batch.push_back(std::move(*slot).value());
    }
    return batch;
}

}  // namespace models
