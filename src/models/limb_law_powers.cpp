// The singular parts of the nodes' weights.  The library's log and pow
// cost 10-25 ns a node, more than the rest of the layout per node; the loops
// below are plain arithmetic the compiler puts in vector registers, compiled
// for each lane width, with no fused multiply-adds (every width rounds each
// operation alike).
#include "models/limb_law_powers.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "runtime/cpu_features.hpp"

namespace models {

namespace {

// ln 2 split so that k ln2_hi is exact for |k| < 2^11.
constexpr double LN2_HI = 6.93147180369123816490e-01;
constexpr double LN2_LO = 1.90821492927058770002e-10;
constexpr double INV_LN2 = 1.44269504088896338700e+00;
constexpr double SQRT2 = 1.41421356237309504880;
// Adding and subtracting 1.5 2^52 rounds a double below 2^51 to an integer.
constexpr double ROUNDER = 6755399441055744.0;
// 2^52 + 1023: the exponent field read as the low bits of a double of this size.
constexpr double EXPONENT_BIAS = 4503599627371519.0;

// ln s for a positive normal s: s = 2^e m with m in [sqrt(1/2), sqrt(2)),
// ln m = 2 atanh(f), f = (m - 1)/(m + 1), |f| <= 0.172, by its series to
// f^23 (the next term is below 1e-17 of the sum).
inline double log_body(double s) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(s);
    const double e0 = std::bit_cast<double>((bits >> 52) | 0x4330000000000000ULL) - EXPONENT_BIAS;
    const double m0 = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFULL) | 0x3FF0000000000000ULL);
    const bool high = m0 > SQRT2;
    const double m = high ? 0.5 * m0 : m0;
    const double e = high ? e0 + 1 : e0;
    const double f = (m - 1) / (m + 1);
    const double z = f * f;
    // Estrin's scheme: a layout has a few dozen nodes, a handful of lane
    // groups, and a Horner chain's latency would leave the lanes idle.
    const double z2 = z * z;
    const double z4 = z2 * z2;
    const double z8 = z4 * z4;
    const double a0 = 1.0 / 3 + z * (1.0 / 5);
    const double a1 = 1.0 / 7 + z * (1.0 / 9);
    const double a2 = 1.0 / 11 + z * (1.0 / 13);
    const double a3 = 1.0 / 15 + z * (1.0 / 17);
    const double a4 = 1.0 / 19 + z * (1.0 / 21);
    const double b0 = a0 + z2 * a1;
    const double b1 = a2 + z2 * a3;
    const double b2 = a4 + z2 * (1.0 / 23);
    const double p = (b0 + z4 * b1) + z8 * b2;
    // 2 f (1 + z p) with the leading 2 f added last, where it dominates.
    const double tail = (2 * f) * (z * p);
    return e * LN2_HI + ((2 * f + tail) + e * LN2_LO);
}

// e^y for y in [-700, 700]: y = k ln 2 + r, |r| <= 0.35, e^r by its Taylor
// series to r^13 (the next term is below 1e-17), scaled by 2^k through the
// exponent field.
inline double exp_body(double y) noexcept {
    const double shifted = y * INV_LN2 + ROUNDER;
    const double k = shifted - ROUNDER;
    const double r = (y - k * LN2_HI) - k * LN2_LO;
    // q = sum_k r^k / (k + 2)!, k = 0..11, by Estrin's scheme as above.
    const double r2 = r * r;
    const double r4 = r2 * r2;
    const double r8 = r4 * r4;
    const double a0 = 1.0 / 2 + r * (1.0 / 6);
    const double a1 = 1.0 / 24 + r * (1.0 / 120);
    const double a2 = 1.0 / 720 + r * (1.0 / 5040);
    const double a3 = 1.0 / 40320 + r * (1.0 / 362880);
    const double a4 = 1.0 / 3628800 + r * (1.0 / 39916800);
    const double a5 = 1.0 / 479001600 + r * (1.0 / 6227020800.0);
    const double b0 = a0 + r2 * a1;
    const double b1 = a2 + r2 * a3;
    const double b2 = a4 + r2 * a5;
    const double q = (b0 + r4 * b1) + r8 * b2;
    const double er = 1 + (r + r2 * q);
    const std::int64_t ki = std::bit_cast<std::int64_t>(shifted) - std::bit_cast<std::int64_t>(ROUNDER);
    const double scale = std::bit_cast<double>(static_cast<std::uint64_t>(ki + 1023) << 52);
    return er * scale;
}

