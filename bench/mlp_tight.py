"""A values-only neural field in a tight box: karvex.mesh against the dense pipeline.

The usual normalised neural SDF: the peer benchmark's NumPy MLP (3-64-64-1, tanh,
evaluated in chunks of 65,536 points) on a sphere of radius 0.85 that fills the box
[-1, 1]^3, values only. Both pipelines run in this process, one after the other, on
the same field, so their ratio comes from one run:

* karvex.mesh(field, min_depth 4, max_depth d), no gradients;
* the dense pipeline: the field on the (2^d + 1)^3 grid, one call per x-slab into a
  float32 volume, then scikit-image's marching cubes.

    python bench/mlp_tight.py [--module-dir DIR] [--depth 8] [--repeats 2] [--profile]

Prints the wall times (best of --repeats, after an untimed warm-up at depth 6), the
time inside the field, points and calls of each, and the speed-up. With --profile it
also prints, for karvex.mesh, the points, calls, time inside the field and the wall
time of each stage (the stage being the last one progress named).
"""
from __future__ import annotations

import argparse
import sys
import time
from collections import defaultdict
from pathlib import Path

import numpy as np

from module_loader import add_module_dir_argument, import_module

RADIUS = 0.85
CHUNK = 65536


def tight_mlp():
    """The benchmark's MLP with u = p (its weights take p / 5, so it is fed 5 p); the
    output is divided by 5 so that its gradient stays below 0.25, as in the benchmark."""
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    from bench.peers.fields import MLP

    net = MLP(chunk=CHUNK)

    def values(p):
        return np.sqrt(np.einsum("ij,ij->i", p, p)) - RADIUS + net(5.0 * p, False)[0] / 5.0

    return values


class Watched:
    """The field, with its points, calls and seconds counted per stage."""

    def __init__(self, values):
        self.values = values
        self.stage = "construction"
        self.points = defaultdict(int)
        self.calls = defaultdict(int)
        self.inside = defaultdict(float)
        self.wall = defaultdict(float)
        self._since = time.perf_counter()

    def __call__(self, p):
        start = time.perf_counter()
        v = self.values(p)
        self.inside[self.stage] += time.perf_counter() - start
        self.points[self.stage] += len(p)
        self.calls[self.stage] += 1
        return v, None

    def progress(self, stage, done, total):
        now = time.perf_counter()
        self.wall[self.stage] += now - self._since
        self._since = now
        self.stage = stage

    def close(self):
        self.progress("", 0, 0)


def run_karvex(karvex, values, depth, watch=False):
    field = Watched(values)
    start = time.perf_counter()
    karvex.mesh(lambda p: field(p), bounds=((-1.0,) * 3, (1.0,) * 3), min_depth=4,
                max_depth=depth, progress=field.progress if watch else None)
    wall = time.perf_counter() - start
    field.close()
    return wall, field


def run_dense(values, depth):
    from bench.peers import tools
    from bench.peers.fields import Field

    field = Field("mlp_tight", "MLP in a tight box", values, None, None, False)
    start = time.perf_counter()
    run = tools.run_skimage(field, depth, -1.0, 1.0)
    wall = time.perf_counter() - start
    watched = Watched(values)
    watched.points["dense grid"], watched.calls["dense grid"] = run.points, run.calls
    watched.inside["dense grid"] = run.field_seconds
    return wall, watched


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_module_dir_argument(parser)
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--profile", action="store_true", help="karvex.mesh's stages")
    args = parser.parse_args()
    import_module(args.module_dir)
    import karvex

    values = tight_mlp()
    run_karvex(karvex, values, 6)
    run_dense(values, 6)
    best = {}
    for name, go in (("karvex", lambda: run_karvex(karvex, values, args.depth)),
                     ("dense", lambda: run_dense(values, args.depth))):
        for _ in range(max(args.repeats, 1)):
            wall, field = go()
            if name not in best or wall < best[name][0]:
                best[name] = (wall, field)
    print(f"MLP 3-64-64-1 on a sphere of radius {RADIUS} in [-1, 1]^3, values only, "
          f"depth {args.depth}, best of {args.repeats}")
    for name, (wall, field) in best.items():
        inside = sum(field.inside.values())
        print(f"  {name:7s} wall {wall:7.3f} s  in field {inside:7.3f} s  outside "
              f"{wall - inside:6.3f} s  points {sum(field.points.values()) / 1e6:6.2f} M  "
              f"calls {sum(field.calls.values())}")
    print(f"  speed-up {best['dense'][0] / best['karvex'][0]:.2f}x")
    if args.profile:
        _, field = run_karvex(karvex, values, args.depth, watch=True)
        print("  stage                     points      calls   in field   wall")
        for stage in field.wall:
            if not stage:
                continue
            print(f"  {stage:22s} {field.points[stage]:>10,d} {field.calls[stage]:>8d}"
                  f" {field.inside[stage]:9.3f} s {field.wall[stage]:6.3f} s")


if __name__ == "__main__":
    main()
