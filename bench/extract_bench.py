"""Benchmark of extract_mesh on a sphere of radius 0.8 in [-1, 1]^3 with analytic gradients.

For max_depth 8 and 9, uniform (adaptive=False) and balanced (adaptive=True), each run in a
fresh process (so that peak RSS belongs to that run alone):

  total wall time, time inside eval_fn, evaluation count (points), peak RSS, triangles,
  and time outside eval_fn per output triangle, with 1 and with 2 worker threads.

Then, when the C++ stage timer (bench/extract_stages.cpp, built with the tests) is found, the
time outside the field of every stage, and the speed-up of the parallel stages from 1 to 2
workers.

    python bench/extract_bench.py [--depths 8 9] [--module-dir build/dc] [--stages PATH]
"""
import argparse
import glob
import json
import os
import subprocess
import sys

_RUN = r"""
import json, resource, sys, time
import _karvex_rs as k
from sphere_field import samples

depth, adaptive = int(sys.argv[1]), sys.argv[2] == "1"
inside = [0.0]
points = [0]
calls = [0]

inside_cpu = [0.0]

def sphere(p):
    start = time.perf_counter()
    start_cpu = time.thread_time()
    result = samples(p)
    inside_cpu[0] += time.thread_time() - start_cpu
    inside[0] += time.perf_counter() - start
    points[0] += len(p)
    calls[0] += 1
    return result

k.extract_mesh(sphere, (-1, -1, -1), (1, 1, 1), max_depth=3)  # warm up: imports, pool
inside[0] = 0.0; inside_cpu[0] = 0.0; points[0] = 0; calls[0] = 0
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
start_cpu = time.thread_time()
vertices, faces = k.extract_mesh(sphere, (-1, -1, -1), (1, 1, 1), min_depth=3,
                                 max_depth=depth, adaptive=adaptive)
cpu = time.thread_time() - start_cpu
wall = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"wall": wall, "inside": inside[0], "cpu": cpu, "inside_cpu": inside_cpu[0],
                  "points": points[0], "calls": calls[0],
                  "triangles": len(faces), "vertices": len(vertices),
                  "peak_rss_mb": peak / 1024, "rss_before_mb": before / 1024}))
"""


def run_python(module_dir, depth, adaptive, workers):
    env = dict(os.environ)
    # The module under test, and this directory for the sphere.
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir, here, env.get("PYTHONPATH", "")])
    env["RAYON_NUM_THREADS"] = str(workers)
    out = subprocess.run([sys.executable, "-c", _RUN, str(depth), "1" if adaptive else "0"],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def find_stages(root, module_dir):
    for candidate in [os.path.join(module_dir, "extract_stages"),
                      os.path.join(root, "build", "tests", "extract_stages"),
                      *sorted(glob.glob(os.path.join(root, "build", "*", "extract_stages")))]:
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", type=int, nargs="+", default=[8, 9])
    default_module_dir = os.environ.get("KARVEX_MODULE_DIR", os.path.join(root, "build", "tests"))
    parser.add_argument("--module-dir", default=default_module_dir)
    parser.add_argument("--stages", default=None, help="path of the extract_stages executable")
    args = parser.parse_args()

    print("## extract_mesh, sphere r = 0.8, analytic gradients\n")
    # The thread CPU column is the calling thread's CPU time outside eval_fn:
    # with one worker that is all of the module's work, and it hardly depends
    # on what else the machine runs.
    print("| max_depth | adaptive | workers | wall s | in eval_fn s | eval calls | evaluations "
          "| peak RSS MB | triangles | outside eval_fn per triangle us "
          "| thread CPU outside eval_fn per triangle us |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for depth in args.depths:
        for adaptive in (False, True):
            for workers in (1, 2):
                r = run_python(args.module_dir, depth, adaptive, workers)
                per_triangle = (r["wall"] - r["inside"]) / max(r["triangles"], 1) * 1e6
                cpu = ((r["cpu"] - r["inside_cpu"]) / max(r["triangles"], 1) * 1e6
                       if workers == 1 else float("nan"))
                print(f"| {depth} | {adaptive} | {workers} | {r['wall']:.3f} | {r['inside']:.3f} "
                      f"| {r['calls']} | {r['points']} | {r['peak_rss_mb']:.0f} "
                      f"| {r['triangles']} | {per_triangle:.2f} | {cpu:.2f} |", flush=True)

    stages = args.stages or find_stages(root, args.module_dir)
    if stages is None:
        print("\n(extract_stages not found: build with -DKARVEX_BUILD_TESTS=ON for stage times)")
        return
    out = subprocess.run([stages, *map(str, args.depths)], capture_output=True, text=True,
                         check=True)
    rows = [json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")]
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
    # (an extract_stages built before CPU times were recorded has none)
    if all("build_cpu" in r for r in rows):
        print("\n## Stage CPU time of the calling thread outside the field, ms, 1 worker (steady on a "
              "busy machine; fastest of the extractions)\n")
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


if __name__ == "__main__":
    main()
