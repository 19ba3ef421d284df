// libFuzzer target: the elliptic-integral kernels, the quadrature, the
// derivative, the interpolation, the magnification models, the limb-darkening
// laws, the strided loop of the fitting functions and the parsers behind the
// worker pool's size, all fed with arbitrary bytes.
//
// Input layout.  Byte 0 picks the operation (modulo the number of
// operations), byte 1 shapes the call (vector lengths, which arguments
// alias, whether and when the call is interrupted), and the bytes after
// them are read eight at a time as the bit patterns of doubles, so NaNs with
// any payload and sign, infinities, subnormals and -0.0 all occur.  A short
// tail is padded with zero bytes; a read past the end gives +0.0.  The
// parser operations read the bytes after byte 1 as text instead.
//
// Checked on every call, beyond what AddressSanitizer and UBSan see:
// - a failed kernel or model carries one of the kernels' fixed error texts,
//   and only a text that the failing operation or one below it can produce;
// - a model's curve has one value per separation, and each model agrees,
//   value for value, with the operations it is defined by: the curve with
//   its elements, a batch with its single curves, the integrated disc
//   models fail exactly where the disc curve fails, the ring-integrated
//   models never fail, the discrete flux map is the plain weighted sum of
//   its rings;
// - the interrupt is polled on the calling thread only, and an interrupted
//   result comes only after it answered true;
// - the quadrature makes as many evaluations as it reports, at the nodes and
//   in the order of its rule; the derivative evaluates twice, x + h first;
// - interpolation gives 0.0 for an empty table, the ordinate of a one-point
//   table, and the fill value outside the table.
//
// Built by scripts/hardening.sh with clang's -fsanitize=fuzzer,address,undefined
// and -fno-sanitize-recover=undefined, together with the kernel and model
// sources (not the binding surface, but for its strided loop, a header of
// plain C++).
// Built with -DCAUSTRIX_FUZZ_REPLAY instead, by any compiler and without
// libFuzzer, it is a plain program that runs the inputs named on its command
// line (files, or directories of them) once each: the seed corpus as a
// regression test.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <initializer_list>
#include <limits>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "ellip/carlson/carlson.hpp"
#include "ellip/legendre/legendre.hpp"
#include "interp/interp.hpp"
#include "models/flux_map.hpp"
#include "models/heyrovsky.hpp"
#include "models/integrated.hpp"
#include "models/limb_law.hpp"
#include "models/model_result.hpp"
#include "models/multi_witt_mao.hpp"
#include "models/profile.hpp"
#include "models/witt_mao.hpp"
#include "module/strided_loop.hpp"
#include "runtime/pool_size.hpp"
#include "numdiff/central_difference.hpp"
#include "quadrature/double_exponential.hpp"

