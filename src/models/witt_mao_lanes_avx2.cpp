// The uniform-disc element four lanes at a time with AVX2 (no FMA: every
// product is rounded on its own, as in the scalar element).
#include <cstddef>
#include <cstdint>

#include "models/witt_mao_lanes.hpp"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2")

namespace models {

namespace {

#include "models/witt_mao_lanes_body.hpp"

struct Avx2 {
    typedef double V __attribute__((vector_size(32)));
    typedef __typeof__(V{} < V{}) I;
    static constexpr std::size_t width = 4;
    static V sqrt(V v) { return (V)_mm256_sqrt_pd((__m256d)v); }
    static unsigned bits(I m) { return static_cast<unsigned>(_mm256_movemask_pd((__m256d)m)); }
};

}  // namespace

std::size_t witt_mao_lanes_avx2(const double* x, const double* rho, double* out,
                                std::uint16_t* rare, std::size_t n) noexcept {
    return lanes<Avx2>(x, rho, out, rare, n);
}

}  // namespace models

#pragma GCC pop_options

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

}  // namespace models

#endif
