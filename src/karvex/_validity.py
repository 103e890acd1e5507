"""Is a triangle mesh a valid solid? Exact counts of everything that says no.

A closed, oriented 2-manifold without self-intersections has: every edge in
exactly two triangles, each directed edge once, the triangles round every
vertex forming one fan, no triangle with a repeated index or zero area, and no
two triangles meeting anywhere but at the vertices and edges they share.
:func:`check` counts the violations of each. The topological ones are counted
here with NumPy; the geometric ones (zero area, self-intersections) come from
the core (``src/core/validity``, through ``karvex._native``), which decides
them with exact orientation predicates, never a tolerance, on the worker
pool.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

# Bound at import: the extension's one entry for geometry, apart from the
# meshing call that tests may stand in for.
from karvex._engine import _native_module

__all__ = ["MeshCheck", "check", "geometry", "intersecting_pairs", "is_one_sheet"]

IntArray = NDArray[np.int64]
FloatArray = NDArray[np.float64]
BoolArray = NDArray[np.bool_]


@dataclass(frozen=True)
class MeshCheck:
    """The defects of a triangle mesh, counted exactly.

    Attributes
    ----------
    boundary_edges : int
        Edges in one triangle only (an open mesh; zero for a closed one).
    nonmanifold_edges : int
        Edges in three or more triangles.
    misoriented_edges : int
        Directed edges that occur in more than one triangle (neighbours wound
        inconsistently, or a non-manifold edge).
    nonmanifold_vertices : int
        Vertices whose triangles form more than one fan.
    repeated_index_faces : int
        Triangles that use a vertex twice.
    zero_area_faces : int
        Triangles with three distinct but collinear (or equal) corners.
    intersecting_pairs : int
        Pairs of triangles that meet other than at the vertices and the edge
        they share.
    intersecting_faces : int
        Triangles in at least one such pair.
    """

    boundary_edges: int
    nonmanifold_edges: int
    misoriented_edges: int
    nonmanifold_vertices: int
    repeated_index_faces: int
    zero_area_faces: int
    intersecting_pairs: int
    intersecting_faces: int

    @property
    def is_valid(self) -> bool:
        """True for a closed, oriented 2-manifold without self-intersections,
        degenerate triangles or repeated indices."""
        return all(value == 0 for value in vars(self).values())

    @property
    def is_valid_with_boundary(self) -> bool:
        """Like :attr:`is_valid` but allowing boundary edges (a surface cut open
        by the box it was meshed in)."""
        counts = dict(vars(self))
        counts.pop("boundary_edges")
        return all(value == 0 for value in counts.values())


def check(vertices: FloatArray, faces: IntArray) -> MeshCheck:
    """Count the defects of the mesh ``(vertices, faces)``; see :class:`MeshCheck`."""
    repeated = _repeated_index(faces)
    boundary, nonmanifold, misoriented = _edge_counts(faces)
    pairs, zero_area = geometry(vertices, faces)
    return MeshCheck(
        boundary_edges=boundary,
        nonmanifold_edges=nonmanifold,
        misoriented_edges=misoriented,
        nonmanifold_vertices=int((fan_counts(faces, len(vertices)) > 1).sum()),
        repeated_index_faces=int(repeated.sum()),
        zero_area_faces=int(zero_area.sum()),
        intersecting_pairs=len(pairs),
        intersecting_faces=len(np.unique(pairs)),
    )


# -- topology -------------------------------------------------------------


def _repeated_index(faces: IntArray) -> BoolArray:
    repeated: BoolArray = (faces[:, 0] == faces[:, 1]) | (faces[:, 1] == faces[:, 2]) | (faces[:, 2] == faces[:, 0])
    return repeated


def directed_edges(faces: IntArray) -> tuple[IntArray, IntArray]:
    """Heads and tails of the 3F directed edges; edge 3f + k runs from corner k
    of face f to corner k + 1."""
    return faces.reshape(-1), faces[:, [1, 2, 0]].reshape(-1)


def _edge_counts(faces: IntArray) -> tuple[int, int, int]:
    keep = ~_repeated_index(faces)
    heads, tails = directed_edges(faces[keep])
    if len(heads) == 0:
        return 0, 0, 0
    undirected = np.unique(np.stack([np.minimum(heads, tails), np.maximum(heads, tails)], 1), axis=0, return_counts=True)[1]
    directed = np.unique(np.stack([heads, tails], 1), axis=0, return_counts=True)[1]
    return int((undirected == 1).sum()), int((undirected > 2).sum()), int((directed > 1).sum())


def fan_counts(faces: IntArray, vertex_count: int) -> IntArray:
    """The number of fans round each vertex (none for a vertex in no face).

    The corners at a vertex are one fan when they are joined across the
    edges at it that exactly two triangles share in opposite directions
    (triangles with a repeated index are left out).
    """
    labels = corner_fans(faces, manifold_edge_links(faces))
    proper = np.repeat(~_repeated_index(faces), 3)
    pairs = np.unique(np.stack([faces.reshape(-1)[proper], labels[proper]], 1), axis=0)
    return np.bincount(pairs[:, 0], minlength=vertex_count)


def corner_fans(faces: IntArray, links: IntArray) -> IntArray:
    """A fan label per corner (node 3f + k is corner k of face f).

    ``links`` is an (m, 2) array of directed-edge numbers (3f + k, the edge
    from corner k to corner k + 1) used in opposite directions by two faces
    of the same sheet; their corners at each end are joined.
    """
    e1, e2 = links[:, 0], links[:, 1]
    tail1 = 3 * (e1 // 3) + (e1 % 3 + 1) % 3
    tail2 = 3 * (e2 // 3) + (e2 % 3 + 1) % 3
    # e1 runs a -> b and e2 runs b -> a: the head of each meets the tail of the other.
    return _components(faces.size, np.concatenate([e1, tail1]), np.concatenate([tail2, e2]))


def is_one_sheet(vertices: FloatArray, faces: IntArray) -> bool:
    """Whether every edge is in at most two triangles (wound opposite ways
    when in two), no triangle repeats a vertex and every vertex's triangles
    are one fan; from the core, in linear time."""
    return bool(
        _native_module().is_one_sheet(
            np.ascontiguousarray(vertices, dtype=np.float64), np.ascontiguousarray(faces, dtype=np.int64)
        )
    )


def manifold_edge_links(faces: IntArray) -> IntArray:
    """Pairs of directed edges (3f + k) that are the two uses, in opposite
    directions, of an edge no other triangle uses."""
    heads, tails = directed_edges(faces)
    lo, hi = np.minimum(heads, tails), np.maximum(heads, tails)
    order = np.lexsort((heads > tails, hi, lo))
    lo_s, hi_s = lo[order], hi[order]
    same = (lo_s[1:] == lo_s[:-1]) & (hi_s[1:] == hi_s[:-1])
    start = np.concatenate(([True], ~same))
    starts = np.flatnonzero(start)
    counts = np.diff(np.append(starts, len(order)))
    two = starts[counts == 2]
    first, second = order[two], order[two + 1]
    opposite = heads[first] == tails[second]
    repeated = _repeated_index(faces)
    fine = opposite & ~repeated[first // 3] & ~repeated[second // 3]
    return np.stack([first[fine], second[fine]], 1)


def _components(count: int, a: IntArray, b: IntArray) -> IntArray:
    """Connected components of the graph on ``count`` nodes with edges a-b,
    labelled by their smallest node (hooking and pointer jumping)."""
    parent = np.arange(count, dtype=np.int64)
    while True:
        ra, rb = parent[a], parent[b]
        differ = ra != rb
        if not differ.any():
            return parent
        np.minimum.at(parent, np.maximum(ra[differ], rb[differ]), np.minimum(ra[differ], rb[differ]))
        while True:
            jumped = parent[parent]
            if np.array_equal(jumped, parent):
                break
            parent = jumped


# -- geometry -------------------------------------------------------------


def geometry(
    vertices: FloatArray, faces: IntArray, subset: BoolArray | None = None
) -> tuple[IntArray, BoolArray]:
    """The improperly meeting pairs (i < j, sorted) and a mask of the zero-area
    triangles, from the core's exact test.

    Triangles with a repeated index or zero area take no part in the pairs;
    with ``subset``, only pairs with at least one triangle in it are tested.
    """
    native = _native_module()
    pairs, zero_area = native.self_intersections(
        np.ascontiguousarray(vertices, dtype=np.float64),
        np.ascontiguousarray(faces, dtype=np.int64),
        None if subset is None else np.ascontiguousarray(subset, dtype=bool),
    )
    return pairs, zero_area


def intersecting_pairs(vertices: FloatArray, faces: IntArray, subset: BoolArray | None = None) -> IntArray:
    """The pairs (i < j) of triangles that meet other than where they share
    vertices or an edge, as an (m, 2) array in increasing order (see
    :func:`geometry`)."""
    return geometry(vertices, faces, subset)[0]