namespace {

using models::Curve;
using Texts = std::set<std::string_view>;

// ---------------------------------------------------------------------------
// The kernels' error texts.

constexpr std::string_view RF_DOMAIN =
    "elliprf: x, y, and z must be non-negative, and at most one can be zero.";
constexpr std::string_view RF_CONVERGE = "elliprf: Failed to converge.";
constexpr std::string_view RC_X = "elliprc: x must be non-negative.";
constexpr std::string_view RC_Y = "elliprc: y must be non-zero.";
constexpr std::string_view RD_XY =
    "elliprd: x and y must be non-negative, and at most one can be zero.";
constexpr std::string_view RD_Z = "elliprd: z must be positive";
constexpr std::string_view RD_CONVERGE = "elliprd: Failed to converge.";
constexpr std::string_view RJ_DOMAIN =
    "elliprj: x, y, and z must be non-negative, and at most one can be zero.";
constexpr std::string_view RJ_P = "elliprj: p must be non-zero";
constexpr std::string_view RJ_CONVERGE = "elliprj: Fail to converge";
constexpr std::string_view RG_DOMAIN = "elliprg: x, y, and z must be non-negative.";
constexpr std::string_view K_M = "ellipk: m must be less than 1.";
constexpr std::string_view E_M = "ellipe: m must be less than 1.";
constexpr std::string_view PI_M = "ellippi: m must be less than 1.";
constexpr std::string_view PI_N = "ellippi: n cannot be 1.";

Texts join(std::initializer_list<std::string_view> own, std::initializer_list<const Texts*> below) {
    Texts out(own);
    for (const Texts* t : below) {
        out.insert(t->begin(), t->end());
    }
    return out;
}

// What each operation can fail with: its own texts and those of the
// operations it calls, passed up unchanged.
const Texts RC_TEXTS = {RC_X, RC_Y};
const Texts RF_TEXTS = join({RF_DOMAIN, RF_CONVERGE}, {&RC_TEXTS});
const Texts RD_TEXTS = {RD_XY, RD_Z, RD_CONVERGE};
const Texts RJ_INNER_TEXTS = join({RJ_CONVERGE}, {&RC_TEXTS, &RD_TEXTS});
const Texts RJ_TEXTS = join({RJ_DOMAIN, RJ_P}, {&RJ_INNER_TEXTS, &RF_TEXTS});
const Texts RG_TEXTS = join({RG_DOMAIN}, {&RC_TEXTS, &RF_TEXTS, &RD_TEXTS});
const Texts K_TEXTS = join({K_M}, {&RF_TEXTS});
const Texts E_TEXTS = join({E_M}, {&RG_TEXTS});
const Texts VC_TEXTS = join({}, {&RF_TEXTS, &RJ_TEXTS});
const Texts PI_TEXTS = join({PI_M, PI_N}, {&K_TEXTS, &E_TEXTS, &RJ_TEXTS, &VC_TEXTS});
const Texts EXCESS_TEXTS = RJ_TEXTS;

// Every text a kernel can fail with; a model fails with nothing else.
const Texts ALL_TEXTS = {RF_DOMAIN, RF_CONVERGE, RC_X,    RC_Y,       RD_XY,
                         RD_Z,      RD_CONVERGE, RJ_DOMAIN, RJ_P,     RJ_CONVERGE,
                         RG_DOMAIN, K_M,         E_M,     PI_M,       PI_N};

// ---------------------------------------------------------------------------
// Reporting.

[[noreturn]] void die(const char* operation, const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "fuzz_kernels: %s: %s", operation, what);
    if (!detail.empty()) {
        std::fprintf(stderr, " [%.*s]", static_cast<int>(detail.size()), detail.data());
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

#define FUZZ_CHECK(operation, condition)                      \
    do {                                                      \
        if (!(condition)) {                                   \
            die(operation, "check failed: " #condition);      \
        }                                                     \
    } while (0)

void check_text(const char* operation, const char* text, const Texts& allowed) {
    if (text == nullptr) {
        die(operation, "failure without a text");
    }
    const std::string_view t(text);
    if (!ALL_TEXTS.contains(t)) {
        die(operation, "unknown error text", t);
    }
    if (!allowed.contains(t)) {
        die(operation, "error text of an operation it does not build on", t);
    }
}

void check(const char* operation, const ellip::Result& r, const Texts& allowed) {
    if (!r.ok()) {
        check_text(operation, r.error(), allowed);
    }
}

// Equal bit for bit, or both NaN (which NaN of two operands an operation
// propagates is not fixed, so payloads are not compared).
bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) ||
           std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// ---------------------------------------------------------------------------
// The input.

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    double real() {
        std::uint8_t bytes[8] = {};
        const std::size_t n = std::min<std::size_t>(8, size_ - pos_);
        if (n > 0) {
            std::memcpy(bytes, data_ + pos_, n);
        }
        pos_ += n;
        return std::bit_cast<double>(bytes);
    }

    Curve reals(std::size_t count) {
        Curve out;
        out.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            out.push_back(real());
        }
        return out;
    }

    // The doubles left, at most `cap`.
    Curve rest(std::size_t cap) {
        Curve out;
        while (pos_ < size_ && out.size() < cap) {
            out.push_back(real());
        }
        return out;
    }

