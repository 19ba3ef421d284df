"""The README's gradient accuracy table: the largest error of
caustrix.magnification_and_gradient against tests/data/gradient_reference.txt
(tools/gen_gradient_reference.py: every limb-darkening law with typical
coefficients and coefficients on the edge of each law's range, rho 1e-6 to
1e3 Einstein radii, u/rho from 0 to 1e6 without the 1e-6 about the limb,
each derivative computed two independent ways agreeing to 1e-15), for each
law and quantity.

The error of a derivative is printed relative to the larger of its
reference and A (the claim: 1e-9 of the derivative or 1e-11 of A, whichever
is larger), beside the plain relative error of the worst point.

    python bench/gradient_accuracy.py        # print the table (Markdown)

The references are read, never recomputed, so the table takes a second.
"""

import math
import os
import sys
from collections import defaultdict

import numpy as np
from mpmath import mpf

import caustrix

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import gen_gradient_reference  # noqa: E402

RELATIVE, OF_A = 1e-9, 1e-11
LIMB_EXCLUSION = 1e-6
LAW_NAMES = ("uniform", "linear", "quadratic", "square-root", "logarithmic", "power-2",
             "nonlinear", "table")
QUANTITIES = ("dA/du", "dA/drho", "dA/dc")


def measure():
    """{(law, quantity): [(units of the allowance, relative error, label, rho, u)]}."""
    laws, rows = gen_gradient_reference.read()
    groups = defaultdict(list)
    for label, rho, u, qs, _ in rows:
        if abs(mpf(u) / mpf(rho) - 1) >= LIMB_EXCLUSION * (1 - 1e-9):
            groups[label].append((rho, u, qs))
    out = defaultdict(list)
    for label, group in groups.items():
        law, coefficients = laws[label]
        try:
            A, du, drho, dc = caustrix.magnification_and_gradient(
                np.array([u for _, u, _ in group]), np.array([rho for rho, _, _ in group]),
                law, coefficients)
        except ValueError:
            if law == "table":
                continue                   # tables may have no gradient
            raise
        for j, (rho, u, qs) in enumerate(group):
            got = [("dA/du", du[j], qs[1]), ("dA/drho", drho[j], qs[2])]
            got += [("dA/dc", dc[j, k], qs[3 + k]) for k in range(dc.shape[1])]
            for quantity, value, exact in got:
                if not math.isfinite(value):
                    units = rel = math.inf
                else:
                    err = abs(mpf(value) - exact)
                    units = float(err / max(RELATIVE * abs(exact), OF_A * qs[0]))
                    rel = float(err / abs(exact)) if exact else (0.0 if err == 0 else math.inf)
                out[(law, quantity)].append((units, rel, label, rho, u))
    return out


def markdown():
    found = measure()
    lines = ["| law | quantity | points | worst (of the allowance) | relative error there | at |",
             "|---|---|---:|---:|---:|---|"]
    for law in LAW_NAMES:
        for quantity in QUANTITIES:
            errors = found.get((law, quantity))
            if not errors:
                continue
            units, rel, label, rho, u = max(errors, key=lambda e: e[0])
            lines.append(f"| {law} | {quantity} | {len(errors)} | {units:.1e} | {rel:.1e} "
                         f"| {label}, ρ = {rho:g}, u/ρ = {u / rho:.6g} |")
    lines.append("")
    lines.append(f"Allowance: {RELATIVE:g} of the derivative or {OF_A:g} of A, whichever is "
                 "larger (1.0 = at the claim).")
    return "\n".join(lines) + "\n"


def main():
    if not hasattr(caustrix, "magnification_and_gradient"):
        print("caustrix has no magnification_and_gradient", file=sys.stderr)
        return 1
    sys.stdout.write(markdown())
    return 0


if __name__ == "__main__":
    sys.exit(main())
