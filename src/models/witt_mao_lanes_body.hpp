// The lane-group body of the uniform-disc element and of its gradient
// element (the same integrals, with the slopes formed beside the value),
// written once with GCC's vector extensions and instantiated by each wide
// translation unit for its own width (T supplies the vector type, the square
// root and the lane mask).
// Included only after that unit's target pragma, inside an unnamed
// namespace: every function here has internal linkage, so no wide code can
// stand in for a baseline one at link time.
//
// Each operation below is the scalar element's (src/models/witt_mao.cpp, the
// AGM sums of the fused kernel and K - D next to the limb), in the same order
// and with the same rounding: IEEE division (by the divider, or by T::div,
// which rounds the same) and square root, no contraction.  Lanes whose pair
// takes a branch other than the main one are flagged and left to the scalar
// element (the scalar gradient element, for the gradient), so they follow
// whatever it does.

// A value in every lane.
template <class V>
inline V splat(double v) {
    return V{} + v;
}

template <class V, class I>
inline V vabs(V v) {
    return (V)((I)v & (I{} + 0x7fffffffffffffffLL));
}

// The hypergeometric series of K(mc) and of K(mc) - D(mc) (in units of
// pi/2) through mc^5, for K - D next to the limb: dyadic, exact.
constexpr double LIMB_A[] = {1.0, 1.0 / 4, 9.0 / 64, 25.0 / 256, 1225.0 / 16384,
                             3969.0 / 65536};
constexpr double LIMB_C[] = {1.0 / 2, 1.0 / 16, 3.0 / 128, 25.0 / 2048, 245.0 / 32768,
                             1323.0 / 262144};

template <class V>
inline V horner(const double (&c)[6], V q) {
    V acc = splat<V>(c[5]);
    for (int j = 4; j >= 0; --j) {
        acc = acc * q + c[j];
    }
    return acc;
}

// The excess over 1 of the mean-value series far outside the source, for
// the lanes of `far`: three positive terms, in the point-lens variable u
// below u = 2 and in t = 2/u beyond.
template <class T>
inline typename T::V far_field_excess(typename T::V u, typename T::V x,
                                      typename T::I far) {
    using V = typename T::V;
    const V ix2 = 1.0 / (x * x);
    const auto low = u < 2.0;
    V near_excess = V{};
    V far_excess = V{};
    if (T::bits(far & low) != 0) {
        const V u2 = u * u;
        const V q = u2 + 4.0;
        const V s = T::sqrt(q);
        const V s4 = q * q;
        const V point = 4.0 / (s * (u2 + 2.0 + u * s));
        const V first = ((4.0 * (u2 + 1.0)) * ix2) / (s4 * s);
        const V second = ((2.0 * (((3.0 * u2 + 6.0) * u2 + 14.0) * u2 + 12.0)) * (ix2 * ix2)) /
                         ((s4 * s4) * s);
        near_excess = (point + first + second) / u;
    }
    if (T::bits(far & ~low) != 0) {
        const V t = 2.0 / u;
        const V t2 = t * t;
        const V c2 = 1.0 + t2;
        const V c = T::sqrt(c2);
        const V point = 1.0 / (c * (1.0 + t2 / 2.0 + c));
        const V first = ((1.0 + t2 / 4.0) * ix2) / ((c * c2) * c2);
        const V second = ((3.0 + t2 * (1.5 + t2 * (0.875 + t2 * 0.1875))) * (ix2 * ix2)) /
                         (((2.0 * c) * (c2 * c2)) * (c2 * c2));
        far_excess = ((t2 * t2) / 4.0) * (point + first + second);
    }
    return low ? near_excess : far_excess;
}

#include "models/witt_mao_slopes_body.hpp"

// The slopes' operations on a group of lanes.
template <class T>
struct LanePolicy {
    using V = typename T::V;
    static V sqrt(V v) { return T::sqrt(v); }
    template <class M>
    static bool any(M m) {
        return T::bits(m) != 0;
    }
};

// The derivatives beside the value, as witt_mao_gradient_element forms them.
template <class V>
struct LaneSlopes {
    V du;
    V drho;
    V scaling;
};

