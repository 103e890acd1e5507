"""Runs the whole peer benchmark: every field, tool and depth, each case in its own process.

The plan grows the depth one level at a time per (field, tool, variant) and predicts the
next level's time from the last one (a dense grid costs 8 times more per level, an
adaptive octree about 4.5 times), which decides

* the repeats: 5 below 2 s per run after a warm-up run at the same depth, else 3 below
  8 s and 1 above, after a warm-up at depth 6 (imports, worker pool);
* whether to run at all: a case whose timed runs (and manifold's counting run) are
  predicted to take more than ``--cap`` seconds together (``--manifold-cap`` for
  manifold3d, whose per-point callbacks make it by far the slowest) is recorded as
  skipped, with the prediction as the reason.

Every child gets one BLAS thread (OPENBLAS_NUM_THREADS and friends) and our module the
worker count of ``--workers``; results go to a JSON file from which ``report`` fills
the tables of docs/benchmarks.md and draws the plots.
"""

from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
import time
from dataclasses import asdict
from pathlib import Path

import numpy as np

from . import fields, metrics
from .runner import Case

ROOT = Path(__file__).resolve().parents[2]
THREAD_VARIABLES = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS",
                    "NUMEXPR_NUM_THREADS", "VECLIB_MAXIMUM_THREADS", "BLIS_NUM_THREADS")
GROWTH = {"karvex": 4.5, "skimage": 8.0, "manifold": 8.0}
REFERENCE_POINTS, EDGE_POINTS = 200_000, 20_000

# (tool, gradients) pairs in table order.
VARIANTS = [("karvex", True), ("karvex", False), ("skimage", False), ("manifold", False)]


def variant_name(tool: str, gradients: bool) -> str:
    if tool == "karvex":
        return "karvex, gradients" if gradients else "karvex, no gradients"
    return {"skimage": "scikit-image MC", "manifold": "manifold3d level_set"}[tool]


def child_env(module_dir: str, workers: int) -> dict[str, str]:
    env = dict(os.environ)
    for name in THREAD_VARIABLES:
        env[name] = "1"
    env["RAYON_NUM_THREADS"] = str(workers)
    # The karvex package (its Mesh judges topology) from the source tree.
    env["PYTHONPATH"] = os.pathsep.join([module_dir, str(ROOT), str(ROOT / "src"),
                                         env.get("PYTHONPATH", "")])
    return env


def run_child(case: Case | dict, env: dict[str, str], timeout: float) -> dict[str, object]:
    started = time.perf_counter()
    request = case if isinstance(case, dict) else asdict(case)
    try:
        done = subprocess.run([sys.executable, "-m", "bench.peers.runner",
                               json.dumps(request)], env=env, cwd=ROOT,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"skipped": f"no result within {timeout:.0f} s"}
    if done.returncode != 0:
        tail = (done.stderr.strip().splitlines() or ["?"])[-1]
        return {"skipped": f"failed (exit {done.returncode}): {tail}"}
    result = json.loads(done.stdout.strip().splitlines()[-1])
    result["process_seconds"] = time.perf_counter() - started
    return result


def make_reference(field: fields.Field, directory: Path) -> Path:
    """The reference sampling of one field, saved once and shared by its cases."""
    path = directory / f"reference-{field.name}.npz"
    if not path.exists():
        rng = np.random.default_rng(12345)
        surface, _ = metrics.reference_surface(field, REFERENCE_POINTS, rng)
        arrays = {"surface": surface}
        if field.edges is not None:
            arrays["edges"] = field.edges(EDGE_POINTS, rng)
        np.savez(path, **arrays)
    return path


def machine() -> dict[str, object]:
    def version(name: str) -> str | None:
        try:
            from importlib.metadata import version as v
            return v(name)
        except Exception:
            return None

    cpu = "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT,
                            capture_output=True, text=True).stdout.strip()
    dirty = subprocess.run(["git", "status", "--porcelain", "src"], cwd=ROOT,
                           capture_output=True, text=True).stdout.strip()
    compiler = subprocess.run(["c++", "--version"], capture_output=True,
                              text=True).stdout.splitlines()
    return {
        "cpu": cpu, "cores": os.cpu_count(), "memory_gib": round(memory, 1),
        "system": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(), "compiler": compiler[0] if compiler else "?",
        "commit": commit + (" with uncommitted changes in src/" if dirty else ""),
        "date": time.strftime("%Y-%m-%d %H:%M"),
        "versions": {name: version(name) for name in
                     ("numpy", "scikit-image", "manifold3d", "scipy", "matplotlib")},
    }


