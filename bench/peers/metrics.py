"""Accuracy and quality of a mesh against the true surface of its field.

Distances in both directions are measured against the surface itself, not against
another mesh:

* mesh -> surface: at points drawn uniformly by area on the mesh (and at its vertices,
  for the maximum), the first-order distance |f| / |grad f|, which is the exact
  distance for a signed distance field;
* surface -> mesh: from a reference sampling of the true surface (``reference_surface``)
  to the nearest point of the mesh, exactly, by point-triangle distance (Ericson 2004,
  Real-Time Collision Detection, 5.1.5) to candidate triangles found through a k-d tree
  of triangle centroids.

Chamfer distance is the mean of the two directions' means, Hausdorff the larger of their
maxima, and the F-score at threshold tau the harmonic mean of the share of mesh samples
within tau of the surface (precision) and the share of surface samples within tau of the
mesh (recall) (Knapitsch et al. 2017, Tanks and Temples). Everything except the
surface -> mesh direction needs NumPy only; that direction needs SciPy's k-d tree and is
left out (None) without it.
"""

from __future__ import annotations

import math

import numpy as np

from .fields import LOW, SIDE, Array, Field

TAU = SIDE / 1000.0  # F-score threshold: 0.01 in a cube of side 10
SHARP_ANGLE_DEG = 10.0
_TINY = 1e-300


def _norm(v: Array) -> Array:
    return np.sqrt(np.einsum("ij,ij->i", v, v))


def reference_surface(field: Field, n: int, rng: np.random.Generator,
                      coarse: int = 64, batch: int = 200_000) -> tuple[Array, Array]:
    """n points uniform by area on the zero set of ``field`` and the unit normals there.

    Points drawn uniformly in the thin shell |f| < eps meet the surface with a density
    proportional to 1 / |grad f| (coarea formula), so each is kept with probability
    |grad f| / max |grad f| and then pulled onto the surface by Newton steps. The draws
    come only from cells of a coarse grid that can hold such points, judged by a bound
    on the gradient.
    """
    c = SIDE / coarse
    centres = LOW + c * (np.indices((coarse,) * 3).reshape(3, -1).T + 0.5)
    v, g = field.with_gradients(centres)
    lipschitz = 1.5 * max(float(_norm(g).max()), 1.0)
    eps = c / 4.0
    near = centres[np.abs(v) <= lipschitz * c * math.sqrt(3.0) / 2.0 + eps]
    steepest = None
    points: list[Array] = []
    normals: list[Array] = []
    found = 0
    while found < n:
        p = near[rng.integers(len(near), size=batch)] + rng.uniform(-c / 2, c / 2, (batch, 3))
        v, g = field.with_gradients(p)
        band = np.abs(v) < eps
        p, g = p[band], g[band]
        length = _norm(g)
        if steepest is None:
            steepest = 1.05 * float(length.max())
        p = p[rng.random(len(p)) * steepest < length]
        for _ in range(6):
            v, g = field.with_gradients(p)
            p = p - (v / np.maximum(np.einsum("ij,ij->i", g, g), _TINY))[:, None] * g
        v, g = field.with_gradients(p)
        ok = np.abs(v) < 1e-9
        points.append(p[ok])
        normals.append(g[ok] / _norm(g[ok])[:, None])
        found += int(ok.sum())
    return np.concatenate(points)[:n], np.concatenate(normals)[:n]


def sample_mesh(vertices: Array, faces: np.ndarray, n: int,
                rng: np.random.Generator) -> tuple[Array, np.ndarray]:
    """n points uniform by area on the mesh and the index of the triangle of each."""
    a, b, c = (vertices[faces[:, i]] for i in range(3))
    area = 0.5 * _norm(np.cross(b - a, c - a))
    tri = rng.choice(len(faces), size=n, p=area / area.sum())
    u, w = rng.random(n), rng.random(n)
    flip = u + w > 1.0
    u[flip], w[flip] = 1.0 - u[flip], 1.0 - w[flip]
    return a[tri] + u[:, None] * (b[tri] - a[tri]) + w[:, None] * (c[tri] - a[tri]), tri