// The main path for one group of lanes: the magnifications in res (and with
// SLOPES their derivatives in slopes), and the mask of lanes to be left to
// the scalar element (the scalar gradient element with SLOPES).
template <class T, bool SLOPES>
inline unsigned group(typename T::V l, typename T::V signed_rho, typename T::V& res,
                      LaneSlopes<typename T::V>& slopes) {
    using V = typename T::V;
    using I = typename T::I;
    constexpr double MAX = 1.7976931348623157e308;
    constexpr double FAR_FIELD = 1e3;
    constexpr double LIMB_ZONE = 1e-3;
    constexpr double CARRY_BELOW = 1e-6;
    constexpr double EPS = 2.220446049250313e-16;
    constexpr double PI = 3.141592653589793;
    constexpr double S_CANCELLATION = 0.25;
    constexpr int MAX_STEPS = 64;

    const V rho = vabs<V, I>(signed_rho);
    const V x = vabs<V, I>(l);
    // A non-finite source or separation goes to the scalar element, and so
    // does a lens beyond FAR_FIELD at u = 0 (the general form's centre).
    const V u = x * rho;
    const I far = (x >= FAR_FIELD) & (x <= MAX) & (u > 0.0) & (rho <= MAX);
    // Until the end, `rare` marks every lane the closed form below does not
    // serve, the far field included.
    I rare = ~(rho <= MAX) | ~(x < FAR_FIELD);
    // A lens infinitely far in Einstein radii: the gradient element gives
    // it no slope (the value's lanes serve it, in the far field or not).
    const I infinite = SLOPES ? ~(u <= MAX) : I{};
    rare |= infinite;

    // A group of far-field (or otherwise rare) lanes skips the closed form.
    res = splat<V>(1.0);
    if (T::bits(~rare) != 0) {
        const V xm1 = x - 1.0;
        const V xp1 = x + 1.0;
        const V d = rho * xm1;
        const V h = rho * xp1;
        const V root_nc = xm1 / xp1;
        const V nc = root_nc * root_nc;
        const V n = (4.0 * x) / (xp1 * xp1);
        // On the limb.
        rare |= (d == 0.0) | (nc == 0.0);

        // Each form is computed only when a lane of the group takes it: the
        // divider is the bottleneck, and a sorted light curve's groups mostly
        // take one.
        const I near = vabs<V, I>(d) <= 2.0;
        V m = V{};
        V mc = V{};
        V k_coef = V{};
        V p_coef = V{};
        V z_coef = V{};
        // The slopes' rho^2 s as rho^2 s_part / rho_part.
        V s_part = V{};
        // sqrt(d^2 + 4) of the near lanes, which the limb zone uses again.
        V sq = V{};
        // The divider is the bottleneck, and the square roots share it.
        // T::div takes a quotient off it where the level can (for the lanes
        // of its mask; the others' quotients are discarded): the
        // coefficients, which nothing waits on until the sum is formed, and
        // the mean's p_k.  The quotients that the next step waits on, and
        // those after the mean, on which the group's last steps wait, keep
        // the divider's shorter latency (measured: each of them slows the
        // group down when moved).
        const unsigned serve = T::bits(near & ~rare);
        if (serve != 0) {
            const V d2 = d * d;
            const V q = d2 + 4.0;
            sq = T::sqrt(q);
            m = (4.0 * n) / q;
            mc = (d2 + 4.0 * nc) / q;
            k_coef = T::div(2.0 * sq, h, serve);
            p_coef = T::div((8.0 * rho) * x, xp1 * sq, serve);
            z_coef = T::div(8.0 * x, h * sq, serve);
            if constexpr (SLOPES) {
                s_part = sq;
            }
        }
        const unsigned serve_far = T::bits(~near & ~rare);
        if (serve_far != 0) {
            // Beyond |d| = 2 the squares are formed from r = 2/d.
            const V r = 2.0 / d;
            const V r2 = r * r;
            const V c = T::sqrt(1.0 + r2);
            m = near ? m : (n * r2) / (1.0 + r2);
            mc = near ? mc : (1.0 + nc * r2) / (1.0 + r2);
            k_coef = near ? k_coef : (2.0 * vabs<V, I>(root_nc)) * c;
            p_coef = near ? p_coef : T::div(8.0 * x, (xp1 * vabs<V, I>(xm1)) * c, serve_far);
            z_coef = near ? z_coef
                          : T::div((4.0 * x) * vabs<V, I>(r), (rho * xp1) * c, serve_far);
            if constexpr (SLOPES) {
                s_part = near ? s_part : vabs<V, I>(xm1) * c;
            }
        }
        // On the limb, and where the AGM carries its differences (tiny m): the
        // scalar element.
        rare |= (mc == 0.0) | (m < CARRY_BELOW);

        // The fused K, P, Z kernel: one arithmetic-geometric mean.
        const V g0 = T::sqrt(mc);
        const V delta0 = m / (1.0 + g0);
        const V e0_numerator = n < 0.5 ? delta0 - n : nc - g0;
        V a = splat<V>(1.0);
        V g = g0;
        V w = splat<V>(0.5);
        V s = V{};
        V p2 = nc;
        // The scalar kernel's sqrt(nc) is |root_nc| itself, without the
        // square root: in binary floating point the square root of a rounded
        // square gives the number back while the square is normal, and here
        // it is: a lane's x below FAR_FIELD other than 1 is at least 2^-53
        // from it, so that nc exceeds 1e-38.
        V p = vabs<V, I>(root_nc);
        V qs = splat<V>(1.0);
        V t = V{};
        I agm_settled = I{};
        // Rare lanes take no part: the group stops when the others settle.
        I active = ~rare;
        for (int step = 0; step < MAX_STEPS && T::bits(active) != 0; ++step) {
            const V ag = a * g;
            const V e = (step == 0 ? e0_numerator : p2 - ag) / (p2 + ag);
            const V p_next = T::div(p2 + ag, 2.0 * p, T::bits(active));
            const V q_next = (qs * e) / 2.0;
            const V a_next = (a + g) / 2.0;
            const V g_next = T::sqrt(ag);
            // A settled lane keeps the values it stopped with.
            p = active ? p_next : p;
            p2 = active ? p_next * p_next : p2;
            qs = active ? q_next : qs;
            t = active ? t + q_next : t;
            a = active ? a_next : a;
            g = active ? g_next : g;
            // The sum s stops taking terms once the mean has settled.
            const I grow = active & ~agm_settled;
            const V delta = a - g;
            s = grow ? s + w * (delta * delta) : s;
            w = grow ? w + w : w;
            agm_settled = grow ? ~(delta >= EPS * a) : agm_settled;
            const I sum_settled = ~(vabs<V, I>(qs) > EPS * vabs<V, I>(t));
            active &= ~(agm_settled & sum_settled);
        }
        const V k = PI / (a + g);
        const V d_bracket = delta0 / (4.0 * (1.0 + g0)) + s / m;
        const V sum = 1.0 + t;
        // Where S cancels the kernel takes Pi from another routine.
        rare |= ~(vabs<V, I>(sum) >= S_CANCELLATION);
        const V pk = (k * sum) / 2.0;
        const V zk = k * (d_bracket - t / 2.0);
        V gs = (k_coef * k + p_coef * pk) - z_coef * zk;
        const I limb = mc < LIMB_ZONE;
        V k_minus_d = V{};
        if (T::bits(limb & ~rare) != 0) {
            // Next to the limb the sum is regrouped around K - D, taken from
            // Legendre's relation with the series A and C of the complement:
            //   pi A = z_coef (K - D) + (k_coef - z_coef) K + (p_coef + z_coef) P.
            k_minus_d =
                (1.0 - (mc * k) * horner(LIMB_C, mc)) / (m * horner(LIMB_A, mc));
            // Limb lanes are near lanes: sq is their sqrt(d^2 + 4).
            const V kz_diff = ((2.0 * xm1) * (rho * d - 4.0)) / (h * sq);
            const V gl = (z_coef * k_minus_d + kz_diff * k) + (p_coef + z_coef) * pk;
            gs = limb ? gl : gs;
        }
        const V value = gs / PI;
        // A point lens never demagnifies: std::max(value, 1.0).
        res = value < 1.0 ? splat<V>(1.0) : value;
        if constexpr (SLOPES) {
            const ClosedSlopes<LanePolicy<T>> c = closed_slopes<LanePolicy<T>>(
                x, rho, s_part, ~near & ~rare, m, k, pk, zk, limb, k_minus_d);
            slopes.du = c.du;
            slopes.drho = c.drho;
            slopes.scaling = c.scaling;
        }
    }
    if (T::bits(far) != 0) {
        res = far ? 1.0 + far_field_excess<T>(u, x, far) : res;
    }
    if constexpr (SLOPES) {
        // From x = 1e2 dA/drho comes from the mean-value series, and from
        // the far field on every slope does.
        using P = LanePolicy<T>;
        const I series = (x >= SLOPES_FAR_FIELD_DRHO) & (u > 0.0);
        if (T::bits(series & ~rare) != 0 || T::bits(far) != 0) {
            const V ix2 = 1.0 / (x * x);
            const V drho = far_series<P>(
                u, series, [&] { return far_drho_near<P>(u, x, ix2); },
                [&] { return far_drho_beyond<P>(u, x, ix2); });
            slopes.drho = series ? drho : slopes.drho;
            if (T::bits(far) != 0) {
                const V du = far_series<P>(
                    u, far, [&] { return far_du_near<P>(u, ix2); },
                    [&] { return far_du_beyond<P>(u, ix2); });
                slopes.du = far ? du : slopes.du;
                slopes.scaling = far ? u * du + rho * drho : slopes.scaling;
            }
        }
    }
    return T::bits((rare & ~far) | infinite);
}

