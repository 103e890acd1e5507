"""Turns the results of one suite run into docs/benchmarks.md and docs/images/bench_*.png."""

from __future__ import annotations

from pathlib import Path

from . import fields
from .aims import aims
from .formatting import SHARP, STAGES, count, secs, sig, title, yes
from .suite import VARIANTS, variant_name
from .summary import summary

COMMAND = "bash bench/run_peers.sh"
COLOURS = {"karvex, gradients": "#1f77b4", "karvex, no gradients": "#7fb8e6",
           "scikit-image MC": "#d62728", "manifold3d level_set": "#2ca02c"}


def replace_fields(results: dict, other: dict) -> dict:
    """``results`` with the rows (and batch-size probes) of every field that ``other``
    ran taken from ``other``; the page names the second run."""
    fields_there = {r["field"] for r in other["rows"]}
    merged = dict(results)
    merged["rows"] = ([r for r in results["rows"] if r["field"] not in fields_there]
                      + other["rows"])
    merged["batch_size"] = {**results.get("batch_size", {}), **other.get("batch_size", {})}
    merged["second_run"] = {"fields": sorted(fields_there), "date": other["machine"]["date"],
                            "minutes": other["seconds"] / 60, "load": other.get("load"),
                            "cap": other["cap"]}
    return merged


def _second_run(results: dict) -> list[str]:
    second = results.get("second_run")
    if not second:
        return []
    load = second.get("load")
    load_text = (f", 1-minute load average {load[0]:.1f} at the start and {load[1]:.1f} at "
                 "the end" if load else "")
    return ["", f"The rows of {', '.join(second['fields'])} come from a second run "
            f"({second['date']}, {second['minutes']:.1f} minutes{load_text}, cap "
            f"{second['cap']:.0f} s), and so do the aims that use them.", ""]


# --- aims ---------------------------------------------------------------------------------

def _load(results: dict) -> str:
    """The machine's load when the run began and ended: other work on the machine makes
    the times noisier."""
    if "load" not in results:
        return ""
    before, after = results["load"]
    return f"; 1-minute load average {before:.1f} at the start, {after:.1f} at the end"


# --- tables -------------------------------------------------------------------------------

def _cost_table(rows, name) -> list[str]:
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


def _accuracy_table(rows, name, exact: bool, sharp: bool) -> list[str]:
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


def _stage_table(stages) -> list[str]:
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


# --- plots --------------------------------------------------------------------------------

