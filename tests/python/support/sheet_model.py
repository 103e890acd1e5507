"""A NumPy model of the repair's sheet split and parting of shared edges,
written from the rules alone (fans by pointer jumping over every corner, edge
groups by lexsort): the core's versions must give the same arrays, bit for bit.
"""

from __future__ import annotations

import numpy as np

from karvex._validity import corner_fans, directed_edges


def split_sheets(vertices: np.ndarray, faces: np.ndarray) -> tuple[np.ndarray, np.ndarray, int]:
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
    faces: np.ndarray,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
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


def sheet_links(vertices: np.ndarray, faces: np.ndarray) -> np.ndarray:
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
    vertices: np.ndarray, faces: np.ndarray, heads: np.ndarray, tails: np.ndarray, edges: np.ndarray
) -> np.ndarray:
    low = min(heads[edges[0]], tails[edges[0]])
    high = max(heads[edges[0]], tails[edges[0]])
    axis = vertices[high] - vertices[low]
    axis = axis / max(float(np.linalg.norm(axis)), np.finfo(float).tiny)
    helper = np.eye(3)[int(np.argmin(np.abs(axis)))]
    e1 = np.cross(axis, helper)
    with np.errstate(invalid="ignore"):  # an edge of zero length has no angles (NaN, sorted last)
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


def part_shared_edges(vertices: np.ndarray, faces: np.ndarray) -> tuple[np.ndarray, np.ndarray, int]:
    """:func:`karvex._repair.part_shared_edges`: each crowded edge, in order
    of (low, high) vertex, splits every pair of triangles round it but the
    first at the edge's midpoint; edges with a face split this pass wait."""
    added = 0
    if len(faces) == 0:
        return vertices, faces, 0
    while True:
        heads, tails, order, starts, counts, forward = _edge_groups(faces)
        crowded = (counts > 2) & (2 * forward == counts)
        if not crowded.any():
            return vertices, faces, added
        new_vertices: list[np.ndarray] = []
        new_faces: list[np.ndarray] = []
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


