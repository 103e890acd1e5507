"""Finding a result row and writing its numbers the way the benchmark page does."""

from __future__ import annotations

from . import fields

# The fields whose true sharp edges are sampled (edge Chamfer columns and aims).
SHARP = ("rotated_box", "box_hole")
# The columns of the C++ stage timer, in the order the stages run.
STAGES = ["build", "cells", "crossings", "locate", "normals", "qefs", "solve", "emit",
          "projection", "faces", "cleanup"]


def find_row(rows, tool, field, depth, gradients=False):
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
