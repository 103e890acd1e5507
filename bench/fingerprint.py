"""Bit-exact fingerprint of the meshers' results, for changes that must not alter them.

Runs the cases of tests/python/test_fingerprint.py (the same fields and code,
from tests/python/support/fingerprint.py) and, unless --quick, deeper ones, and
prints one line per case and a total. By default each digest covers every
batch handed to the field (its length and point bytes, in call order) before
the result, so the same points, order and batch sizes are required too;
--results-only hashes the results alone, for changes that may pass other
points to the field (fewer, or in another order) but must not change a result.
The test checks the results-only digests of the quick cases against committed
ones; this tool is for comparing a change's before and after more closely.

    python bench/fingerprint.py [--module-dir DIR] [--quick] [--out FILE] [--results-only]
"""
import argparse
import os
import sys
import time

from module_loader import add_module_dir_argument, import_module

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_module_dir_argument(parser)
    parser.add_argument("--quick", action="store_true", help="only the test's cases")
    parser.add_argument("--out", help="also write the lines to this file")
    parser.add_argument("--results-only", action="store_true",
                        help="hash only the results, not the batches passed to the field")
    args = parser.parse_args()
    module = import_module(args.module_dir)
    from support import fingerprint

    outcomes, lines = [], []
    start = time.perf_counter()
    for case in fingerprint.cases(deep=not args.quick):
        outcome = fingerprint.run(case, module, batches=not args.results_only)
        line = (f"{outcome.digest[:16]}  {case.label}  calls={outcome.calls} "
                f"points={outcome.points} {outcome.size}")
        print(line, flush=True)
        outcomes.append(outcome)
        lines.append(line)
    summary = (f"TOTAL {fingerprint.total(outcomes)}  "
               f"({len(lines)} cases, {time.perf_counter() - start:.1f} s)")
    print(summary)
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(lines + [summary]) + "\n")


if __name__ == "__main__":
    main()
