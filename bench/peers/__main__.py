"""Benchmark of extract_mesh against scikit-image's marching cubes and manifold3d's level set.

    python -m bench.peers [--depths 6 7 8 9] [--fields sphere torus ...] [--report-only]

Runs every case (see bench/peers/suite.py), saves the raw results as JSON in the work
directory, rewrites the generated tables of docs/benchmarks.md (the page's text is
written by hand and left alone) and draws docs/images/bench_*.png. bash
bench/run_peers.sh sets up the environment and the build first, then calls this.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path

from . import fields, report, suite


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.peers",
                                     description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[6, 7, 8, 9])
    parser.add_argument("--fields", nargs="+", default=list(fields.FIELDS),
                        choices=list(fields.FIELDS))
    parser.add_argument("--tools", nargs="+", default=["karvex", "skimage", "manifold"],
                        choices=["karvex", "skimage", "manifold"])
    parser.add_argument("--workers", type=int, default=2, help="RAYON_NUM_THREADS for our module")
    parser.add_argument("--cap", type=float, default=300.0,
                        help="skip a case whose runs are predicted to take longer, s")
    parser.add_argument("--manifold-cap", type=float, default=60.0,
                        help="the same for manifold3d, s")
    parser.add_argument("--module-dir", default=os.environ.get("KARVEX_MODULE_DIR",
                                                               str(suite.ROOT / "build" / "peers")))
    parser.add_argument("--work", type=Path, default=None,
                        help="where the results and reference samples go "
                             "(default: <module-dir>/bench)")
    parser.add_argument("--docs", type=Path, default=suite.ROOT / "docs")
    parser.add_argument("--no-metrics", action="store_true", help="time only")
    parser.add_argument("--report-only", action="store_true",
                        help="rewrite the tables from the saved results")
    parser.add_argument("--replace-from", type=Path, default=None, metavar="RESULTS",
                        help="with --report-only: take the rows of the fields that this "
                             "other run's results hold from it (the run table says so)")
    args = parser.parse_args(argv)
    work = args.work or Path(args.module_dir) / "bench"
    results_path = work / "peers-results.json"
    if args.report_only:
        results = json.loads(results_path.read_text())
        if args.replace_from:
            results = report.replace_fields(results, json.loads(args.replace_from.read_text()))
    else:
        results = suite.run_suite(args.fields, sorted(args.depths), args.module_dir, work,
                                  args.workers, args.cap, tuple(args.tools),
                                  not args.no_metrics, args.manifold_cap,
                                  log=lambda s: print(s, flush=True))
        work.mkdir(parents=True, exist_ok=True)
        results_path.write_text(json.dumps(results, indent=1))
        print(f"results: {results_path}")
    page = report.write(results, args.docs)
    print(f"rewrote the tables of {page} and {args.docs / 'images'}/bench_*.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
