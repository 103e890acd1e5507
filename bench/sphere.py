"""The sphere benchmarks: speed of the module's own work on one smooth field.

The sphere has radius 0.8 in [-1, 1]^3 and exact unit gradients, the shape
the C++ stage driver (bench/extract_stages.cpp) meshes too. Its field is
written for speed (one einsum, no temporaries beyond the results) rather than
taken from karvex.sdf: the field's own allocations would slow the module's
work that follows each call and blur the time measured outside it. Each subcommand reports the time spent outside the field, which is
the module's own cost, by wall clock and by the calling thread's CPU time (the
latter hardly moves when other processes compete for the processor):

    python bench/sphere.py build   [--module-dir DIR] [--repeat 3]
        build_octree_adaptive, min_depth 4, max_depth 9: evaluations, time
        outside the field per evaluated point (aim: at most 150 ns), peak RSS.
    python bench/sphere.py balance [--module-dir DIR] [--repeat 3]
        extract_mesh(adaptive=True), min_depth 4, max_depth 9: the calls split
        into construction (initial grid, criterion levels, balancing passes)
        and contouring, the build's time outside the field, the whole call.
    python bench/sphere.py extract [--module-dir DIR] [--depths 8 9] [--stages PATH]
        extract_mesh at each depth, uniform and balanced, on 1 and 2 workers,
        each run in a fresh process (so that peak RSS is that run's alone):
        time outside the field per triangle; then, when the C++ stage driver is
        built (with the tests), the time of every stage and the speed-up of the
        parallel stages.

The module is imported from --module-dir, else from $KARVEX_MODULE_DIR, else
from the installed package.
"""
import argparse
import glob
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

from module_loader import add_module_dir_argument, import_module

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RADIUS = 0.8
BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
MIN_DEPTH, MAX_DEPTH = 4, 9
AIM_NS_PER_POINT = 150.0


def sphere(p):
    """(values, gradients) of the sphere at the points p, an (N, 3) array."""
    r = np.sqrt(np.einsum("ij,ij->i", p, p))
    return r - RADIUS, p / np.maximum(r, 1e-300)[:, None]


class TimedSphere:
    """The sphere, timing every call: ``calls`` holds (wall clock at entry,
    points, wall seconds inside, thread CPU time at entry, CPU seconds inside)."""

    def __init__(self):
        self.calls = []
        self.start = time.perf_counter()
        self.start_cpu = time.thread_time()

    def __call__(self, p):
        entered, entered_cpu = time.perf_counter(), time.thread_time()
        result = sphere(p)
        self.calls.append((entered, len(p), time.perf_counter() - entered, entered_cpu,
                           time.thread_time() - entered_cpu))
        return result

    def inside(self, calls=None):
        """Wall and CPU seconds inside the field, over ``calls`` (default all)."""
        calls = self.calls if calls is None else calls
        return sum(c[2] for c in calls), sum(c[4] for c in calls)


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


# --- build ------------------------------------------------------------------------------

def build(module, repeat):
    best, least_cpu_ns = None, float("inf")
    for run in range(repeat):
        field = TimedSphere()
        stats = module.build_octree_adaptive(field, *BOX, MIN_DEPTH, MAX_DEPTH)
        cpu = time.thread_time() - field.start_cpu
        wall = time.perf_counter() - field.start
        inside, inside_cpu = field.inside()
        evaluations = stats[5]
        outside_ns = (wall - inside) / evaluations * 1e9
        outside_cpu_ns = (cpu - inside_cpu) / evaluations * 1e9
        print(f"run {run + 1}: {wall:.3f} s, eval_fn {inside:.3f} s in {len(field.calls)} calls, "
              f"outside {outside_ns:.1f} ns/point (thread cpu {outside_cpu_ns:.1f} ns/point)")
        if best is None or wall < best[0]:
            best = (wall, inside, stats, outside_ns)
        least_cpu_ns = min(least_cpu_ns, outside_cpu_ns)

    wall, inside, stats, outside_ns = best
    print(f"module:               {module.__file__}")
    print(f"stats:                {stats}  (leaf, internal, empty, full, max_leaf_depth, evaluations)")
    print(f"evaluation count:     {stats[5]}")
    print(f"wall time (best):     {wall:.3f} s")
    print(f"inside eval_fn:       {inside:.3f} s ({100.0 * inside / wall:.1f} %)")
    print(f"outside per point:    {outside_ns:.1f} ns (aim <= {AIM_NS_PER_POINT:.0f} ns)")
    print(f"  thread cpu (least):  {least_cpu_ns:.1f} ns")
    print(f"peak RSS:             {peak_rss_mb():.0f} MB")


# --- balance ----------------------------------------------------------------------------