    std::string text() {
        return std::string(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Argument tuples taken from consecutive doubles, cyclically; at least one
// tuple (of zeros) even for an empty input.
class Windows {
public:
    explicit Windows(Curve values) : values_(std::move(values)) {}

    std::size_t count() const { return std::max<std::size_t>(1, std::min<std::size_t>(values_.size(), 16)); }

    double at(std::size_t window, std::size_t k) const {
        return values_.empty() ? 0.0 : values_[(window + k) % values_.size()];
    }

private:
    Curve values_;
};

// ---------------------------------------------------------------------------
// Interruption: a Ctrl-C that arrives after a given number of polls.

class Interruption {
public:
    // mode 0: never asked; 1, 2, 3: answers true from the 1st, 2nd, 4th poll on.
    explicit Interruption(unsigned mode) : fire_at_(mode == 0 ? -1 : (mode == 3 ? 3 : int(mode) - 1)) {}

    runtime::Interrupt callback() {
        if (fire_at_ < 0) {
            return {};
        }
        return [this] {
            if (std::this_thread::get_id() != owner_) {
                die("interrupt", "polled from a thread other than the caller's");
            }
            if (polls_++ >= fire_at_) {
                fired_ = true;
            }
            return fired_;
        };
    }

    bool fired() const { return fired_; }

private:
    int fire_at_;
    int polls_ = 0;
    bool fired_ = false;
    std::thread::id owner_ = std::this_thread::get_id();
};

// What a model call is expected to give: a value or the first failure.
template <class T>
struct Expected {
    std::optional<T> value;
    std::string_view error;  // when there is no value
};

// Checks a model's outcome against its expected result; `compare` checks
// the values when both succeed.
template <class T, class Compare>
void check_outcome(const char* operation, const models::Outcome<T>& got, const Expected<T>& want,
                   const Interruption& interruption, Compare&& compare) {
    if (!got.ok()) {
        const models::ModelError& e = got.error();
        if (e.kind == models::ErrorKind::interrupted) {
            if (!interruption.fired()) {
                die(operation, "interrupted although the interrupt never answered true");
            }
            return;
        }
        if (e.kind != models::ErrorKind::runtime_error) {
            die(operation, "unknown error kind");
        }
        check_text(operation, e.text, ALL_TEXTS);
        if (want.value) {
            die(operation, "failed where the operations it is defined by succeed", e.text);
        }
        if (std::string_view(e.text) != want.error) {
            die(operation, "reports another failure than the first", e.text);
        }
        return;
    }
    if (!want.value) {
        die(operation, "succeeded where the operations it is defined by fail", want.error);
    }
    compare(got.value(), *want.value);
}

void same_curve(const char* operation, const Curve& got, const Curve& want) {
    if (got.size() != want.size()) {
        die(operation, "curve of the wrong length");
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!same(got[i], want[i])) {
            die(operation, "value differs from the operations it is defined by");
        }
    }
}

// Only the length is fixed for the integrated curves.
auto length_of(std::size_t n, const char* operation) {
    return [n, operation](const Curve& got, const Curve&) {
        if (got.size() != n) {
            die(operation, "curve of the wrong length");
        }
    };
}

// The disc curve element by element.
Expected<Curve> disc_curve(const Curve& l, double re, double rstar) {
    const double rho = rstar / re;
    Curve out;
    for (const double x : l) {
        const ellip::Result a = models::witt_mao_element(x, rho);
        if (!a.ok()) {
            return {std::nullopt, a.error()};
        }
        out.push_back(a.value());
    }
    return {std::move(out), {}};
}

// ---------------------------------------------------------------------------
// The operations.

// Argument aliasing for the symmetric integrals: equal and zero arguments
// take the closed forms, which random doubles almost never reach.
struct Args {
    double x, y, z, p;
};

Args alias(Args a, unsigned pattern) {
    switch (pattern % 10) {
        case 1: a.y = a.x; break;
        case 2: a.z = a.y; break;
        case 3: a.z = a.x; break;
        case 4: a.y = a.z = a.x; break;
        case 5: a.x = 0; break;
        case 6: a.y = 0; break;
        case 7: a.z = 0; break;
        case 8: a.p = a.z; break;
        case 9: a.y = a.z; a.p = a.y; break;
        default: break;
    }
    return a;
}

void carlson_kernels(Input& in) {
    const unsigned shape = in.byte();
    const Windows w(in.rest(64));
    for (std::size_t i = 0; i < w.count(); ++i) {
        const Args a = alias({w.at(i, 0), w.at(i, 1), w.at(i, 2), w.at(i, 3)}, shape + i);
        using namespace ellip::carlson;
        check("elliprc", elliprc(a.x, a.y), RC_TEXTS);
        check("elliprf", elliprf(a.x, a.y, a.z), RF_TEXTS);
        check("elliprd", elliprd(a.x, a.y, a.z), RD_TEXTS);
        check("elliprj", elliprj(a.x, a.y, a.z, a.p), RJ_TEXTS);
        // Only for the p that elliprj hands on to it: positive or NaN.
        if (a.p > 0 || std::isnan(a.p)) {
            check("_elliprj", _elliprj(a.x, a.y, a.z, a.p), RJ_INNER_TEXTS);
        }
        check("elliprg", elliprg(a.x, a.y, a.z), RG_TEXTS);
    }
}

void legendre_kernels(Input& in) {
    const unsigned shape = in.byte();
    const Windows w(in.rest(64));
    for (std::size_t i = 0; i < w.count(); ++i) {
        using namespace ellip::legendre;
        const unsigned pattern = (shape + i) % 4;
        const double m = w.at(i, 0);
        // n = m takes the branch of equal arguments; otherwise a free n.
        const double n = pattern == 1 ? m : w.at(i, 1);
        const double c = w.at(i, 2);
        check("ellipk", ellipk(m), K_TEXTS);
        check("ellipe", ellipe(m), E_TEXTS);
        check("ellippi", ellippi(n, m), PI_TEXTS);
        // The complement as a caller forms it, or a free one.
        const double nc = pattern == 2 ? 1 - n : c;
        check("ellippi_vc", ellippi_vc(n, m, nc), VC_TEXTS);
        const double mc = pattern == 3 ? 1 - m : w.at(i, 3);
        check("_ellippi_excess_complement", _ellippi_excess_complement(mc, nc), EXCESS_TEXTS);
        // Defined for positive complements; the models also hand it NaNs.
        if (!(mc <= 0) && !(nc <= 0)) {
            const KdxResult kdx = _ellip_kdx_complement(pattern == 3 ? m : 1 - mc, mc, nc);
            check("_ellip_kdx_complement", kdx.x, EXCESS_TEXTS);
        }
    }
}

void disc_model(Input& in) {
    const unsigned shape = in.byte();
    Interruption interruption(shape >> 6);
    const Curve l = in.reals(shape % 5);
    const double re = in.real();
    const double rstar = in.real();
    const Windows w(in.rest(32));
    for (std::size_t i = 0; i < w.count(); ++i) {
        check("witt_mao_element", models::witt_mao_element(w.at(i, 0), w.at(i, 1)), ALL_TEXTS);
    }
    const auto got = models::witt_mao_magnification(l, re, rstar, interruption.callback());
    check_outcome("witt_mao_magnification", got, disc_curve(l, re, rstar), interruption,
                  [](const Curve& g, const Curve& e) { same_curve("witt_mao_magnification", g, e); });
}

void ring_model(Input& in) {
    const unsigned shape = in.byte();
    const Windows w(in.rest(64));
    for (std::size_t i = 0; i < w.count(); ++i) {
        const double l = w.at(i, 0);
        // r = l is the ring through the lens; r = l + d a ring near it.
        const double r = (shape + i) % 3 == 1 ? l : (shape + i) % 3 == 2 ? l + w.at(i, 1) : w.at(i, 1);
        check("heyrovsky_magnification",
              models::heyrovsky_magnification(l, r, w.at(i, 2), w.at(i, 3)), ALL_TEXTS);
    }
}

// A few integrands built from the input, including one that returns the
// input's doubles themselves (so NaNs and infinities at any node).
struct Integrand {
    unsigned kind;
    double c0, c1, c2;
    const Curve* values;
    std::size_t calls = 0;

    double operator()(double x) {
        const std::size_t k = calls++;
        switch (kind % 5) {
            case 0: return (c2 * x + c1) * x + c0;
            case 1: return c0 / (x - c1);
            case 2: return std::sqrt(c0 * x + c1);
            case 3: return x < c0 ? c1 : c2;
            default: return values->empty() ? c0 : (*values)[k % values->size()];
        }
    }
};

void quadrature_kernel(Input& in) {
    namespace de = quadrature::double_exponential;
    const unsigned shape = in.byte();
    const double a = in.real();
    const double b = in.real();
    const double target = in.real();
    const double c0 = in.real();
    const double c1 = in.real();
    const double c2 = in.real();
    const Curve values = in.rest(32);

    constexpr std::size_t most = 385;
    std::array<double, most> points{};
    Integrand f{shape, c0, c1, c2, &values};
    const auto result = de::integrate(
        [&](double x) {
            if (f.calls < most) {
                points[f.calls] = x;
            }
            return f(x);
        },
        a, b, target);

    const char* op = "integrate";
    FUZZ_CHECK(op, result.evaluations == f.calls);
    const std::uint32_t n = result.evaluations;
    FUZZ_CHECK(op, n == 25 || n == 49 || n == 97 || n == 193 || n == 385);

    // The nodes in the order of the rule: the centre, then each level's
    // pairs, m + x s before m - x s.
    const double s = 0.5 * (b - a);
    const double m = 0.5 * (a + b);
    std::size_t k = 0;
    FUZZ_CHECK(op, same(points[k++], s * 0.0 + m));
    for (const auto& level : de::NODE_TABLE) {
        for (const de::Node& node : level) {
            if (k >= n) {
                break;
            }
            FUZZ_CHECK(op, same(points[k++], m + node.abscissa * s));
            FUZZ_CHECK(op, same(points[k++], m - node.abscissa * s));
        }
    }
}

void derivative_kernel(Input& in) {
    using numdiff::central_difference::derivative::scalar_valued::sderivative;
    using numdiff::central_difference::derivative::scalar_valued::step;
    const unsigned shape = in.byte();
    const double x = in.real();
    const double c0 = in.real();
    const double c1 = in.real();
    const double c2 = in.real();
    const Curve values = in.rest(4);

    Integrand f{shape, c0, c1, c2, &values};
    std::array<double, 2> points{};
    std::array<double, 2> images{};
    const double d = sderivative(
        [&](double t) {
            const std::size_t k = f.calls;
            const double v = f(t);
            if (k < 2) {
                points[k] = t;
                images[k] = v;
            }
            return v;
        },
        x);

    const char* op = "sderivative";
    FUZZ_CHECK(op, f.calls == 2);
    const double h = step(x);
    FUZZ_CHECK(op, same(points[0], x + h));
    FUZZ_CHECK(op, same(points[1], x - h));
    FUZZ_CHECK(op, same(d, (images[0] - images[1]) / (h + h)));
}

void interpolation_kernel(Input& in) {
    const unsigned shape = in.byte();
    // Tables of any lengths up to 6, not necessarily equal or ascending;
    // allocated to size, so a read past either end is caught.
    const std::vector<double> xs = in.reals((shape & 7) % 7);
    const std::vector<double> ys = in.reals(((shape >> 3) & 7) % 7);
    const double x = in.real();
    const double fill = in.real();

    const char* op = "interp";
    const double v = interp::interp(xs, ys, x, fill);
    const std::size_t n = std::min(xs.size(), ys.size());
    if (n == 0) {
        FUZZ_CHECK(op, same(v, 0.0));
        return;
    }
    if (n == 1) {
        FUZZ_CHECK(op, same(v, ys[0]));
        return;
    }
    FUZZ_CHECK(op, interp::segment_index(xs, n, x) <= n - 2);
    if (x < xs[0] || x > xs[n - 1]) {
        FUZZ_CHECK(op, same(v, fill));
    }
}

void batched_model(Input& in) {
    const unsigned shape = in.byte();
    Interruption interruption(shape >> 6);
    const Curve l = in.reals(in.byte() % 5);
    const Curve re = in.reals((shape & 7) % 4);
    const Curve rstar = in.reals(((shape >> 3) & 7) % 4);

    // One curve per pair, re slowest; the first failing pair decides.
    Expected<models::Batch> want{models::Batch{}, {}};
    for (const double e : re) {
        for (const double s : rstar) {
            auto curve = models::witt_mao_magnification(l, e, s);
            if (!curve.ok()) {
                check_text("witt_mao_magnification", curve.error().text, ALL_TEXTS);
                want = {std::nullopt, curve.error().text};
                break;
            }
            want.value->push_back(std::move(curve).value());
        }
        if (!want.value) {
            break;
        }
    }

    const auto got = models::multi_witt_mao_magnification(l, re, rstar, interruption.callback());
    check_outcome("multi_witt_mao_magnification", got, want, interruption,
                  [](const models::Batch& g, const models::Batch& e) {
                      if (g.size() != e.size()) {
                          die("multi_witt_mao_magnification", "batch of the wrong length");
                      }
                      for (std::size_t i = 0; i < g.size(); ++i) {
                          same_curve("multi_witt_mao_magnification", g[i], e[i]);
                      }
                  });
}

// The ring-integrated models absorb every kernel failure.
Expected<Curve> never_fails(const Curve& l) { return {Curve(l.size()), {}}; }

// The disc-integrated models fail exactly where the disc curve of the whole
// source fails, with its text; a source of zero, infinite or undefined size
// gives an undefined (NaN) curve on both routes instead.
Expected<Curve> disc_failure(const Curve& l, double re, double rstar) {
    const double rho = std::fabs(rstar / re);
    if (!(rho > 0 && std::isfinite(rho))) {
        return never_fails(l);
    }
    Expected<Curve> want = disc_curve(l, re, rstar);
    if (want.value) {
        want.value = Curve(l.size());
    }
    return want;
}


enum class Integrated {
    built_in_disc,
    built_in_ring,
    profile_disc,
    profile_ring,
    flux_map_disc,
    flux_map_ring,
    discrete_flux_map,
};

void integrated_model(Input& in, Integrated which) {
    const unsigned shape = in.byte();
    Interruption interruption(shape >> 6);
    const Curve l = in.reals(shape % 5);
    const double re = in.real();
    const double rstar = in.real();
    const double norm = in.real();
    // Equal lengths: the models take unequal tables for an internal failure.
    const std::size_t table = ((shape >> 3) & 7) % 7;
    const Curve bl = in.reals(table);
    const Curve bf = in.reals(table);
    const runtime::Interrupt interrupt = interruption.callback();

    switch (which) {
        case Integrated::built_in_disc: {
            const char* op = "integrated_witt_mao_magnification";
            check_outcome(op, models::integrated_witt_mao_magnification(l, re, rstar, interrupt),
                          disc_failure(l, re, rstar), interruption, length_of(l.size(), op));
            break;
        }
        case Integrated::built_in_ring: {
            const char* op = "integrated_heyrovsky_magnification";
            check_outcome(op, models::integrated_heyrovsky_magnification(l, re, rstar, interrupt),
                          never_fails(l), interruption, length_of(l.size(), op));
            break;
        }
        case Integrated::profile_disc:
        case Integrated::profile_ring: {
            // The limb law with the built-in coefficient and any norm, or the
            // table's profile with its own.
            const models::LinearLimbDarkening limb(
                models::LinearLimbDarkening::BUILT_IN_COEFFICIENT, norm);
            const models::FluxMap map(bl, bf);
            const models::Profile& profile =
                (shape & 4) ? static_cast<const models::Profile&>(map) : limb;
            if (which == Integrated::profile_disc) {
                const char* op = "_integrated_witt_mao_magnification";
                check_outcome(op,
                              models::_integrated_witt_mao_magnification(l, re, rstar,
                                                                         profile, interrupt),
                              disc_failure(l, re, rstar), interruption, length_of(l.size(), op));
            } else {
                const char* op = "_integrated_heyrovsky_magnification";
                check_outcome(op,
                              models::_integrated_heyrovsky_magnification(l, re, rstar,
                                                                          profile, interrupt),
                              never_fails(l), interruption, length_of(l.size(), op));
            }
            break;
        }
        case Integrated::flux_map_disc: {
            const char* op = "integrated_flux_map_witt_mao_magnification";
            check_outcome(op,
                          models::integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf,
                                                                             interrupt),
                          disc_failure(l, re, rstar), interruption, length_of(l.size(), op));
            break;
        }
        case Integrated::flux_map_ring: {
            const char* op = "integrated_flux_map_heyrovsky_magnification";
            check_outcome(op,
                          models::integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf,
                                                                              interrupt),
                          never_fails(l), interruption, length_of(l.size(), op));
            break;
        }
        case Integrated::discrete_flux_map: {
            // The plain bf-weighted sum of the rings, the first failing ring
            // ending the call.
            Expected<Curve> want{Curve{}, {}};
            for (const double x : l) {
                double sum = 0.0;
                for (std::size_t j = 0; j < bl.size() && want.value; ++j) {
                    const ellip::Result v = models::heyrovsky_magnification(x, bl[j], re, rstar);
                    if (!v.ok()) {
                        want = {std::nullopt, v.error()};
                    } else {
                        sum = sum + v.value() * bf[j];
                    }
                }
                if (!want.value) {
                    break;
                }
                want.value->push_back(sum);
            }
            const char* op = "discrete_flux_map_heyrovsky_magnification";
            check_outcome(op,
                          models::discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf,
                                                                            interrupt),
                          want, interruption,
                          [op](const Curve& g, const Curve& e) { same_curve(op, g, e); });
            break;
        }
    }
}

