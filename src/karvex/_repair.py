"""Make a contoured mesh a valid solid, changing as little as it can.

Dual Contouring places one vertex per cell (or per sheet slot of a cell) and
joins them round sign-changing edges. Three things can break the solid:

* a triangle whose corners are one vertex twice (a quad folded onto a
  vertex shared by two of its cells): it adds each of its real edges once in
  each direction, so dropping it keeps the edge counts balanced;
* one vertex or edge used by two sheets of surface that touch inside a cell
  (cell faces with an ambiguous sign pattern, walls thinner than a cell):
  each sheet gets its own copy, and round an edge used by several triangle
  pairs the triangles are paired by their angle round the edge, each pair
  enclosing the same wedge of the solid;
* vertices placed where their triangles fold through others (the
  least-squares solution away from the crossings it came from, a thin wall's
  two sides meeting), or so that a triangle has zero area. Such vertices, found
  by the exact test of :mod:`karvex._validity`, move towards the mean of their
  neighbours, which flattens a fold; they move again, with their neighbours
  after a few rounds, until no pair intersects.

The second step leaves copies at one place, which the third then separates
(two sheets touching at a point would count as an intersection).

If the last step does not reach zero within its rounds, :func:`repair` says
so in its result (the caller warns); it never reports an invalid mesh as
valid.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from karvex._engine import _native_module
from karvex._validity import (
    _repeated_index,
    corner_fans,
    directed_edges,
    is_one_sheet,
)

__all__ = ["Repaired", "repair"]

IntArray = NDArray[np.int64]
FloatArray = NDArray[np.float64]

_ROUNDS = 80


@dataclass(frozen=True)
class Repaired:
    vertices: FloatArray
    faces: IntArray
    split_vertices: int  # copies made for second sheets
    moved_vertices: int  # vertices moved at least once
    unresolved_faces: int  # faces still intersecting or of zero area (0: valid)


def repair(
    vertices: FloatArray, faces: IntArray, rounds: int = _ROUNDS, max_move: float | None = None
) -> Repaired:
    """The mesh with repeated-index faces dropped, sheets split apart and folds
    relaxed; the input arrays are not changed. With ``max_move``, vertices
    move by at most that much where that repairs the mesh; folds that it
    cannot repair are then relaxed without the bound (validity comes first).
    """
    if is_one_sheet(vertices, faces):
        # Nothing to drop, copy or part (the usual case): only folds to find.
        vertices, moved, unresolved = _relax_within(vertices, faces, rounds, None, max_move)
        return Repaired(vertices, faces, 0, moved, unresolved)
    faces = faces[~_repeated_index(faces)]
    if len(faces) == 0:
        return Repaired(vertices, faces, 0, 0, 0)
    count = len(vertices)
    vertices, faces, split = split_sheets(vertices, faces)
    vertices, faces, parted = part_shared_edges(vertices, faces)
    split += parted
    # The copies and what they were copied from move first.
    first = np.zeros(len(vertices), dtype=bool)
    first[count:] = True
    first[_originals(vertices, count)] = True
    vertices, moved, unresolved = _relax_within(vertices, faces, rounds, first, max_move)
    return Repaired(vertices, faces, split, moved, unresolved)


def _relax_within(
    vertices: FloatArray, faces: IntArray, rounds: int, first: NDArray[np.bool_] | None, max_move: float | None
) -> tuple[FloatArray, int, int]:
    """:func:`relax_folds` within ``max_move``, then without it if folds are left."""
    relaxed, moved, unresolved = relax_folds(vertices, faces, rounds, first, max_move)
    if unresolved and max_move is not None:
        relaxed, _, unresolved = relax_folds(relaxed, faces, rounds, first)
        moved = int((relaxed != vertices).any(axis=1).sum())
    return relaxed, moved, unresolved


def split_sheets(vertices: FloatArray, faces: IntArray) -> tuple[FloatArray, IntArray, int]:
    """One vertex per fan: vertices used by several sheets are copied.

    Returns the new vertices (the originals first, then the copies at the
    positions of their originals), the faces using them and the number of
    copies.
    """
    if len(faces) == 0:
        return vertices, faces, 0
    labels = corner_fans(faces, sheet_links(vertices, faces))
    corner_vertex = faces.reshape(-1)
    # (vertex, fan) pairs as one integer each (labels are corner numbers,
    # below faces.size), sorted as the pairs would be and much faster.
    span = faces.size
    packed, first, inverse = np.unique(corner_vertex * span + labels, return_index=True, return_inverse=True)
    keys = np.stack([packed // span, packed % span], 1)
    inverse = inverse.reshape(-1)
    # the fan holding a vertex's first corner keeps it; other fans get copies
    order = np.lexsort((first, keys[:, 0]))
    is_first = np.concatenate(([True], keys[order][1:, 0] != keys[order][:-1, 0]))
    new_index = np.empty(len(keys), dtype=np.int64)
    new_index[order[is_first]] = keys[order][is_first, 0]
    copies = order[~is_first]
    new_index[copies] = len(vertices) + np.arange(len(copies))
    if len(copies) == 0:
        return vertices, faces, 0
    new_vertices = np.concatenate([vertices, vertices[keys[copies, 0]]])
    new_faces = new_index[inverse].reshape(-1, 3)
    return new_vertices, new_faces, len(copies)


def _edge_groups(
    faces: IntArray,
) -> tuple[IntArray, IntArray, IntArray, IntArray, IntArray, IntArray]:
    """The directed edges (3f + k) grouped by undirected edge.

    Returns heads, tails, the order that sorts the edges by (low, high)
    vertex, each group's start in that order, its size, and how many of its
    edges run from the lower vertex to the higher.
    """
    heads, tails = directed_edges(faces)
    lo, hi = np.minimum(heads, tails), np.maximum(heads, tails)
    order = np.lexsort((hi, lo))
    lo_s, hi_s = lo[order], hi[order]
    starts = np.flatnonzero(np.concatenate(([True], (lo_s[1:] != lo_s[:-1]) | (hi_s[1:] != hi_s[:-1]))))
    counts = np.diff(np.append(starts, len(order)))
    forward = np.add.reduceat((heads < tails)[order].astype(np.int64), starts)
    return heads, tails, order, starts, counts, forward


def sheet_links(vertices: FloatArray, faces: IntArray) -> IntArray:
    """Pairs of directed edges (3f + k) that continue one sheet across an edge.

    An edge used once in each direction joins its two triangles. An edge used
    by several triangles, as often in each direction, joins each triangle
    wound against the edge's direction (low to high vertex number) with the
    next triangle counter-clockwise round it, which is wound along it: the
    solid lies between the two. Edges used unevenly join nothing.
    """
    heads, tails, order, starts, counts, forward_total = _edge_groups(faces)
    balanced = 2 * forward_total == counts
    two = starts[(counts == 2) & balanced]
    links = [np.stack([order[two], order[two + 1]], 1)]
    for start, count in zip(starts[(counts > 2) & balanced], counts[(counts > 2) & balanced], strict=True):
        links.append(_pair_round_edge(vertices, faces, heads, tails, order[start : start + count]))
    return np.concatenate(links).astype(np.int64)


def _pair_round_edge(
    vertices: FloatArray, faces: IntArray, heads: IntArray, tails: IntArray, edges: IntArray
) -> IntArray:
    low = min(heads[edges[0]], tails[edges[0]])
    high = max(heads[edges[0]], tails[edges[0]])
    axis = vertices[high] - vertices[low]
    axis = axis / max(float(np.linalg.norm(axis)), np.finfo(float).tiny)
    helper = np.eye(3)[int(np.argmin(np.abs(axis)))]
    e1 = np.cross(axis, helper)
    e1 /= np.linalg.norm(e1)
    e2 = np.cross(axis, e1)  # e1, e2, axis right-handed
    face = edges // 3
    third = faces[face, (edges % 3 + 2) % 3]
    offset = vertices[third] - vertices[low]
    angle = np.arctan2(offset @ e2, offset @ e1)
    ring = edges[np.argsort(angle, kind="stable")]
    forward = heads[ring] == low
    # A forward triangle's outward normal turns counter-clockwise round the
    # axis, so the solid lies clockwise of it: between a backward triangle
    # and the next forward one. Start the pairing at a backward triangle.
    start = int(np.argmin(forward))
    ring = np.roll(ring, -start)
    forward = np.roll(forward, -start)
    if not (forward[1::2].all() and not forward[0::2].any()):
        # Not alternating (the sheets already cross here): any balanced pairing.
        return np.stack([ring[~forward], ring[forward]], 1)
    return np.stack([ring[0::2], ring[1::2]], 1)


def part_shared_edges(vertices: FloatArray, faces: IntArray) -> tuple[FloatArray, IntArray, int]:
    """Give every sheet but one its own copy of an edge that several use.

    After :func:`split_sheets` an edge can still be used by two sheets when
    one fan round each of its ends passes it twice (a tunnel pinched to one
    edge). Each extra pair of triangles across it (paired as in
    :func:`sheet_links`) is split at a new vertex at the edge's midpoint,
    (a, b, x) into (a, m, x) and (m, b, x) and (b, a, y) into (b, m, y) and
    (m, a, y): orientation and edge counts stay consistent, and the new vertex
    is moved off the other sheet by :func:`relax_folds`. Returns the vertices
    (new ones appended), the faces (split ones in place, halves appended) and
    the number of new vertices.
    """
    added = 0
    while True:
        heads, tails, order, starts, counts, forward = _edge_groups(faces)
        crowded = (counts > 2) & (2 * forward == counts)
        if not crowded.any():
            return vertices, faces, added
        new_vertices: list[FloatArray] = []
        new_faces: list[IntArray] = []
        faces = faces.copy()
        touched = np.zeros(len(faces), dtype=bool)
        for start, count in zip(starts[crowded], counts[crowded], strict=True):
            edges = order[start : start + count]
            if touched[edges // 3].any():
                continue  # a face split this pass; the edge is seen again next pass
            pairs = _pair_round_edge(vertices, faces, heads, tails, edges)
            for e1, e2 in pairs[1:]:
                m = len(vertices) + len(new_vertices)
                a, b = faces[e1 // 3, e1 % 3], faces[e1 // 3, (e1 % 3 + 1) % 3]
                x = faces[e1 // 3, (e1 % 3 + 2) % 3]
                y = faces[e2 // 3, (e2 % 3 + 2) % 3]
                new_vertices.append(0.5 * (vertices[a] + vertices[b]))
                faces[e1 // 3] = (a, m, x)
                faces[e2 // 3] = (b, m, y)
                new_faces += [np.array([m, b, x]), np.array([m, a, y])]
                touched[[e1 // 3, e2 // 3]] = True
        if new_vertices:
            vertices = np.concatenate([vertices, np.array(new_vertices)])
            faces = np.concatenate([faces, np.array(new_faces, dtype=np.int64)])
            added += len(new_vertices)
        elif not touched.any():
            return vertices, faces, added


def _originals(vertices: FloatArray, count: int) -> IntArray:
    """The vertices below ``count`` at the place of a vertex from ``count`` on."""
    if len(vertices) == count:
        return np.zeros(0, dtype=np.int64)
    rows = np.ascontiguousarray(vertices).view(np.dtype((np.void, 24))).reshape(-1)
    return np.flatnonzero(np.isin(rows[:count], rows[count:]))


def relax_folds(
    vertices: FloatArray,
    faces: IntArray,
    rounds: int,
    first: NDArray[np.bool_] | None = None,
    max_move: float | None = None,
) -> tuple[FloatArray, int, int]:
    """Move the vertices of intersecting and zero-area triangles towards their
    neighbours' mean until none is left or ``rounds`` have passed (in the
    core: ``src/core/validity/repair``).

    Vertices marked ``first`` are moved before any other corner of the same
    bad triangles. With ``max_move`` a vertex stops on the sphere of that
    radius round its starting point (a simplified mesh keeps within its
    tolerance); a triangle that stays bad then moves its other corners, and
    later a patch round it, as any stubborn fold does. Returns the positions,
    how many vertices moved and how many triangles are still bad (0 when the
    result is free of both).
    """
    relaxed, moved, unresolved = _native_module().relax_folds(
        np.ascontiguousarray(vertices, dtype=np.float64),
        np.ascontiguousarray(faces, dtype=np.int64),
        rounds=rounds,
        first=None if first is None else np.ascontiguousarray(first, dtype=bool),
        max_move=max_move,
    )
    return relaxed, int(moved), int(unresolved)
