"""The profile routes share work across a call: the profile's pieces are laid
out once, a far lens takes node weights merged over all of a table's pieces,
and a march hands all its pieces' discs or rings to the lanes together.
These checks hold what that sharing must not change: every separation's
value is its own, far lenses stay exact for long and awkward tables, and
pieces a few ulps wide next to the lens still find their nearest singular
point."""

import math

import numpy as np
import pytest

import caustrix

FEATURE = ([0.0, 0.3, 0.6999989999999999, 0.7, 0.700001, 0.999999, 1.0],
           [1.0, 0.9, 0.75, 3.0, 0.75, 0.5, 0.25])
NARROW = ([0.6, 0.600001, 0.600002], [0.0, 1.0, 0.0])
SAMPLED = (list(np.linspace(0.0, 1.0, 61)),
           [1 - 0.5 * (1 - m) - 0.2 * (1 - m) ** 2
            for m in np.sqrt(1 - np.linspace(0.0, 1.0, 61) ** 2)])
# A repeated radius (a jump), a dip below zero and radii beyond both ends of
# the source.
AWKWARD = ([-0.2, 0.1, 0.35, 0.35, 0.5, 0.62, 0.8, 1.3],
           [2.0, 1.5, 1.2, 0.4, -0.1, 0.6, 0.9, 0.3])
TABLES = {"feature": FEATURE, "narrow": NARROW, "sampled": SAMPLED, "awkward": AWKWARD}


def both_routes(ls, rho, table):
    if table is None:
        return (caustrix.integrated_heyrovsky_magnification(ls, 1.0, rho),
                caustrix.integrated_witt_mao_magnification(ls, 1.0, rho))
    return (caustrix.integrated_flux_map_heyrovsky_magnification(ls, 1.0, rho, *table),
            caustrix.integrated_flux_map_witt_mao_magnification(ls, 1.0, rho, *table))


@pytest.mark.parametrize("rho", [1e-4, 0.01, 30.0])
def test_a_curve_gives_each_separation_what_it_gives_alone(rho):
    """The layout, the far weights (formed only when some lens is far) and
    the per-thread scratch carry nothing from one separation to the next:
    near, beyond-limb and far lenses in one curve give, bit for bit, what
    each gives alone, on both routes."""
    ls = [0.0, 0.25, 0.7, 0.9999995, 1.0, 1.5, 7.9, 8.0, 64.0, 0.45, 300.0, 2.0]
    for table in (None, FEATURE, SAMPLED, AWKWARD):
        ring, disc = both_routes(ls, rho, table)
        for l, a, b in zip(ls, ring, disc):
            alone_ring, alone_disc = both_routes([l], rho, table)
            assert (a, b) == (alone_ring[0], alone_disc[0]), (table, l)


def table_by_rings(l, rho, bl, bf, nodes=20):
    """int 2 pi r A_ring(r) B(r) dr / flux over the part of each table
    segment inside the source, each by a Gauss rule of `nodes` over the
    public ring magnification, and the flux in closed form: an independent
    route for a far lens, where the rings are smooth on every segment."""
    x, w = np.polynomial.legendre.leggauss(nodes)
    total = flux = 0.0
    for a0, b0, fa0, fb0 in zip(bl, bl[1:], bf, bf[1:]):
        a, b = max(a0, 0.0), min(b0, 1.0)
        if not b > a:
            continue
        slope = (fb0 - fa0) / (b0 - a0)
        fa, fb = fa0 + slope * (a - a0), fa0 + slope * (b - a0)
        r = a + (b - a) * (x + 1) / 2
        bright = fa + slope * (r - a)
        ring = np.array([caustrix.heyrovsky_magnification(l, ri, 1.0, rho) for ri in r])
        total += (b - a) / 2 * np.sum(w * 2 * np.pi * r * ring * bright)
        flux += 2 * np.pi * (b - a) * (fa * (2 * a + b) + fb * (a + 2 * b)) / 6
    return total / flux


@pytest.mark.parametrize("rho", [1e-7, 0.01, 1.0, 1e3])
def test_far_lens_merged_weights_against_rings_summed_segment_by_segment(rho):
    """A far lens takes 12 discs or rings whatever the table, with weights
    that integrate their interpolant against every segment at once: long
    tables, micro-radius features, jumps, negative brightness and segments
    reaching beyond the source stay within 1e-13 of rings summed segment by
    segment."""
    ls = [8.0, 11.0, 64.0, 300.0, 1e4]
    failures = []
    for name, (bl, bf) in TABLES.items():
        ring, disc = both_routes(ls, rho, (bl, bf))
        for l, a, b in zip(ls, ring, disc):
            want = table_by_rings(l, rho, bl, bf)
            for route, got in (("ring", a), ("disc", b)):
                if not abs(got - want) <= 1e-13 * abs(want):
                    failures.append(f"{name} {route} l={l}: {got!r} want {want!r}")
    assert not failures, "\n".join(failures)


def ulps_around(x, k=3):
    out = [x]
    lo = hi = x
    for _ in range(k):
        lo, hi = math.nextafter(lo, -math.inf), math.nextafter(hi, math.inf)
        out += [lo, hi]
    return out


@pytest.mark.parametrize("rho", [1e-3, 1.0, 30.0])
def test_lens_within_ulps_of_table_radii_and_the_limb(rho):
    """A lens a few ulps from a table radius or from the limb leaves pieces a
    few ulps wide beside it, where a rounded midpoint would misplace the
    nearest singular point by a large share of the piece: the ring route
    must still agree with the disc route to 1e-12."""
    for table in (FEATURE, NARROW, None):
        radii = [0.3, 0.999999, 1.0] if table is None else [r for r in table[0] if 0 < r <= 1]
        ls = sorted({l for r in radii + [1.0] for l in ulps_around(r)})
        ring, disc = both_routes(ls, rho, table)
        worst = max((abs(a - b) / abs(b), l) for l, a, b in zip(ls, ring, disc))
        assert worst[0] <= 1e-12, (table, worst)
