#include "models/multi_witt_mao.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <utility>

#include "models/witt_mao.hpp"
#include "runtime/worker_pool.hpp"

namespace models {

namespace {

using runtime::ForkedDuringCall;
using runtime::WorkerPool;

// Below this many elements in all (some tens of microseconds of work) the
// batch is computed on the calling thread: handing work to the pool, waking
// its threads and waiting for them costs about as much.
constexpr std::size_t SERIAL_ELEMENTS = 2048;

// A curve is cut into pieces of at least this many separations, so that a
// few long curves still keep every pool thread busy while each piece's cost
// (tens of microseconds) stays far above that of handing it over.
constexpr std::size_t LEAST_PIECE = 1024;

// Pieces aimed at per pool thread: enough that a thread that finishes early
// can take over pending ones, few enough that each is worth handing over.
constexpr std::size_t PIECES_PER_THREAD = 4;

constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

// Raised by the progress report when the caller could not keep a curve.
struct CurveRefused {};

// How the work list is cut: `pieces` pieces of at most `length` separations
// per pair; item k is piece k % pieces of pair k / pieces.
struct Cut {
    std::size_t pieces;
    std::size_t length;
};

Cut cut_for(std::size_t n, std::size_t pairs, std::size_t threads) {
    if (n == 0) {
        return {1, 0};
    }
    const std::size_t wanted = PIECES_PER_THREAD * threads;
    std::size_t pieces = pairs >= wanted ? 1 : (wanted + pairs - 1) / pairs;
    pieces = std::clamp<std::size_t>(pieces, 1, std::max<std::size_t>(n / LEAST_PIECE, 1));
    return {pieces, (n + pieces - 1) / pieces};
}

// The state of one pool computation, made afresh in a forked child.  Workers
// only write into it (no allocation), so a child may drop it as it stands.
struct Progress {
    Progress(std::size_t pairs, std::size_t items, std::size_t pieces)
        : remaining(std::make_unique<std::atomic<std::size_t>[]>(pairs)),
          finished(std::make_unique<std::atomic<std::size_t>[]>(pairs)),
          errors(std::make_unique<ModelError[]>(items)) {
        for (std::size_t k = 0; k < pairs; ++k) {
            remaining[k].store(pieces, std::memory_order_relaxed);
            finished[k].store(NONE, std::memory_order_relaxed);
        }
        for (std::size_t k = 0; k < items; ++k) {
            errors[k] = ModelError{ErrorKind::runtime_error, nullptr};
        }
    }

    std::unique_ptr<std::atomic<std::size_t>[]> remaining;  // pieces still to finish, per pair
    // Pairs that finished without error, in the order they finished; NONE
    // where the slot is not written yet.
    std::unique_ptr<std::atomic<std::size_t>[]> finished;
    std::atomic<std::size_t> finished_count{0};
    std::unique_ptr<ModelError[]> errors;  // per item; a null text where it succeeded
    std::size_t handed_over = 0;           // slots of `finished` taken up by the caller
};

class Computation {
public:
    Computation(std::span<const double> l, std::span<const double> re,
                std::span<const double> rstar, std::span<double> out,
                const CurveReady& ready, Cut cut)
        : l_(l), re_(re), rstar_(rstar), out_(out), ready_(ready), cut_(cut),
          pairs_(re.size() * rstar.size()) {}

    [[nodiscard]] std::size_t items() const noexcept { return pairs_ * cut_.pieces; }
    [[nodiscard]] std::size_t pieces() const noexcept { return cut_.pieces; }