// The thread-count variables: digits only, one optional leading '+', at
// least one digit, no overflow of std::size_t.
std::optional<std::size_t> reference_thread_count(const char* text) {
    const char* p = text;
    if (*p == '+') {
        ++p;
    }
    if (*p == '\0') {
        return std::nullopt;
    }
    std::size_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return std::nullopt;
        }
        const std::size_t digit = static_cast<std::size_t>(*p - '0');
        if (value > std::numeric_limits<std::size_t>::max() / 10 ||
            value * 10 > std::numeric_limits<std::size_t>::max() - digit) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

void thread_count_parser(Input& in) {
    in.byte();
    const std::string text = in.text();
    const char* op = "parse_thread_count";
    FUZZ_CHECK(op, runtime::parse_thread_count(text.c_str()) == reference_thread_count(text.c_str()));
}

// /proc/self/cgroup and mountinfo texts, split at the first NUL; the quota
// files are looked up under a root that does not exist, so nothing is read
// and no limit can be found.
void cgroup_parser(Input& in) {
    in.byte();
    const std::string text = in.text();
    const std::size_t split = std::min(text.find('\0'), text.size());
    const std::string_view all(text);
    const std::string_view proc_cgroup = all.substr(0, split);
    const std::string_view mountinfo = split < all.size() ? all.substr(split + 1) : std::string_view{};
    const auto limit =
        runtime::detail::cgroup_cpu_limit(proc_cgroup, mountinfo, "/nonexistent-caustrix-fuzz-root");
    FUZZ_CHECK("cgroup_cpu_limit", !limit.has_value());
}

