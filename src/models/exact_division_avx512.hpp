// The IEEE quotient a / b of eight lanes, rounded to nearest, without the
// divider: the divider is the uniform-disc element's bottleneck, and these
// operations run on the multiply-add ports beside it.  The result is the
// correctly rounded quotient bit for bit, as vdivpd gives it, so that a
// lane computed with it agrees with the scalar element.
//
// From the reciprocal estimate y0 of |b| (relative error below 2^-14) one
// Newton step gives y1 with relative error below 2^-28 + 2^-53; q0 = |a| y1
// then has about that error, and the multiply-add correction
// q1 = q0 + (|a| - |b| q0) y1 leaves an error of about 2^-56 |a/b| before
// rounding, under an eighth of an ulp, so that q1 is within 5/8 of an ulp of
// |a/b| (a faithful rounding).  The remainder r = |a| - |b| q1 of a faithful quotient
// is then exact in one multiply-add, and it tells on which side of the
// midpoints to q1's neighbours the true quotient lies: above the upper
// midpoint where r > |b| (up - q1) / 2, below the lower one where
// r < -|b| (q1 - down) / 2 (products by powers of two, exact).  A binary
// quotient of two doubles never falls on a midpoint (it would need p + 1
// significant bits from a product of two p-bit numbers), so no tie arises.
//
// All of this holds while nothing overflows or underflows on the way: both
// operands' magnitudes within [2^-250, 2^250] keep q1 within [2^-500, 2^500]
// and the remainder's bits above the subnormal range.  A group with any lane
// of `care` outside it (zero, infinite, NaN, or a huge or tiny operand) takes
// the divider for every lane; the lanes outside `care`, whose quotients the
// caller discards, may hold anything.
//
// The argument takes the default rounding to nearest, which the module never
// changes; under another rounding mode the divider's quotient and this one
// would differ.
#pragma once

#include <immintrin.h>

// Bitwise operations on doubles in AVX-512F's integer form (the double forms
// need AVX-512DQ).
inline __m512d masked_bits(__m512d v, __m512i mask) {
    return _mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(v), mask));
}

inline __m512d exact_quotient(__m512d a, __m512d b, __mmask8 care) {
    const __m512i magnitude = _mm512_set1_epi64(0x7fffffffffffffffLL);
    const __m512d lo = _mm512_set1_pd(0x1p-250);
    const __m512d hi = _mm512_set1_pd(0x1p250);
    const __m512d abs_a = masked_bits(a, magnitude);
    const __m512d abs_b = masked_bits(b, magnitude);
    // Ordered comparisons: a NaN lane fails them and takes the divider.
    const __mmask8 in_range = _mm512_cmp_pd_mask(abs_a, lo, _CMP_GE_OQ) &
                              _mm512_cmp_pd_mask(abs_a, hi, _CMP_LE_OQ) &
                              _mm512_cmp_pd_mask(abs_b, lo, _CMP_GE_OQ) &
                              _mm512_cmp_pd_mask(abs_b, hi, _CMP_LE_OQ);
    if ((in_range | static_cast<__mmask8>(~care)) != 0xff) {
        return _mm512_div_pd(a, b);
    }
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d y0 = _mm512_rcp14_pd(abs_b);
    const __m512d e0 = _mm512_fnmadd_pd(abs_b, y0, one);
    const __m512d y1 = _mm512_fmadd_pd(y0, e0, y0);
    const __m512d q0 = _mm512_mul_pd(abs_a, y1);
    const __m512d r0 = _mm512_fnmadd_pd(abs_b, q0, abs_a);
    const __m512d q1 = _mm512_fmadd_pd(r0, y1, q0);
    const __m512d r1 = _mm512_fnmadd_pd(abs_b, q1, abs_a);
    // The neighbours of the positive q1, and half the gaps to them.
    const __m512i bits = _mm512_castpd_si512(q1);
    const __m512d up = _mm512_castsi512_pd(_mm512_add_epi64(bits, _mm512_set1_epi64(1)));
    const __m512d down = _mm512_castsi512_pd(_mm512_sub_epi64(bits, _mm512_set1_epi64(1)));
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d above = _mm512_mul_pd(abs_b, _mm512_mul_pd(_mm512_sub_pd(up, q1), half));
    const __m512d below = _mm512_mul_pd(abs_b, _mm512_mul_pd(_mm512_sub_pd(q1, down), half));
    __m512d q = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(r1, above, _CMP_GT_OQ), q1, up);
    q = _mm512_mask_blend_pd(
        _mm512_cmp_pd_mask(r1, _mm512_sub_pd(_mm512_setzero_pd(), below), _CMP_LT_OQ), q, down);
    // The sign of the quotient is that of a times b.
    const __m512i sign = _mm512_andnot_si512(
        magnitude, _mm512_xor_si512(_mm512_castpd_si512(a), _mm512_castpd_si512(b)));
    return _mm512_castsi512_pd(_mm512_or_si512(_mm512_castpd_si512(q), sign));
}
