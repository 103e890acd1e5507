"""Is a triangle mesh a valid solid? Exact counts of everything that says no.

A closed, oriented 2-manifold without self-intersections has: every edge in
exactly two triangles, each directed edge once, the triangles round every
vertex forming one fan, no triangle with a repeated index or zero area, and no
two triangles meeting anywhere but at the vertices and edges they share.
:func:`check` counts the violations of each; the geometric ones are decided
with the exact predicates of :mod:`karvex._predicates`, never a tolerance.

Self-intersections: candidate pairs are triangles whose bounding boxes
overlap, found through a uniform grid; each pair is then classified by the
number of vertices it shares:

* none: they meet iff an edge of one meets the other (closed sets). The
  intersection of two triangles is convex; its extreme points lie on the
  boundary of one of them, so on an edge of one inside the other.
* one, v: they meet beyond v iff the edge of either opposite v meets the
  other. Near v both are their wedges; along a ray from v inside both, the
  shorter of the two intervals ends on its triangle's opposite edge, inside
  the other triangle.
* two (an edge): they overlap iff they are coplanar with the third vertices
  on the same side of the edge.
* three: the same triangle twice.

Triangles with a repeated index or zero area are counted as such and left out
of the pair tests.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from karvex._predicates import orient2d, orient3d

__all__ = ["MeshCheck", "check", "intersecting_pairs"]

IntArray = NDArray[np.int64]
FloatArray = NDArray[np.float64]
BoolArray = NDArray[np.bool_]

# Candidate pairs from the grid are bounded by this many cell entries per
# triangle on average; a grid that would need more is made coarser.
_ENTRIES_PER_FACE = 16
_AXES_2D = np.array([[1, 2], [0, 2], [0, 1]])  # the axes kept when one is dropped


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
    degenerate = repeated.copy()
    degenerate[~repeated] = plane_axes(vertices, faces[~repeated]) < 0
    boundary, nonmanifold, misoriented = _edge_counts(faces)
    pairs = intersecting_pairs(vertices, faces, usable=~degenerate)
    return MeshCheck(
        boundary_edges=boundary,
        nonmanifold_edges=nonmanifold,
        misoriented_edges=misoriented,
        nonmanifold_vertices=int((fan_counts(faces, len(vertices)) > 1).sum()),
        repeated_index_faces=int(repeated.sum()),
        zero_area_faces=int((degenerate & ~repeated).sum()),
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


def plane_axes(vertices: FloatArray, faces: IntArray) -> IntArray:
    """Per triangle, an axis whose dropping projects it to a triangle of
    nonzero area (its normal's largest component tried first), or -1 when
    there is none: the triangle has zero area."""
    a, b, c = (vertices[faces[:, k]] for k in range(3))
    normal = np.cross(b - a, c - a)
    preference = np.argsort(-np.abs(normal), axis=1, kind="stable")
    result = np.full(len(faces), -1, dtype=np.int64)
    for rank in range(3):
        todo = result < 0
        if not todo.any():
            break
        axis = preference[todo, rank]
        kept = _AXES_2D[axis]
        rows = np.arange(len(faces))[todo]
        sign = orient2d(*(_project(p[rows], kept) for p in (a, b, c)))
        result[rows[sign != 0]] = axis[sign != 0]
    return result


def _project(points: FloatArray, kept: IntArray) -> FloatArray:
    return np.take_along_axis(points, kept, axis=1)


def intersecting_pairs(
    vertices: FloatArray,
    faces: IntArray,
    usable: BoolArray | None = None,
    subset: BoolArray | None = None,
) -> IntArray:
    """The pairs (i < j) of triangles that meet other than where they share
    vertices or an edge, as an (m, 2) array in increasing order.

    Only triangles marked ``usable`` (default: all, which then must have no
    repeated index and nonzero area) take part; with ``subset``, only pairs
    with at least one triangle in it are tested.
    """
    if usable is None:
        usable = np.ones(len(faces), dtype=bool)
    candidates = _candidate_pairs(vertices, faces, usable, subset)
    if len(candidates) == 0:
        return np.zeros((0, 2), dtype=np.int64)
    axes = np.full(len(faces), -1, dtype=np.int64)
    involved = np.unique(candidates)
    axes[involved] = plane_axes(vertices, faces[involved])
    found = candidates[_pairs_meet(vertices, faces, axes, candidates)]
    return found[np.lexsort((found[:, 1], found[:, 0]))]


def _candidate_pairs(
    vertices: FloatArray, faces: IntArray, usable: BoolArray, subset: BoolArray | None
) -> IntArray:
    """Pairs of usable triangles whose closed bounding boxes overlap."""
    ids = np.flatnonzero(usable)
    if len(ids) < 2:
        return np.zeros((0, 2), dtype=np.int64)
    corners = vertices[faces[ids]]
    lo, hi = corners.min(axis=1), corners.max(axis=1)
    origin = lo.min(axis=0)
    extent = float((hi.max(axis=0) - origin).max())
    size = float(np.median((hi - lo).max(axis=1)))
    size = max(size, extent * 2.0**-20, np.finfo(float).tiny)
    while True:
        # Monotone rounding: boxes sharing a point share that point's cell.
        first = np.floor((lo - origin) / size).astype(np.int64)
        last = np.floor((hi - origin) / size).astype(np.int64)
        spans = last - first + 1
        per_face = spans.prod(axis=1)
        if per_face.sum() <= _ENTRIES_PER_FACE * len(ids) or size >= extent:
            break
        size *= 2.0
    dims = last.max(axis=0) + 1
    owner = np.repeat(np.arange(len(ids)), per_face)
    offset = np.arange(len(owner)) - np.repeat(np.cumsum(per_face) - per_face, per_face)
    sy, sz = spans[owner, 1], spans[owner, 2]
    cell = first[owner] + np.stack([offset // (sy * sz), (offset // sz) % sy, offset % sz], 1)
    key = (cell[:, 0] * dims[1] + cell[:, 1]) * dims[2] + cell[:, 2]
    if subset is not None:
        marked = subset[ids[owner]]
        keep = np.isin(key, np.unique(key[marked]))
        key, owner = key[keep], owner[keep]
    order = np.argsort(key, kind="stable")
    key, owner = key[order], owner[order]
    starts = np.flatnonzero(np.concatenate(([True], key[1:] != key[:-1])))
    sizes = np.diff(np.append(starts, len(key)))
    rank = np.arange(len(key)) - np.repeat(starts, sizes)
    follow = np.repeat(sizes, sizes) - 1 - rank  # later entries in the same cell
    left = np.repeat(np.arange(len(key)), follow)
    step = np.arange(len(left)) - np.repeat(np.cumsum(follow) - follow, follow) + 1
    right = left + step
    a, b = owner[left], owner[right]
    # Overlapping boxes share the lowest corner of their intersection; the
    # pair is kept in that corner's cell only, so it is seen once.
    corner = np.floor((np.maximum(lo[a], lo[b]) - origin) / size).astype(np.int64)
    corner_key = (corner[:, 0] * dims[1] + corner[:, 1]) * dims[2] + corner[:, 2]
    overlap = ((lo[a] <= hi[b]) & (lo[b] <= hi[a])).all(axis=1) & (corner_key == key[left])
    a, b = ids[a[overlap]], ids[b[overlap]]
    a, b = np.minimum(a, b), np.maximum(a, b)
    if subset is not None:
        wanted = subset[a] | subset[b]
        a, b = a[wanted], b[wanted]
    return np.stack([a, b], 1)


def _pairs_meet(vertices: FloatArray, faces: IntArray, axes: IntArray, pairs: IntArray) -> BoolArray:
    fi, fj = faces[pairs[:, 0]], faces[pairs[:, 1]]
    match = fi[:, :, None] == fj[:, None, :]  # match[p, r, s]: corner r of i is corner s of j
    shared = match.sum(axis=(1, 2))
    hit: BoolArray = shared == 3
    axis_i, axis_j = axes[pairs[:, 0]], axes[pairs[:, 1]]
    # no shared vertex: any of the six edges meets the other triangle
    rows = np.flatnonzero(shared == 0)
    rows = rows[~(_strictly_aside(vertices, fi[rows], fj[rows]) | _strictly_aside(vertices, fj[rows], fi[rows]))]
    if len(rows):
        found = np.zeros(len(rows), dtype=bool)
        for k in range(3):
            edge_i = fi[rows][:, [k, (k + 1) % 3]]
            edge_j = fj[rows][:, [k, (k + 1) % 3]]
            found |= _segment_meets_triangle(vertices, edge_i, fj[rows], axis_j[rows])
            found |= _segment_meets_triangle(vertices, edge_j, fi[rows], axis_i[rows])
        hit[rows] = found
    # one shared vertex: the edge opposite it in either triangle meets the other
    rows = np.flatnonzero(shared == 1)
    if len(rows):
        corner_i = match[rows].any(axis=2).argmax(axis=1)
        corner_j = match[rows].any(axis=1).argmax(axis=1)
        opposite_i = np.stack([fi[rows, (corner_i + 1) % 3], fi[rows, (corner_i + 2) % 3]], 1)
        opposite_j = np.stack([fj[rows, (corner_j + 1) % 3], fj[rows, (corner_j + 2) % 3]], 1)
        apart = _strictly_aside(vertices, fi[rows], opposite_j) | _strictly_aside(vertices, fj[rows], opposite_i)
        rows, opposite_i, opposite_j = rows[~apart], opposite_i[~apart], opposite_j[~apart]
        hit[rows] = _segment_meets_triangle(vertices, opposite_i, fj[rows], axis_j[rows]) | (
            _segment_meets_triangle(vertices, opposite_j, fi[rows], axis_i[rows])
        )
    # a shared edge: coplanar with the third corners on the same side
    rows = np.flatnonzero(shared == 2)
    if len(rows):
        alone_i = (~match[rows].any(axis=2)).argmax(axis=1)
        alone_j = (~match[rows].any(axis=1)).argmax(axis=1)
        u = vertices[fi[rows, (alone_i + 1) % 3]]
        w = vertices[fi[rows, (alone_i + 2) % 3]]
        c = vertices[fi[rows, alone_i]]
        d = vertices[fj[rows, alone_j]]
        kept = _AXES_2D[axis_i[rows]]
        side_c = orient2d(_project(u, kept), _project(w, kept), _project(c, kept))
        side_d = orient2d(_project(u, kept), _project(w, kept), _project(d, kept))
        same = side_c.astype(np.int64) * side_d >= 0
        if same.any():
            flat = orient3d(u[same], w[same], c[same], d[same]) == 0
            same[same] = flat
        hit[rows] = same
    return hit


def _strictly_aside(vertices: FloatArray, planes: IntArray, points: IntArray) -> BoolArray:
    """Whether all ``points`` (columns of vertex numbers) lie strictly on one
    side of the plane of the triangle ``planes`` (then nothing of their hull
    meets it, but possibly a shared vertex on the plane)."""
    a, b, c = (vertices[planes[:, k]] for k in range(3))
    sides = np.stack([orient3d(a, b, c, vertices[points[:, k]]) for k in range(points.shape[1])], 1)
    return (sides > 0).all(axis=1) | (sides < 0).all(axis=1)


def _segment_meets_triangle(
    vertices: FloatArray, segments: IntArray, triangles: IntArray, axes: IntArray
) -> BoolArray:
    """Whether each closed segment meets its closed triangle (of nonzero
    area, ``axes`` from :func:`plane_axes`)."""
    p, q = vertices[segments[:, 0]], vertices[segments[:, 1]]
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    op = orient3d(a, b, c, p)
    oq = orient3d(a, b, c, q)
    result = np.zeros(len(segments), dtype=bool)
    coplanar = (op == 0) & (oq == 0)
    crossing = (op.astype(np.int64) * oq <= 0) & ~coplanar
    rows = np.flatnonzero(crossing)
    if len(rows):
        pr, qr = p[rows], q[rows]
        s1 = orient3d(pr, qr, a[rows], b[rows])
        s2 = orient3d(pr, qr, b[rows], c[rows])
        s3 = orient3d(pr, qr, c[rows], a[rows])
        result[rows] = ((s1 >= 0) & (s2 >= 0) & (s3 >= 0)) | ((s1 <= 0) & (s2 <= 0) & (s3 <= 0))
    rows = np.flatnonzero(coplanar)
    if len(rows):
        kept = _AXES_2D[axes[rows]]
        P, Q, A, B, C = (_project(x[rows], kept) for x in (p, q, a, b, c))
        result[rows] = (
            _inside_triangle_2d(P, A, B, C)
            | _inside_triangle_2d(Q, A, B, C)
            | _segments_meet_2d(P, Q, A, B)
            | _segments_meet_2d(P, Q, B, C)
            | _segments_meet_2d(P, Q, C, A)
        )
    return result


def _inside_triangle_2d(x: FloatArray, a: FloatArray, b: FloatArray, c: FloatArray) -> BoolArray:
    s1, s2, s3 = orient2d(a, b, x), orient2d(b, c, x), orient2d(c, a, x)
    return ((s1 >= 0) & (s2 >= 0) & (s3 >= 0)) | ((s1 <= 0) & (s2 <= 0) & (s3 <= 0))


def _segments_meet_2d(p: FloatArray, q: FloatArray, a: FloatArray, b: FloatArray) -> BoolArray:
    """Closed segments pq and ab, p != q and a != b."""
    o1, o2 = orient2d(p, q, a).astype(np.int64), orient2d(p, q, b).astype(np.int64)
    o3, o4 = orient2d(a, b, p).astype(np.int64), orient2d(a, b, q).astype(np.int64)
    proper = (o1 * o2 <= 0) & (o3 * o4 <= 0)
    collinear = (o1 == 0) & (o2 == 0)
    # Collinear: the segments overlap iff their intervals along the line do, in
    # the lexicographic order of the coordinates (exact comparisons).
    overlap = _lex_le(_lex_min(p, q), _lex_max(a, b)) & _lex_le(_lex_min(a, b), _lex_max(p, q))
    return np.where(collinear, overlap, proper)


def _lex_le(u: FloatArray, v: FloatArray) -> BoolArray:
    below: BoolArray = (u[:, 0] < v[:, 0]) | ((u[:, 0] == v[:, 0]) & (u[:, 1] <= v[:, 1]))
    return below


def _lex_min(u: FloatArray, v: FloatArray) -> FloatArray:
    return np.where(_lex_le(u, v)[:, None], u, v)


def _lex_max(u: FloatArray, v: FloatArray) -> FloatArray:
    return np.where(_lex_le(u, v)[:, None], v, u)
