// The lane-group body of the ring element, written once with GCC's vector
// extensions and instantiated by each wide translation unit for its own
// width (T supplies the vector type, the square root and the lane mask).
// Included only after that unit's target pragma, inside an unnamed
// namespace, so that no wide code can stand in for a baseline one at link
// time.
//
// Included after the uniform-disc body (witt_mao_lanes_body.hpp), whose
// splat and vabs it uses.
//
// Each operation below is the scalar element's (ring_element in
// src/models/heyrovsky.cpp with the AGM sums of the fused K, D, X kernel),
// in the same order and with the same rounding: IEEE division and square
// root, no contraction.  Lanes whose ring takes a branch other than the main
// one are flagged and left to the scalar element.

// The main path for one group of lanes: the magnifications in res, and the
// mask of lanes to be left to the scalar element.
template <class T>
inline unsigned ring_group(typename T::V l, typename T::V r, typename T::V d, double eps,
                           typename T::V& res) {
    using V = typename T::V;
    using I = typename T::I;
    constexpr double MAX = 1.7976931348623157e308;
    constexpr double EPS = 2.220446049250313e-16;
    constexpr double PI = 3.141592653589793;
    constexpr double TWO_OVER_PI = 0.6366197723675814;
    constexpr double CARRY_BELOW = 1e-6;
    constexpr double S_CANCELLATION = 0.25;
    constexpr double S_SURELY_CANCELLED = 0.24;
    constexpr double TAIL_SETTLED = 0x1p-26;
    constexpr int LONG_SUM_STEPS = 8;
    constexpr int MAX_STEPS = 64;

    // The main path wants a lens and ring of finite, non-negative size and a
    // finite distance between them, and a finite, positive Einstein radius
    // (the callers' only other inputs are the scalar element's business).
    I rare = ~((l >= 0.0) & (l <= MAX) & (r >= 0.0) & (r <= MAX) &
               (vabs<V, I>(d) <= MAX));
    if (!(eps > 0 && eps <= MAX)) {
        rare = ~I{};
    }
    const V s = l + r;
    const V ds = d / s;
    const V nc = ds * ds;
    // A point source on the lens, or a ring touching it; and a lens or ring
    // so far out that |d| Pi could overflow (the scalar element rescales).
    rare |= (s == 0.0) | (nc == 0.0) | (s > RING_HUGE_SUM);

    const V ad = vabs<V, I>(d);
    const V delta = ad / (eps + eps);
    const I small = delta <= 1.0;
    V c = V{};
    V delta_c = V{};
    if (T::bits(small) != 0) {
        c = 1.0 / T::sqrt(1.0 + delta * delta);
        delta_c = delta * c;
    }
    if (T::bits(~small) != 0) {
        const V q = (eps + eps) / ad;
        const V dc = 1.0 / T::sqrt(1.0 + q * q);
        delta_c = small ? delta_c : dc;
        c = small ? c : q * dc;
    }
    const V n = (4.0 * (l / s)) * (r / s);
    const V cc = c * c;
    const V m = n * cc;
    const V mc = cc * nc + delta_c * delta_c;
    rare |= (mc == 0.0);
    res = V{};
    if (T::bits(~rare) == 0) {
        return T::bits(rare);
    }

    // K(m) and X = (Pi - K)/n from one AGM, as _ellip_kdx_complement.
    const V g0 = T::sqrt(mc);
    const V delta0 = m / (1.0 + g0);
    const I carry = m < CARRY_BELOW;
    const bool any_carry = T::bits(carry & ~rare) != 0;
    V a = splat<V>(1.0);
    V g = g0;
    V dlt = delta0;
    V w = splat<V>(0.5);
    V sum_s = V{};
    V p2 = nc;
    V p = T::sqrt(nc);
    V qs = splat<V>(1.0);
    V t = V{};
    I agm_settled = I{};
    I active = ~rare;
    for (int step = 0; step < MAX_STEPS && T::bits(active) != 0; ++step) {
        const V a_prev = a;
        const V g_prev = g;
        const V ag = a * g;
        const V e = (step == 0 ? nc - g0 : p2 - ag) / (p2 + ag);
        const V p_next = (p2 + ag) / (2.0 * p);
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
        V next_delta = a - g;
        if (any_carry) {
            next_delta = carry ? (dlt * dlt) / (4.0 * (a + g)) : next_delta;
        }
        dlt = grow ? next_delta : dlt;
        sum_s = grow ? sum_s + w * (dlt * dlt) : sum_s;
        w = grow ? w + w : w;
        agm_settled = grow ? ~(dlt >= EPS * a) : agm_settled;
        const I sum_settled = ~(vabs<V, I>(qs) >= EPS * vabs<V, I>(1.0 + t));
        I stop = agm_settled & sum_settled;
        // Past the steps of the main path, a sum bound to cancel stops once
        // the mean is at its fixed point, as the scalar kernel's does.
        if (step >= LONG_SUM_STEPS) {
            stop |= agm_settled & (a == a_prev) & (g == g_prev) &
                    (vabs<V, I>(1.0 + t) + vabs<V, I>(qs) < S_SURELY_CANCELLED);
        }
        active &= ~stop;
    }
    const V k = PI / (a + g);
    const V sum = 1.0 + t;
    // Where S cancels (nc small against sqrt(mc): a ring next to the lens of
    // a small source) it is taken from the telescoped sum of the same AGM
    // steps, whose terms share one sign, as the kernel does; a sum that is
    // not a number goes to the scalar element.
    const I cancel = vabs<V, I>(sum) < S_CANCELLATION;
    rare |= ~(vabs<V, I>(sum) >= S_CANCELLATION) & ~cancel;
    V x = (k * sum) / (2.0 * nc);
    I tail = cancel & ~rare;
    if (T::bits(tail) != 0) {
        const V sum0 = nc + g0;
        const V root_nc = T::sqrt(nc);
        const V minus_q1 = (g0 - nc) / (2.0 * sum0);
        V u = (2.0 * nc) / sum0;
        V y = (2.0 * root_nc) / sum0;
        V cc_t = V{};
        V v = V{};
        V half = splat<V>(1.0);
        V at = (1.0 + g0) / 2.0;
        V gt = T::sqrt(g0);
        I going = tail & (at - gt >= TAIL_SETTLED * at);
        for (int step = 1; step < MAX_STEPS && T::bits(going) != 0; ++step) {
            const V ag = at * gt;
            const V h = ag * (y * y);
            const V rr = 1.0 / (1.0 + h);
            const V f = (2.0 * h) * rr;
            u = going ? u + ((minus_q1 * half) * (1.0 - cc_t)) * f : u;
            cc_t = going ? cc_t + f * (1.0 - cc_t) : cc_t;
            v = going ? v + h * (1.0 + v) : v;
            y = going ? (2.0 * y) * rr : y;
            half = going ? half * 0.5 : half;
            const V a_next = (at + gt) / 2.0;
            gt = going ? T::sqrt(ag) : gt;
            at = going ? a_next : at;
            going &= at - gt >= TAIL_SETTLED * at;
        }
        const V mean = (at + gt) / 2.0;
        const V tr = ((((g0 - nc) / sum0) * (root_nc / sum0)) * (1.0 - cc_t)) /
                     ((1.0 + v) * (1.0 + mean * y));
        const V x_tail = (((k * u) / 2.0) + (PI / 2) * tr) / nc;
        x = tail ? x_tail : x;
    }
    const V pi_nm = k + n * x;
    res = TWO_OVER_PI * (((eps * c) * k + (ad * delta_c) * pi_nm) / s);
    return T::bits(rare);
}

template <class T>
std::size_t ring_lanes(const double* l, const double* r, const double* d, double eps,
                       double* out, std::uint16_t* rare, std::size_t n) {
    using V = typename T::V;
    constexpr std::size_t W = T::width;
    std::size_t count = 0;
    for (std::size_t b = 0; b < n; b += W) {
        const std::size_t len = n - b < W ? n - b : W;
        V ls;
        V rs;
        V dsv;
        if (len == W) {
            __builtin_memcpy(&ls, l + b, sizeof ls);
            __builtin_memcpy(&rs, r + b, sizeof rs);
            __builtin_memcpy(&dsv, d + b, sizeof dsv);
        } else {
            // A short tail is padded with copies of its last ring.
            for (std::size_t j = 0; j < W; ++j) {
                const std::size_t at = b + (j < len ? j : len - 1);
                ls[j] = l[at];
                rs[j] = r[at];
                dsv[j] = d[at];
            }
        }
        V res;
        unsigned mask = ring_group<T>(ls, rs, dsv, eps, res);
        if (len == W) {
            __builtin_memcpy(out + b, &res, sizeof res);
        } else {
            for (std::size_t j = 0; j < len; ++j) {
                out[b + j] = res[j];
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
