// The derivatives of the uniform-disc magnification from the integrals the
// value took, written once for a scalar double and for a group of vector
// lanes: the scalar gradient element (witt_mao_gradient.cpp) and the lane
// body (witt_mao_lanes_body.hpp) both instantiate them, so that each lane
// takes exactly the scalar operations in the scalar order.  P supplies the
// value type V, its IEEE square root and any(mask), true when a mask (a
// bool, or a vector of lanes) holds anywhere.  Where the scalar element
// branches, both sides are formed where some lane needs them and the lane's
// own side is selected, which leaves every lane's result unchanged.
//
// Included inside an unnamed namespace only, after the unit's target pragma
// where it has one: every function here has internal linkage, so no wide
// code can stand in for a baseline one at link time.

// The value's threshold: where it takes the mean-value series.
constexpr double SLOPES_FAR_FIELD = 1e3;

// From here on dA/drho is taken from the mean-value series: the closed
// form's 2 x Z - K cancels by about x^2 (u^2 + 4) against its terms.
constexpr double SLOPES_FAR_FIELD_DRHO = 1e2;

// Below this m, K - 2 D has lost more than six bits to cancellation, and its
// series (whose terms all have one sign) reaches an ulp in 17 terms.
constexpr double SLOPES_SMALL_M = 0.1;

constexpr double SLOPES_PI = 3.141592653589793;

// K(m) - 2 D(m) = -(pi/2) sum_{k>=1} a_k m^k, a_k = c_k^2 k/(k+1) with
// c_k = (2k-1)!!/(2k)!!, exact rationals rounded to doubles (the 18th term
// is below 2e-20 of the first for m < 0.1).
constexpr double K_MINUS_2D[17] = {
    0.125,                 0.09375,              0.0732421875,
    0.059814453125,        0.05046844482421875,  0.04361915588378906,
    0.03839394450187683,   0.034280307590961456, 0.030959402793087065,
    0.028223091940162703,  0.025929965720024484, 0.023980685080232433,
    0.02230346454634713,   0.020845161095239817, 0.019565603215509694,
    0.018433867343240016,  0.017425765222906578,
};

template <class V>
inline V k_minus_2d_series(V m) {
    V sum = V{} + 0.0;
    for (int k = 16; k >= 0; --k) {
        sum = sum * m + K_MINUS_2D[k];
    }
    return -(SLOPES_PI / 2) * (sum * m);
}

// The derivatives of the mean-value series of the disc,
//   A = sum_k (rho^2/4)^k Lap^k f / (k! (k+1)!),  rho = u / x,
// with f - 1, Lap f and Lap^2 f as in the value and
//   Lap^3 f = 36864 (2u^10 + 2u^8 + 22u^6 + 57u^4 + 82u^2 + 50) / (u^7 S^13),
// S = sqrt(u^2 + 4), ix2 = 1 / x^2.  Each comes in two forms: in u below
// u = 2, and beyond it in t = 2/u and c = sqrt(1 + t^2), so that nothing
// overflows.
//
// dA/du at fixed rho, from three terms: the fourth is below 1e-18 of the
// first at x = 1e3.
template <class P>
inline typename P::V far_du_near(typename P::V u, typename P::V ix2) {
    using V = typename P::V;
    const V u2 = u * u;
    const V q = u2 + 4.0;
    const V s = P::sqrt(q);
    const V q2 = q * q;
    const V f1 = 8.0 / (q * s);
    const V f2 = 24.0 * ix2 * ((u2 + 2.0) * u2 + 2.0) / (q2 * q * s);
    const V f3 = 48.0 * (ix2 * ix2) * ((((u2 + 2.0) * u2 + 8.0) * u2 + 14.0) * u2 + 10.0) /
                 (q2 * q2 * q * s);
    return -(f1 + f2 + f3) / u2;
}

template <class P>
inline typename P::V far_du_beyond(typename P::V u, typename P::V ix2) {
    using V = typename P::V;
    const V t = 2.0 / u;
    const V t2 = t * t;
    const V c2 = 1.0 + t2;
    const V c = P::sqrt(c2);
    const V c4 = c2 * c2;
    const V f1 = 1.0 / (4.0 * c * c2);
    const V f2 = 3.0 * ix2 * ((t2 + 4.0) * t2 + 8.0) / (32.0 * c * c2 * c4);
    const V f3 = 3.0 * (ix2 * ix2) * ((((5.0 * t2 + 28.0) * t2 + 64.0) * t2 + 64.0) * t2 + 128.0) /
                 (256.0 * c * c2 * c4 * c4);
    return -(t2 * t2 * t) * (f1 + f2 + f3);
}

