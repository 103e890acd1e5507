"""When does evaluating a field on a Dask cluster pay? A measurement.

Meshes a sphere at max_depth 6 (19 calls of the field, 571 419 points) with a
field that costs T seconds per point -- it sleeps T * len(points) seconds per
call, standing in for a field whose time goes to a GPU, a remote service or a
solver rather than this process's CPU -- three ways: evaluated in this
process, through karvex.dask_field on a local cluster of one worker process,
and of two. It prints a Markdown table of wall times and the per-task
overhead estimated from the T = 0 rows.

    PYTHONPATH=src:build/tests python bench/dask_cost.py [--chunk 8192] [--depth 6]

Needs dask[distributed]. The cluster listens on loopback only, dashboard off.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

import _karvex_rs  # noqa: E402
import karvex  # noqa: E402
from karvex import sdf  # noqa: E402

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
COSTS = (0.0, 3e-7, 1e-6, 3e-6, 1e-5)  # seconds per point


class SlowSphere:
    """A sphere of radius 0.8 that takes ``seconds_per_point`` per point."""

    def __init__(self, seconds_per_point: float) -> None:
        self.seconds_per_point = seconds_per_point
        self.shape = sdf.sphere(0.8)

    def __call__(self, points: NDArray[np.float64]) -> sdf.Sample:
        if self.seconds_per_point:
            time.sleep(self.seconds_per_point * len(points))
        return self.shape(points)


def timed(field: object, depth: int) -> tuple[float, int]:
    calls = 0

    def counted(points: NDArray[np.float64]) -> sdf.Sample:
        nonlocal calls
        calls += 1
        return field(points)  # type: ignore[operator, no-any-return]

    start = time.perf_counter()
    _karvex_rs.extract_mesh(counted, *BOX, min_depth=3, max_depth=depth)
    return time.perf_counter() - start, calls


def cluster(workers: int):  # type: ignore[no-untyped-def]
    from distributed import Client, LocalCluster

    # The workers import karvex and the native module from where this process did.
    paths = [str(Path(karvex.__file__).parents[1]), str(Path(_karvex_rs.__file__).parent)]
    os.environ["PYTHONPATH"] = os.pathsep.join([*paths, os.environ.get("PYTHONPATH", "")])
    local = LocalCluster(  # type: ignore[no-untyped-call]
        n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, silence_logs=40)
    return local, Client(local)  # type: ignore[no-untyped-call]


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--chunk", type=int, default=8192)
    parser.add_argument("--depth", type=int, default=6)
    args = parser.parse_args(argv)

    points = 0

    def count(p: NDArray[np.float64]) -> sdf.Sample:
        nonlocal points
        points += len(p)
        return sdf.sphere(0.8)(p)

    _karvex_rs.extract_mesh(count, *BOX, min_depth=3, max_depth=args.depth)
    local = {cost: timed(SlowSphere(cost), args.depth) for cost in COSTS}
    calls = local[0.0][1]
    remote: dict[int, dict[float, float]] = {}
    tasks = sum(-(-n // args.chunk) for n in _batch_sizes(args.depth))
    for workers in (1, 2):
        handle, client = cluster(workers)
        with handle, client:
            for cost in COSTS:
                field = karvex.dask_field(SlowSphere(cost), client, chunk=args.chunk)
                timed(field, args.depth)  # warm the workers' imports
                remote.setdefault(workers, {})[cost] = timed(field, args.depth)[0]

    print(f"sphere, max_depth {args.depth}: {calls} calls, {points} points,"
          f" chunk {args.chunk} -> {tasks} tasks; Python {sys.version.split()[0]}")
    print()
    print("| field cost per point | field time alone | in process | 1 worker | 2 workers |"
          " 2 workers vs in process |")
    print("|---|---|---|---|---|---|")
    for cost in COSTS:
        alone = cost * points
        print(f"| {cost * 1e6:g} µs | {alone:.2f} s | {local[cost][0]:.2f} s |"
              f" {remote[1][cost]:.2f} s | {remote[2][cost]:.2f} s |"
              f" {local[cost][0] / remote[2][cost]:.2f}x |")
    overhead = (remote[1][0.0] - local[0.0][0]) / tasks
    print()
    print(f"overhead per task (1 worker, T = 0): {overhead * 1e3:.2f} ms")


def _batch_sizes(depth: int) -> list[int]:
    sizes: list[int] = []

    def record(p: NDArray[np.float64]) -> sdf.Sample:
        sizes.append(len(p))
        return sdf.sphere(0.8)(p)

    _karvex_rs.extract_mesh(record, *BOX, min_depth=3, max_depth=depth)
    return sizes


if __name__ == "__main__":
    main()
