// The uniform-disc and ring elements four lanes at a time with AVX2 (no
// FMA: every product is rounded on its own, as in the scalar elements).
#include <cstddef>
#include <cstdint>

#include "models/ring_lanes.hpp"
#include "models/witt_mao_lanes.hpp"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

// The wide code is compiled for its instruction set here only; the rest of
// the module stays baseline x86-64.  Clang takes the target as a function
// attribute over the region.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace models {

namespace {

#include "models/witt_mao_lanes_body.hpp"
#include "models/ring_lanes_body.hpp"

struct Avx2 {
    typedef double V __attribute__((vector_size(32)));
    typedef __typeof__(V{} < V{}) I;
    static constexpr std::size_t width = 4;
    static V sqrt(V v) { return (V)_mm256_sqrt_pd((__m256d)v); }
    // The divider's quotient (AVX2 brings no multiply-add to form it
    // otherwise).
    static V div(V a, V b, unsigned) { return a / b; }
    static unsigned bits(I m) { return static_cast<unsigned>(_mm256_movemask_pd((__m256d)m)); }
};

}  // namespace

std::size_t witt_mao_lanes_avx2(const double* x, const double* rho, double* out,
                                std::uint16_t* rare, std::size_t n) noexcept {
    return lanes<Avx2>(x, rho, LaneOut{out}, rare, n);
}

std::size_t witt_mao_gradient_lanes_avx2(const double* x, const double* rho,
                                         const DiscGradients& out, std::uint16_t* rare,
                                         std::size_t n) noexcept {
    return lanes<Avx2, true>(x, rho, LaneOut{out.value, out.du, out.drho, out.scaling}, rare, n);
}

std::size_t ring_lanes_avx2(const double* l, const double* r, const double* d, double eps,
                            double* out, std::uint16_t* rare, std::size_t n) noexcept {
    return ring_lanes<Avx2>(l, r, d, eps, out, rare, n);
}

}  // namespace models

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else

namespace models {

// Elsewhere the level is never supported; every pair is left to the scalar
// element all the same.
std::size_t witt_mao_lanes_avx2(const double* x, const double* rho, double* out,
                                std::uint16_t* rare, std::size_t n) noexcept {
    (void)x;
    (void)rho;
    (void)out;
    for (std::size_t i = 0; i < n; ++i) {
        rare[i] = static_cast<std::uint16_t>(i);
    }
    return n;
}

std::size_t witt_mao_gradient_lanes_avx2(const double* x, const double* rho,
                                         const DiscGradients& out, std::uint16_t* rare,
                                         std::size_t n) noexcept {
    return witt_mao_lanes_avx2(x, rho, out.value, rare, n);
}

std::size_t ring_lanes_avx2(const double* l, const double* r, const double* d, double eps,
                            double* out, std::uint16_t* rare, std::size_t n) noexcept {
    (void)l;
    (void)r;
    (void)d;
    (void)eps;
    (void)out;
    for (std::size_t i = 0; i < n; ++i) {
        rare[i] = static_cast<std::uint16_t>(i);
    }
    return n;
}

}  // namespace models

#endif