    // Evaluates every item on the pool into out; false when interrupted.
    bool run(WorkerPool& pool, Progress& progress, const Interrupt& interrupt) {
        // Once the caller is interrupted the pieces being computed stop at
        // their next check too, instead of running to their end.
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
        std::function<void()> report;
        if (ready_) {
            report = [&] {
                try {
                    hand_over(progress);
                } catch (...) {
                    stop.store(true, std::memory_order_relaxed);
                    throw;
                }
            };
        }
        return pool.for_each_index(
            items(),
            [&](std::size_t k) {
                evaluate(progress, k, stopped);
                const std::size_t pair = k / cut_.pieces;
                if (progress.remaining[pair].fetch_sub(1, std::memory_order_acq_rel) == 1 &&
                    pair_succeeded(progress, pair)) {
                    const std::size_t slot =
                        progress.finished_count.fetch_add(1, std::memory_order_relaxed);
                    progress.finished[slot].store(pair, std::memory_order_release);
                    WorkerPool::report_progress();
                }
            },
            poll, report);
    }

    // Hands the curves finished so far to the caller.
    void hand_over(Progress& progress) {
        const std::size_t pairs = pairs_;
        while (progress.handed_over < pairs) {
            const std::size_t pair =
                progress.finished[progress.handed_over].load(std::memory_order_acquire);
            if (pair == NONE) {
                return;  // its writer reports again once it has written it
            }
            ++progress.handed_over;
            if (!ready_(pair, curve(pair))) {
                throw CurveRefused{};
            }
        }
    }

    // The error of the lowest failing pair, or null text when none failed.
    [[nodiscard]] ModelError first_error(const Progress& progress) const {
        for (std::size_t k = 0; k < items(); ++k) {
            if (progress.errors[k].text != nullptr) {
                return progress.errors[k];
            }
        }
        return ModelError{ErrorKind::runtime_error, nullptr};
    }

    // Hands over, in pair order, the curves the pool did not report.
    bool hand_over_rest(Progress& progress) {
        if (!ready_) {
            return true;
        }
        std::vector<bool> done(pairs_, false);
        for (std::size_t s = 0; s < progress.handed_over; ++s) {
            done[progress.finished[s].load(std::memory_order_relaxed)] = true;
        }
        for (std::size_t pair = 0; pair < pairs_; ++pair) {
            if (!done[pair] && !ready_(pair, curve(pair))) {
                return false;
            }
        }
        return true;
    }

private:
    [[nodiscard]] std::span<double> curve(std::size_t pair) const {
        return out_.subspan(pair * l_.size(), l_.size());
    }

    void evaluate(Progress& progress, std::size_t k, const Interrupt& interrupt) {
        const std::size_t pair = k / cut_.pieces;
        const std::size_t begin = std::min(l_.size(), (k % cut_.pieces) * cut_.length);
        const std::size_t end = std::min(l_.size(), begin + cut_.length);
        const double re = re_[pair / rstar_.size()];
        const double rstar = rstar_[pair % rstar_.size()];
        const Outcome<Filled> filled = witt_mao_magnification_into(
            l_.subspan(begin, end - begin), re, rstar,
            curve(pair).subspan(begin, end - begin), interrupt);
        if (!filled.ok()) {
            progress.errors[k] = filled.error();
        }
    }

    // Every piece of the pair has finished (its count reached zero, which
    // orders their writes before this read).
    [[nodiscard]] bool pair_succeeded(const Progress& progress, std::size_t pair) const {
        for (std::size_t p = 0; p < cut_.pieces; ++p) {
            if (progress.errors[pair * cut_.pieces + p].text != nullptr) {
                return false;
            }
        }
        return true;
    }

