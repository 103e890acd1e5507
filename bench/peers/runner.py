"""One benchmark case in a process of its own: mesh, time, measure, print one JSON line.

    python -m bench.peers.runner '{"tool": "karvex", "field": "sphere", "depth": 7,
                                   "gradients": true, "repeats": 5, "warmup_depth": 7,
                                   "reference": "path/to/sphere.npz"}'

Only the tool under test is imported before the timed runs, so the peak resident set
size (VmHWM, read before the metrics are computed) is that of the field, the
tool and its mesh. The warm-up run (imports, worker pool, first-touch of memory) is not
timed. The metrics run after the timing and need SciPy for the distances to the mesh.
"""

from __future__ import annotations

import json
import resource
import statistics
import sys
import time
from dataclasses import dataclass

from . import fields, tools


@dataclass
class Case:
    tool: str
    field: str
    depth: int
    gradients: bool = False
    repeats: int = 5
    warmup_depth: int | None = None
    min_depth: int = 4
    reference: str | None = None
    metrics: bool = True


def _peak_rss_mb() -> float:
    """The high-water mark of this process's resident set, in MB.

    VmHWM belongs to the address space that exec created; ru_maxrss would also count
    the parent's pages that the child held between fork and exec."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def _import_tool(tool: str) -> None:
    if tool == "karvex":
        import _karvex_rs  # noqa: F401
    elif tool == "skimage":
        import skimage.measure  # noqa: F401
    elif tool == "manifold":
        import manifold3d  # noqa: F401


def run_case(case: Case) -> dict[str, object]:
    field = fields.make(case.field)
    _import_tool(case.tool)
    baseline = _peak_rss_mb()

    def once(depth: int, count: bool) -> tools.Run:
        return tools.run(case.tool, field, depth, case.gradients, count, case.min_depth)

    counted = None
    if case.warmup_depth is not None:
        # manifold's points are counted and its time inside the field is measured here,
        # in the untimed run: counting and timing each callback would slow the timed
        # runs down.
        counted = once(case.warmup_depth, True)
        counted = counted if case.warmup_depth == case.depth else None
    walls: list[float] = []
    inside: list[float] = []
    result = None
    for _ in range(max(case.repeats, 1)):
        result = None  # free the previous mesh before the next run allocates its own
        start = time.perf_counter()
        result = once(case.depth, case.tool != "manifold" or counted is None)
        walls.append(time.perf_counter() - start)
        if result.field_seconds is not None:
            inside.append(result.field_seconds)
    assert result is not None
    peak = _peak_rss_mb()
    calls, points = result.calls, result.points
    field_seconds = statistics.median(inside) if inside else None
    if counted is not None and points < 0:
        calls, points = counted.calls, counted.points
        field_seconds = counted.field_seconds
    out: dict[str, object] = {
        "tool": case.tool, "field": case.field, "depth": case.depth,
        "gradients": case.gradients, "h": tools.cell_size(case.depth),
        "repeats": len(walls), "wall": statistics.median(walls), "wall_min": min(walls),
        "field_seconds": field_seconds,
        "calls": calls, "points": points,
        "peak_rss_mb": peak, "baseline_rss_mb": baseline,
        "vertices": len(result.vertices), "triangles": len(result.faces),
    }
    if case.metrics:
        import numpy as np

        from . import metrics

        reference = edges = None
        if case.reference:
            with np.load(case.reference) as saved:
                reference = saved["surface"]
                edges = saved["edges"] if "edges" in saved.files else None
        start = time.perf_counter()
        out.update(metrics.mesh_metrics(field, result.vertices, result.faces,
                                        tools.cell_size(case.depth), reference, edges))
        out["metrics_seconds"] = time.perf_counter() - start
    return out


def probe_batch_size(name: str, n: int = 2_000_000, chunk: int = 65536,
                     repeats: int = 3) -> dict[str, float]:
    """Nanoseconds per point of the field's two batched forms on n random points, in one
    call and in chunks of ``chunk`` points (fastest of ``repeats``): NumPy's temporaries
    for millions of points no longer fit in cache and are fresh memory on every call."""
    import numpy as np

    field = fields.make(name)
    p = np.random.default_rng(0).uniform(fields.LOW, fields.HIGH, (n, 3))

    def whole(fn) -> None:
        fn(p)

    def chunked(fn) -> None:
        for s in range(0, n, chunk):
            fn(p[s:s + chunk])

    out = {}
    for form, fn in (("values", field.values), ("gradients", field.with_gradients)):
        fn(p[:chunk])
        for way, run in (("whole", whole), ("chunked", chunked)):
            best = float("inf")
            for _ in range(repeats):
                start = time.perf_counter()
                run(fn)
                best = min(best, time.perf_counter() - start)
            out[f"{form}_{way}"] = best / n * 1e9
    return out


def main(argv: list[str]) -> None:
    request = json.loads(argv[0])
    if "probe" in request:
        print(json.dumps(probe_batch_size(request["probe"])), flush=True)
        return
    print(json.dumps(run_case(Case(**request))), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
