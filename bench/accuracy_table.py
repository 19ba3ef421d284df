"""The README's accuracy table: the largest relative error of each function
against the committed high-precision references, over every range the README
claims, next to the function's error budget.

    python bench/accuracy_table.py            # print the table (Markdown)
    python bench/accuracy_table.py --write    # also write docs/accuracy_table.md
    python bench/accuracy_table.py --check    # fail unless docs/accuracy_table.md
                                              # and the README's copy are this output

References (lengths in source radii, rho the source radius in Einstein
radii):

  tests/data/accuracy_reference.txt (tools/gen_accuracy_reference.py): the
      uniform disc for rho 1e-7 to 1e4, lens from the centre to one ulp of
      the limb on either side and out to 1e300 Einstein radii; rings for
      rho 1e-7 to 1e3 down to 1e-12 from the lens - each two independent
      ways (a closed form and a direct integration);
  tests/data/integrated_reference.txt (tools/gen_integrated_reference.py):
      the linear law and two tables (the 12-point one, and one with radii
      at lens positions and a bright ring 2e-6 wide) for rho 1e-7 to 1e3,
      lens from the centre through one ulp of the limb on either side to 3
      Einstein radii away, each over rings and over discs, agreeing to 1e-16;
  tests/data/profile_reference.txt (tools/gen_profile_reference.py): the
      linear law and the 12-point table for rho 0.001 to 0.5, by
      two-dimensional integration (values rounded to doubles, so errors
      below about 1e-16 are not resolved there);
  tests/data/law_reference.txt (tools/gen_law_reference.py): every
      limb-darkening law of the fitting function `magnification`, with
      typical coefficients and coefficients on the edge of each law's
      range, for rho 1e-6 to 1e3 Einstein radii and u/rho from 0 through
      one ulp of the limb on either side to 1e6, each value over rings and
      over discs, agreeing to 1e-15.  Its rows appear once the module has
      `magnification`.

The references are read, never recomputed, so the table takes a second.
"""

import argparse
import math
import os
import sys
from collections import defaultdict

import mpmath
from mpmath import mpf

import caustrix

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
DATA = os.path.join(ROOT, "tests", "data")
TABLE = os.path.join(ROOT, "docs", "accuracy_table.md")
README = os.path.join(ROOT, "README.md")
BEGIN = "<!-- accuracy table: written by bench/accuracy_table.py -->"
END = "<!-- end of accuracy table -->"

# What caustrix claims for each model, as relative error.
BUDGET = {"disc": 1e-13, "ring": 1e-13, "linear ring": 1e-12, "linear disc": 1e-12,
          "map ring": 1e-12, "map disc": 1e-12, "law uniform": 1e-13, "law": 1e-10}

# The fitting function's laws, in the order it documents them.
LAW_NAMES = ("uniform", "linear", "quadratic", "square-root", "logarithmic", "power-2",
             "nonlinear", "table")


