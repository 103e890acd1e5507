"""Simplification and small features: triangles, time and errors.

For each benchmark field (bench/peers/fields.py, the cube [-5, 5]^3) and
depth, karvex.mesh is run without simplification, with simplify at three
tolerances, and the unsimplified mesh is decimated by quadric error
(fast-simplification) to the triangle count each tolerance gave. Errors come
from bench/peers/metrics.py (Chamfer, Hausdorff, edge Chamfer). Then the
small-feature cases are meshed through karvex._native with find_small on and
off, and the evaluations find_small costs on the fields without small
features are counted. Prints Markdown tables. With --against-unsimplified
DEPTH, only the table of two-sided Hausdorff distances to the unsimplified
mesh, karvex's simplification against quadric decimation at equal counts,
with each mesh's two-sided distance to the field's own surface beside it
(first-order, |f| / |grad f|, on fields that are not exact distances).

    PYTHONPATH=src .venv/bin/python bench/simplify_bench.py --module-dir build/i
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

TOLERANCES = (1e-5, 1e-4, 1e-3)  # times the cube side
SAMPLES = 60_000


def _load(module_dir: str | None):
    import karvex

    if module_dir:
        sys.path.insert(0, module_dir)
        karvex.__path__.append(os.path.join(module_dir, "karvex"))
    from karvex import _native  # noqa: F401

    return karvex


def _box_field():
    """The issue's box: axis-aligned, off the grid planes, exact distance."""
    from karvex import sdf
    from peers import fields

    half = np.array([2.5, 2.0, 1.5])
    centre = np.array([0.0123, -0.0217, 0.0311])
    shape = sdf.box(half, centre)

    def values(p):
        return shape(p)[0]

    def edges(n, rng):
        return fields._box_edges(half, n, rng) + centre

    return fields.Field("box", "Axis-aligned box", values, shape, None, True, edges)


