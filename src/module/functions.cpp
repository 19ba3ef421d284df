// The module's public functions, one row each, in the order in which they are
// registered and listed in __all__.  A row names the function, the shape of
// its result, the model operation it calls and its parameters with what each
// is converted into; the wrapper, the text signature and the method record
// are made from it (module/descriptor.hpp).
#include "module/functions.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "models/flux_map.hpp"
#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/witt_mao.hpp"
#include "module/convert.hpp"
#include "module/descriptor.hpp"
#include "runtime/worker_pool.hpp"

namespace surface {

namespace {

using models::Curve;
using models::Outcome;
using runtime::Interrupt;

// The profile-integrated models keep their quadrature's working storage per
// thread and hold it across their polls for pending signals.  A signal
// handler that calls one of them on the thread whose call it interrupted
// would overwrite that call's storage, and the interrupted call would go on
// to return wrong values.  Counts those calls under way on this thread.
thread_local std::size_t integrations_under_way = 0;

// The curve that `compute` makes, on this thread, or on a worker of the pool
// when a call of an integrated model is already under way on this thread
// (the new call is a signal handler's), so that each computation has working
// storage of its own.  `compute` takes the interrupt poll to pass on and
// whether it may consume its inputs: on a worker it may not, since in a child
// forked while the worker computed it is called again.  A pool without
// threads leaves the nested call on this thread.
template <class Compute>
Outcome<Curve> on_own_storage(const Compute& compute, const Interrupt& interrupt) {
    if (integrations_under_way == 0) {
        ++integrations_under_way;
        struct Leave {
            ~Leave() { --integrations_under_way; }
        } leave;
        return compute(interrupt, true);
    }
    // The worker stops at its next poll once this thread is interrupted.
    std::atomic<bool> stop{false};
    const Interrupt stopped = [&stop] { return stop.load(std::memory_order_relaxed); };
    const std::function<bool()> poll = [&]() -> bool {
        bool asked = true;
        try {
            asked = interrupt && interrupt();
        } catch (...) {
            stop.store(true, std::memory_order_relaxed);
            throw;
        }
        if (asked) {
            stop.store(true, std::memory_order_relaxed);
        }
        return asked;
    };
    // On the heap: in a forked child the worker that was writing it does not
    // exist, and it is left as it stands.
    auto result = std::make_unique<std::optional<Outcome<Curve>>>();
    while (true) {
        try {
            std::optional<Outcome<Curve>>* const slot = result.get();
            const bool complete = runtime::global_pool().run_on_worker(
                [&compute, &stopped, slot] { slot->emplace(compute(stopped, false)); }, poll);
            if (!complete || !result->has_value()) {
                return models::interrupted();
            }
            return std::move(**result);
        } catch (const runtime::ForkedDuringCall&) {
            (void)result.release();
            result = std::make_unique<std::optional<Outcome<Curve>>>();
        }
    }
}

// A vector handed on: moved when the computation may consume it, else copied.
inline Curve pass(Curve& v, bool consume) { return consume ? std::move(v) : v; }

// An integrated model of the built-in profile, computed on storage of its own.
template <auto Model>
constexpr auto integrated = [](Curve l, double re, double rstar,
                               const Interrupt& interrupt) -> Outcome<Curve> {
    return on_own_storage(
        [&](const Interrupt& poll, bool consume) {
            return Model(pass(l, consume), re, rstar, poll);
        },
        interrupt);
};

// An integrated model of a tabulated profile, computed on storage of its own.
template <auto Model>
constexpr auto integrated_table = [](Curve l, double re, double rstar, Curve bl, Curve bf,
                                     const Interrupt& interrupt) -> Outcome<Curve> {
    return on_own_storage(
        [&](const Interrupt& poll, bool consume) {
            return Model(pass(l, consume), re, rstar, pass(bl, consume), pass(bf, consume),
                         poll);
        },
        interrupt);
};

constexpr std::tuple FUNCTIONS{
    Function{"witt_mao_magnification", Shape::curve, witt_mao_list,
             sequence("l"), number("re"), number("rstar")},
    Function{"integrated_witt_mao_magnification", Shape::curve,
             integrated<models::integrated_witt_mao_magnification>,
             sequence("l"), number("re"), number("rstar")},
    Function{"integrated_flux_map_witt_mao_magnification", Shape::curve,
             integrated_table<models::integrated_flux_map_witt_mao_magnification>,
             sequence("l"), number("re"), number("rstar"), sequence("bl"), sequence("bf")}
        .with_same_length("bl", "bf"),
    Function{"multi_witt_mao_magnification", Shape::batch, multi_witt_mao_lists,
             sequence("l"), sequence("re"), sequence("rstar")}
        .with_shortcut(small_multi_witt_mao_lists),
    Function{"heyrovsky_magnification", Shape::real, models::heyrovsky_magnification,
             number("l"), number("r"), number("re"), number("rstar")},
    Function{"integrated_heyrovsky_magnification", Shape::curve,
             integrated<models::integrated_heyrovsky_magnification>,
             sequence("l"), number("re"), number("rstar")},
    Function{"integrated_flux_map_heyrovsky_magnification", Shape::curve,
             integrated_table<models::integrated_flux_map_heyrovsky_magnification>,
             sequence("l"), number("re"), number("rstar"), sequence("bl"), sequence("bf")}
        .with_same_length("bl", "bf"),
    Function{"discrete_flux_map_heyrovsky_magnification", Shape::curve,
             models::discrete_flux_map_heyrovsky_magnification,
             sequence("l"), number("re"), number("rstar"), sequence("bl"), sequence("bf")}
        .with_same_length("bl", "bf"),
};

auto table = method_table<FUNCTIONS>();

}  // namespace

std::span<PyMethodDef> function_table() noexcept { return table; }

}  // namespace surface