    std::span<const double> l_;
    std::span<const double> re_;
    std::span<const double> rstar_;
    std::span<double> out_;
    const CurveReady& ready_;
    Cut cut_;
    std::size_t pairs_;
};

}  // namespace

Outcome<Filled> multi_witt_mao_magnification_here(std::span<const double> l,
                                                  std::span<const double> re,
                                                  std::span<const double> rstar,
                                                  std::span<double> out,
                                                  const Interrupt& interrupt) {
    if (out.size() != re.size() * rstar.size() * l.size()) {
        fail_equal(out.size(), re.size() * rstar.size() * l.size(), __FILE__, __LINE__);
    }
    // The pool exists after the first batched call, even one computed here.
    (void)runtime::global_pool();
    // In pair order, every pair evaluated; nothing of the pool's bookkeeping
    // is needed.  The pairs are walked by their two indices: a division per
    // pair would cost a one-point batch a tenth of its element.
    ModelError first{ErrorKind::runtime_error, nullptr};
    double* curve = out.data();
    for (const double e : re) {
        for (const double s : rstar) {
            const Outcome<Filled> filled = witt_mao_magnification_into(
                l, e, s, std::span<double>(curve, l.size()), interrupt);
            curve += l.size();
            if (!filled.ok()) {
                if (filled.error().kind == ErrorKind::interrupted) {
                    return interrupted();
                }
                if (first.text == nullptr) {
                    first = filled.error();
                }
            }
        }
    }
    if (first.text != nullptr) {
        return first;
    }
    return Filled{};
}

Outcome<Filled> multi_witt_mao_magnification_into(std::span<const double> l,
                                                  std::span<const double> re,
                                                  std::span<const double> rstar,
                                                  std::span<double> out,
                                                  const CurveReady& ready,
                                                  const Interrupt& interrupt) {
    const std::size_t pairs = re.size() * rstar.size();
    if (out.size() != pairs * l.size()) {
        fail_equal(out.size(), pairs * l.size(), __FILE__, __LINE__);
    }
    // The pool exists after the first batched call, even an empty one.
    WorkerPool* pool = &runtime::global_pool();

    // Small work, or a single curve too short to cut, is computed on the
    // calling thread, which may then be interrupted between elements as the
    // single-curve function is.
    const std::size_t elements = pairs * l.size();
    const bool here = elements < SERIAL_ELEMENTS || pool->size() < 2 ||
                      (pairs == 1 && l.size() < 2 * LEAST_PIECE);
    if (here) {
        const Outcome<Filled> filled = multi_witt_mao_magnification_here(l, re, rstar, out,
                                                                         interrupt);
        if (!filled.ok()) {
            return filled;
        }
        for (std::size_t k = 0; ready && k < pairs; ++k) {
            if (!ready(k, out.subspan(k * l.size(), l.size()))) {
                return interrupted();
            }
        }
        return Filled{};
    }
    Computation computation(l, re, rstar, out, ready, cut_for(l.size(), pairs, pool->size()));
    const std::size_t pieces = computation.pieces();
    auto progress = std::make_unique<Progress>(pairs, computation.items(), pieces);
    bool complete = false;
    while (true) {
        try {
            complete = computation.run(*pool, *progress, interrupt);
            break;
        } catch (const ForkedDuringCall&) {
            // This is a child forked while the parent's workers computed:
            // the state they were writing is left as it stands, and the
            // child computes the batch again on its own pool.
            (void)progress.release();
            progress = std::make_unique<Progress>(pairs, computation.items(), pieces);
            pool = &runtime::global_pool();
        } catch (const CurveRefused&) {
            return interrupted();
        }
    }
    if (!complete) {
        return interrupted();
    }
    const ModelError error = computation.first_error(*progress);
    if (error.text != nullptr) {
        return error;
    }
    if (!computation.hand_over_rest(*progress)) {
        return interrupted();
    }
    return Filled{};
}

Outcome<Batch> multi_witt_mao_magnification(const Curve& l, const Curve& re, const Curve& rstar,
                                            const Interrupt& interrupt) {
    const std::size_t n = l.size();
    std::vector<double> out(re.size() * rstar.size() * n);
    const Outcome<Filled> filled = multi_witt_mao_magnification_into(l, re, rstar, out, {}, interrupt);
    if (!filled.ok()) {
        return filled.error();
    }
    Batch batch;
    batch.reserve(re.size() * rstar.size());
    for (std::size_t k = 0; k < re.size() * rstar.size(); ++k) {
        batch.emplace_back(out.begin() + static_cast<std::ptrdiff_t>(k * n),
                           out.begin() + static_cast<std::ptrdiff_t>((k + 1) * n));
    }
    return batch;
}

}  // namespace models