def point_triangle_distance(p: Array, a: Array, b: Array, c: Array) -> Array:
    """Distance from each p to the triangle (a, b, c) of the same row (Ericson 5.1.5).

    Degenerate triangles give NaN; callers take the smallest over candidates with fmin.
    """
    def dot(x: Array, y: Array) -> Array:
        return np.einsum("...j,...j->...", x, y)

    ab, ac, ap, bp, cp = b - a, c - a, p - a, p - b, p - c
    d1, d2 = dot(ab, ap), dot(ac, ap)
    d3, d4 = dot(ab, bp), dot(ac, bp)
    d5, d6 = dot(ab, cp), dot(ac, cp)
    va, vb, vc = d3 * d6 - d5 * d4, d5 * d2 - d1 * d6, d1 * d4 - d3 * d2
    with np.errstate(divide="ignore", invalid="ignore"):
        on_ab = a + (d1 / (d1 - d3))[..., None] * ab
        on_ac = a + (d2 / (d2 - d6))[..., None] * ac
        t_bc = (d4 - d3) / ((d4 - d3) + (d5 - d6))
        on_bc = b + t_bc[..., None] * (c - b)
        total = va + vb + vc
        inside = a + (vb / total)[..., None] * ab + (vc / total)[..., None] * ac
    regions = [
        (d1 <= 0) & (d2 <= 0),
        (d3 >= 0) & (d4 <= d3),
        (vc <= 0) & (d1 >= 0) & (d3 <= 0),
        (d6 >= 0) & (d5 <= d6),
        (vb <= 0) & (d2 >= 0) & (d6 <= 0),
        (va <= 0) & (d4 - d3 >= 0) & (d5 - d6 >= 0),
    ]
    choices = [a, b, on_ab, c, on_ac, on_bc]
    closest = np.select([r[..., None] for r in regions], choices, default=inside)
    return np.sqrt(dot(p - closest, p - closest))


def distance_to_mesh(points: Array, vertices: Array, faces: np.ndarray,
                     chunk: int = 20_000) -> Array:
    """Distance from each point to the mesh.

    The candidates are the k triangles with the nearest centroids. A triangle left out
    has its centroid at least as far as the k-th one, so it is at least that far minus
    the largest centroid-to-corner radius R; a point whose distance found so far is not
    below that bound is searched again with more candidates (16, 64, 256), which keeps
    the answer exact even among the slivers of marching cubes. Points still unsure
    after that (a large triangle beside many small ones: its centroid is far from a
    point that lies on it) are searched among every triangle whose centroid lies
    within their distance so far plus R, which cannot miss the nearest one.
    """
    from scipy.spatial import cKDTree

    corners = vertices[faces]
    centroids = corners.mean(axis=1)
    radius = float(np.sqrt(((corners - centroids[:, None, :]) ** 2).sum(axis=2)).max())
    tree = cKDTree(centroids)
    out = np.full(len(points), np.inf)
    todo = np.arange(len(points))
    for k in (16, 64, 256):
        k = min(k, len(faces))
        unsure = []
        for start in range(0, len(todo), chunk):
            rows = todo[start:start + chunk]
            p = points[rows]
            far, idx = tree.query(p, k=k)
            far, idx = far.reshape(len(p), k), idx.reshape(len(p), k)
            tri = faces[idx]
            d = point_triangle_distance(p[:, None, :], vertices[tri[..., 0]],
                                        vertices[tri[..., 1]], vertices[tri[..., 2]])
            out[rows] = np.fmin.reduce(d, axis=1)
            if k < len(faces):
                unsure.append(rows[out[rows] > far[:, -1] - radius])
        todo = np.concatenate(unsure) if unsure else todo[:0]
        if len(todo) == 0:
            return out
    for row in todo:
        idx = np.asarray(tree.query_ball_point(points[row], out[row] + radius), dtype=np.int64)
        if len(idx) == 0:
            continue
        tri = faces[idx]
        d = point_triangle_distance(points[row], vertices[tri[:, 0]], vertices[tri[:, 1]],
                                    vertices[tri[:, 2]])
        out[row] = min(out[row], float(d.min()))
    return out


