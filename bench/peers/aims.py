"""The aims table: each aim measured as a ratio from one run of the suite."""

from __future__ import annotations

from .suite import variant_name
from .tables import find_row


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


# The aims of this round: the depths they are measured at and their pass marks.
POINTS_DEPTH, SPEED_DEPTH, VALUES_SPEED_DEPTH = 8, 9, 8
POINTS_WITH_GRADIENTS, POINTS_WITHOUT = 1.9e6, 6.1e6
MLP_SPEED_UP, MLP_VALUES_SPEED_UP = 5.0, 2.0
OUTSIDE_NS_PER_TRIANGLE = 400.0


def _pass(ok: bool) -> str:
    return "met" if ok else "**missed**"


def _points_aim(rows, gradients: bool, limit: float) -> tuple[str, str, str]:
    form = "with analytic gradients" if gradients else "without gradients (values only)"
    aim = (f"Sphere (radius 3, [-5, 5]^3, min_depth 4, uniform), d = {POINTS_DEPTH}, "
           f"{form}: at most {limit / 1e6:.1f} M points")
    ours = find_row(rows, "karvex", "sphere", POINTS_DEPTH, gradients)
    if not ours:
        return aim, _why_missing(rows, "sphere", POINTS_DEPTH, [("karvex", gradients)]), "–"
    n = ours["points"]
    return (aim, f"{n / 1e6:.2f} M points in {ours['calls']} calls: {n / limit:.2f} of the "
                 "aim", _pass(n <= limit))


def _speed_aim(rows, gradients: bool, depth: int, factor: float) -> tuple[str, str, str]:
    form = ("with gradients" if gradients
            else "values only (no gradients; the network in chunks of 65,536 points)")
    aim = f"MLP {form}, d = {depth}: at least {factor:g}x faster than the dense pipeline"
    ours = find_row(rows, "karvex", "mlp", depth, gradients)
    mc = find_row(rows, "skimage", "mlp", depth)
    if not (ours and mc):
        return aim, _why_missing(rows, "mlp", depth, [("karvex", gradients),
                                                      ("skimage", False)]), "–"
    s = mc["wall"] / ours["wall"]
    alone = mc["wall"] / ours["field_seconds"]
    return (aim, f"{ours['wall']:.1f} s vs {mc['wall']:.1f} s: {s:.2f}x, {s / factor:.2f} of "
                 f"the aim (against our time inside the field alone: {alone:.2f}x)",
            _pass(s >= factor))


def _outside_aim(rows, workers: int) -> tuple[str, str, str]:
    aim = (f"Time outside eval_fn, sphere with gradients, {workers} workers, "
           f"d = {SPEED_DEPTH}: at most {OUTSIDE_NS_PER_TRIANGLE:.0f} ns per triangle")
    ours = find_row(rows, "karvex", "sphere", SPEED_DEPTH, True)
    if not (ours and ours.get("field_seconds") is not None):
        return aim, _why_missing(rows, "sphere", SPEED_DEPTH, [("karvex", True)]), "–"
    ns = (ours["wall"] - ours["field_seconds"]) / ours["triangles"] * 1e9
    return (aim, f"{ns:.0f} ns per triangle ({ours['wall'] - ours['field_seconds']:.3f} s "
                 f"for {ours['triangles']} triangles): {ns / OUTSIDE_NS_PER_TRIANGLE:.2f} of "
                 "the aim", _pass(ns <= OUTSIDE_NS_PER_TRIANGLE))


def _memory_aim(rows) -> tuple[str, str, str]:
    aim = (f"Peak RSS, d = {SPEED_DEPTH}, with gradients: at most the dense pipeline's on "
           "every field")
    parts, over, missing = [], [], []
    for name in dict.fromkeys(r["field"] for r in rows):
        ours = find_row(rows, "karvex", name, SPEED_DEPTH, True)
        mc = find_row(rows, "skimage", name, SPEED_DEPTH)
        if not (ours and mc):
            missing.append(name)
            continue
        ratio = ours["peak_rss_mb"] / mc["peak_rss_mb"]
        parts.append(f"{name} {ours['peak_rss_mb']:.0f} vs {mc['peak_rss_mb']:.0f} MB "
                     f"({ratio:.2f})")
        if ratio > 1:
            over.append(f"{name} {ratio:.2f}x")
    if not parts:
        return aim, "not measured: no field ran both at this depth", "–"
    text = "; ".join(parts) + (f"; not measured: {', '.join(missing)}" if missing else "")
    if over:
        return aim, text, "**missed** on " + ", ".join(over)
    return aim, text, "met where measured" if missing else "met"


def aims(results: dict) -> list[tuple[str, str, str]]:
    """(aim, measurement, verdict) rows, each from this one run; an aim whose cases did
    not run says so. A missed aim's measurement says how far it is from the pass mark."""
    rows = results["rows"]
    return [_points_aim(rows, True, POINTS_WITH_GRADIENTS),
            _points_aim(rows, False, POINTS_WITHOUT),
            _speed_aim(rows, True, SPEED_DEPTH, MLP_SPEED_UP),
            _speed_aim(rows, False, VALUES_SPEED_DEPTH, MLP_VALUES_SPEED_UP),
            _outside_aim(rows, results["workers"]),
            _memory_aim(rows)]
