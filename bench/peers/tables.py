"""The tables of the benchmark page, each built from the results of one suite run.

Every function returns the Markdown lines of one table; ``report`` places them
between the page's generated-block markers. Numbers are written the same way
everywhere: ``sig`` for errors, ``secs`` for times, ``count`` for calls and points.
"""

from __future__ import annotations

from . import fields
from .suite import VARIANTS, variant_name

# The fields whose true sharp edges are sampled (edge Chamfer columns and aims).
SHARP = ("rotated_box", "box_hole")
# The columns of the C++ stage timer, in the order the stages run.
STAGES = ["build", "cells", "crossings", "locate", "normals", "qefs", "solve", "emit",
          "projection", "faces", "cleanup"]


def find_row(rows, tool, field, depth, gradients=False):
    """The measured row of one case, or None when it was skipped or not run."""
    for r in rows:
        if (r["tool"], r["field"], r["depth"], r["gradients"]) == (tool, field, depth,
                                                                  gradients) and "wall" in r:
            return r
    return None


def sig(x: float | None, digits: int = 3) -> str:
    if x is None:
        return "–"
    if x == 0:
        return "0"
    if abs(x) >= 1e4 or abs(x) < 1e-2:
        return f"{x:.{digits - 1}e}"
    return f"{x:.{digits}g}"


def secs(x: float | None) -> str:
    return "–" if x is None else f"{x:.3g}"


def count(n: int | None) -> str:
    if n is None or n < 0:
        return "–"
    if n >= 10**6:
        return f"{n / 1e6:.2f} M"
    if n >= 10**4:
        return f"{n / 1e3:.0f} k"
    return str(n)


def yes(x) -> str:
    return "–" if x is None else ("yes" if x else "**no**")


def title(name: str) -> str:
    return fields.make(name).title


def per_point(r) -> str:
    if not r.get("field_seconds") or not r.get("points"):
        return "–"
    return f"{r['field_seconds'] / r['points'] * 1e9:.0f} ns"


def run_table(results: dict) -> list[str]:
    """The machine, the versions and the settings of the run."""
    m = results["machine"]
    versions = ", ".join(f"{k} {v}" for k, v in m["versions"].items() if v)
    depths = ", ".join(map(str, sorted({r["depth"] for r in results["rows"]})))
    load = results.get("load")
    load_text = (f"; 1-minute load average {load[0]:.1f} at the start, {load[1]:.1f} at the end"
                 if load else "")
    lines = ["| | |", "|---|---|",
             f"| CPU | {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB |",
             f"| system | {m['system']} |",
             f"| Python | {m['python']} |",
             f"| compiler | {m['compiler']} |",
             f"| packages | {versions} |",
             f"| karvex | commit {m['commit']}, {results['workers']} worker threads |",
             f"| run | {m['date']}, {results['seconds'] / 60:.1f} minutes{load_text} |",
             f"| depths, caps | {depths}; {results['cap']:.0f} s per case, "
             f"{results.get('manifold_cap', results['cap']):.0f} s for manifold3d |"]
    second = results.get("second_run")
    if second:
        load = second.get("load")
        load_text = (f"; 1-minute load average {load[0]:.1f} at the start, {load[1]:.1f} at "
                     "the end" if load else "")
        lines.append(f"| second run | rows and aims of {', '.join(second['fields'])}: "
                     f"{second['date']}, {second['minutes']:.1f} minutes{load_text}, cap "
                     f"{second['cap']:.0f} s |")
    return lines


def cost_table(rows, name) -> list[str]:
    lines = ["| tool | d | h | wall s (runs) | in eval_fn s | calls | points | peak RSS MB "
             "| vertices | triangles |", "|---|---|---|---|---|---|---|---|---|---|"]
    for tool, gradients in VARIANTS:
        for r in rows:
            if (r["tool"], r["field"], r["gradients"]) != (tool, name, gradients):
                continue
            head = f"| {variant_name(tool, gradients)} | {r['depth']} | {r['h']:.4g} "
            if "skipped" in r:
                lines.append(head + f"| skipped: {r['skipped']} | | | | | | |")
                continue
            lines.append(head + f"| {secs(r['wall'])} ({r['repeats']}) "
                         f"| {secs(r.get('field_seconds'))} | {count(r['calls'])} "
                         f"| {count(r['points'])} | {r['peak_rss_mb']:.0f} "
                         f"| {count(r['vertices'])} | {count(r['triangles'])} |")
    return lines