// Below this s the bodies are not used (the range reduction needs a normal
// s) and the library's functions serve: no ordinary layout has such a node.
constexpr double LEAST_SERVED = 1e-300;
// Below -EXP_RANGE the power is below 1e-304 and is taken as 0; above it
// cannot come, as beta > -1 (the law's exponent alpha is positive) and
// s >= LEAST_SERVED keep beta ln s below 691.
constexpr double EXP_RANGE = 700;

inline bool body_serves_log(double s) noexcept { return s >= LEAST_SERVED && s <= 1; }

inline void parts_body(const double* s, const double* m, std::size_t n, bool log, bool power,
                       double beta, double gamma, double* log_part, double* power_part) noexcept {
    if (log) {
        for (std::size_t i = 0; i < n; ++i) {
            const double si = s[i];
            const double safe = si >= LEAST_SERVED ? si : 1.0;
            log_part[i] = m[i] * (si * log_body(safe));
        }
    }
    if (power) {
        for (std::size_t i = 0; i < n; ++i) {
            const double si = s[i];
            const double safe = si >= LEAST_SERVED ? si : 1.0;
            const double y = beta * log_body(safe);
            const bool under = y < -EXP_RANGE;
            const double p = exp_body(under ? 0.0 : y);
            const double part = m[i] * (gamma * p);
            power_part[i] = under ? 0.0 : part;
        }
    }
}

inline void logs_body(const double* s, double* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const double si = s[i];
        out[i] = log_body(si >= LEAST_SERVED ? si : 1.0);
    }
}

// The bodies over whole lane groups of W: the last, partial group is
// padded (s = 1, m = 0) and taken in lanes too, instead of by the scalar
// loop the compiler leaves for a remainder, which for a layout's few dozen
// nodes cost as much as the lanes.  Each lane is the same arithmetic on its
// own node, so the bits are those of any width.
template <std::size_t W>
inline void parts_in_groups(const double* s, const double* m, std::size_t n, bool log, bool power,
                            double beta, double gamma, double* log_part,
                            double* power_part) noexcept {
    const std::size_t whole = n - n % W;
    parts_body(s, m, whole, log, power, beta, gamma, log_part, power_part);
    const std::size_t rest = n - whole;
    if (rest == 0) {
        return;
    }
    alignas(64) double ps[W];
    alignas(64) double pm[W];
    alignas(64) double pl[W];
    alignas(64) double pp[W];
    for (std::size_t i = 0; i < W; ++i) {
        ps[i] = i < rest ? s[whole + i] : 1.0;
        pm[i] = i < rest ? m[whole + i] : 0.0;
    }
    parts_body(ps, pm, W, log, power, beta, gamma, pl, pp);
    for (std::size_t i = 0; i < rest; ++i) {
        if (log) {
            log_part[whole + i] = pl[i];
        }
        if (power) {
            power_part[whole + i] = pp[i];
        }
    }
}

template <std::size_t W>
inline void logs_in_groups(const double* s, double* out, std::size_t n) noexcept {
    const std::size_t whole = n - n % W;
    logs_body(s, out, whole);
    const std::size_t rest = n - whole;
    if (rest == 0) {
        return;
    }
    alignas(64) double ps[W];
    alignas(64) double pl[W];
    for (std::size_t i = 0; i < W; ++i) {
        ps[i] = i < rest ? s[whole + i] : 1.0;
    }
    logs_body(ps, pl, W);
    for (std::size_t i = 0; i < rest; ++i) {
        out[whole + i] = pl[i];
    }
}

