"""The driver shared by the reference generators whose every row is
computed two independent ways: a row is written only when the two agree,
the rows are computed on a pool of processes, and the command line writes
the file or, with --check, compares it with what the generator makes."""

import sys
from multiprocessing import Pool

import mpmath as mp


def format_row(case, value, diff, dps):
    """`label rho separation value diff`, the value to `dps` digits."""
    label, rho, separation = case
    return (f"{label} {rho!r} {separation!r} {mp.nstr(value, dps, strip_zeros=False)} "
            f"{float(diff):.1e}\n")


def checked_row(compute, agree, dps, case):
    """One line of the file; an exception if the two routes disagree (an
    exception, not SystemExit, which would silently end a pool worker)."""
    case, value, diff = compute(case)
    if not diff <= agree:
        raise RuntimeError(f"routes disagree at {case}: relative difference {float(diff):.2e}")
    return format_row(case, value, diff, dps)


def generate(header, cases, row, processes=2):
    """The header and the rows of `cases`, each made by `row` (a module-level
    function, so that the pool's processes can call it)."""
    lines = []
    with Pool(processes) as pool:
        for k, line in enumerate(pool.imap(row, cases, chunksize=1), start=1):
            print(f"{k}/{len(cases)} {line}", end="", file=sys.stderr, flush=True)
            lines.append(line)
    return header + "".join(lines)


def main(argv, default_output, generate):
    """Writes the generated text to the path given (or the default); with
    --check, exits 1 unless the file holds exactly that text."""
    path = default_output
    args = [a for a in argv[1:] if not a.startswith("--")]
    if args:
        path = args[0]
    text = generate()
    if "--check" in argv:
        with open(path, encoding="utf-8") as f:
            return 0 if f.read() == text else 1
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0