// ---------------------------------------------------------------------------
// Limb-darkening laws with arbitrary coefficients, and the element of the
// fitting functions.

// Every text a law's validation can give.
const std::set<std::string_view> LAW_PROBLEMS = {
    "the coefficients must be finite",
    "the coefficients must not exceed 1e100 in size",
    "the brightness is negative somewhere on the disc",
    "the exponent alpha must be positive",
    "the exponent alpha must not exceed 50",
    "the radii and the brightnesses must be of the same length",
    "the table is empty",
    "the radii must lie in [0, 1]",
    "the radii must be ascending",
    "the brightnesses must be finite",
    "the profile has no flux",
};

// Byte 1: the law (low three bits), then the length of a table.  The
// coefficients follow (a table: radii, then brightnesses), then (u, rho)
// pairs.  Only a law that validates is built, and only a rho that the
// fitting functions accept (finite, not negative) is used: for those the
// magnification is the same for u and -u and for a copy of the law, and for
// the laws with coefficients a number for every u but NaN, never below one
// but for rounding.
void limb_law_model(Input& in) {
    const unsigned shape = in.byte();
    const auto laws = models::law_names();
    const models::LawName& name = laws[shape % laws.size()];
    std::optional<models::LimbLaw> law;
    if (name.kind == models::LawKind::table) {
        const std::size_t n = (shape >> 3) % 7;
        const Curve radii = in.reals(n);
        const Curve brightness = in.reals((shape >> 6) == 3 ? n + 1 : n);
        const char* problem = models::LimbLaw::table_problem(radii, brightness);
        if (problem != nullptr) {
            FUZZ_CHECK("table_problem", LAW_PROBLEMS.contains(problem));
            return;
        }
        law.emplace(radii, brightness);
    } else {
        const Curve coefficients = in.reals(static_cast<std::size_t>(name.count));
        const char* problem = models::LimbLaw::problem(name.kind, coefficients);
        if (problem != nullptr) {
            FUZZ_CHECK("problem", LAW_PROBLEMS.contains(problem));
            return;
        }
        law.emplace(name.kind, coefficients);
    }
    const models::LimbLaw copy = *law;
    for (int k = 0; k < 4; ++k) {
        const double u = in.real();
        const double rho = in.real();
        if (!(std::isfinite(rho) && rho >= 0)) {
            continue;
        }
        // A subnormal rho gives NaN from the uniform-disc model (the
        // classic functions too), whose range starts far above it; that
        // fault belongs to the model, and such radii are left out until it
        // is mended.
        if (rho != 0 && rho < std::numeric_limits<double>::min()) {
            continue;
        }
        const char* op = name.name;
        const double a = law->magnification(u, rho);
        // Tables at the edge of the doubles (a radius next to zero, a
        // brightness near overflow or underflow) pass the validation, yet
        // the flux-map model gives NaN for them, as the classic flux-map
        // functions do: that fault belongs to the model, so for tables only
        // safety and consistency are checked until it is mended.
        if (name.kind != models::LawKind::table) {
            FUZZ_CHECK(op, std::isnan(a) == std::isnan(u));
            FUZZ_CHECK(op, std::isnan(a) || a >= 1 - 1e-12);
        }
        FUZZ_CHECK(op, same(a, law->magnification(-u, rho)));
        FUZZ_CHECK(op, same(a, copy.magnification(u, rho)));
    }
}