// dA/drho at fixed u = (rho/4) Lap f + (rho^3/48) Lap^2 f + (rho^5/1536) Lap^3 f:
// the terms fall by about 3/x^2 each, and the fourth is below 1e-11 of the
// first from x = 100 on.
template <class P>
inline typename P::V far_drho_near(typename P::V u, typename P::V x, typename P::V ix2) {
    using V = typename P::V;
    const V u2 = u * u;
    const V q = u2 + 4.0;
    const V s = P::sqrt(q);
    const V q2 = q * q;
    const V p2 = ((3.0 * u2 + 6.0) * u2 + 14.0) * u2 + 12.0;
    const V p3 = ((((2.0 * u2 + 2.0) * u2 + 22.0) * u2 + 57.0) * u2 + 82.0) * u2 + 50.0;
    const V sum = (u2 + 1.0) + ix2 * p2 / q2 + 3.0 * (ix2 * ix2) * p3 / (q2 * q2);
    return 8.0 * sum / (x * u2 * (s * q2));
}

template <class P>
inline typename P::V far_drho_beyond(typename P::V u, typename P::V x, typename P::V ix2) {
    using V = typename P::V;
    const V t = 2.0 / u;
    const V t2 = t * t;
    const V c2 = 1.0 + t2;
    const V c = P::sqrt(c2);
    const V c4 = c2 * c2;
    const V p2 = 3.0 + t2 * (1.5 + t2 * (0.875 + t2 * 0.1875));
    const V q3 = ((((25.0 * t2 + 164.0) * t2 + 456.0) * t2 + 704.0) * t2 + 256.0) * t2 + 1024.0;
    const V sum = (1.0 + t2 / 4.0) + ix2 * p2 / c4 + 3.0 * (ix2 * ix2) * q3 / (512.0 * c4 * c4);
    return (t2 * t2 * t) * sum / (4.0 * x * (c * c4));
}

// The series' slope where `wanted` holds, each lane from its own form
// (Near below u = 2, Beyond from there); other lanes are left unspecified.
template <class P, class Near, class Beyond, class M>
inline typename P::V far_series(typename P::V u, M wanted, Near near, Beyond beyond) {
    using V = typename P::V;
    const auto low = u < 2.0;
    V below = V{} + 0.0;
    V above = V{} + 0.0;
    if (P::any(wanted && low)) {
        below = near();
    }
    if (P::any(wanted && !low)) {
        above = beyond();
    }
    return low ? below : above;
}

// The closed-form slopes from the value's integrals K, P = nc X, Z = D - P
// (and K - D where `limb`, the zone next to the limb), with
// pi dA/du = 8 (K - 2 D) / (rho^2 (x + 1) s), pi dA/drho = 8 (2 x Z - K) / (...)
// and pi (u dA/du + rho dA/drho) = 8 ((x - 1) K - 2 x P) / (rho (x + 1) s).
// The common denominator's rho^2 s comes as rho^2 s_part / rho_part (rho_part
// is 1 where |d| <= 2, and rho `beyond`, where s_part is s / rho).
template <class P>
struct ClosedSlopes {
    typename P::V du;
    typename P::V drho;
    typename P::V scaling;
};

template <class P, class M, class B>
inline ClosedSlopes<P> closed_slopes(typename P::V x, typename P::V rho, typename P::V s_part,
                                     B beyond, typename P::V m, typename P::V k,
                                     typename P::V p, typename P::V z, M limb,
                                     typename P::V k_minus_d) {
    using V = typename P::V;
    const V xm1 = x - 1.0;
    const V xp1 = x + 1.0;
    V k_minus_2d = k - 2.0 * (z + p);
    const auto small = m < SLOPES_SMALL_M;
    if (P::any(small)) {
        k_minus_2d = small ? k_minus_2d_series(m) : k_minus_2d;
    }
    V z_term = 2.0 * x * z - k;  // 2 x Z - K
    if (P::any(limb)) {
        // K and Z diverge like ln(4/sqrt(mc)); with K - D finite,
        //   K - 2 D = 2 (K - D) - K,  2 x Z - K = (2x - 1) K - 2 x (K - D) - 2 x P.
        k_minus_2d = limb ? 2.0 * k_minus_d - k : k_minus_2d;
        z_term = limb ? ((2.0 * x - 1.0) * k - 2.0 * x * k_minus_d) - 2.0 * x * p : z_term;
    }
    // 8 / (pi rho^2 (x + 1) s), divided out one factor at a time.
    const V scale = 8.0 / (SLOPES_PI * xp1);
    ClosedSlopes<P> c{
        k_minus_2d * scale / s_part / rho / rho,
        z_term * scale / s_part / rho / rho,
        ((xm1 * k - 2.0 * x * p) * scale) / s_part / rho,
    };
    // The last factor, rho_part, is rho beyond |d| = 2 and 1 within, where
    // dividing by it changes nothing: the divisions are made only where some
    // lane needs them.
    if (P::any(beyond)) {
        c.du = beyond ? c.du / rho : c.du;
        c.drho = beyond ? c.drho / rho : c.drho;
        c.scaling = beyond ? c.scaling / rho : c.scaling;
    }
    return c;
}