def load():
    """{kind: [(a, l, r, reference)]} and {table name: (bl, bf)}; for the
    profile kinds, r is the table's name (None for the law)."""
    refs = defaultdict(list)
    with open(os.path.join(DATA, "accuracy_reference.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            kind, a, l, r, value = line.split()
            refs[kind].append((float(a), float(l), None if r == "None" else float(r), mpf(value)))
    # The disc's and the ring's own reference grids (tools/gen_disc_reference.py,
    # tools/gen_ring_reference.py), each value checked two independent ways.
    with open(os.path.join(DATA, "witt_mao_reference.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            rho, x, hi, lo = (float.fromhex(w) for w in line.split())
            refs["disc"].append((rho, x, None, mpf(hi) + mpf(lo)))
    with open(os.path.join(DATA, "ring_reference.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            _, l, r, eps, value, _ = line.split()
            refs["ring"].append((float(eps), float(l), float(r), mpf(value)))
    table = {}
    names = {"linear_0.6": "linear", "quadratic_map12": "map"}
    with open(os.path.join(DATA, "profile_reference.txt"), encoding="utf-8") as f:
        for line in f:
            for key, word in (("bl", "radius"), ("bf", "brightness")):
                prefix = f"# table quadratic_map12 {word}:"
                if line.startswith(prefix):
                    table[key] = [float(v) for v in line[len(prefix):].split()]
            if line.startswith("#") or not line.strip():
                continue
            profile, rho, l, value, _ = line.split()
            if profile in names:
                table_name = None if profile == "linear_0.6" else profile
                refs[names[profile]].append((float(rho), float(l), table_name, mpf(value)))
    tables = {"quadratic_map12": (table["bl"], table["bf"])}
    # The profiles over the whole range of rho, each value over rings and
    # over discs (tools/gen_integrated_reference.py).
    columns = defaultdict(dict)
    with open(os.path.join(DATA, "integrated_reference.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("# table "):
                name, word = line.split()[2:4]
                columns[name][word] = [float(v) for v in line.split(":", 1)[1].split()]
            if line.startswith("#") or not line.strip():
                continue
            profile, rho, l, value, _ = line.split()
            table_name = None if profile == "linear_0.6" else profile
            kind = "linear" if table_name is None else "map"
            refs[kind].append((float(rho), float(l), table_name, mpf(value)))
    for name, c in columns.items():
        tables.setdefault(name, (c["radius:"], c["brightness:"]))
    return refs, tables


def load_laws():
    """{label: (law, coefficients)} and [(label, rho, u, reference)] of
    tests/data/law_reference.txt, read by its generator."""
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import gen_law_reference  # noqa: E402

    laws, rows = gen_law_reference.read(os.path.join(DATA, "law_reference.txt"))
    # The references at the working precision, as the table's other rows.
    return laws, [(label, rho, u, +value) for label, rho, u, value, _ in rows]


def relative_error(value, exact):
    if not math.isfinite(value):
        return math.inf
    return float(abs((mpf(value) - exact) / exact))


def by_rho(cases):
    groups = defaultdict(list)
    for case in cases:
        groups[case[0]].append(case)
    return groups


def measure(cases, curve):
    """[(error, a, l, r)] with curve(a, [l, ...]) the function's values."""
    out = []
    for a, group in sorted(by_rho(cases).items()):
        values = curve(a, [l for _, l, _, _ in group])
        out += [(relative_error(v, exact), a, l, r) for v, (_, l, r, exact) in zip(values, group)]
    return out


def fmt(x):
    return f"{x:.0e}"


def where(a, l, r):
    if r is None:
        return f"ρ = {a:g}, l = {l!r}"
    if isinstance(r, str):
        return f"ρ = {a:g}, l = {l!r}, {r}"
    return f"ρ = {1 / a:g}, l = {l!r}, r = {r!r}"


def rows():
    refs, tables = load()
    disc = refs["disc"]
    near = [c for c in disc if c[1] != 1.0 and abs(c[1] - 1.0) <= 2e-6]
    limb = [c for c in disc if c[1] == 1.0]
    far = [c for c in disc if c[0] * c[1] >= 10.0 and c[1] > 2.0]
    across = [c for c in disc if c not in near and c not in limb and c not in far]

    def disc_curve(rho, ls):
        return caustrix.witt_mao_magnification(ls, 1.0, rho)

    def multi_curve(rho, ls):
        return caustrix.multi_witt_mao_magnification(ls, [1.0], [rho])[0]

    def ring_cases():
        return [(eps, l, r, v) for eps, l, r, v in refs["ring"]]

    def ring_errors():
        return [(relative_error(caustrix.heyrovsky_magnification(l, r, eps, 1.0), v), eps, l, r)
                for eps, l, r, v in ring_cases()]

    def span(cases, key):
        values = [key(c) for c in cases]
        return f"{min(values):g} … {max(values):g}"

    def ring_rho_span(cases):
        return span(cases, lambda c: 1 / c[0])

    table = []

    def add(function, model, cases, rho_span, separations, errors, budget):
        worst = max(errors, key=lambda e: e[0])
        table.append((function, model, rho_span, separations, len(errors), budget, worst))

    rho_disc = span(disc, lambda c: c[0])
    add("witt_mao_magnification", "uniform disc", across, rho_disc,
        "centre to 10 Einstein radii, \\|l − 1\\| > 2e-6", measure(across, disc_curve), "disc")
    add("witt_mao_magnification", "uniform disc", near, rho_disc,
        "\\|l − 1\\| from 1 ulp to 1e-6", measure(near, disc_curve), "disc")
    add("witt_mao_magnification", "uniform disc", limb, rho_disc,
        "l = 1 (lens on the limb)", measure(limb, disc_curve), "disc")
    add("witt_mao_magnification", "uniform disc", far, rho_disc,
        "lens 10 … 1e300 Einstein radii away", measure(far, disc_curve), "disc")
    add("multi_witt_mao_magnification", "uniform disc", disc, rho_disc,
        "all of the above", measure(disc, multi_curve), "disc")
    add("heyrovsky_magnification", "ring", ring_cases(), ring_rho_span(ring_cases()),
        "l 0 … 10, r 0 … 2, \\|r − l\\| down to 1 ulp, lengths to 1e-162", ring_errors(),
        "ring")

    profile_seps = "centre to 10 source radii or 3 Einstein radii, incl. the limb, 1 ± 1 ulp, 1 ± 1e-6"

    def profile_errors(cases, fn, law):
        """Each table's cases with that table, the law's with no table."""
        out = []
        for name in sorted({c[2] for c in cases}, key=str):
            group = [c for c in cases if c[2] == name]
            extra = () if law else tables[name]
            out += measure(group, lambda rho, ls: fn(ls, 1.0, rho, *extra))
        return out

    for kind, model, ring_fn, disc_fn in (
            ("linear", "linear limb darkening (0.6)",
             caustrix.integrated_heyrovsky_magnification,
             caustrix.integrated_witt_mao_magnification),
            ("map", "tabulated profiles (12 points; 7 points with a 2e-6 ring)",
             caustrix.integrated_flux_map_heyrovsky_magnification,
             caustrix.integrated_flux_map_witt_mao_magnification)):
        cases = refs[kind]
        rho_span = span(cases, lambda c: c[0])
        for route, fn in (("ring", ring_fn), ("disc", disc_fn)):
            errors = profile_errors(cases, fn, kind == "linear")
            add(fn.__name__, f"{model}, from {route}s", cases, rho_span, profile_seps, errors,
                f"{kind} {route}")
    if hasattr(caustrix, "magnification"):
        laws, law_cases = load_laws()
        for law in LAW_NAMES:
            labels = sorted({label for label, (name, _) in laws.items() if name == law})
            cases = [c for c in law_cases if c[0] in labels]
            errors = []
            for label in labels:
                group = [c for c in cases if c[0] == label]
                values = caustrix.magnification([u for _, _, u, _ in group],
                                                [rho for _, rho, _, _ in group],
                                                law, laws[label][1])
                errors += [(relative_error(float(v), exact), rho, u / rho, label)
                           for v, (_, rho, u, exact) in zip(values, group)]
            kind = "tables" if law == "table" else "coefficient sets, typical and on the range's edge"
            model = f"{law} law" + ("" if law == "uniform" else f", {len(labels)} {kind}")
            add("magnification", model, cases, span(cases, lambda c: c[1]),
                "u/ρ 0, 1e-8 … 1e6, incl. the limb and 1 ulp either side", errors,
                "law uniform" if law == "uniform" else "law")
    return table


def markdown():
    lines = ["| function | model | ρ (Einstein radii) | separations l (source radii) | points "
             "| budget | max relative error | at | within budget |",
             "|---|---|---|---|---:|---:|---:|---|---|"]
    for function, model, rho_span, separations, count, budget, worst in rows():
        err, a, l, r = worst
        limit = BUDGET[budget]
        lines.append(f"| `{function}` | {model} | {rho_span} | {separations} | {count} "
                     f"| {fmt(limit)} | {err:.1e} | {where(a, l, r)} "
                     f"| {'yes' if err <= limit else '**no**'} |")
    return "\n".join(lines) + "\n"


def readme_copy():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < start:
        return None
    return text[start + len(BEGIN):end].strip("\n") + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--write", action="store_true", help=f"write {TABLE}")
    parser.add_argument("--check", action="store_true",
                        help="fail unless the committed table and the README's copy are current")
    args = parser.parse_args(argv)
    text = markdown()
    sys.stdout.write(text)
    if args.write:
        os.makedirs(os.path.dirname(TABLE), exist_ok=True)
        with open(TABLE, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    if args.check:
        with open(TABLE, encoding="utf-8") as f:
            committed = f.read()
        stale = []
        if committed != text:
            stale.append(os.path.relpath(TABLE, ROOT))
        if readme_copy() != committed:
            stale.append("README.md (its copy of docs/accuracy_table.md)")
        if stale:
            print("not what this script prints: " + ", ".join(stale)
                  + "; run python bench/accuracy_table.py --write and copy the table into "
                  "README.md", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