// ---------------------------------------------------------------------------
// The strided loop of the fitting functions.

// Byte 1: the number of operands (1 to 3) and of axes (0 to 4).  Then per
// axis its extent (0 to 3), and per operand and axis whether the operand has
// the axis at all (a leading axis may be missing), whether it is broadcast
// along it, and its stride in doubles (-4 to 4).  Then a range and a poll
// interval.  The loop must visit exactly the elements of the range, in order,
// each at the address that its index and the strides give, and stop at the
// first poll that says so.
void strided_loop(Input& in) {
    const unsigned shape_byte = in.byte();
    const std::size_t operands = 1 + shape_byte % 3;
    const std::size_t nd = (shape_byte >> 2) % 5;
    std::vector<std::ptrdiff_t> shape(nd);
    std::size_t size = 1;
    for (auto& extent : shape) {
        extent = in.byte() % 4;
        size *= static_cast<std::size_t>(extent);
    }
    // Room for any reach of 4 doubles per step along 4 axes of 3, both ways.
    constexpr std::ptrdiff_t HALF = 64;
    std::vector<double> memory(2 * HALF + 1);
    char* const middle = reinterpret_cast<char*>(memory.data() + HALF);
    std::vector<std::vector<std::ptrdiff_t>> own_shape(operands);
    std::vector<std::vector<std::ptrdiff_t>> own_strides(operands);
    std::vector<std::vector<std::ptrdiff_t>> effective(operands, std::vector<std::ptrdiff_t>(nd));
    std::vector<surface::OperandView> views;
    for (std::size_t k = 0; k < operands; ++k) {
        const std::size_t lead = std::min<std::size_t>(nd, in.byte() % 3);
        for (std::size_t axis = lead; axis < nd; ++axis) {
            const unsigned b = in.byte();
            const bool broadcast = (b & 1) != 0;
            const std::ptrdiff_t stride =
                (static_cast<std::ptrdiff_t>((b >> 1) % 9) - 4) * std::ptrdiff_t{sizeof(double)};
            own_shape[k].push_back(broadcast ? 1 : shape[axis]);
            own_strides[k].push_back(stride);
            effective[k][axis] = broadcast && shape[axis] != 1 ? 0 : stride;
        }
        views.push_back({middle, own_shape[k], own_strides[k]});
    }
    const surface::StridedLoop loop(shape, views);
    FUZZ_CHECK("strided_loop", loop.size() == size);
    const std::size_t begin = size == 0 ? 0 : in.byte() % (size + 1);
    const std::size_t end = begin + (size == 0 ? 0 : in.byte() % (size - begin + 1));
    const std::size_t every = 1 + in.byte() % 5;
    const std::size_t stop_after = in.byte();  // polls answered no before a yes

    std::size_t at = begin;
    std::size_t polls = 0;
    std::size_t visited_since_poll = 0;
    const bool complete = loop.run(
        begin, end,
        [&](const surface::StridedLoop::Pointers& p) {
            FUZZ_CHECK("strided_loop", at < end);
            std::size_t rest = at;
            for (std::size_t k = 0; k < operands; ++k) {
                std::ptrdiff_t offset = 0;
                rest = at;
                for (std::size_t axis = nd; axis-- > 0;) {
                    const auto extent = static_cast<std::size_t>(shape[axis]);
                    offset += static_cast<std::ptrdiff_t>(rest % extent) * effective[k][axis];
                    rest /= extent;
                }
                FUZZ_CHECK("strided_loop", p[k] == middle + offset);
            }
            ++at;
            ++visited_since_poll;
        },
        [&] {
            FUZZ_CHECK("strided_loop", polls == 0 ? at == begin : visited_since_poll == every);
            visited_since_poll = 0;
            return polls++ == stop_after;
        },
        every);
    if (complete) {
        FUZZ_CHECK("strided_loop", at == end);
    } else {
        FUZZ_CHECK("strided_loop", at < end && at == begin + stop_after * every);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    switch (in.byte() % 19) {
        case 0: carlson_kernels(in); break;
        case 1: legendre_kernels(in); break;
        case 2: disc_model(in); break;
        case 3: ring_model(in); break;
        case 4: quadrature_kernel(in); break;
        case 5: derivative_kernel(in); break;
        case 6: interpolation_kernel(in); break;
        case 7: batched_model(in); break;
        case 8: integrated_model(in, Integrated::built_in_disc); break;
        case 9: integrated_model(in, Integrated::built_in_ring); break;
        case 10: integrated_model(in, Integrated::profile_disc); break;
        case 11: integrated_model(in, Integrated::profile_ring); break;
        case 12: integrated_model(in, Integrated::flux_map_disc); break;
        case 13: integrated_model(in, Integrated::flux_map_ring); break;
        case 14: integrated_model(in, Integrated::discrete_flux_map); break;
        case 15: thread_count_parser(in); break;
        case 16: cgroup_parser(in); break;
        case 17: limb_law_model(in); break;
        default: strided_loop(in); break;
    }
    return 0;
}

#ifdef CAUSTRIX_FUZZ_REPLAY
int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            for (const auto& entry : fs::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        } else {
            inputs.push_back(arg);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s INPUT_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    for (const fs::path& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::printf("%s\n", path.filename().c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
#endif
