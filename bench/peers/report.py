"""Fills the generated blocks of docs/benchmarks.md from one suite run and draws
docs/images/bench_*.png.

The page is written by hand. The generator owns only what lies between a line
``<!-- generated: NAME -->`` and the next ``<!-- end generated -->``, and replaces
that in place: the prose around the blocks, and blocks of names it does not write,
stay exactly as they are. Every block it writes must be on the page.
"""

from __future__ import annotations

import re
from pathlib import Path

from . import fields, tables
from .aims import aims_table
from .suite import VARIANTS, variant_name

COLOURS = {"karvex, gradients": "#1f77b4", "karvex, no gradients": "#7fb8e6",
           "scikit-image MC": "#d62728", "manifold3d level_set": "#2ca02c"}
BLOCK = re.compile(r"^(<!-- generated: ([\w-]+) -->\n)(.*?)^(<!-- end generated -->)$",
                   re.M | re.S)


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
    fig.suptitle(tables.title(name) + " (numbers: depth d)", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True


def results_block(rows, images: Path) -> list[str]:
    """One section per field: its plot, its cost table and its accuracy table."""
    for stale in images.glob("bench_*.png"):
        stale.unlink()  # the page shows this run's fields only
    lines: list[str] = []
    for name in dict.fromkeys(r["field"] for r in rows):
        field = fields.make(name)
        image = images / f"bench_{name}.png"
        lines += [f"### {field.title}", ""]
        if plot_field(rows, name, image):
            lines += [f"![{field.title}: error against time and evaluations]"
                      f"(images/{image.name})", ""]
        lines += [*tables.cost_table(rows, name), "",
                  *tables.accuracy_table(rows, name, field.exact_sdf, name in tables.SHARP), ""]
    return lines[:-1]


def blocks(results: dict, images: Path) -> dict[str, list[str]]:
    """The content of every generated block of the page, by name."""
    rows = results["rows"]
    return {
        "run": tables.run_table(results),
        "aims": aims_table(results),
        "results": results_block(rows, images),
        "stages": tables.stage_table(results.get("stages", [])),
        "field-share": tables.field_share_table(rows),
        "batch-size": tables.batch_table(results.get("batch_size", {})),
        "summary": tables.summary_table(rows),
        "dominance": tables.dominance_table(rows),
    }


def fill(page: str, content: dict[str, list[str]]) -> str:
    """``page`` with the blocks named in ``content`` replaced; raises ValueError naming
    the blocks the page lacks."""
    missing = sorted(set(content) - {m.group(2) for m in BLOCK.finditer(page)})
    if missing:
        raise ValueError(f"the page has no block for {', '.join(missing)}: add a line "
                         f"'<!-- generated: {missing[0]} -->' and a line "
                         "'<!-- end generated -->' where it belongs")

    def replace(m: re.Match) -> str:
        if m.group(2) not in content:
            return m.group(0)
        return m.group(1) + "\n" + "\n".join(content[m.group(2)]) + "\n\n" + m.group(4)

    return BLOCK.sub(replace, page)


def write(results: dict, docs: Path) -> Path:
    """Rewrites the generated blocks of ``docs/benchmarks.md`` (a page of bare blocks
    when there is none yet) and the plots; returns the page's path."""
    images = docs / "images"
    images.mkdir(parents=True, exist_ok=True)
    content = blocks(results, images)
    path = docs / "benchmarks.md"
    if path.exists():
        page = path.read_text(encoding="utf-8")
    else:
        page = "# Benchmarks against the peers\n" + "".join(
            f"\n<!-- generated: {name} -->\n<!-- end generated -->\n" for name in content)
    path.write_text(fill(page, content), encoding="utf-8")
    return path
