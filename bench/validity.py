"""Defect counts of karvex.mesh on shapes that break naive Dual Contouring.

Each shape is meshed with ``keep="all"`` at the given depths in the three
modes (uniform, adaptive, simplified) and checked by karvex's exact checker
and, with --pymeshlab, by pymeshlab's self-intersection selection as an
independent second opinion. ``--raw`` also counts the contoured mesh before the
validity pass (the mesh the low-level module returns for the same octree).

    KARVEX_MODULE_DIR=build/tests .venv/bin/python bench/validity.py --depths 5 6
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from collections.abc import Callable
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import os  # noqa: E402

_module_dir = os.environ.get("KARVEX_MODULE_DIR")
if _module_dir:  # the package from the source tree, its extension from the build
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
import karvex  # noqa: E402

if _module_dir:
    karvex.__path__.append(os.path.join(_module_dir, "karvex"))
from karvex import _mesher, _repair, _validity, sdf  # noqa: E402

UNIT = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


def _blobs(seed: int = 7) -> Callable:
    rng = np.random.default_rng(seed)
    volume = rng.standard_normal((65, 65, 65))
    for axis in range(3):  # a few box-filter passes: smooth random blobs
        for _ in range(3):
            volume = (np.roll(volume, 1, axis) + volume + np.roll(volume, -1, axis)) / 3.0
    return karvex.grid_field(volume, spacing=(2 / 64,) * 3, origin=(-1, -1, -1))


SHAPES: dict[str, Callable[[], Callable]] = {
    "gyroid_thin_box": lambda: sdf.gyroid(0.5, 0.02) & sdf.box(0.9),
    "gyroid_thick_ball": lambda: sdf.gyroid(0.5, 0.15) & sdf.sphere(0.8),
    "gyroid_ball_005": lambda: sdf.gyroid(0.5, 0.05) & sdf.sphere(0.8),
    "box_two_cylinders": lambda: sdf.box(0.6)
    - sdf.cylinder(0.3, 1.0, axis="z")
    - sdf.cylinder(0.3, 1.0, axis="x"),
    "blobs": _blobs,
    "torus": lambda: sdf.torus(0.6, 0.25),
}

MODES = {"uniform": {}, "adaptive": {"adaptive": True}, "simplify": {"simplify": 1e-3}}


def pymeshlab_faces(vertices: np.ndarray, faces: np.ndarray) -> int:
    import pymeshlab

    ms = pymeshlab.MeshSet()
    ms.add_mesh(pymeshlab.Mesh(vertices, faces))
    ms.compute_selection_by_self_intersections_per_face()
    return int(ms.current_mesh().selected_face_number())


def run(shape: str, depth: int, mode: str, raw: bool, use_pymeshlab: bool) -> list[str]:
    raw_mesh, valid_mesh, total, repair_s = _mesh_pair(SHAPES[shape](), UNIT, depth, MODES[mode])
    rows = []
    meshes = [("raw", *raw_mesh)] if raw else []
    meshes.append(("valid", *valid_mesh))
    for label, v, f in meshes:
        c = _validity.check(v, f)
        extra = f" pymeshlab={pymeshlab_faces(v, f)}" if use_pymeshlab else ""
        rows.append(
            f"{shape:18s} d={depth} {mode:8s} {label:5s} F={len(f):7d} "
            f"x_pairs={c.intersecting_pairs} x_faces={c.intersecting_faces} "
            f"nm_edges={c.nonmanifold_edges} nm_verts={c.nonmanifold_vertices} "
            f"zero={c.zero_area_faces} rep={c.repeated_index_faces} "
            f"misor={c.misoriented_edges} bound={c.boundary_edges}{extra}"
            + (f" time={total:.2f}s repair={repair_s:.2f}s" if label == "valid" else "")
        )
    return rows


def _mesh_pair(field, bounds, depth: int, options: dict, cpu_times: dict | None = None) -> tuple:
    """karvex.mesh's contoured mesh before and after the validity pass, and the
    time of the call and of the pass; with ``cpu_times``, their CPU times go there
    ("call", "pass")."""
    captured = {}
    original = _repair.repair

    def spy(vertices, faces, *args, **kwargs):
        captured["raw"] = (vertices, faces)
        start, cpu = time.perf_counter(), time.process_time()
        result = original(vertices, faces, *args, **kwargs)
        captured["repair_s"] = time.perf_counter() - start
        captured["repair_cpu"] = time.process_time() - cpu
        return result

    _mesher._repair.repair = spy
    try:
        start, cpu = time.perf_counter(), time.process_time()
        with warnings.catch_warnings(record=True):
            warnings.simplefilter("always")
            m = karvex.mesh(field, bounds, max_depth=depth, keep="all", **options)
        total = time.perf_counter() - start
        captured["total_cpu"] = time.process_time() - cpu
    finally:
        _mesher._repair.repair = original
    if cpu_times is not None:
        cpu_times.update(call=captured["total_cpu"], **{"pass": captured["repair_cpu"]})
    return captured["raw"], (m.vertices, m.faces), total, captured["repair_s"]


def accuracy(names: list[str], depth: int) -> None:
    """Surface and edge error of the benchmark fields before and after the pass."""
    from peers import fields, metrics

    rng = np.random.default_rng(0)
    for name in names:
        field = fields.make(name)
        reference, _ = metrics.reference_surface(field, 50_000, rng)
        edges = field.edges(5_000, rng) if field.edges else None
        bounds = ((fields.LOW,) * 3, (fields.HIGH,) * 3)
        for mode, options in MODES.items():
            if mode == "simplify":
                options = {"simplify": 1e-4 * fields.SIDE}
            raw, valid, total, repair_s = _mesh_pair(field.with_gradients, bounds, depth, options)
            h = fields.SIDE / 2**depth
            rows = []
            for label, (v, f) in (("raw", raw), ("valid", valid)):
                out = metrics.mesh_metrics(field, v, f, h, reference, edges, samples=50_000)
                rows.append(
                    f"{name:12s} d={depth} {mode:8s} {label:5s} V={out['vertices']:7d} "
                    f"chamfer={out.get('chamfer', 0):.3e} hausdorff={out.get('hausdorff', 0):.3e} "
                    f"edge_chamfer={out.get('edge_chamfer', float('nan')):.3e}"
                )
            print(rows[0], flush=True)
            print(rows[1] + f" time={total:.2f}s pass={repair_s:.2f}s ({100 * repair_s / total:.0f}%)",
                  flush=True)


def cost(names: list[str], depths: list[int]) -> None:
    """The time of karvex.mesh and of its validity pass on the benchmark
    fields (uniform, values and gradients), the share the pass takes (of the
    wall-clock time, and of the process's CPU time, which other jobs on the
    machine disturb less), and the defects it started from."""
    from peers import fields

    bounds = ((fields.LOW,) * 3, (fields.HIGH,) * 3)
    for depth in depths:
        for name in names:
            field = fields.make(name)
            cpu: dict = {}
            raw, _, total, repair_s = _mesh_pair(field.with_gradients, bounds, depth, {}, cpu)
            bad = _validity.check(*raw)
            print(
                f"{name:12s} d={depth} F={len(raw[1]):8d} time={total:.3f}s pass={repair_s:.3f}s "
                f"({100 * repair_s / total:.0f}%; of CPU time {100 * cpu['pass'] / cpu['call']:.0f}%) "
                f"before: x_faces={bad.intersecting_faces} "
                f"zero={bad.zero_area_faces} rep={bad.repeated_index_faces} "
                f"nm_verts={bad.nonmanifold_vertices} nm_edges={bad.nonmanifold_edges}",
                flush=True,
            )


def _defects(vertices: np.ndarray, faces: np.ndarray) -> str:
    c = _validity.check(vertices, faces)
    other = c.nonmanifold_edges + c.nonmanifold_vertices + c.zero_area_faces + c.repeated_index_faces
    return f"F={len(faces):8d} x_faces={c.intersecting_faces:6d} other={other:5d} open={c.boundary_edges:5d}"


def _manifold_status(vertices: np.ndarray, faces: np.ndarray) -> str:
    """manifold3d's own verdict on a mesh handed to it (it checks that the mesh
    is a closed oriented manifold, not that it is free of self-intersections)."""
    import manifold3d

    mesh = manifold3d.Mesh(vert_properties=np.asarray(vertices, dtype=np.float32),
                           tri_verts=np.asarray(faces, dtype=np.uint32))
    return str(manifold3d.Manifold(mesh).status()).split(".")[-1]


def _values(field: Callable, points: np.ndarray) -> np.ndarray:
    out = field(points)
    return np.asarray(out[0] if isinstance(out, tuple) else out, dtype=np.float64).reshape(-1)


def _sampled(field: Callable, depth: int) -> tuple[np.ndarray, float]:
    """The field on the grid of 2^depth + 1 samples per axis over [-1, 1]^3."""
    n = 2**depth + 1
    axis = np.linspace(-1.0, 1.0, n)
    grid = np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), -1).reshape(-1, 3)
    values = np.concatenate([_values(field, chunk) for chunk in np.array_split(grid, max(1, len(grid) // 65536))])
    return values.reshape(n, n, n), 2.0 / (n - 1)


def peers(shapes: list[str], depths: list[int]) -> None:
    """Defects of karvex.mesh before and after its pass beside marching cubes
    (scikit-image, on the grid of the same cell size), and manifold3d's own
    verdict on each mesh. (manifold3d's level_set is left out here: with
    these shapes' fields as its point callback it crashed the process.)"""
    from skimage.measure import marching_cubes

    for shape in shapes:
        for depth in depths:
            field = SHAPES[shape]()
            raw, valid, total, repair_s = _mesh_pair(field, UNIT, depth, {})
            rows = [("karvex raw", raw), ("karvex valid", valid)]
            values, h = _sampled(field, depth)
            if values.min() < 0 < values.max():
                v, f, _, _ = marching_cubes(values, 0.0, spacing=(h, h, h), gradient_direction="ascent")
                rows.append(("skimage MC", (v.astype(np.float64) - 1.0, f.astype(np.int64))))
            for label, (v, f) in rows:
                extra = f" pass={repair_s:.2f}s of {total:.2f}s" if label == "karvex valid" else ""
                print(f"{shape:18s} d={depth} {label:13s} {_defects(v, f)} m3d={_manifold_status(v, f)}{extra}",
                      flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shapes", nargs="*", default=list(SHAPES))
    parser.add_argument("--depths", nargs="*", type=int, default=[4, 5, 6, 7])
    parser.add_argument("--modes", nargs="*", default=list(MODES))
    parser.add_argument("--raw", action="store_true", help="also count before the validity pass")
    parser.add_argument("--pymeshlab", action="store_true", help="cross-check with pymeshlab")
    parser.add_argument("--accuracy", nargs="*", metavar="FIELD",
                        help="instead: errors of these benchmark fields before and after the pass")
    parser.add_argument("--cost", nargs="*", metavar="FIELD",
                        help="instead: time of the call and of the pass on these benchmark fields")
    parser.add_argument("--peers", action="store_true",
                        help="instead: the shapes beside marching cubes, with manifold3d's verdict")
    args = parser.parse_args()
    if args.peers:
        peers(args.shapes, args.depths)
        return
    if args.cost is not None:
        cost(args.cost or ["sphere", "torus", "rotated_box", "box_hole", "gyroid", "mlp"], args.depths)
        return
    if args.accuracy is not None:
        for depth in args.depths:
            accuracy(args.accuracy or ["sphere", "torus", "gyroid", "rotated_box", "box_hole"], depth)
        return
    for shape in args.shapes:
        for depth in args.depths:
            for mode in args.modes:
                for row in run(shape, depth, mode, args.raw, args.pymeshlab):
                    print(row, flush=True)


if __name__ == "__main__":
    main()
