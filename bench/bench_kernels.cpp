// Per-call timings of the elliptic-integral kernels and of one Witt-Mao element.
//
// Each benchmark cycles through a small fixed array of arguments of the kind the
// models produce, so that neither the branch predictor nor the compiler sees one
// constant input.  Results go through benchmark::DoNotOptimize.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include <benchmark/benchmark.h>

#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/legendre.hpp"
#include "models/multi_witt_mao.hpp"
#include "models/limb_law.hpp"
#include "models/limb_law_gradient.hpp"
#include "models/limb_law_uniform_batch.hpp"
#include "models/witt_mao.hpp"
#include "models/witt_mao_gradient.hpp"
#include "models/witt_mao_lanes.hpp"
#include "models/integrated.hpp"

namespace {

// Eight entries, so that the cycling index is a mask.
template <class T>
using Args = std::array<T, 8>;

struct NM {
    double n;
    double m;
};

struct XYZ {
    double x;
    double y;
    double z;
};

struct XYZP {
    double x;
    double y;
    double z;
    double p;
};

// Parameters inside the tabulated range 0 <= m < 0.9, one or more per polynomial.
constexpr Args<double> M_TABULATED{0.03, 0.17, 0.29, 0.41, 0.58, 0.66, 0.79, 0.87};

// Parameters outside it: near 1, where a lens close to the limb drives them,
// and negative.
constexpr Args<double> M_OUTSIDE{0.905, 0.93, 0.97, 0.99, 0.9990, 0.999999, -0.5, -3.0};

// Characteristic and parameter pairs with 0 < n < 1 as the disc model forms
// them for rho = 0.01 at the separations x noted.
constexpr Args<NM> PI_ARGS{{
    {0.18140589569160998, 0.18140180281343396},  // x = 0.05
    {0.5555555555555556, 0.5555466668088866},    // x = 0.2
    {0.8561236623067776, 0.856117187920544},     // x = 0.45
    {0.9688581314878891, 0.968855951561998},     // x = 0.7
    {0.9972299168975067, 0.9972296675900899},    // x = 0.9
    {0.9994051160023795, 0.9994050535395638},    // x = 1.05
    {0.9599999999999997, 0.9599940000374997},    // x = 1.5
    {0.8163265306122448, 0.8162806148276608},    // x = 2.5
}};

// RF(0, 1 - m, 1) as used by K and Pi, and a few fully general triples.
constexpr Args<XYZ> RF_ARGS{{
    {0.0, 0.83, 1.0},
    {0.0, 0.42, 1.0},
    {0.0, 0.07, 1.0},
    {0.0, 1.0e-3, 1.0},
    {0.0, 1.0e-6, 1.0},
    {0.5, 1.0, 2.0},
    {1.0e-3, 0.3, 4.0},
    {2.0, 3.0, 4.0},
}};

// RJ(0, 1 - m, 1, 1 - n) for the pairs above (their complements), and two
// general quadruples.
constexpr Args<XYZP> RJ_ARGS{{
    {0.0, 0.8185981971865658, 1.0, 0.8185941043083899},     // x = 0.05
    {0.0, 0.44445333319111335, 1.0, 0.4444444444444444},    // x = 0.2
    {0.0, 0.14388281207945597, 1.0, 0.14387633769322233},   // x = 0.45
    {0.0, 0.031144048438001753, 1.0, 0.03114186851211074},  // x = 0.7
    {0.0, 0.0027703324099099666, 1.0, 0.002770083102493069},  // x = 0.9
    {0.0, 0.0005949464604363111, 1.0, 0.000594883997620465},  // x = 1.05
    {0.5, 1.0, 2.0, 1.5},
    {2.0, 3.0, 4.0, 5.0},
}};

// Separations (source radii) for rho = 0.01.  Far from the limb m stays in the
// tabulated range; closer in, m exceeds 0.9 and K and E go through the Carlson
// forms; at the limb |x - 1| is a few times 1e-3 or less.
constexpr double RHO = 0.01;
constexpr Args<double> X_TABULATED{0.0, 0.05, 0.2, 0.45, 2.0, 2.3, 2.6, 2.95};
constexpr Args<double> X_CARLSON{0.6, 0.75, 0.9, 0.97, 1.05, 1.2, 1.5, 1.85};
constexpr Args<double> X_LIMB{0.995, 0.998, 0.9995, 0.99995, 1.00005, 1.0005, 1.002, 1.005};

// Far outside the source (x of 1e3 source radii and beyond), where the
// separation in Einstein radii runs from 10 to 1e300.
constexpr Args<double> X_FAR{1e3, 3e3, 1e4, 1e5, 1e6, 1e9, 1e20, 1e302};

// (m, mc, n, nc) as the disc forms them for rho = 0.01 at the separations of
// X_TABULATED and X_CARLSON above.
struct Fused {
    double m;
    double mc;
    double n;
    double nc;
};
constexpr Args<Fused> FUSED_ARGS{{
    {0.18140180281343396, 0.818598197186566, 0.18140589569160998, 0.81859410430839},
    {0.5555466668088866, 0.44445333319111335, 0.5555555555555556, 0.4444444444444444},
    {0.856117187920544, 0.14388281207945597, 0.8561236623067776, 0.14387633769322233},
    {0.968855951561998, 0.031144048438001753, 0.9688581314878891, 0.03114186851211074},
    {0.9972296675900899, 0.0027703324099099666, 0.9972299168975067, 0.002770083102493069},
    {0.9994050535395638, 0.0005949464604363111, 0.9994051160023795, 0.000594883997620465},
    {0.9599940000374997, 0.04000599996250026, 0.9599999999999997, 0.04000000000000003},
    {0.8162806148276608, 0.18371938517233918, 0.8163265306122448, 0.18367346938775517},
}};

constexpr std::size_t MASK = 7;

template <class F>
void cycle(benchmark::State& state, F&& call) {
    std::size_t i = 0;
    for (auto _ : state) {
        ellip::Result r = call(i);
        benchmark::DoNotOptimize(r);
        i = (i + 1) & MASK;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_elliprf(benchmark::State& state) {
    cycle(state, [](std::size_t i) {
        const XYZ& a = RF_ARGS[i];
        return ellip::carlson::elliprf(a.x, a.y, a.z);
    });
}

void BM_elliprj(benchmark::State& state) {
    cycle(state, [](std::size_t i) {
        const XYZP& a = RJ_ARGS[i];
        return ellip::carlson::elliprj(a.x, a.y, a.z, a.p);
    });
}

void BM_ellipk_tabulated(benchmark::State& state) {
    cycle(state, [](std::size_t i) { return ellip::legendre::ellipk(M_TABULATED[i]); });
}

void BM_ellipk_outside(benchmark::State& state) {
    cycle(state, [](std::size_t i) { return ellip::legendre::ellipk(M_OUTSIDE[i]); });
}

void BM_ellipe_tabulated(benchmark::State& state) {
    cycle(state, [](std::size_t i) { return ellip::legendre::ellipe(M_TABULATED[i]); });
}

void BM_ellipe_outside(benchmark::State& state) {
    cycle(state, [](std::size_t i) { return ellip::legendre::ellipe(M_OUTSIDE[i]); });
}

void BM_ellippi(benchmark::State& state) {
    cycle(state, [](std::size_t i) {
        const NM& a = PI_ARGS[i];
        return ellip::legendre::ellippi(a.n, a.m);
    });
}

void BM_witt_mao_element_tabulated(benchmark::State& state) {
    cycle(state, [](std::size_t i) { return models::witt_mao_element(X_TABULATED[i], RHO); });
}

void BM_witt_mao_element_carlson(benchmark::State& state) {
    cycle(state, [](std::size_t i) { return models::witt_mao_element(X_CARLSON[i], RHO); });
}

void BM_witt_mao_element_limb(benchmark::State& state) {
    cycle(state, [](std::size_t i) { return models::witt_mao_element(X_LIMB[i], RHO); });
}

void BM_witt_mao_element_far(benchmark::State& state) {
    cycle(state, [](std::size_t i) { return models::witt_mao_element(X_FAR[i], RHO); });
}

void BM_ellip_kdx_complement(benchmark::State& state) {
    cycle(state, [](std::size_t i) {
        const Fused& a = FUSED_ARGS[i];
        return ellip::legendre::_ellip_kdx_complement(a.m, a.mc, a.nc).x;
    });
}

void BM_ellip_kpz_complement(benchmark::State& state) {
    cycle(state, [](std::size_t i) {
        const Fused& a = FUSED_ARGS[i];
        return ellip::legendre::_ellip_kpz_complement(a.m, a.mc, a.n, a.nc).p;
    });
}

// One limb-darkened point per law over the separations of a light curve of
// a source of 0.01 Einstein radii crossed at u0 = rho / 4 (the fitting
// workload W1: a quarter of the points inside the disc).
std::vector<double> w1_separations() {
    constexpr double rho = 0.01;
    std::vector<double> u;
    for (int i = 0; i < 2000; ++i) {
        u.push_back(std::hypot(0.25 * rho, 3.0 * i / 1999));
        u.push_back(std::hypot(0.25 * rho, 2 * rho * i / 1999));
    }
    return u;
}

void law_over_w1(benchmark::State& state, models::LawKind kind, std::vector<double> c) {
    const models::LimbLaw law(kind, c);
    const std::vector<double> u = w1_separations();
    std::size_t i = 0;
    for (auto _ : state) {
        double a = law.magnification(u[i], 0.01);
        benchmark::DoNotOptimize(a);
        i = i + 1 == u.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_law_uniform_w1(benchmark::State& state) { law_over_w1(state, models::LawKind::uniform, {}); }
void BM_law_quadratic_w1(benchmark::State& state) {
    law_over_w1(state, models::LawKind::quadratic, {0.4, 0.25});
}
void BM_law_power_2_w1(benchmark::State& state) {
    law_over_w1(state, models::LawKind::power_2, {0.7, 0.5});
}

}  // namespace

BENCHMARK(BM_law_uniform_w1);
BENCHMARK(BM_law_quadratic_w1);
BENCHMARK(BM_law_power_2_w1);
BENCHMARK(BM_elliprf);
BENCHMARK(BM_elliprj);
BENCHMARK(BM_ellipk_tabulated);
BENCHMARK(BM_ellipk_outside);
BENCHMARK(BM_ellipe_tabulated);
BENCHMARK(BM_ellipe_outside);
BENCHMARK(BM_ellippi);
BENCHMARK(BM_witt_mao_element_tabulated);
BENCHMARK(BM_witt_mao_element_carlson);
BENCHMARK(BM_witt_mao_element_limb);
BENCHMARK(BM_witt_mao_element_far);
BENCHMARK(BM_ellip_kdx_complement);
BENCHMARK(BM_ellip_kpz_complement);

// 24 curves of 10^4 separations without the Python objects: the pool's own
// speed-up over computing the same curves one after the other.
namespace {
const models::Curve BATCH_L = [] {
    models::Curve l(10000);
    for (std::size_t i = 0; i < l.size(); ++i) l[i] = 3.0 * static_cast<double>(i) / 9999;
    return l;
}();
const models::Curve BATCH_RE = {0.5, 1.0, 2.0, 4.0};
const models::Curve BATCH_RSTAR = {0.001, 0.003, 0.01, 0.03, 0.1, 0.3};
}  // namespace

void BM_batch_on_pool(benchmark::State& state) {
    for (auto _ : state) {
        auto batch = models::multi_witt_mao_magnification(BATCH_L, BATCH_RE, BATCH_RSTAR);
        benchmark::DoNotOptimize(batch);
    }
}

void BM_batch_sequential(benchmark::State& state) {
    for (auto _ : state) {
        for (const double re : BATCH_RE) {
            for (const double rstar : BATCH_RSTAR) {
                auto curve = models::witt_mao_magnification(BATCH_L, re, rstar);
                benchmark::DoNotOptimize(curve);
            }
        }
    }
}

void BM_integrated_ring_element(benchmark::State& state) {
    const models::Curve l = {0.0, 0.5, 0.99, 1.01, 2.0, 3.0};
    for (auto _ : state) {
        auto curve = models::integrated_heyrovsky_magnification(l, 1.0, 0.01);
        benchmark::DoNotOptimize(curve);
    }
}

BENCHMARK(BM_batch_on_pool)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_batch_sequential)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_integrated_ring_element)->Unit(benchmark::kMicrosecond);


// Where the AGM sum S for Pi cancels (|S| < 0.25, nc small against sqrt(mc))
// and the fused kernels take P and X from the telescoped sum, against
// BM_ellip_kpz_complement / BM_ellip_kdx_complement (all main path): the disc
// near the limb for rho = 0.01 and 1, the ring's nearly touching case (m near
// 0), and general arguments down to nc = 1e-300.
namespace {
// The first five as the disc forms them: rho = 0.01 at x = 0.998, 0.9998 and
// 1.0001, rho = 1 at x = 1.00001 and 0.99.
constexpr Args<Fused> PI_CANCELLING_ARGS{{
    {0.9999989978969961, 1.0021030039047973e-06, 0.999998997996996, 1.0020030040050076e-06},
    {0.9999999899969996, 1.0003000300027797e-08, 0.9999999899979997, 1.0002000300037801e-08},
    {0.9999999975000002, 2.5000000187475747e-09, 0.9999999975002503, 2.4997500187481997e-09},
    {0.9999999999500002, 4.9999750001280113e-11, 0.9999999999750002, 2.4999750002202545e-11},
    {0.9999497493686872, 5.025063131281377e-05, 0.9999747481124214, 2.5251887578596543e-05},
    {0.5, 0.5, 0.999999999999, 1e-12},
    {0.05, 0.95, 1.0, 1e-30},
    {0.3, 0.7, 1.0, 1e-300},
}};

// Separations (source radii) at which the disc of rho = 0.01 cancels
// (S from 0.17 to 0.24), and the nearest ones in the same limb zone
// (mc < 1e-3) at which it does not (S from 0.27 to 0.36).
constexpr Args<double> X_CANCELLING{0.998, 0.999, 0.9995, 0.99995, 1.00005, 1.0005, 1.001, 1.002};
constexpr Args<double> X_LIMB_PLAIN{0.97, 0.98, 0.99, 0.995, 1.005, 1.01, 1.02, 1.03};
}  // namespace

void BM_pi_element_limb_plain(benchmark::State& state) {
    cycle(state, [](std::size_t i) { return models::witt_mao_element(X_LIMB_PLAIN[i], RHO); });
}

void BM_pi_kpz_cancelling(benchmark::State& state) {
    cycle(state, [](std::size_t i) {
        const Fused& a = PI_CANCELLING_ARGS[i];
        return ellip::legendre::_ellip_kpz_complement(a.m, a.mc, a.n, a.nc).p;
    });
}

void BM_pi_kdx_cancelling(benchmark::State& state) {
    cycle(state, [](std::size_t i) {
        const Fused& a = PI_CANCELLING_ARGS[i];
        return ellip::legendre::_ellip_kdx_complement(a.m, a.mc, a.nc).x;
    });
}

void BM_pi_element_cancelling(benchmark::State& state) {
    cycle(state, [](std::size_t i) { return models::witt_mao_element(X_CANCELLING[i], RHO); });
}

BENCHMARK(BM_pi_kpz_cancelling);
BENCHMARK(BM_pi_kdx_cancelling);
BENCHMARK(BM_pi_element_cancelling);
BENCHMARK(BM_pi_element_limb_plain);
// The uniform-disc element over the W1 separations (in source radii, rho =
// 0.01) as one batch, at each dispatch level, in the interleaved order above
// and sorted as along a light curve; items are elements.
namespace {

void elements_over_w1(benchmark::State& state, runtime::SimdLevel level, bool sorted = false) {
    if (!runtime::simd_supported(level)) {
        state.SkipWithError("level not supported here");
        return;
    }
    std::vector<double> x;
    for (const double u : w1_separations()) {
        x.push_back(u / 0.01);
    }
    if (sorted) {
        std::sort(x.begin(), x.end());
    }
    const std::vector<double> rho(x.size(), 0.01);
    std::vector<double> out(x.size());
    for (auto _ : state) {
        const std::size_t failed =
            models::witt_mao_elements_at(level, x.data(), rho.data(), out.data(), x.size());
        benchmark::DoNotOptimize(failed);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(x.size()));
}

void BM_witt_mao_elements_scalar_w1(benchmark::State& state) {
    elements_over_w1(state, runtime::SimdLevel::baseline);
}
void BM_witt_mao_elements_avx2_w1(benchmark::State& state) {
    elements_over_w1(state, runtime::SimdLevel::avx2);
}
void BM_witt_mao_elements_avx512_w1(benchmark::State& state) {
    elements_over_w1(state, runtime::SimdLevel::avx512);
}

void BM_witt_mao_elements_scalar_w1_sorted(benchmark::State& state) {
    elements_over_w1(state, runtime::SimdLevel::baseline, true);
}
void BM_witt_mao_elements_avx2_w1_sorted(benchmark::State& state) {
    elements_over_w1(state, runtime::SimdLevel::avx2, true);
}
void BM_witt_mao_elements_avx512_w1_sorted(benchmark::State& state) {
    elements_over_w1(state, runtime::SimdLevel::avx512, true);
}

}  // namespace

BENCHMARK(BM_witt_mao_elements_scalar_w1_sorted);
BENCHMARK(BM_witt_mao_elements_avx2_w1_sorted);
BENCHMARK(BM_witt_mao_elements_avx512_w1_sorted);
BENCHMARK(BM_witt_mao_elements_scalar_w1);
BENCHMARK(BM_witt_mao_elements_avx2_w1);
BENCHMARK(BM_witt_mao_elements_avx512_w1);

// The call-shape rows of bench/targets.py without the interpreter: the
// track of 4000 points (rho = 0.01) through the classic curve and the uniform
// law with one radius, so that a call's cost can be split into the element
// and the rest; items are points.
namespace {

std::vector<double> targets_track(double rho, std::size_t points) {
    const std::size_t half = points / 2;
    std::vector<double> x;
    const auto linspace = [&](double stop, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const double t = n > 1 ? stop * static_cast<double>(i) / static_cast<double>(n - 1) : 0;
            x.push_back(std::hypot(0.25 * rho, t) / rho);
        }
    };
    linspace(3.0, points - half);
    linspace(2.0 * rho, half);
    std::sort(x.begin(), x.end());
    return x;
}

void BM_targets_track_classic_curve(benchmark::State& state) {
    const std::vector<double> l = targets_track(0.01, 4000);
    std::vector<double> out(l.size());
    for (auto _ : state) {
        const auto filled = models::witt_mao_magnification_into(l, 1.0, 0.01, out);
        benchmark::DoNotOptimize(filled);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(l.size()));
}

void BM_targets_track_uniform_one_radius(benchmark::State& state) {
    std::vector<double> u = targets_track(0.01, 4000);
    for (double& v : u) {
        v *= 0.01;
    }
    std::vector<double> out(u.size());
    for (auto _ : state) {
        models::uniform_magnifications(u.data(), 0.01, out.data(), u.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(u.size()));
}

}  // namespace

// The uniform-disc gradient element (value and slopes) over the W1
// separations as one batch, at each dispatch level: against
// BM_witt_mao_elements_*_w1, what the slopes add to the value.
namespace {

void gradient_elements_over_w1(benchmark::State& state, runtime::SimdLevel level) {
    if (!runtime::simd_supported(level)) {
        state.SkipWithError("level not supported here");
        return;
    }
    std::vector<double> x;
    for (const double u : w1_separations()) {
        x.push_back(u / 0.01);
    }
    const std::vector<double> rho(x.size(), 0.01);
    std::vector<double> value(x.size());
    std::vector<double> du(x.size());
    std::vector<double> drho(x.size());
    std::vector<double> scaling(x.size());
    const models::DiscGradients out{value.data(), du.data(), drho.data(), scaling.data()};
    for (auto _ : state) {
        const std::size_t failed =
            models::witt_mao_gradient_elements_at(level, x.data(), rho.data(), out, x.size());
        benchmark::DoNotOptimize(failed);
        benchmark::DoNotOptimize(value.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(x.size()));
}

void BM_witt_mao_gradient_elements_scalar_w1(benchmark::State& state) {
    gradient_elements_over_w1(state, runtime::SimdLevel::baseline);
}
void BM_witt_mao_gradient_elements_avx2_w1(benchmark::State& state) {
    gradient_elements_over_w1(state, runtime::SimdLevel::avx2);
}
void BM_witt_mao_gradient_elements_avx512_w1(benchmark::State& state) {
    gradient_elements_over_w1(state, runtime::SimdLevel::avx512);
}

}  // namespace

BENCHMARK(BM_targets_track_classic_curve);
BENCHMARK(BM_targets_track_uniform_one_radius);
BENCHMARK(BM_witt_mao_gradient_elements_scalar_w1);
BENCHMARK(BM_witt_mao_gradient_elements_avx2_w1);
BENCHMARK(BM_witt_mao_gradient_elements_avx512_w1);

// A limb-darkened source of 0.01 Einstein radii with the lens 8 to 1e4
// source radii away (log-spaced): the mean-value series of the far field,
// value and gradient.
namespace {

std::vector<double> far_separations() {
    std::vector<double> u;
    for (int i = 0; i < 4000; ++i) {
        u.push_back(0.01 * 8 * std::pow(1250.0, i / 3999.0));
    }
    return u;
}

void far_law(benchmark::State& state, models::LawKind kind, std::vector<double> c, bool slopes) {
    const models::LimbLaw law(kind, c);
    const std::vector<double> u = far_separations();
    std::vector<double> dc(c.size());
    std::size_t i = 0;
    for (auto _ : state) {
        if (slopes) {
            const models::LawGradient g = models::magnification_gradient(law, u[i], 0.01, dc);
            benchmark::DoNotOptimize(g);
        } else {
            double a = law.magnification(u[i], 0.01);
            benchmark::DoNotOptimize(a);
        }
        i = i + 1 == u.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_far_field_quadratic(benchmark::State& state) {
    far_law(state, models::LawKind::quadratic, {0.4, 0.25}, false);
}
void BM_far_field_nonlinear(benchmark::State& state) {
    far_law(state, models::LawKind::nonlinear, {0.5, 0.1, 0.2, -0.1}, false);
}
void BM_far_field_gradient_quadratic(benchmark::State& state) {
    far_law(state, models::LawKind::quadratic, {0.4, 0.25}, true);
}
void BM_far_field_gradient_nonlinear(benchmark::State& state) {
    far_law(state, models::LawKind::nonlinear, {0.5, 0.1, 0.2, -0.1}, true);
}

}  // namespace

BENCHMARK(BM_far_field_quadratic);
BENCHMARK(BM_far_field_nonlinear);
BENCHMARK(BM_far_field_gradient_quadratic);
BENCHMARK(BM_far_field_gradient_nonlinear);

namespace {

// The near half of the fitting track W1 (rho = 0.01, u0 = rho / 4): lenses
// 0.25 to 2 source radii from the centre, where the laws take their
// quadrature.  Broken into its stages: the layout, the weights, the discs
// in lanes, and the whole point; the counters give the discs per point and
// the share of them the lanes hand to the scalar element.
constexpr double NEAR_RHO = 0.01;

std::vector<double> near_lenses() {
    std::vector<double> l;
    for (int i = 0; i < 512; ++i) {
        l.push_back(std::hypot(0.25, 2.0 * i / 511));
    }
    return l;
}

struct NearLaw {
    models::LawKind kind;
    std::vector<double> c;
};

NearLaw near_law(int k) {
    switch (k) {
        case 0: return {models::LawKind::linear, {0.6}};
        case 1: return {models::LawKind::quadratic, {0.5, 0.2}};
        case 2: return {models::LawKind::square_root, {0.3, 0.4}};
        case 3: return {models::LawKind::logarithmic, {0.6, 0.2}};
        case 4: return {models::LawKind::power_2, {0.6, 0.6}};
        default: return {models::LawKind::nonlinear, {0.5, 0.1, 0.3, -0.1}};
    }
}

void BM_law_near_point(benchmark::State& state) {
    const NearLaw nl = near_law(static_cast<int>(state.range(0)));
    const models::LimbLaw law(nl.kind, nl.c);
    const std::vector<double> l = near_lenses();
    std::size_t i = 0;
    for (auto _ : state) {
        double a = law.magnification(l[i] * NEAR_RHO, NEAR_RHO);
        benchmark::DoNotOptimize(a);
        i = i + 1 == l.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_law_near_batch(benchmark::State& state) {
    const NearLaw nl = near_law(static_cast<int>(state.range(0)));
    const models::LimbLaw law(nl.kind, nl.c);
    const std::vector<double> l = near_lenses();
    std::vector<double> u(l.size());
    std::vector<double> out(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        u[i] = l[i] * NEAR_RHO;
    }
    for (auto _ : state) {
        law.magnifications(u.data(), NEAR_RHO, out.data(), u.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(u.size()));
}

void BM_law_near_layout(benchmark::State& state) {
    const NearLaw nl = near_law(static_cast<int>(state.range(0)));
    const models::LimbLaw law(nl.kind, nl.c);
    const std::vector<double> l = near_lenses();
    models::LimbLaw::Nodes nodes;
    std::size_t i = 0;
    for (auto _ : state) {
        law.layout(l[i], NEAR_RHO, nodes);
        benchmark::DoNotOptimize(nodes.count);
        benchmark::ClobberMemory();
        i = i + 1 == l.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_law_near_weights(benchmark::State& state) {
    const NearLaw nl = near_law(static_cast<int>(state.range(0)));
    const models::LimbLaw law(nl.kind, nl.c);
    const std::vector<double> l = near_lenses();
    std::vector<models::LimbLaw::Nodes> all(l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        law.layout(l[i], NEAR_RHO, all[i]);
    }
    std::array<double, models::LimbLaw::Nodes::CAPACITY> w;
    std::size_t i = 0;
    for (auto _ : state) {
        all[i].weights(law.slope(), w.data());
        benchmark::DoNotOptimize(w.data());
        benchmark::ClobberMemory();
        i = i + 1 == l.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

// The discs of every near point in one list, and how many of them the
// widest lanes leave to the scalar element.
struct NearDiscs {
    std::vector<double> sep;
    std::vector<double> rad;
    std::vector<std::size_t> start;
    std::size_t rare = 0;
};

NearDiscs near_discs(const models::LimbLaw& law) {
    NearDiscs d;
    models::LimbLaw::Nodes nodes;
    std::array<double, models::LimbLaw::Nodes::CAPACITY + 1> s;
    std::array<double, models::LimbLaw::Nodes::CAPACITY + 1> r;
    for (const double lens : near_lenses()) {
        law.layout(lens, NEAR_RHO, nodes);
        nodes.discs(NEAR_RHO, s.data(), r.data());
        s[nodes.count] = nodes.lens;
        r[nodes.count] = NEAR_RHO;
        d.start.push_back(d.sep.size());
        d.sep.insert(d.sep.end(), s.begin(), s.begin() + nodes.count + 1);
        d.rad.insert(d.rad.end(), r.begin(), r.begin() + nodes.count + 1);
    }
    d.start.push_back(d.sep.size());
    if (runtime::simd_supported(runtime::SimdLevel::avx512)) {
        std::vector<double> out(models::LANE_BLOCK);
        std::uint16_t rare[models::LANE_BLOCK];
        for (std::size_t b = 0; b + 8 <= d.sep.size(); b += models::LANE_BLOCK) {
            std::size_t len = std::min(models::LANE_BLOCK, d.sep.size() - b);
            len -= len % 8;
            d.rare += models::witt_mao_lanes_avx512(d.sep.data() + b, d.rad.data() + b, out.data(),
                                                    rare, len);
        }
    }
    return d;
}

// The discs point by point (one lanes call each, as the quadrature makes
// them) and all together (one call over the whole list).
void BM_law_near_discs(benchmark::State& state) {
    const NearLaw nl = near_law(static_cast<int>(state.range(0)));
    const models::LimbLaw law(nl.kind, nl.c);
    const NearDiscs d = near_discs(law);
    const bool together = state.range(1) != 0;
    std::vector<double> out(d.sep.size());
    const std::size_t points = d.start.size() - 1;
    for (auto _ : state) {
        if (together) {
            models::witt_mao_elements(d.sep.data(), d.rad.data(), out.data(), d.sep.size());
        } else {
            for (std::size_t p = 0; p < points; ++p) {
                const std::size_t a = d.start[p];
                models::witt_mao_elements(d.sep.data() + a, d.rad.data() + a, out.data() + a,
                                          d.start[p + 1] - a);
            }
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(points));
    state.counters["discs_per_point"] =
        static_cast<double>(d.sep.size()) / static_cast<double>(points);
    state.counters["scalar_share"] =
        static_cast<double>(d.rare) / static_cast<double>(d.sep.size());
}

}  // namespace

BENCHMARK(BM_law_near_point)->DenseRange(0, 5);
BENCHMARK(BM_law_near_batch)->DenseRange(0, 5);
BENCHMARK(BM_law_near_layout)->DenseRange(0, 5);
BENCHMARK(BM_law_near_weights)->DenseRange(0, 5);
BENCHMARK(BM_law_near_discs)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {0, 1}});

// The 24 x 10^4 batch of the W1 track (half the points 0.25..~2 source
// radii, half out to 300; rho = 0.01, 24 source sizes) without Python
// objects: into one buffer on the pool, and the same curves one after the
// other on this thread.  Run with RAYON_NUM_THREADS=1 and 2 to see how the
// divider-bound compute scales over two threads.
namespace {
const models::Curve W1_L = [] {
    const double rho = 0.01;
    const std::size_t points = 10000;
    const std::size_t half = points / 2;
    models::Curve l;
    for (std::size_t i = 0; i < points - half; ++i) {
        const double t = 3.0 * static_cast<double>(i) / static_cast<double>(points - half - 1);
        l.push_back(std::hypot(0.25 * rho, t) / rho);
    }
    for (std::size_t i = 0; i < half; ++i) {
        const double t = 2.0 * rho * static_cast<double>(i) / static_cast<double>(half - 1);
        l.push_back(std::hypot(0.25 * rho, t) / rho);
    }
    std::sort(l.begin(), l.end());
    return l;
}();
const models::Curve W1_SIZES = [] {
    models::Curve sizes;
    for (int k = 0; k < 24; ++k) sizes.push_back(0.01 * (1.0 + k / 24.0));
    return sizes;
}();
}  // namespace

void BM_batch_w1_pool(benchmark::State& state) {
    std::vector<double> out(W1_L.size() * W1_SIZES.size());
    const models::Curve re = {1.0};
    for (auto _ : state) {
        auto filled = models::multi_witt_mao_magnification_into(W1_L, re, W1_SIZES, out, {});
        benchmark::DoNotOptimize(filled);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_batch_w1_sequential(benchmark::State& state) {
    std::vector<double> out(W1_L.size() * W1_SIZES.size());
    for (auto _ : state) {
        for (std::size_t k = 0; k < W1_SIZES.size(); ++k) {
            auto filled = models::witt_mao_magnification_into(
                W1_L, 1.0, W1_SIZES[k],
                std::span<double>(out.data() + k * W1_L.size(), W1_L.size()));
            benchmark::DoNotOptimize(filled);
        }
        benchmark::DoNotOptimize(out.data());
    }
}

BENCHMARK(BM_batch_w1_pool)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_batch_w1_sequential)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
