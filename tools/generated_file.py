"""The command line shared by the table generators: write the generated
header, or with --check regenerate it in memory and fail where the committed
file differs."""

import argparse
import sys
from pathlib import Path


def main(argv, description, default_output: Path, repo_root: Path, generate) -> int:
    """`generate()` returns the file's text and the closest approach of any
    value to a rounding tie, in ulps."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("output", nargs="?", type=Path, default=default_output,
                        help=f"header to write or check (default: {default_output.relative_to(repo_root)})")
    parser.add_argument("--check", action="store_true",
                        help="regenerate in memory and fail if OUTPUT differs")
    args = parser.parse_args(argv)

    text, margin = generate()

    if args.check:
        try:
            current = args.output.read_text(encoding="utf-8")
        except FileNotFoundError:
            print(f"{args.output}: missing", file=sys.stderr)
            return 1
        if current == text:
            return 0
        want, have = text.splitlines(), current.splitlines()
        for n, (w, h) in enumerate(zip(want, have), start=1):
            if w != h:
                print(f"{args.output}:{n}: differs from generated output\n"
                      f"  file:      {h}\n  generated: {w}", file=sys.stderr)
                return 1
        print(f"{args.output}: {len(have)} lines, generated output has {len(want)}"
              " (or differs only in line endings)", file=sys.stderr)
        return 1

    args.output.parent.mkdir(parents=True, exist_ok=True)
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    print(f"wrote {args.output} (closest approach to a rounding tie: {float(margin):.3g} ulp)")
    return 0
