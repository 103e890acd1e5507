"""Boxes that contain shapes: what every field's ``bounds`` is made of.

A field's ``bounds`` is an axis-aligned box ``((x0, y0, z0), (x1, y1, z1))``
containing its solid (the points where it is negative), or None for a
solid that reaches infinity (a plane, a gyroid, a complement). The box need
not be tight; :func:`karvex.mesh` uses it, padded by a cell, when it is given
no box. Operations combine their operands' boxes:

- union: the box around all of them (None if any is None);
- intersection: the overlap of those that are bounded (None if none is); a
  difference is the intersection with complements, so it has its left
  operand's box;
- smooth union: the union's box grown by the blend radius on every side (the
  blend adds material only where both operands are within the radius);
- a rigid motion or scale: the box around the moved corners of the box.
"""

from __future__ import annotations

import itertools
from collections.abc import Iterable
from typing import TypeAlias

import numpy as np

from karvex.sdf._vectors import Array

__all__ = ["Bounds", "around", "enclose", "grow", "make", "overlap", "transformed"]

Bounds: TypeAlias = tuple[tuple[float, float, float], tuple[float, float, float]]
"""``((x0, y0, z0), (x1, y1, z1))``, lower corner first."""


def make(low: Array | Iterable[float], high: Array | Iterable[float]) -> Bounds:
    """Bounds from two corners, as tuples of Python floats."""
    lo = [float(c) for c in low]
    hi = [float(c) for c in high]
    return (lo[0], lo[1], lo[2]), (hi[0], hi[1], hi[2])


def around(center: Array, half_extent: Array | float) -> Bounds:
    """The box ``center - half_extent`` to ``center + half_extent``."""
    return make(center - half_extent, center + half_extent)


def enclose(boxes: Iterable[Bounds | None]) -> Bounds | None:
    """The box around every one of ``boxes``; None when any is None."""
    collected = list(boxes)
    if any(b is None for b in collected):
        return None
    lows = np.array([b[0] for b in collected if b is not None])
    highs = np.array([b[1] for b in collected if b is not None])
    return make(lows.min(axis=0), highs.max(axis=0))


def overlap(boxes: Iterable[Bounds | None]) -> Bounds | None:
    """The common part of the boxes that are not None; None when all are.

    When the boxes do not overlap the solid is empty; the smallest of them
    is returned then, which still contains it.
    """
    known = [b for b in boxes if b is not None]
    if not known:
        return None
    low = np.max([b[0] for b in known], axis=0)
    high = np.min([b[1] for b in known], axis=0)
    if (low <= high).all():
        return make(low, high)
    sizes = [float(np.prod(np.subtract(b[1], b[0]))) for b in known]
    return known[int(np.argmin(sizes))]


def grow(box: Bounds | None, margin: float) -> Bounds | None:
    """``box`` with every face moved out by ``margin``."""
    if box is None:
        return None
    return make(np.subtract(box[0], margin), np.add(box[1], margin))


def transformed(box: Bounds | None, matrix: Array, offset: Array | float = 0.0) -> Bounds | None:
    """The box around the eight corners of ``box`` mapped by ``p -> matrix p + offset``."""
    if box is None:
        return None
    corners = np.array(list(itertools.product(*zip(box[0], box[1], strict=True))))
    moved = corners @ np.asarray(matrix).T + offset
    return make(moved.min(axis=0), moved.max(axis=0))
