"""Distances between a mesh and the surface it stands for, measured by the
tests of simplification (and the benchmark page's numbers)."""
import numpy as np
import pytest


def point_triangle_distance(p, a, b, c):
    """Distance from points p to triangles (a, b, c), row by row (Ericson 2004,
    Real-Time Collision Detection, 5.1.5: the closest point by region)."""
    ab, ac, ap = b - a, c - a, p - a
    d1, d2 = np.einsum("ij,ij->i", ab, ap), np.einsum("ij,ij->i", ac, ap)
    bp, cp = p - b, p - c
    d3, d4 = np.einsum("ij,ij->i", ab, bp), np.einsum("ij,ij->i", ac, bp)
    d5, d6 = np.einsum("ij,ij->i", ab, cp), np.einsum("ij,ij->i", ac, cp)
    va, vb, vc = d3 * d6 - d5 * d4, d5 * d2 - d1 * d6, d1 * d4 - d3 * d2
    with np.errstate(divide="ignore", invalid="ignore"):
        denom = 1.0 / (va + vb + vc)
        v, w = vb * denom, vc * denom
        closest = a + ab * v[:, None] + ac * w[:, None]
        edges = [  # (condition, closest point) from the vertex and edge regions
            ((d1 <= 0) & (d2 <= 0), a),
            ((d3 >= 0) & (d4 <= d3), b),
            ((d6 >= 0) & (d5 <= d6), c),
            ((vc <= 0) & (d1 >= 0) & (d3 <= 0), a + ab * (d1 / (d1 - d3))[:, None]),
            ((vb <= 0) & (d2 >= 0) & (d6 <= 0), a + ac * (d2 / (d2 - d6))[:, None]),
            ((va <= 0) & (d4 - d3 >= 0) & (d5 - d6 >= 0),
             b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6)))[:, None]),
        ]
    for condition, point in reversed(edges):
        closest = np.where(condition[:, None], point, closest)
    return np.linalg.norm(p - closest, axis=1)


def surface_to_mesh(points, mesh):
    """Largest distance from the points to the mesh (a karvex.Mesh), exact:
    a triangle can be nearer than the nearest vertex only if its centroid
    lies within that distance plus its own reach, so those are the
    candidates, however large the triangles are."""
    spatial = pytest.importorskip("scipy.spatial")
    points = np.asarray(points, dtype=float)
    corners = mesh.vertices[mesh.faces]
    centroids = corners.mean(axis=1)
    reach = np.linalg.norm(corners - centroids[:, None, :], axis=2).max()
    nearest_vertex, _ = spatial.cKDTree(mesh.vertices).query(points)
    candidates = spatial.cKDTree(centroids).query_ball_point(points, nearest_vertex + reach)
    rows = np.repeat(np.arange(len(points)), [len(c) for c in candidates])
    tri = corners[np.concatenate(candidates).astype(np.int64)]
    d = point_triangle_distance(points[rows], tri[:, 0], tri[:, 1], tri[:, 2])
    best = np.full(len(points), np.inf)
    np.minimum.at(best, rows, d)
    return float(best.max())


# Barycentric points of a triangle the mesh-to-surface distance is sampled
# at: corners, edge midpoints, the centroid and the centroids of the corner
# sub-triangles (where a chord's sag is largest, short of the middle).
_BARYCENTRIC = np.array([
    [1, 0, 0], [0, 1, 0], [0, 0, 1],
    [0.5, 0.5, 0], [0, 0.5, 0.5], [0.5, 0, 0.5],
    [1 / 3, 1 / 3, 1 / 3],
    [2 / 3, 1 / 6, 1 / 6], [1 / 6, 2 / 3, 1 / 6], [1 / 6, 1 / 6, 2 / 3],
    [0.75, 0.25, 0], [0.25, 0.75, 0], [0, 0.75, 0.25], [0, 0.25, 0.75], [0.25, 0, 0.75], [0.75, 0, 0.25],
])


def mesh_to_surface(mesh, field):
    """Largest |field| over points spread on every triangle of the mesh: on an
    exact distance field, how far the mesh strays from the surface."""
    corners = mesh.vertices[mesh.faces]
    points = np.einsum("kj,tjc->tkc", _BARYCENTRIC, corners).reshape(-1, 3)
    return float(np.abs(field(points)[0]).max())