def plot_field(rows, name: str, path: Path) -> bool:
    """Error against time and against evaluations, one curve per tool; False when the
    rows carry no error to plot."""
    mine = [r for r in rows if r["field"] == name]
    if any(r.get("chamfer") is not None for r in mine):
        error, label = "chamfer", "Chamfer distance"
    elif any(r.get("mesh_to_surface_mean") is not None for r in mine):
        error, label = "mesh_to_surface_mean", "mean distance, mesh to surface"
    else:
        return False
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [("wall", error, "wall time, s", label),
              ("points", error, "points evaluated", label)]
    if any(r.get("edge_chamfer") is not None for r in mine):
        panels.append(("wall", "edge_chamfer", "wall time, s", "edge Chamfer distance"))
    fig, axes = plt.subplots(1, len(panels), figsize=(3.6 * len(panels), 3.0), dpi=90)
    for ax, (x, y, xlabel, ylabel) in zip(axes, panels):
        for tool, gradients in VARIANTS:
            label = variant_name(tool, gradients)
            pts = sorted((r["depth"], r[x], r[y]) for r in rows
                         if (r["tool"], r["field"], r["gradients"]) == (tool, name, gradients)
                         and r.get(y) is not None and r.get(x) is not None and r[x] > 0)
            if not pts:
                continue
            ax.plot([p[1] for p in pts], [p[2] for p in pts], "o-", ms=3.5, lw=1.3,
                    color=COLOURS[label], label=label)
            for d, px, py in pts:
                ax.annotate(str(d), (px, py), textcoords="offset points", xytext=(3, 3),
                            fontsize=6, color=COLOURS[label])
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel(xlabel, fontsize=8)
        ax.set_ylabel(ylabel, fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(True, which="major", lw=0.4, alpha=0.5)
    axes[0].legend(fontsize=6.5, loc="lower left")
    fig.suptitle(title(name) + " (numbers: depth d)", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True


# --- the page -----------------------------------------------------------------------------

def write(results: dict, docs: Path) -> Path:
    rows = results["rows"]
    images = docs / "images"
    images.mkdir(parents=True, exist_ok=True)
    m = results["machine"]
    depths = sorted({r["depth"] for r in rows})
    names = list(dict.fromkeys(r["field"] for r in rows))
    versions = ", ".join(f"{k} {v}" for k, v in m["versions"].items() if v)
    lines = [
        "# Benchmarks against the peers",
        "",
        "`extract_mesh` side by side with what our users would otherwise reach for, on the",
        "same fields and at the same finest cell size, all from one run:",
        "",
        "- **scikit-image marching cubes** on a dense grid: the field evaluated with one "
        "batched call per x-slab into a float32 volume, then `skimage.measure.marching_cubes` "
        "(what most users do today);",
        "- **manifold3d `Manifold.level_set`**: a per-point callable, marching tetrahedra on a "
        "body-centred cubic grid, closed-manifold output;",
        "- **karvex** (`extract_mesh`, `adaptive=False`, `min_depth=4`), with the field's "
        "analytic gradients and without them (then the module estimates them by central "
        "differences).",
        "",
        f"Every field lives in the cube [-5, 5]^3 (side L = 10). Depth d means finest cell side "
        f"h = L / 2^d for all tools: our `max_depth = d`, a dense grid of 2^d + 1 samples per "
        f"axis, and manifold's edge length h. Depths run: {', '.join(map(str, depths))}.",
        "",
        "## Regenerating",
        "",
        "```bash",
        COMMAND,
        "```",
        "",
        "creates (or reuses) the virtual environment `.venv-bench` with "
        "[bench/requirements.txt](../bench/requirements.txt), builds the module and the C++ "
        "stage timer in `build/peers`, runs every case in a process of its own, and rewrites "
        "this page and `docs/images/bench_*.png`. It takes about "
        f"{results['seconds'] / 60:.0f} minutes here. Options after the command go to "
        "`python -m bench.peers` (for example `--depths 6 7 --fields sphere torus`, or "
        "`--report-only` to redraw this page from the saved results).",
        "",
        "## Machine and versions",
        "",
        "| | |",
        "|---|---|",
        f"| CPU | {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB |",
        f"| system | {m['system']} |",
        f"| Python | {m['python']} |",
        f"| compiler | {m['compiler']} |",
        f"| packages | {versions} |",
        f"| karvex | commit {m['commit']}, {results['workers']} worker threads |",
        f"| run | {m['date']}, {results['seconds'] / 60:.1f} minutes{_load(results)} |",
        *_second_run(results),
        "",
        "## Aims",
        "",
        "| aim | measured | verdict |",
        "|---|---|---|",
        *[f"| {a} | {b} | {c} |" for a, b, c in aims(results)],
        "",
        "## Method",
        "",
        "- **Time**: wall time of one whole meshing call, from the field to the two arrays, "
        "median of 5 runs after a warm-up run at the same depth; when a run was predicted "
        "(from the depth before) to take over 2 s, 3 runs, and over 8 s one run, each after "
        "a warm-up at depth 6 (imports, worker pool); manifold3d always warms up at the "
        "same depth, in the run that counts its points. The number of runs is in brackets. "
        f"A case whose timed runs (and counting run) are predicted to take more than "
        f"{results['cap']:.0f} s ({results.get('manifold_cap', results['cap']):.0f} s for "
        "manifold3d, to keep the whole run near half an hour) is skipped, and so is every "
        "deeper one; the reason is in the table.",
        "- **Threads**: BLAS pinned to one thread (`OPENBLAS_NUM_THREADS=1` and the like) "
        f"in every process; our module runs {results['workers']} worker threads "
        "(`RAYON_NUM_THREADS`). scikit-image's marching cubes and manifold3d's level set "
        "with a Python callback run on one thread.",
        "- **Field cost**: `in eval_fn` is the time spent inside the field, measured around "
        "each batched call; for manifold3d timing each of millions of per-point callbacks "
        "would distort the run, so it is not measured. Points are counted per call; "
        "manifold's in an untimed counting run (counting costs about a tenth of the time of "
        "its cheapest field). The dense pipeline calls the values-only form of the field "
        "(marching cubes cannot use gradients), so it does not pay for gradients.",
        "- **Memory**: peak resident set size of the process (`VmHWM`), each case in a "
        "fresh process that has imported only NumPy, the field and the one tool under test.",
        "- **Reference**: 200 000 points drawn uniformly by area on the true surface (uniform "
        "draws in a thin shell around it, kept with probability proportional to the gradient "
        "length, then Newton steps onto the surface); 20 000 points uniform by length on the "
        "true sharp edges of the two sharp shapes.",
        "- **Chamfer distance**: mean of two means, mesh to surface (200 000 points uniform by "
        "area on the mesh, distance |f| / |grad f|, exact for a distance field) and surface "
        "to mesh (exact point-to-triangle distance). **Hausdorff**: the larger maximum "
        "(mesh vertices included). **F-score** at tau = "
        f"{results['tau']:g} (L / 1000). **Edge Chamfer**: mean distance from the "
        "edge points to the mesh; **edge max** its maximum. All distances are in world "
        "units.",
        "- **Normal consistency**: mean |cos| of the angle between a triangle's normal and the "
        "field's gradient at the mesh samples. **Closed, oriented**: every edge shared by "
        "exactly two triangles and each directed edge used once, by vertex index as "
        "returned (triangles that repeat an index left out). **Share < 10°**: triangles "
        "whose smallest angle is below 10 degrees. **|f|/h** at the vertices, only for exact "
        "distance fields.",
        "",
        "## Results",
        "",
    ]
    for stale in images.glob("bench_*.png"):
        stale.unlink()  # the page shows this run's fields only
    for name in names:
        field = fields.make(name)
        image = images / f"bench_{name}.png"
        lines += [f"### {field.title}", ""]
        if plot_field(rows, name, image):
            lines += [f"![{field.title}: error against time and evaluations]"
                      f"(images/{image.name})", ""]
        lines += [*_cost_table(rows, name), "",
                  *_accuracy_table(rows, name, field.exact_sdf, name in SHARP), ""]
    lines += ["## Where our time goes", "",
              "Stage times outside the field, from the C++ stage timer "
              "(`bench/extract_stages.cpp`: a C++ sphere of radius 0.8 in [-1, 1]^3, fastest "
              "of 3 extractions, milliseconds; `build` is the octree construction):", "",
              *_stage_table(results.get("stages", [])), ""]
    lines += _field_share(rows, depths[-1])
    lines += _batch_table(results.get("batch_size", {}))
    lines += ["", "## Summary", "", *summary(results), ""]
    path = docs / "benchmarks.md"
    path.write_text("\n".join(lines), encoding="utf-8")
    return path


def _field_share(rows, depth) -> list[str]:
    out = [f"Time inside and outside `eval_fn` in the Python runs at d = {depth} "
           "(karvex with gradients):", "",
           "| field | wall s | in eval_fn s | outside s | outside ns per triangle |",
           "|---|---|---|---|---|"]
    for r in rows:
        if r["tool"] == "karvex" and r["gradients"] and r["depth"] == depth and "wall" in r:
            outside = r["wall"] - r["field_seconds"]
            out.append(f"| {r['field']} | {secs(r['wall'])} | {secs(r['field_seconds'])} "
                       f"| {secs(outside)} | {outside / max(r['triangles'], 1) * 1e9:.0f} |")
    return out


def _batch_table(probes: dict) -> list[str]:
    probes = {k: v for k, v in probes.items() if "values_whole" in v}
    if not probes:
        return []
    out = ["", "What one point of the field costs in NumPy, ns, evaluated as one batch of 2 M "
           "points (as our module hands over a stage's points) and in chunks of 65 536 "
           "(the dense pipeline's slabs hold 66 k points at d = 8), fastest of 3:", "",
           "| field | values, one batch | values, chunks | with gradients, one batch "
           "| with gradients, chunks |", "|---|---|---|---|---|"]
    for name, p in probes.items():
        out.append(f"| {name} | {p['values_whole']:.0f} | {p['values_chunked']:.0f} "
                   f"| {p['gradients_whole']:.0f} | {p['gradients_chunked']:.0f} |")
    return out


