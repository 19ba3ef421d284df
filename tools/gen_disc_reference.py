#!/usr/bin/env python3
"""Write tests/data/witt_mao_reference.txt: the magnification of a uniformly
bright disc by a point lens over a grid of source radii rho (in Einstein
radii) and lens-source separations x (in source radii), from the centre
through the limb (and the doubles next to it) to 1e300 Einstein radii.

Each value is computed two independent ways from the exact doubles rho and x
(the separation in Einstein radii is the exact product u = x rho):

  closed form   the Witt-Mao expression with mpmath's complete elliptic
                integrals K, E and Pi, at a working precision raised by the
                digits its terms lose to cancellation (they grow like x^2 and
                like 1/rho^2 against the result); on the limb, its limit
                with the arcsine;

  quadrature    the point-lens magnification averaged over the disc, in
                polar coordinates about the lens:

                  pi rho^2 A = pi T sqrt(T^2 + 4)
                             + int_{|u - rho|}^{u + rho} 2 phi(t) (t^2 + 2) / sqrt(t^2 + 4) dt,

                where T = max(0, rho - u) bounds the circles about the lens
                that lie wholly inside the disc and phi(t) is the half-angle
                of the arc of the circle of radius t that does.  With
                t = a + (b - a) sin^2(z), a = |u - rho|, b = u + rho, the
                half-angle comes from the half-angle formula of the triangle
                (t, u, rho) in terms of sin(z) and cos(z) alone, so nothing
                cancels at the end points, and the integrand is smooth in z;
                break points at sqrt(a/b) 10^k follow the near singularity
                when the lens is close to the limb.

The two must agree to 1e-24 relative, or the generator stops.  The closed
form is written, as a leading double and the double nearest the remainder.

    python3 tools/gen_disc_reference.py [output-file]

The output is byte-for-byte the same on every run.
"""

import math
import os
import sys

import mpmath
from mpmath import mp, mpf

GENERATOR = "tools/gen_disc_reference.py"
DEFAULT_OUTPUT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                               os.pardir, "tests", "data", "witt_mao_reference.txt"))
DIGITS = 40
AGREEMENT = mpf("1e-24")

RHOS = [10.0 ** k for k in range(-7, 5)]


def _below(v, k):
    for _ in range(k):
        v = math.nextafter(v, -math.inf)
    return v


def _above(v, k):
    for _ in range(k):
        v = math.nextafter(v, math.inf)
    return v


# Separations in source radii: the centre, a separation whose product with a
# small rho underflows, the inside, the limb and the doubles next to it, the
# outside, both sides of 1e3 (where the far field begins), and far away.
SEPARATIONS = [0.0, 5e-324, 1e-200, 0.1, 0.5, 0.9, 0.999, 1 - 1e-8,
               _below(1.0, 2), _below(1.0, 1), 1.0, _above(1.0, 1), _above(1.0, 2),
               1 + 1e-8, 1.001, 1.1, 2.0, 5.0, 30.0, 300.0, _below(1e3, 1), 1e3, 3e3, 1e5]
# Separations in Einstein radii, converted to source radii for each rho.
EINSTEIN_SEPARATIONS = [0.3, 1.0, 3.0, 30.0, 1e3, 1e150, 1e300]


def grid():
    rows = []
    for rho in RHOS:
        xs = set(SEPARATIONS)
        for u in EINSTEIN_SEPARATIONS:
            x = u / rho
            if x < 1e308:
                xs.add(x)
        rows += [(rho, x) for x in sorted(xs)]
    return rows


def _extra_digits(rho, x):
    """Digits the closed form loses to cancellation, with a margin."""
    lost = 2 * math.log10(1 + x) + 2 * abs(math.log10(rho))
    if x != 1:
        # Next to the limb the complements 1 - n and 1 - m are differences.
        lost += max(0.0, -2 * math.log10(abs(x - 1)))
    return int(lost) + 10


