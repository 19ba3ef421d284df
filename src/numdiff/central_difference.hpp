// First derivative of a scalar function by a symmetric difference.
//
// The step grows with |x|, h = (|x| + 1) cbrt(eps): relative for large |x|,
// absolute near 0.  The truncation error is O(h^2), the rounding error
// O(eps / h), and the cube root of eps balances the two.
#pragma once

#include <cmath>
#include <cstdint>

namespace numdiff::constants {

// The cube root of the machine epsilon of doubles, cbrt(2^-52), rounded to the
// nearest double (6.0554544523933395e-06): the relative step that balances the
// truncation error of a central difference against rounding.  Computed by
// std::cbrt on first use anywhere in the process, exactly once; a thread that
// meets it while another computes it waits for the value, and later reads
// take no lock.
double CBRT_EPS() noexcept;

// How many times the CBRT_EPS initialiser has run in this process: 0 before
// the first use, 1 ever after.  For diagnostics.
std::uint32_t cbrt_eps_initialisations() noexcept;

}  // namespace numdiff::constants

namespace numdiff::central_difference::derivative::scalar_valued {

// The step used at x.
inline double step(double x) noexcept {
    return (std::fabs(x) + 1) * constants::CBRT_EPS();
}

// (f(x + h) - f(x - h)) / 2h; exactly two calls of f, x + h first.
template <class F>
double sderivative(F&& f, double x) {
    const double h = step(x);
    const double above = f(x + h);
    const double below = f(x - h);
    return (above - below) / (h + h);
}

}  // namespace numdiff::central_difference::derivative::scalar_valued