// Where the lanes write: the values, and with SLOPES their derivatives.
struct LaneOut {
    double* value;
    double* du = nullptr;
    double* drho = nullptr;
    double* scaling = nullptr;
};

template <class T, bool SLOPES = false>
std::size_t lanes(const double* x, const double* rho, const LaneOut& out, std::uint16_t* rare,
                  std::size_t n) {
    using V = typename T::V;
    constexpr std::size_t W = T::width;
    std::size_t count = 0;
    for (std::size_t b = 0; b < n; b += W) {
        const std::size_t len = n - b < W ? n - b : W;
        V xs;
        V rs;
        if (len == W) {
            __builtin_memcpy(&xs, x + b, sizeof xs);
            __builtin_memcpy(&rs, rho + b, sizeof rs);
        } else {
            // A short tail is padded with copies of its last pair, which
            // cost no more steps than the pairs themselves.
            for (std::size_t j = 0; j < W; ++j) {
                const std::size_t at = b + (j < len ? j : len - 1);
                xs[j] = x[at];
                rs[j] = rho[at];
            }
        }
        V res;
        LaneSlopes<V> slopes{};
        unsigned mask = group<T, SLOPES>(xs, rs, res, slopes);
        if (len == W) {
            __builtin_memcpy(out.value + b, &res, sizeof res);
            if constexpr (SLOPES) {
                __builtin_memcpy(out.du + b, &slopes.du, sizeof res);
                __builtin_memcpy(out.drho + b, &slopes.drho, sizeof res);
                __builtin_memcpy(out.scaling + b, &slopes.scaling, sizeof res);
            }
        } else {
            for (std::size_t j = 0; j < len; ++j) {
                out.value[b + j] = res[j];
                if constexpr (SLOPES) {
                    out.du[b + j] = slopes.du[j];
                    out.drho[b + j] = slopes.drho[j];
                    out.scaling[b + j] = slopes.scaling[j];
                }
            }
            mask &= (1u << len) - 1;
        }
        while (mask != 0) {
            const auto lane = static_cast<std::size_t>(__builtin_ctz(mask));
            rare[count++] = static_cast<std::uint16_t>(b + lane);
            mask &= mask - 1;
        }
    }
    return count;
}
