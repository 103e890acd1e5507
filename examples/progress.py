"""Follow a long run: the stages karvex.mesh reports, and a field wrapper that
counts evaluations.

``progress=True`` shows one bar for the call; a callable instead receives
``(stage, done, total)`` for every step, and each stage ends with one report
of ``done == total``. The mesher also calls the field once per batch: once
per octree level, a few times for balancing, a few times to locate the
surface crossings (each call with the crossings not yet located), once for
their normals when the field gives no gradients, and a few times to project
the vertices (again only those still off the surface). A wrapper around the field therefore sees every batch go by,
and can count, time and report them. The same wrapper is where one would log
to a file, check for cancellation (raising any exception ends the call with
that exception), or cache.

This is also the one example that uses the low-level module ``_karvex_rs``
(see docs/low-level-module.md): its octree builder reports how many points
it evaluated, which the wrapper's count matches.

    python examples/progress.py [--max-depth 7] [--delay 0.05]

``--delay`` adds a pause to every call to imitate an expensive field.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

import _karvex_rs
import karvex
from csg import BOX, three_cylinders

if TYPE_CHECKING:
    # Types that exist only in the module's stub, for type checkers.
    from _karvex_rs import EvalFn, FieldResult


class ObservedField:
    """A field that forwards to another one and keeps statistics.

    ``calls`` counts calls (batches), ``points`` the points sent, and
    ``seconds`` the time spent inside the field. ``report``, if given, receives
    one line of text after every call.
    """

    def __init__(self, field: EvalFn, report: Callable[[str], None] | None = None) -> None:
        self.field = field
        self.report = report
        self.calls = 0
        self.points = 0
        self.seconds = 0.0
        self.largest_batch = 0

    def __call__(self, points: NDArray[np.float64]) -> FieldResult:
        start = time.perf_counter()
        result = self.field(points)
        self.seconds += time.perf_counter() - start
        self.calls += 1
        self.points += len(points)
        self.largest_batch = max(self.largest_batch, len(points))
        if self.report is not None:
            gradients = "with gradients" if result[1] is not None else "values only"
            self.report(
                f"call {self.calls:3d}: {len(points):8d} points ({gradients}),"
                f" {self.points:9d} so far, {self.seconds:6.2f} s in the field"
            )
        return result


def status_line(text: str) -> None:
    """Rewrites one status line on a terminal; prints lines otherwise."""
    if sys.stderr.isatty():
        sys.stderr.write("\r" + text)
    else:
        sys.stderr.write(text + "\n")
    sys.stderr.flush()


def slowed(field: EvalFn, delay: float) -> EvalFn:
    """The same field, pausing ``delay`` seconds per call."""

    def slow(points: NDArray[np.float64]) -> FieldResult:
        time.sleep(delay)
        return field(points)

    return slow


def main(argv: Sequence[str] | None = None) -> tuple[ObservedField, ObservedField]:
    parser = argparse.ArgumentParser(description="Count and report field evaluations.")
    parser.add_argument("--max-depth", type=int, default=7)
    parser.add_argument("--delay", type=float, default=0.0, help="seconds added to every call")
    parser.add_argument("--quiet", action="store_true", help="no per-call lines")
    args = parser.parse_args(argv)
    depth = args.max_depth

    shape: EvalFn = three_cylinders()
    if args.delay > 0.0:
        shape = slowed(shape, args.delay)

    # 1. The stages of a mesh call, each printed as it ends.
    def stage_ended(stage: str, done: int, total: int) -> None:
        if done == total:
            print(f"  {stage}: {total} done")

    print("stages:")
    karvex.mesh(shape, BOX, min_depth=min(3, depth), max_depth=depth, progress=stage_ended)

    # 2. A whole mesh call, reporting every call of the field as it happens.
    observed = ObservedField(shape, None if args.quiet else status_line)
    started = time.perf_counter()
    m = karvex.mesh(observed, BOX, min_depth=min(3, depth), max_depth=depth)
    total = time.perf_counter() - started
    if not args.quiet and sys.stderr.isatty():
        sys.stderr.write("\n")
    print(
        f"mesh: {len(m.vertices)} vertices, {len(m.faces)} triangles; {observed.calls} calls,"
        f" {observed.points} points (largest batch {observed.largest_batch});"
        f" {observed.seconds:.2f} s of {total:.2f} s spent in the field"
    )

    # 3. The low-level octree builder alone: the counted points equal the
    #    evaluation count it reports (its last statistic).
    counter = ObservedField(shape)
    stats = _karvex_rs.build_octree_adaptive(counter, *BOX, min(3, depth), depth)
    print(f"octree: {counter.calls} calls, {counter.points} points; reported {stats[5]}")
    return counter, observed


if __name__ == "__main__":
    main()
