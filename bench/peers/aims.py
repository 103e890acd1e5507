"""The aims table: each aim measured as a ratio from one run of the suite."""

from __future__ import annotations

from .suite import variant_name
from .tables import SHARP, find_row, title


def _why_missing(rows, field, depth, pairs) -> str:
    """Why an aim could not be measured: the skip reasons of the cases it needs."""
    reasons = []
    for tool, gradients in pairs:
        row = next((r for r in rows if (r["tool"], r["field"], r["depth"], r["gradients"])
                    == (tool, field, depth, gradients)), None)
        if row is None:
            reasons.append(f"{variant_name(tool, gradients)} not run")
        elif "skipped" in row:
            reasons.append(f"{variant_name(tool, gradients)} skipped: {row['skipped']}")
    return "not measured: " + "; ".join(reasons) if reasons else "not measured"


def aims_table(results: dict) -> list[str]:
    """The aims table's lines."""
    return ["| aim | measured | verdict |", "|---|---|---|",
            *[f"| {a} | {b} | {c} |" for a, b, c in aims(results)]]


def aims(results: dict) -> list[tuple[str, str, str]]:
    """(aim, measurement, verdict) rows, each from this one run; an aim whose cases did
    not run says so."""
    rows = results["rows"]
    top = max(r["depth"] for r in rows)
    pair = [("karvex", True), ("skimage", False)]
    out = []

    ours = find_row(rows, "karvex", "sphere", top, True)
    mc = find_row(rows, "skimage", "sphere", top)
    time_aim = (f"Sphere with gradients, d = {top}: wall time at most 1/3 of the dense "
                "pipeline's")
    memory_aim = f"Sphere with gradients, d = {top}: peak memory at most 1/2"
    if ours and mc:
        t = ours["wall"] / mc["wall"]
        m = ours["peak_rss_mb"] / mc["peak_rss_mb"]
        dm = (ours["peak_rss_mb"] - ours["baseline_rss_mb"]) / max(
            mc["peak_rss_mb"] - mc["baseline_rss_mb"], 1e-9)
        alone = ours["field_seconds"] / mc["wall"]
        out.append((time_aim, f"{ours['wall']:.2f} s vs {mc['wall']:.2f} s: ratio {t:.2f} "
                              f"(our time inside the field alone: ratio {alone:.2f})",
                    "met" if t <= 1 / 3 else "**missed**"))
        out.append((memory_aim,
                    f"{ours['peak_rss_mb']:.0f} MB vs {mc['peak_rss_mb']:.0f} MB: ratio {m:.2f} "
                    f"(above each process's baseline: ratio {dm:.2f})",
                    "met" if m <= 0.5 else "**missed**"))
    else:
        out += [(time_aim, _why_missing(rows, "sphere", top, pair), "–"),
                (memory_aim, _why_missing(rows, "sphere", top, pair), "–")]

    ours = find_row(rows, "karvex", "mlp", top, True)
    mc = find_row(rows, "skimage", "mlp", top)
    aim = f"MLP with gradients, d = {top}: at least 3x faster than the dense pipeline"
    if ours and mc:
        s = mc["wall"] / ours["wall"]
        alone = mc["wall"] / ours["field_seconds"]
        out.append((aim, f"{ours['wall']:.1f} s vs {mc['wall']:.1f} s: {s:.2f}x (against our "
                         f"time inside the field alone: {alone:.2f}x)",
                    "met" if s >= 3 else "**missed**"))
    else:
        out.append((aim, _why_missing(rows, "mlp", top, pair), "–"))

    all_depths = sorted({r["depth"] for r in rows})
    slow = [r for r in (find_row(rows, "karvex", "slow_sphere", d, True) for d in all_depths) if r]
    mc = find_row(rows, "skimage", "slow_sphere", top)
    ours = find_row(rows, "karvex", "slow_sphere", top, True)
    aim = "Slow-call field (2 ms per call): calls and time"
    if ours and mc:
        calls = ", ".join(f"d={r['depth']}: {r['calls']}" for r in slow)
        out.append((aim, f"ours {ours['calls']} calls, {ours['wall']:.2f} s; dense "
                         f"{mc['calls']} calls, {mc['wall']:.2f} s at d = {top}. Our calls by "
                         f"depth: {calls}", _call_growth(slow)))
    else:
        out.append((aim, _why_missing(rows, "slow_sphere", top, pair), "–"))

    ours = find_row(rows, "karvex", "sphere", top, True)
    aim = (f"Time outside eval_fn below 300 ns per triangle, {results['workers']} workers, "
           f"d = {top} (sphere)")
    if ours and ours.get("field_seconds") is not None:
        ns = (ours["wall"] - ours["field_seconds"]) / ours["triangles"] * 1e9
        out.append((aim, f"{ns:.0f} ns per triangle: ratio {ns / 300:.1f} to the aim",
                    "met" if ns < 300 else "**missed**"))
    else:
        out.append((aim, _why_missing(rows, "sphere", top, pair[:1]), "–"))

    for name in SHARP:
        if not any(r["field"] == name for r in rows):
            continue
        ours = find_row(rows, "karvex", name, top, True)
        mc = find_row(rows, "skimage", name, top)
        aim = f"{title(name)}: edge Chamfer at most 1/5 of marching cubes' at the same h"
        if ours and mc and "edge_chamfer" in ours and "edge_chamfer" in mc:
            e = ours["edge_chamfer"] / mc["edge_chamfer"]
            by_depth = []
            for d in all_depths:
                a, b = find_row(rows, "karvex", name, d, True), find_row(rows, "skimage", name, d)
                if a and b and "edge_chamfer" in a and "edge_chamfer" in b:
                    by_depth.append(f"d={d}: {a['edge_chamfer'] / b['edge_chamfer']:.3f}")
            out.append((aim, f"ratio {e:.3f} at d = {top} ({', '.join(by_depth)})",
                        "met" if e <= 0.2 else "**missed**"))
        else:
            out.append((aim, _why_missing(rows, name, top, pair), "–"))
    return out


def _call_growth(slow) -> str:
    """How many calls our module adds per octree level."""
    if len(slow) < 2:
        return "–"
    per_level = (slow[-1]["calls"] - slow[0]["calls"]) / (slow[-1]["depth"] - slow[0]["depth"])
    return f"ours: {per_level:.1f} more calls per level"
