#include "models/multi_witt_mao.hpp"

#include <optional>
#include <utility>

#include "models/witt_mao.hpp"
#include "models/worker_pool.hpp"

namespace models {

Outcome<Batch> multi_witt_mao_magnification(const Curve& l, const Curve& re, const Curve& rstar,
                                            const Interrupt& interrupt) {
    const std::size_t pairs = re.size() * rstar.size();
    // The pool exists after the first batched call, even an empty one.
    WorkerPool& pool = global_pool();

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
    std::vector<std::optional<Outcome<Curve>>> slots(pairs);
    const bool complete = pool.for_each_index(
        pairs,
        [&](std::size_t k) {
            const std::size_t i = k / rstar.size();
            const std::size_t j = k % rstar.size();
            slots[k].emplace(witt_mao_magnification(l, re[i], rstar[j]));
        },
        interrupt);
    if (!complete) {
        return interrupted();
    }

    Batch batch;
    batch.reserve(pairs);
    for (std::optional<Outcome<Curve>>& slot : slots) {
        if (!slot->ok()) {
            return slot->error();
        }
        batch.push_back(std::move(*slot).value());
    }
    return batch;
}

}  // namespace models