def _exact_distances(metrics, h):
    """metrics.distance_to_mesh, made exact for meshes with very large
    triangles: its candidates are the triangles with the nearest centroids,
    and after 256 of them it stops searching, so next to a large flat
    triangle (a whole box face after simplification) it answers with a
    farther one. Every point it puts more than h / 10 from the mesh is
    measured again against every triangle."""
    plain = metrics.distance_to_mesh

    def distance_to_mesh(points, vertices, faces):
        d = plain(points, vertices, faces)
        far = np.flatnonzero(d > 0.1 * h)
        tri = vertices[faces]
        step = max(1, 2_000_000 // max(len(faces), 1))
        for start in range(0, len(far), step):
            rows = far[start:start + step]
            p = points[rows][:, None, :]
            e = metrics.point_triangle_distance(p, tri[None, :, 0], tri[None, :, 1],
                                                tri[None, :, 2])
            d[rows] = e.min(axis=1)
        return d

    return distance_to_mesh


def _row(name, depth, label, triangles, seconds, m, closed):
    def f(key):
        value = m.get(key)
        return "—" if value is None else f"{value:.2e}"

    return (f"| {name} | {depth} | {label} | {triangles:,} | {seconds:.2f} | {f('chamfer')} | "
            f"{f('hausdorff')} | {f('edge_chamfer')} | {'yes' if closed else 'no'} |")


def quality_tables(karvex, cases) -> None:
    import fast_simplification
    from peers import fields, metrics

    bounds = ((fields.LOW,) * 3, (fields.HIGH,) * 3)
    print("| field | depth | mesh | triangles | seconds | Chamfer | Hausdorff | edge Chamfer "
          "| closed |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name, depths in cases:
        field = _box_field() if name == "box" else fields.make(name)
        rng = np.random.default_rng(0)
        reference, _ = metrics.reference_surface(field, SAMPLES, rng)
        edges = field.edges(SAMPLES // 4, rng) if field.edges else None
        for depth in depths:
            h = fields.SIDE / 2**depth

            metrics.distance_to_mesh = _exact_distances(metrics, h)

            def measure(v, f):
                return metrics.mesh_metrics(field, v, f, h, reference, edges, samples=SAMPLES)

            start = time.perf_counter()
            full = karvex.mesh(field.with_gradients, bounds, max_depth=depth)
            t_full = time.perf_counter() - start
            print(_row(name, depth, "unsimplified", len(full.faces), t_full,
                       measure(full.vertices, full.faces), full.is_closed))
            for tol in TOLERANCES:
                start = time.perf_counter()
                m = karvex.mesh(field.with_gradients, bounds, max_depth=depth,
                                simplify=tol * fields.SIDE)
                t = time.perf_counter() - start
                print(_row(name, depth, f"simplify {tol:g}", len(m.faces), t,
                           measure(m.vertices, m.faces), m.is_closed and m.is_oriented))
                reduction = 1.0 - len(m.faces) / len(full.faces)
                if reduction <= 0.0:
                    continue
                start = time.perf_counter()
                v, f = fast_simplification.simplify(full.vertices.astype(np.float32),
                                                    full.faces.astype(np.int32), reduction)
                t_dec = time.perf_counter() - start
                dec = karvex.Mesh(np.asarray(v, dtype=np.float64), np.asarray(f, dtype=np.int64))
                print(_row(name, depth, f"quadric to {tol:g}", len(dec.faces), t_full + t_dec,
                           measure(dec.vertices, dec.faces), dec.is_closed and dec.is_oriented))
            sys.stdout.flush()


def _refined(mesh, longest):
    """The same surface in triangles with no edge over `longest`: each other
    split in four at its edges' midpoints until none is (T-junctions do not matter
    to a distance). metrics.distance_to_mesh, which looks among the triangles
    with the nearest centroids, is exact enough on such a mesh, where next to
    a simplified mesh's large triangles it answers with a farther one."""
    v = np.asarray(mesh.vertices, dtype=np.float64)
    tri = v[mesh.faces]
    while True:
        edges = np.max(np.linalg.norm(tri - np.roll(tri, 1, axis=1), axis=2), axis=1)
        long = edges > longest
        if not long.any():
            return tri
        a, b, c = tri[long, 0], tri[long, 1], tri[long, 2]
        ab, bc, ca = 0.5 * (a + b), 0.5 * (b + c), 0.5 * (c + a)
        split = np.concatenate([np.stack(t, axis=1) for t in
                                ((a, ab, ca), (ab, b, bc), (ca, bc, c), (ab, bc, ca))])
        tri = np.concatenate([tri[~long], split])


def _two_sided(metrics, simplified, full, h, rng):
    """Two-sided Hausdorff distance between a simplified mesh and the
    unsimplified one, from their vertices and SAMPLES points by area on each;
    distances to the simplified mesh are taken on it refined (_refined)."""
    def one_way(x, y):
        points, _ = metrics.sample_mesh(x.vertices, x.faces, SAMPLES, rng)
        points = np.concatenate([points, x.vertices])
        tri = _refined(y, 2 * h)
        flat = tri.reshape(-1, 3)
        faces = np.arange(len(flat)).reshape(-1, 3)
        return float(metrics.distance_to_mesh(points, flat, faces).max())

    return max(one_way(simplified, full), one_way(full, simplified))


def _to_surface(metrics, field, mesh, surface, h, rng):
    """Two-sided distance between a mesh and the true surface of its field:
    the distance from the mesh (SAMPLES points by area and the vertices) to
    the surface, which is |f| on an exact distance field and the first-order
    |f| / |grad f| on any other, and the distance to the mesh from points
    drawn on the surface and its sharp edges (``surface``)."""
    points, _ = metrics.sample_mesh(mesh.vertices, mesh.faces, SAMPLES, rng)
    points = np.concatenate([points, mesh.vertices])
    if field.exact_sdf:
        off = float(np.abs(field.values(points)).max())
    else:
        values, gradients = field.with_gradients(points)
        lengths = np.sqrt(np.einsum("ij,ij->i", gradients, gradients))
        off = float((np.abs(values) / np.maximum(lengths, 1e-300)).max())
    tri = _refined(mesh, 2 * h)
    flat = tri.reshape(-1, 3)
    faces = np.arange(len(flat)).reshape(-1, 3)
    return max(off, float(metrics.distance_to_mesh(surface, flat, faces).max()))


def against_unsimplified(karvex, depth, names) -> None:
    """Per field and tolerance: karvex's simplified mesh and quadric
    decimation of the unsimplified mesh to the same triangle count, each
    measured by its two-sided Hausdorff distance to the unsimplified mesh;
    times are meshing with simplify against meshing plus decimating."""
    import fast_simplification
    from peers import fields, metrics

    bounds = ((fields.LOW,) * 3, (fields.HIGH,) * 3)
    h = fields.SIDE / 2**depth
    print(f"| field (depth {depth}) | tolerance | triangles | Hausdorff karvex | Hausdorff quadric "
          "| ratio | to the surface: karvex / quadric / unsimplified "
          "| seconds karvex | seconds mesh + quadric |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name in names:
        field = _box_field() if name == "box" else fields.make(name)
        start = time.perf_counter()
        full = karvex.mesh(field.with_gradients, bounds, max_depth=depth)
        t_full = time.perf_counter() - start
        rng = np.random.default_rng(1)
        surface, _ = metrics.reference_surface(field, SAMPLES, rng)
        if field.edges is not None:
            surface = np.concatenate([surface, field.edges(SAMPLES // 10, rng)])
        own = _to_surface(metrics, field, full, surface, h, rng)
        for tol in TOLERANCES:
            start = time.perf_counter()
            m = karvex.mesh(field.with_gradients, bounds, max_depth=depth,
                            simplify=tol * fields.SIDE)
            t = time.perf_counter() - start
            reduction = 1.0 - len(m.faces) / len(full.faces)
            start = time.perf_counter()
            v, f = fast_simplification.simplify(full.vertices.astype(np.float32),
                                                full.faces.astype(np.int32), max(reduction, 0.0))
            t_dec = time.perf_counter() - start
            dec = karvex.Mesh(np.asarray(v, dtype=np.float64), np.asarray(f, dtype=np.int64))
            rng = np.random.default_rng(0)
            ours = _two_sided(metrics, m, full, h, rng)
            theirs = _two_sided(metrics, dec, full, h, rng)
            exact = (f"{_to_surface(metrics, field, m, surface, h, rng):.2e} / "
                     f"{_to_surface(metrics, field, dec, surface, h, rng):.2e} / {own:.2e}")
            print(f"| {name} | {tol:g} | {len(m.faces):,} / {len(dec.faces):,} of "
                  f"{len(full.faces):,} | {ours:.2e} | {theirs:.2e} | {ours / theirs:.3g} | "
                  f"{exact} | {t:.2f} | {t_full + t_dec:.2f} |")
            sys.stdout.flush()


class _Counting:
    def __init__(self, field):
        self.field = field
        self.points = 0

    def __call__(self, p):
        self.points += len(p)
        return self.field(p)


def small_feature_tables(karvex) -> None:
    from karvex import _native, sdf
    from peers import fields

    lo, hi = (fields.LOW,) * 3, (fields.HIGH,) * 3
    rng = np.random.default_rng(2024)
    blobs = rng.uniform(-4.0, 4.0, size=(40, 3))
    cases = {
        "tiny sphere off the grid (r = 0.2)": sdf.sphere(0.2, (1.5687, -2.1093, 0.5857)),
        "forty small balls (r = 0.18)": sdf.union(*[sdf.sphere(0.18, c) for c in blobs]),
        "thin rod (r = 0.1, length 5)": sdf.capsule((-2.56, 0.69, -1.1), (2.69, 0.69, -1.1), 0.1),
    }
    print("\n| case (depth 7, min_depth 3) | find_small | triangles | pieces | evaluations |")
    print("|---|---|---|---|---|")
    for label, shape in cases.items():
        for find_small in (False, True):
            counted = _Counting(shape)
            v, f = _native.extract_mesh(counted, lo, hi, 3, 7, 30.0, 0.0, False, True, 0, None,
                                        0.0, find_small)
            pieces = len(karvex.Mesh(v, f).components()) if len(f) else 0
            print(f"| {label} | {find_small} | {len(f):,} | {pieces} | {counted.points:,} |")
    print("\n| field (depth 8) | evaluations without | with find_small | more |")
    print("|---|---|---|---|")
    for name in ("sphere", "torus", "rotated_box", "box_hole", "gyroid"):
        field = fields.make(name)
        counts = []
        for find_small in (False, True):
            counted = _Counting(field.with_gradients)
            _native.extract_mesh(counted, lo, hi, 3, 8, 30.0, 0.0, False, False, 0, None, 0.0,
                                 find_small)
            counts.append(counted.points)
        print(f"| {name} | {counts[0]:,} | {counts[1]:,} | "
              f"{100.0 * (counts[1] / counts[0] - 1.0):+.1f}% |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module-dir", help="build directory holding karvex/_native*.so")
    parser.add_argument("--quick", action="store_true", help="depth 7 only, no MLP")
    parser.add_argument("--depth", type=int, help="this depth only, every field")
    parser.add_argument("--no-small", action="store_true", help="skip the small-feature tables")
    parser.add_argument("--against-unsimplified", type=int, metavar="DEPTH",
                        help="only the table of two-sided Hausdorff distances to the "
                        "unsimplified mesh at this depth, against quadric decimation")
    parser.add_argument("--fields", nargs="+",
                        default=["box", "rotated_box", "box_hole", "sphere", "torus", "gyroid", "mlp"],
                        help="the fields of --against-unsimplified")
    args = parser.parse_args()
    karvex = _load(args.module_dir)
    if args.against_unsimplified is not None:
        against_unsimplified(karvex, args.against_unsimplified, args.fields)
        return
    if args.quick:
        cases = [("box", (7,)), ("sphere", (7,))]
    elif args.depth is not None:
        cases = [(name, (args.depth,)) for name in
                 ("box", "rotated_box", "box_hole", "sphere", "torus", "mlp")]
    else:
        cases = [("box", (7, 8, 9)), ("rotated_box", (7, 8)), ("box_hole", (7, 8)),
                 ("sphere", (7, 8)), ("torus", (7, 8)), ("mlp", (7,))]
    quality_tables(karvex, cases)
    if not args.no_small:
        small_feature_tables(karvex)


if __name__ == "__main__":
    main()