def lattice_levels(p):
    """The depths whose grids the points first appear on, or None when some point
    is not a lattice point of depth MAX_DEPTH."""
    steps = (p + 1.0) / (2.0 / 2**MAX_DEPTH)
    ints = np.rint(steps)
    if not np.array_equal(ints, steps):
        return None
    merged = np.bitwise_or.reduce(ints.astype(np.int64), axis=1)
    # A point first needed at depth L has coordinates divisible by
    # 2^(MAX_DEPTH - L) steps and not all by twice that.
    zeros = np.full(len(p), MAX_DEPTH, dtype=np.int64)
    nonzero = merged != 0
    low_bit = merged[nonzero] & -merged[nonzero]
    zeros[nonzero] = np.minimum(np.log2(low_bit).astype(np.int64), MAX_DEPTH)
    return set((MAX_DEPTH - zeros).tolist())


class LevelledSphere(TimedSphere):
    """A ``TimedSphere`` that also notes the lattice levels of every batch."""

    def __init__(self):
        super().__init__()
        self.levels = []

    def __call__(self, p):
        result = super().__call__(p)
        self.levels.append(lattice_levels(p))
        return result

    def build_calls(self):
        """The number of construction calls: extraction begins with eight
        bisection batches of one size, which no construction sequence makes."""
        sizes = [c[1] for c in self.calls]
        for i in range(len(sizes) - 7):
            if len(set(sizes[i:i + 8])) == 1:
                return i
        return len(sizes)


def criterion_levels(levels):
    """Lattice calls after the initial grid that are the criterion-driven levels:
    level L's batch holds only points first on the grid of L + 1, in order from
    min_depth."""
    count = 0
    for expected, seen in zip(range(MIN_DEPTH + 1, MAX_DEPTH + 1), levels[1:]):
        if seen != {expected}:
            break
        count += 1
    return count


def balance(module, repeat):
    rss_before_mb = peak_rss_mb()
    best, least_cpu = None, float("inf")
    for run in range(repeat):
        field = LevelledSphere()
        vertices, faces = module.extract_mesh(field, *BOX, MIN_DEPTH, MAX_DEPTH, adaptive=True)
        wall = time.perf_counter() - field.start
        n_build = field.build_calls()
        build_batches = field.calls[:n_build]
        # Up to the first bisection batch: includes the short set-up of extraction.
        first_bisection = field.calls[n_build]
        inside, inside_cpu = field.inside(build_batches)
        built = first_bisection[0] - field.start
        outside = built - inside
        outside_cpu = (first_bisection[3] - field.start_cpu) - inside_cpu
        levels = criterion_levels(field.levels[:n_build])
        passes = n_build - 1 - levels
        points = sum(c[1] for c in build_batches)
        print(f"run {run + 1}: call {wall:.3f} s, build {built:.3f} s "
              f"({outside:.3f} s outside eval_fn, thread CPU {outside_cpu:.3f} s), "
              f"{passes} balancing passes")
        if best is None or outside < best[0]:
            best = (outside, built, wall, points, len(field.calls) - n_build, levels, passes,
                    len(vertices), len(faces))
        least_cpu = min(least_cpu, outside_cpu)

    outside, built, wall, points, dc_calls, levels, passes, n_vertices, n_faces = best
    print(f"module:                    {module.__file__}")
    print(f"build batches:             1 initial grid + {levels} criterion levels "
          f"+ {passes} balancing passes")
    print(f"build evaluation count:    {points}")
    print(f"build time (best):         {built:.3f} s, outside eval_fn {outside:.3f} s "
          f"({outside / points * 1e9:.0f} ns/point)")
    print(f"  thread CPU (least):      {least_cpu:.3f} s ({least_cpu / points * 1e9:.0f} ns/point)")
    print(f"whole call:                {wall:.3f} s, {dc_calls} extraction batches, "
          f"{n_vertices} vertices, {n_faces} faces")
    print(f"peak RSS:                  {peak_rss_mb():.0f} MB (after import {rss_before_mb:.0f} MB)")


# --- extract ----------------------------------------------------------------------------

def extract_once(module, depth, adaptive):
    """One timed extract_mesh after a warm-up; prints its numbers as JSON."""
    module.extract_mesh(TimedSphere(), *BOX, max_depth=3)  # imports, pool
    before = peak_rss_mb()
    field = TimedSphere()
    vertices, faces = module.extract_mesh(field, *BOX, min_depth=3, max_depth=depth,
                                          adaptive=adaptive)
    cpu = time.thread_time() - field.start_cpu
    wall = time.perf_counter() - field.start
    inside, inside_cpu = field.inside()
    print(json.dumps({"wall": wall, "inside": inside, "cpu": cpu, "inside_cpu": inside_cpu,
                      "points": sum(c[1] for c in field.calls), "calls": len(field.calls),
                      "triangles": len(faces), "vertices": len(vertices),
                      "peak_rss_mb": peak_rss_mb(), "rss_before_mb": before}))