def stage_times(module_dir: str, depths: list[int]) -> list[dict[str, object]]:
    """Per-stage times outside the field from the C++ stage timer, when it was built."""
    exe = Path(module_dir) / "extract_stages"
    if not exe.exists():
        return []
    done = subprocess.run([str(exe), *map(str, depths), "--repeat=3"], capture_output=True,
                          text=True, timeout=900)
    return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


def plan_repeats(predicted: float | None) -> tuple[int, bool]:
    """(repeats, warm up at the same depth rather than at depth 6)."""
    if predicted is None or predicted < 2.0:
        return 5, True
    if predicted < 8.0:
        return 3, False
    return 1, False


def run_suite(field_names: list[str], depths: list[int], module_dir: str, work: Path,
              workers: int = 2, cap: float = 300.0, tool_names: tuple[str, ...] = (
                  "karvex", "skimage", "manifold"), metrics_on: bool = True,
              manifold_cap: float = 60.0, probe: bool = True,
              log=print) -> dict[str, object]:
    work.mkdir(parents=True, exist_ok=True)
    env = child_env(module_dir, workers)
    load_before = os.getloadavg()[0]
    rows: list[dict[str, object]] = []
    started = time.perf_counter()
    manifold_points: dict[int, int] = {}
    batch_size: dict[str, dict[str, object]] = {}
    for name in field_names:
        field = fields.make(name)
        reference = str(make_reference(field, work)) if metrics_on else None
        if probe and name not in ("mlp", "slow_sphere"):  # those chunk, or sleep, anyway
            batch_size[name] = run_child({"probe": name}, env, timeout=300)
        for tool, gradients in VARIANTS:
            if tool not in tool_names:
                continue
            last: dict[str, object] | None = None
            limit = manifold_cap if tool == "manifold" else cap
            for depth in depths:
                row = {"tool": tool, "field": name, "depth": depth, "gradients": gradients,
                       "h": fields.SIDE / 2**depth}
                predicted = None
                if last is not None and "wall" in last:
                    predicted = float(last["wall"]) * GROWTH[tool] ** (depth - int(last["depth"]))
                if tool == "manifold" and field.latency:
                    n = manifold_points.get(depth)
                    cost = (f"{n} points x {field.latency * 1e3:.0f} ms = "
                            f"{n * field.latency:.0f} s") if n else "one sleep per point"
                    row["skipped"] = f"per-point calls would each pay the latency: {cost}"
                elif last is not None and "skipped" in last:
                    row["skipped"] = "the previous depth was skipped"
                elif predicted is not None and predicted * (
                        plan_repeats(predicted)[0] + (tool == "manifold")) > limit:
                    row["skipped"] = (f"predicted {predicted:.0f} s per run, over "
                                      f"{limit:.0f} s with its repeats")
                else:
                    repeats, same_depth_warmup = plan_repeats(predicted)
                    # manifold's counting run is its warm-up, at the same depth.
                    same_depth_warmup = same_depth_warmup or tool == "manifold"
                    case = Case(tool, name, depth, gradients, repeats,
                                depth if same_depth_warmup else min(depth, 6),
                                reference=reference, metrics=metrics_on)
                    guess = predicted if predicted is not None else 5.0
                    row.update(run_child(case, env, timeout=600 + 4 * guess * (repeats + 1)))
                    row["predicted"] = predicted
                if tool == "manifold" and "points" in row and not field.latency:
                    manifold_points.setdefault(depth, int(row["points"]))
                rows.append(row)
                last = row
                log(_progress(row, time.perf_counter() - started))
                # Kept as they come, so that an interrupted run still has its rows.
                with open(work / "peers-results.partial.jsonl", "a", encoding="utf-8") as f:
                    f.write(json.dumps(row) + "\n")
    stages = stage_times(module_dir, [d for d in depths if d >= 8] or depths[-1:])
    return {"machine": machine(), "load": [load_before, os.getloadavg()[0]],
            "workers": workers, "cap": cap,
            "manifold_cap": manifold_cap, "rows": rows, "batch_size": batch_size,
            "stages": stages, "seconds": time.perf_counter() - started,
            "tau": metrics.TAU}


def _progress(row: dict[str, object], elapsed: float) -> str:
    variant = variant_name(str(row["tool"]), bool(row["gradients"]))
    head = f"[{elapsed:7.1f} s] {row['field']:<12} {variant:<22} d={row['depth']}"
    if "skipped" in row:
        return f"{head}  skipped: {row['skipped']}"
    chamfer = row.get("chamfer")
    extra = f" chamfer {chamfer:.2e}" if isinstance(chamfer, float) else ""
    return (f"{head}  {row['wall']:.3f} s x{row['repeats']}  {row['triangles']} triangles "
            f"{row['points']} points {row['peak_rss_mb']:.0f} MB{extra}")
