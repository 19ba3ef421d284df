"""Vectorised numpy/scipy form of the Witt-Mao uniform-disc magnification.

A reference point for the timings in bench_witt_mao.py: the same closed form,

    A = (1/pi) [ E(m) (u + rho) sqrt((u - rho)^2 + 4) / (2 rho^2)
               - K(m) (u - rho) (u^2 - rho^2 + 8) / (2 rho^2 sqrt((u - rho)^2 + 4))
               + Pi(n, m) 2 (1 + rho^2) (u - rho)^2 / (rho^2 (u + rho) sqrt((u - rho)^2 + 4)) ],

    n = 4 u rho / (u + rho)^2,   m = 4 n / ((u - rho)^2 + 4),   u = x rho,

evaluated over whole arrays with scipy.special.  Pi has no direct scipy entry
point, so it is built from Carlson's forms for n < 1:

    Pi(n, m) = RF(0, 1 - m, 1) + (n / 3) RJ(0, 1 - m, 1, 1 - n).

On the limb, |u - rho| < 1e-5, K and Pi diverge while their coefficients
vanish, and the limiting value is used instead:

    A = (1/pi) [ 2/rho + ((1 + rho^2)/rho^2) (pi/2 + asin((rho^2 - 1)/(rho^2 + 1))) ].

Only separations x > -1 (n < 1) are meant; that covers every physical x >= 0.
"""

import numpy as np
from scipy import special

LIMB = 1e-5


def witt_mao_scipy(l, re, rstar):
    """Magnifications of a uniform disc for the separations l (source radii)."""
    x = np.asarray(l, dtype=np.float64)
    rho = float(rstar) / float(re)
    rho2 = rho * rho

    u = x * rho
    d = u - rho
    h = u + rho
    s = np.sqrt(d * d + 4.0)
    n = 4.0 * rho * u / (h * h)
    m = 4.0 * n / (d * d + 4.0)
    mc = 1.0 - m

    limb = np.abs(d) < LIMB
    # Keep the limb points away from the singularities; they are replaced below.
    if limb.any():
        n = np.where(limb, 0.0, n)
        mc = np.where(limb, 1.0, mc)
        m = np.where(limb, 0.0, m)

    e = special.ellipe(m)
    k = special.ellipk(m)
    p = special.elliprf(0.0, mc, 1.0) + (n / 3.0) * special.elliprj(0.0, mc, 1.0, 1.0 - n)

    with np.errstate(divide="ignore", invalid="ignore"):
        g = (
            e * (h * s / (2.0 * rho2))
            - k * (d * (u * u - rho2 + 8.0) / (2.0 * rho2 * s))
            + p * (2.0 * (1.0 + rho2) * d * d / (rho2 * h * s))
        )

    if limb.any():
        g_limb = 2.0 / rho + ((1.0 + rho2) / rho2) * (
            np.pi / 2.0 + np.arcsin((rho2 - 1.0) / (rho2 + 1.0))
        )
        g = np.where(limb, g_limb, g)

    return g / np.pi