def topology(vertices: Array, faces: np.ndarray) -> dict[str, bool]:
    """Closed (every edge shared by exactly two triangles), consistently oriented (the
    two run along it in opposite directions) and ``outward`` (positive enclosed volume),
    as ``karvex.Mesh`` judges them, by vertex index as the tool returned them, leaving
    out triangles that repeat an index.

    Vertices are not merged by position: a tool may keep two vertices at one point on
    purpose (manifold3d does where a surface pinches), and none of the tools here
    returns unmerged copies otherwise."""
    from karvex import Mesh

    proper = (faces[:, 0] != faces[:, 1]) & (faces[:, 1] != faces[:, 2]) \
        & (faces[:, 2] != faces[:, 0])
    mesh = Mesh(vertices, faces[proper])
    closed = mesh.is_closed
    return {"closed": closed, "oriented": closed and mesh.is_oriented,
            "outward": mesh.volume > 0.0}


def min_angles_deg(vertices: Array, faces: np.ndarray) -> Array:
    """The smallest interior angle of every triangle, in degrees (0 for collapsed ones)."""
    p = vertices[faces]
    angles = []
    for i in range(3):
        u = p[:, (i + 1) % 3] - p[:, i]
        v = p[:, (i + 2) % 3] - p[:, i]
        cos = np.einsum("ij,ij->i", u, v) / np.maximum(_norm(u) * _norm(v), _TINY)
        angles.append(np.degrees(np.arccos(np.clip(cos, -1.0, 1.0))))
    smallest = np.minimum.reduce(angles)
    smallest[_norm(np.cross(p[:, 1] - p[:, 0], p[:, 2] - p[:, 0])) == 0.0] = 0.0
    return smallest


def mesh_metrics(field: Field, vertices: Array, faces: np.ndarray, h: float,
                 reference: Array | None, edges: Array | None, samples: int = 200_000,
                 seed: int = 0) -> dict[str, object]:
    """Every quality figure of one mesh (see the module docstring); distances in world
    units, h the finest cell side."""
    out: dict[str, object] = {"vertices": len(vertices), "triangles": len(faces)}
    if len(faces) == 0:
        return out
    rng = np.random.default_rng(seed)
    on_mesh, tri = sample_mesh(vertices, faces, samples, rng)
    v, g = field.with_gradients(on_mesh)
    to_surface = np.abs(v) / np.maximum(_norm(g), _TINY)
    vv, vg = field.with_gradients(vertices)
    vertex_distance = np.abs(vv) / np.maximum(_norm(vg), _TINY)
    a, b, c = (vertices[faces[tri, i]] for i in range(3))
    tri_normal = np.cross(b - a, c - a)
    cos = np.einsum("ij,ij->i", tri_normal, g) / np.maximum(_norm(tri_normal) * _norm(g), _TINY)
    out.update(topology(vertices, faces))
    out["sliver_share"] = float((min_angles_deg(vertices, faces) < SHARP_ANGLE_DEG).mean())
    out["normal_consistency"] = float(np.abs(cos).mean())
    out["mesh_to_surface_mean"] = float(to_surface.mean())
    out["mesh_to_surface_max"] = float(max(to_surface.max(), vertex_distance.max()))
    if field.exact_sdf:
        out["vertex_f_over_h_mean"] = float(np.abs(vv).mean() / h)
        out["vertex_f_over_h_max"] = float(np.abs(vv).max() / h)
    precision = float((to_surface < TAU).mean())
    try:
        import scipy  # noqa: F401
    except ImportError:
        return out
    if reference is not None:
        to_mesh = distance_to_mesh(reference, vertices, faces)
        recall = float((to_mesh < TAU).mean())
        out["chamfer"] = 0.5 * (float(to_surface.mean()) + float(to_mesh.mean()))
        out["hausdorff"] = max(float(out["mesh_to_surface_max"]), float(to_mesh.max()))
        out["fscore"] = 2 * precision * recall / max(precision + recall, _TINY)
    if edges is not None:
        to_edge = distance_to_mesh(edges, vertices, faces)
        out["edge_chamfer"] = float(to_edge.mean())
        out["edge_max"] = float(to_edge.max())
    return out