// The wide variants are compiled for their instruction sets here only; the
// rest of the module stays baseline x86-64.  No fused multiply-adds: every
// width rounds each operation alike.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void parts_avx2(const double* s, const double* m, std::size_t n,
                                                bool log, bool power, double beta, double gamma,
                                                double* log_part, double* power_part) noexcept {
    parts_in_groups<4>(s, m, n, log, power, beta, gamma, log_part, power_part);
}
__attribute__((target("avx2,avx512f"))) void parts_avx512(const double* s, const double* m,
                                                          std::size_t n, bool log, bool power,
                                                          double beta, double gamma,
                                                          double* log_part,
                                                          double* power_part) noexcept {
    parts_in_groups<8>(s, m, n, log, power, beta, gamma, log_part, power_part);
}
__attribute__((target("avx2,avx512f"))) void logs_avx512(const double* s, double* out,
                                                         std::size_t n) noexcept {
    logs_in_groups<8>(s, out, n);
}
#else
void logs_avx512(const double* s, double* out, std::size_t n) noexcept { logs_body(s, out, n); }
void parts_avx2(const double* s, const double* m, std::size_t n, bool log, bool power,
                double beta, double gamma, double* log_part, double* power_part) noexcept {
    parts_body(s, m, n, log, power, beta, gamma, log_part, power_part);
}
void parts_avx512(const double* s, const double* m, std::size_t n, bool log, bool power,
                  double beta, double gamma, double* log_part, double* power_part) noexcept {
    parts_body(s, m, n, log, power, beta, gamma, log_part, power_part);
}
#endif

// The widest supported level at or below `level`.
runtime::SimdLevel supported(runtime::SimdLevel level) noexcept {
    while (level != runtime::SimdLevel::baseline && !runtime::simd_supported(level)) {
        level = static_cast<runtime::SimdLevel>(static_cast<int>(level) - 1);
    }
    return level;
}

}  // namespace

double unit_log(double s) noexcept { return body_serves_log(s) ? log_body(s) : std::log(s); }

double unit_power(double s, double beta) noexcept {
    if (!body_serves_log(s)) {
        return std::pow(s, beta);
    }
    const double y = beta * log_body(s);
    return y < -EXP_RANGE ? 0.0 : exp_body(y);
}

void unit_logs(const double* s, double* out, std::size_t n) noexcept {
    // Four lanes gain little here; the scalar loop serves below eight.
    if (supported(runtime::simd_level()) == runtime::SimdLevel::avx512) {
        logs_avx512(s, out, n);
    } else {
        logs_body(s, out, n);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!(s[i] >= LEAST_SERVED)) {
            out[i] = std::log(s[i]);
        }
    }
}

void singular_parts(const double* s, const double* m, std::size_t n, bool log, bool power,
                    double beta, double gamma, double* log_part, double* power_part) noexcept {
    singular_parts_at(runtime::simd_level(), s, m, n, log, power, beta, gamma, log_part,
                      power_part);
}

void singular_parts_at(runtime::SimdLevel level, const double* s, const double* m, std::size_t n,
                       bool log, bool power, double beta, double gamma, double* log_part,
                       double* power_part) noexcept {
    if (!log && !power) {
        return;
    }
    switch (supported(level)) {
        case runtime::SimdLevel::avx512:
            parts_avx512(s, m, n, log, power, beta, gamma, log_part, power_part);
            break;
        case runtime::SimdLevel::avx2:
            parts_avx2(s, m, n, log, power, beta, gamma, log_part, power_part);
            break;
        case runtime::SimdLevel::baseline:
            parts_body(s, m, n, log, power, beta, gamma, log_part, power_part);
            break;
    }
    // The nodes the bodies do not serve: s = 0 (no logarithmic part) or
    // all but 0, from the library.
    for (std::size_t i = 0; i < n; ++i) {
        const double si = s[i];
        if (si >= LEAST_SERVED) {
            continue;
        }
        if (log) {
            log_part[i] = si > 0 ? m[i] * (si * std::log(si)) : 0.0;
        }
        if (power) {
            power_part[i] = m[i] * (gamma * std::pow(si, beta));
        }
    }
}

}  // namespace models