def extract_in_child(module_dir, depth, adaptive, workers):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    command = [sys.executable, os.path.abspath(__file__), "extract-once", str(depth),
               "1" if adaptive else "0"] + (["--module-dir", module_dir] if module_dir else [])
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def find_stages(module_dir):
    for candidate in [os.path.join(module_dir or "", "extract_stages"),
                      os.path.join(ROOT, "build", "tests", "extract_stages"),
                      *sorted(glob.glob(os.path.join(ROOT, "build", "*", "extract_stages")))]:
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def extract(module_dir, depths, stages):
    print("## extract_mesh, sphere r = 0.8, analytic gradients\n")
    # The thread CPU column is the calling thread's CPU time outside eval_fn:
    # with one worker that is all of the module's work.
    print("| max_depth | adaptive | workers | wall s | in eval_fn s | eval calls | evaluations "
          "| peak RSS MB | triangles | outside eval_fn per triangle us "
          "| thread CPU outside eval_fn per triangle us |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for depth in depths:
        for adaptive in (False, True):
            for workers in (1, 2):
                r = extract_in_child(module_dir, depth, adaptive, workers)
                per_triangle = (r["wall"] - r["inside"]) / max(r["triangles"], 1) * 1e6
                cpu = ((r["cpu"] - r["inside_cpu"]) / max(r["triangles"], 1) * 1e6
                       if workers == 1 else float("nan"))
                print(f"| {depth} | {adaptive} | {workers} | {r['wall']:.3f} | {r['inside']:.3f} "
                      f"| {r['calls']} | {r['points']} | {r['peak_rss_mb']:.0f} "
                      f"| {r['triangles']} | {per_triangle:.2f} | {cpu:.2f} |", flush=True)

    stages = stages or find_stages(module_dir)
    if stages is None:
        print("\n(extract_stages not found: build with -DKARVEX_BUILD_TESTS=ON for stage times)")
        return
    out = subprocess.run([stages, *map(str, depths)], capture_output=True, text=True, check=True)
    stage_tables([json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")])


def stage_tables(rows):
    names = ["build", "cells", "crossings", "locate", "normals", "qefs", "solve", "emit",
             "projection", "faces", "cleanup"]
    print("\n## Stage times outside the field, ms (C++ field; build includes balancing; "
          "fastest of 3 extractions)\n")
    print("| max_depth | adaptive | workers | " + " | ".join(names) + " | per triangle us |")
    print("|" + "---|" * (len(names) + 4))
    for r in rows:
        total = r["build"] + r["extract"]
        cells = " | ".join(f"{r[n] * 1e3:.1f}" for n in names)
        print(f"| {r['max_depth']} | {r['adaptive']} | {r['workers']} | {cells} "
              f"| {total / max(r['triangles'], 1) * 1e6:.2f} |")
    if all("build_cpu" in r for r in rows):
        print("\n## Stage CPU time of the calling thread outside the field, ms, 1 worker (steady "
              "on a busy machine; fastest of the extractions)\n")
        print("| max_depth | adaptive | " + " | ".join(names) + " | per triangle us |")
        print("|" + "---|" * (len(names) + 3))
        for r in (r for r in rows if r["workers"] == 1):
            total = r["build_cpu"] + r["extract_cpu"]
            cells = " | ".join(f"{r[n + '_cpu'] * 1e3:.1f}" for n in names)
            print(f"| {r['max_depth']} | {r['adaptive']} | {cells} "
                  f"| {total / max(r['triangles'], 1) * 1e6:.2f} |")
    print("\n## Parallel stages (crossings + solve + projection + faces), 1 -> 2 workers\n")
    print("| max_depth | adaptive | 1 worker ms | 2 workers ms | speed-up |")
    print("|---|---|---|---|---|")
    for one in (r for r in rows if r["workers"] == 1):
        two = next(r for r in rows if r["workers"] == 2 and r["max_depth"] == one["max_depth"]
                   and r["adaptive"] == one["adaptive"])
        print(f"| {one['max_depth']} | {one['adaptive']} | {one['parallel_stages'] * 1e3:.1f} "
              f"| {two['parallel_stages'] * 1e3:.1f} "
              f"| {one['parallel_stages'] / max(two['parallel_stages'], 1e-12):.2f} |")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    for name, text in [("build", "octree construction speed"),
                       ("balance", "balanced construction inside extract_mesh")]:
        sub = commands.add_parser(name, help=text)
        add_module_dir_argument(sub)
        sub.add_argument("--repeat", type=int, default=3, help="number of timed runs")
    sub = commands.add_parser("extract", help="extract_mesh per depth, mode and worker count")
    add_module_dir_argument(sub)
    sub.add_argument("--depths", type=int, nargs="+", default=[8, 9])
    sub.add_argument("--stages", help="path of the extract_stages executable")
    # One run of the extract table, in a process of its own.
    sub = commands.add_parser("extract-once")
    add_module_dir_argument(sub)
    sub.add_argument("depth", type=int)
    sub.add_argument("adaptive", choices=["0", "1"])
    args = parser.parse_args(argv)

    if args.command == "extract":
        module_dir = args.module_dir or os.environ.get("KARVEX_MODULE_DIR")
        extract(module_dir, args.depths, args.stages)
        return
    module = import_module(args.module_dir)
    if args.command == "extract-once":
        extract_once(module, args.depth, args.adaptive == "1")
    else:
        {"build": build, "balance": balance}[args.command](module, args.repeat)


if __name__ == "__main__":
    main()