def closed_form(rho, x):
    with mp.workdps(DIGITS + _extra_digits(rho, x)):
        rho_, x_ = mpf(rho), mpf(x)
        u = x_ * rho_
        d = u - rho_
        h = u + rho_
        if d == 0:
            return (2 / rho_ + (1 + rho_ ** 2) / rho_ ** 2
                    * (mp.pi / 2 + mp.asin((rho_ ** 2 - 1) / (rho_ ** 2 + 1)))) / mp.pi
        s = mp.sqrt(d * d + 4)
        n = 4 * u * rho_ / h ** 2
        m = 4 * n / (d * d + 4)
        k = mpmath.ellipk(m)
        e = mpmath.ellipe(m)
        p = mpmath.ellippi(n, m) if n != 0 else k
        g = (e * h * s / (2 * rho_ ** 2)
             - k * d * (u * u - rho_ ** 2 + 8) / (2 * rho_ ** 2 * s)
             + p * 2 * (1 + rho_ ** 2) * d * d / (rho_ ** 2 * h * s))
        return +(g / mp.pi)


def quadrature(rho, x):
    # u - rho and u + rho must keep rho's digits next to a large u.
    with mp.workdps(DIGITS + int(math.log10(1 + x)) + 5):
        rho_, x_ = mpf(rho), mpf(x)
        u = x_ * rho_
        a = abs(u - rho_)
        b = u + rho_
        w = b - a  # 2 min(u, rho), exactly
        inside = u < rho_
        full = 0
        if inside:
            full = mp.pi * a * mp.sqrt(a * a + 4)
        if w == 0:
            return full / (mp.pi * rho_ ** 2)

        # The integrand over z is of the order of w max(1, b); quad's
        # tolerance needs it of order one.
        scale = max(1, b)

        def integrand(z):
            sz, cz = mp.sin(z), mp.cos(z)
            t = a + w * sz * sz
            if inside:
                # tan(phi/2) = cot(z) sqrt((t + a) / (t + b)); phi = pi at z = 0.
                if sz == 0:
                    phi = mp.pi
                else:
                    phi = 2 * mp.atan(cz / sz * mp.sqrt((t + a) / (t + b)))
            else:
                # tan(phi/2) = w sin(z) cos(z) / sqrt((t + a)(t + b)).
                phi = 2 * mp.atan(w * sz * cz / mp.sqrt((t + a) * (t + b)))
            return 2 * phi * (t * t + 2) / mp.sqrt(t * t + 4) * 2 * sz * cz / scale

        points = [mpf(0)]
        if a > 0 and a < b * mpf("1e-4"):
            z0 = mp.sqrt(a / b)
            points += [z0 * mpf(10) ** k for k in range(0, 40) if z0 * mpf(10) ** k < 0.5]
        points.append(mp.pi / 2)
        arcs = mpmath.quad(integrand, points) * w * scale
        return (full + arcs) / (mp.pi * rho_ ** 2)


def reference(rho, x):
    c = closed_form(rho, x)
    q = quadrature(rho, x)
    with mp.workdps(DIGITS):
        if not abs(c - q) <= AGREEMENT * abs(c):
            raise SystemExit(f"references disagree at rho={rho!r}, x={x!r}: {c} vs {q}")
    return c


def row(rho, x):
    v = reference(rho, x)
    with mp.workdps(DIGITS + 10):
        hi = float(v)
        lo = float(v - mpf(hi))
    return " ".join(f.hex() for f in (rho, x, hi, lo))


def generate():
    lines = [
        f"# Generated by {GENERATOR} (mpmath, closed form and quadrature agreeing to 1e-24); "
        "do not edit.",
        "# Uniform disc of radius rho Einstein radii, lens x source radii from its centre.",
        "# Columns: rho x value remainder; value + remainder is the magnification at the exact "
        "arguments.",
    ]
    lines += [row(rho, x) for rho, x in grid()]
    return "\n".join(lines) + "\n"


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_OUTPUT
    text = generate()
    with open(path, "w", newline="\n") as f:
        f.write(text)
    print(f"{path}: {text.count(chr(10)) - 3} rows")


if __name__ == "__main__":
    main()