def accuracy_table(rows, name, exact: bool, sharp: bool) -> list[str]:
    head = "| tool | d | Chamfer | Hausdorff | F-score | normal consistency | closed, oriented " \
           "| share < 10° |"
    rule = "|---|---|---|---|---|---|---|---|"
    if sharp:
        head += " edge Chamfer | edge max |"
        rule += "---|---|"
    if exact:
        head += " mean \\|f\\|/h | max \\|f\\|/h |"
        rule += "---|---|"
    lines = [head, rule]
    for tool, gradients in VARIANTS:
        for r in rows:
            if (r["tool"], r["field"], r["gradients"]) != (tool, name, gradients) or \
                    "skipped" in r or "triangles" not in r:
                continue
            closed = "–" if "closed" not in r else (
                "yes" if r["closed"] and r["oriented"] else
                f"{yes(r['closed'])}, {yes(r['oriented'])}")
            line = (f"| {variant_name(tool, gradients)} | {r['depth']} | {sig(r.get('chamfer'))} "
                    f"| {sig(r.get('hausdorff'))} | {sig(r.get('fscore'), 4)} "
                    f"| {sig(r.get('normal_consistency'), 5)} | {closed} "
                    f"| {sig(r.get('sliver_share'), 2)} |")
            if sharp:
                line += f" {sig(r.get('edge_chamfer'))} | {sig(r.get('edge_max'))} |"
            if exact:
                line += (f" {sig(r.get('vertex_f_over_h_mean'))} "
                         f"| {sig(r.get('vertex_f_over_h_max'))} |")
            lines.append(line)
    return lines


def stage_table(stages) -> list[str]:
    if not stages:
        return ["(The C++ stage timer `extract_stages` was not built.)"]
    lines = ["| d | adaptive | workers | triangles | " + " | ".join(STAGES)
             + " | total | ns per triangle |", "|" + "---|" * (len(STAGES) + 6)]
    for s in stages:
        total = s["build"] + s["extract"]
        lines.append(f"| {s['max_depth']} | {s['adaptive']} | {s['workers']} "
                     f"| {count(s['triangles'])} | "
                     + " | ".join(f"{s[n] * 1e3:.1f}" for n in STAGES)
                     + f" | {total * 1e3:.0f} | {total / max(s['triangles'], 1) * 1e9:.0f} |")
    return lines


def field_share_table(rows) -> list[str]:
    """Time inside and outside eval_fn of our runs with gradients at the deepest depth."""
    depth = max(r["depth"] for r in rows)
    out = ["| field | d | wall s | in eval_fn s | outside s | outside ns per triangle |",
           "|---|---|---|---|---|---|"]
    for r in rows:
        if r["tool"] == "karvex" and r["gradients"] and r["depth"] == depth and "wall" in r:
            outside = r["wall"] - r["field_seconds"]
            out.append(f"| {r['field']} | {depth} | {secs(r['wall'])} "
                       f"| {secs(r['field_seconds'])} | {secs(outside)} "
                       f"| {outside / max(r['triangles'], 1) * 1e9:.0f} |")
    return out


def batch_table(probes: dict) -> list[str]:
    """ns per point of each field's batched forms, as one batch and in chunks."""
    probes = {k: v for k, v in probes.items() if "values_whole" in v}
    if not probes:
        return ["(No batch-size probes in this run.)"]
    out = ["| field | values, one batch | values, chunks | with gradients, one batch "
           "| with gradients, chunks |", "|---|---|---|---|---|"]
    for name, p in probes.items():
        out.append(f"| {name} | {p['values_whole']:.0f} | {p['values_chunked']:.0f} "
                   f"| {p['gradients_whole']:.0f} | {p['gradients_chunked']:.0f} |")
    return out


