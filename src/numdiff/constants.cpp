// The derivative step constant, computed once per process.
#include "numdiff/central_difference.hpp"

#include <atomic>
#include <cmath>
#include <limits>

namespace numdiff::constants {

namespace {

std::atomic<std::uint32_t> initialisations{0};

double compute_cbrt_eps() noexcept {
    initialisations.fetch_add(1, std::memory_order_relaxed);
    return std::cbrt(std::numeric_limits<double>::epsilon());
}

}  // namespace

double CBRT_EPS() noexcept {
    // A block-scope static: the compiler's guard gives the three states (not
    // initialised, being initialised, initialised), blocks concurrent first
    // users until the value is stored, and reads the initialised state without
    // a lock.
    static const double value = compute_cbrt_eps();
    return value;
}

std::uint32_t cbrt_eps_initialisations() noexcept {
    return initialisations.load(std::memory_order_relaxed);
}

}  // namespace numdiff::constants
