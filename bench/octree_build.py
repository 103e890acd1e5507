"""Octree construction speed: build_octree_adaptive on a sphere.

A sphere of radius 0.8 in [-1, 1]^3 with analytic NumPy gradients, built with
min_depth=4, max_depth=9. Reports the evaluation count, wall time, the share
of time spent inside eval_fn, the time outside eval_fn per evaluated point
(the module's own cost; the aim is at most 150 ns) and the peak RSS.

    python bench/octree_build.py [--module-dir DIR] [--repeat N]

The module is imported from --module-dir, else from $KARVEX_MODULE_DIR, else
from the installed package.
"""
import argparse
import resource
import time

from module_loader import add_module_dir_argument, import_module
from sphere_field import BOX, MAX_DEPTH, MIN_DEPTH, samples

AIM_NS_PER_POINT = 150.0


class TimedSphere:
    """The sphere's signed distance and unit gradient, timing every call."""

    def __init__(self):
        self.inside = 0.0
        self.inside_cpu = 0.0
        self.calls = 0

    def __call__(self, p):
        start = time.perf_counter()
        start_cpu = time.thread_time()
        values, gradients = samples(p)
        self.inside_cpu += time.thread_time() - start_cpu
        self.inside += time.perf_counter() - start
        self.calls += 1
        return values, gradients


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_module_dir_argument(parser)
    parser.add_argument("--repeat", type=int, default=3, help="number of timed builds")
    args = parser.parse_args()
    k = import_module(args.module_dir)

    best = None
    min_cpu_ns = float("inf")
    for run in range(args.repeat):
        field = TimedSphere()
        start = time.perf_counter()
        start_cpu = time.thread_time()
        stats = k.build_octree_adaptive(field, *BOX, MIN_DEPTH, MAX_DEPTH)
        cpu = time.thread_time() - start_cpu
        wall = time.perf_counter() - start
        evaluations = stats[5]
        outside_ns = (wall - field.inside) / evaluations * 1e9
        # CPU time of the calling thread outside eval_fn: the module's own
        # work (kernel time for its page faults included), hardly affected by
        # other processes competing for the processor, unlike wall time.
        outside_cpu_ns = (cpu - field.inside_cpu) / evaluations * 1e9
        print(f"run {run + 1}: {wall:.3f} s, eval_fn {field.inside:.3f} s in {field.calls} calls, "
              f"outside {outside_ns:.1f} ns/point (thread cpu {outside_cpu_ns:.1f} ns/point)")
        if best is None or wall < best[0]:
            best = (wall, field.inside, stats, outside_ns, min_cpu_ns)
        min_cpu_ns = min(min_cpu_ns, outside_cpu_ns)

    wall, inside, stats, outside_ns, _ = best
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    print(f"module:               {k.__file__}")
    print(f"stats:                {stats}  (leaf, internal, empty, full, max_leaf_depth, evaluations)")
    print(f"evaluation count:     {stats[5]}")
    print(f"wall time (best):     {wall:.3f} s")
    print(f"inside eval_fn:       {inside:.3f} s ({100.0 * inside / wall:.1f} %)")
    print(f"outside per point:    {outside_ns:.1f} ns (aim <= {AIM_NS_PER_POINT:.0f} ns)")
    print(f"  thread cpu (least):  {min_cpu_ns:.1f} ns")
    print(f"peak RSS:             {peak_mb:.0f} MB")


if __name__ == "__main__":
    main()