def summary_table(rows) -> list[str]:
    """Each field at the deepest depth that both our module (with gradients) and the dense
    pipeline ran: the race, split into the time inside the field and outside it, the run
    without gradients, memory, error, and manifold3d at its deepest depth."""
    out = ["| field | d | ours s | dense s | ours vs dense | in field, ours: s (points, each) "
           "| in field, dense: s (values, each) | outside, ours s | outside, dense s "
           "| no gradients: s (points) | peak MB: ours, no gradients, dense "
           "| Chamfer: ours, dense | manifold3d: d, s (ours s) |",
           "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for name in dict.fromkeys(r["field"] for r in rows):
        both = [d for d in sorted({r["depth"] for r in rows})
                if find_row(rows, "karvex", name, d, True) and find_row(rows, "skimage", name, d)]
        if not both:
            continue
        d = both[-1]
        ours, mc = find_row(rows, "karvex", name, d, True), find_row(rows, "skimage", name, d)
        plain = find_row(rows, "karvex", name, d, False)
        speed = mc["wall"] / ours["wall"]
        race = f"**{speed:.2f}x faster**" if speed >= 1 else f"**{1 / speed:.2f}x slower**"
        no_gradients = (f"{secs(plain['wall'])} ({count(plain['points'])})" if plain else "–")
        peaks = (f"{ours['peak_rss_mb']:.0f}, "
                 f"{plain['peak_rss_mb']:.0f}" if plain else f"{ours['peak_rss_mb']:.0f}, –")
        chamfer = "–"
        if ours.get("chamfer") and mc.get("chamfer"):
            ratio = mc["chamfer"] / ours["chamfer"]
            chamfer = (f"{sig(ours['chamfer'])}, {sig(mc['chamfer'])} ({ratio:.1f}x "
                       f"{'smaller' if ratio >= 1 else 'larger'})")
        peer = "–"
        man = [r for r in rows if r["tool"] == "manifold" and r["field"] == name and "wall" in r]
        if man:
            top = max(man, key=lambda r: r["depth"])
            same = find_row(rows, "karvex", name, top["depth"], True)
            if same:
                peer = f"{top['depth']}, {secs(top['wall'])} ({secs(same['wall'])})"
        out.append(f"| {name} | {d} | {secs(ours['wall'])} | {secs(mc['wall'])} | {race} "
                   f"| {secs(ours['field_seconds'])} ({count(ours['points'])}, "
                   f"{per_point(ours)}) | {secs(mc['field_seconds'])} "
                   f"({count(mc['points'])}, {per_point(mc)}) "
                   f"| {secs(ours['wall'] - ours['field_seconds'])} "
                   f"| {secs(mc['wall'] - mc['field_seconds'])} | {no_gradients} "
                   f"| {peaks}, {mc['peak_rss_mb']:.0f} | {chamfer} | {peer} |")
    return out


def error_of(r) -> float | None:
    """The error a row is judged by: its Chamfer distance, or (without SciPy, which the
    surface-to-mesh direction needs) its mean distance from the mesh to the surface."""
    value = r.get("chamfer")
    return value if value is not None else r.get("mesh_to_surface_mean")


def dominance(ours, dense, cost: str) -> tuple[bool, list[str]] | None:
    """Whether our row dominates the dense pipeline's in error against ``cost`` ("points"
    or "wall"): strictly less cost for an equal or smaller error. Returns (verdict, what
    fails, as ratios ours / dense), or None when either row lacks a number."""
    a, b = error_of(ours), error_of(dense)
    if a is None or b is None or not ours.get(cost) or not dense.get(cost) or \
            ours[cost] < 0 or dense[cost] < 0:
        return None
    fails = []
    if ours[cost] >= dense[cost]:
        fails.append(f"{'points' if cost == 'points' else 'time'} "
                     f"{ours[cost] / dense[cost]:.2f}x")
    if a > b:
        fails.append(f"error {a / b:.2f}x")
    return not fails, fails


def _verdict(found) -> str:
    if found is None:
        return "–"
    ok, fails = found
    return "yes" if ok else f"**no** ({', '.join(fails)})"


def dominance_table(rows) -> list[str]:
    """Per field and depth: the error, points and wall time of our two runs and the dense
    pipeline's, and whether each of ours dominates the dense pipeline's point in error
    against evaluations and in error against time."""
    out = ["| field | d | Chamfer: gradients, no gradients, dense "
           "| points: gradients, no gradients, dense | wall s: gradients, no gradients, dense "
           "| dominates, error vs evaluations: gradients; no gradients "
           "| dominates, error vs time: gradients; no gradients |",
           "|---|---|---|---|---|---|---|"]
    depths = sorted({r["depth"] for r in rows})
    for name in dict.fromkeys(r["field"] for r in rows):
        for d in depths:
            dense = find_row(rows, "skimage", name, d)
            ours = [find_row(rows, "karvex", name, d, g) for g in (True, False)]
            if dense is None or not any(ours):
                continue
            runs = [*ours, dense]
            errors = ", ".join(sig(error_of(r)) if r else "–" for r in runs)
            points = ", ".join(count(r["points"]) if r else "–" for r in runs)
            walls = ", ".join(secs(r["wall"]) if r else "–" for r in runs)
            by_points = "; ".join(_verdict(dominance(r, dense, "points")) if r else "–"
                                  for r in ours)
            by_time = "; ".join(_verdict(dominance(r, dense, "wall")) if r else "–"
                                for r in ours)
            out.append(f"| {name} | {d} | {errors} | {points} | {walls} | {by_points} "
                       f"| {by_time} |")
    return out
