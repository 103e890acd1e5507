"""Where karvex.mesh spends its field evaluations, and what they buy.

Meshes fixed fields through karvex.mesh twice: with the package's sparing
contouring (the default) and with the low-level module's form (bisection,
central differences, Newton steps with central differences), by calling the
engine with lean_sampling=False. Counts the points the user's field is asked
for, per stage (the stage is the last one the progress callback named), and
measures the result against the exact surface:

    python bench/evaluations.py [--module-dir DIR] [--cases sphere ...] [--depth 8]
    python bench/evaluations.py --dominance [--depths 6 7 8] [--sparing-only]
    python bench/evaluations.py --sharp-edges [--depth 8]

Per case and form: points per stage and in total, then error mean and max
(distance to the exact surface of points spread over the triangles),
Chamfer and Hausdorff distances to points on the exact surface, edge Chamfer
(the same on the sharp edges only, for fields with them), normal consistency
(mean |n_face . n_exact| at face centres) and max |f|/h at the vertices
(h the finest cell side). Ratios are lean / classic.

With --dominance: the points karvex.mesh asks of each field of the peer
benchmark (bench/peers/fields.py, in [-5, 5]^3, min_depth 4), values only,
in both forms, against the dense grid's (2^d + 1)^3.
"""
from __future__ import annotations

import argparse
import json
import math
import sys
from collections import Counter

import numpy as np

from module_loader import add_module_dir_argument, import_module


# --- Fields with exact surfaces ---------------------------------------------

def sphere_case(radius=3.0, half=5.0):
    def value(p):
        return np.linalg.norm(p, axis=1) - radius

    def gradient(p):
        r = np.linalg.norm(p, axis=1)[:, None]
        return p / np.where(r > 0, r, 1.0)

    def surface(n):
        rng = np.random.default_rng(1)
        v = rng.normal(size=(n, 3))
        v /= np.linalg.norm(v, axis=1)[:, None]
        return v * radius, v

    return dict(value=value, gradient=gradient, surface=surface, edges=None,
                bounds=((-half,) * 3, (half,) * 3), distance=lambda p: np.abs(value(p)))


def box_case(half_side=0.6, half=1.0):
    """An axis-aligned cube rotated about z by 30 degrees: sharp edges."""
    c, s = math.cos(math.pi / 6), math.sin(math.pi / 6)
    rot = np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])

    def local(p):
        return p @ rot  # world -> local (rot is orthonormal)

    def value(p):
        q = np.abs(local(p)) - half_side
        outside = np.linalg.norm(np.maximum(q, 0.0), axis=1)
        inside = np.minimum(q.max(axis=1), 0.0)
        return outside + inside

    def gradient(p):
        h = 1e-7
        e = np.eye(3) * h
        return np.stack([(value(p + e[i]) - value(p - e[i])) / (2 * h) for i in range(3)], axis=1)

    def surface(n):
        rng = np.random.default_rng(2)
        pts = rng.uniform(-half_side, half_side, size=(n, 3))
        axis = rng.integers(0, 3, size=n)
        sign = rng.choice([-1.0, 1.0], size=n)
        pts[np.arange(n), axis] = sign * half_side
        normals = np.zeros((n, 3))
        normals[np.arange(n), axis] = sign
        return pts @ rot.T, normals @ rot.T

    def edges(n):
        rng = np.random.default_rng(3)
        t = rng.uniform(-half_side, half_side, size=n)
        pts = np.empty((n, 3))
        for k in range(n):
            axis = k % 3
            corner = rng.choice([-half_side, half_side], size=3)
            corner[axis] = t[k]
            pts[k] = corner
        return pts @ rot.T

    return dict(value=value, gradient=gradient, surface=surface, edges=edges,
                bounds=((-half,) * 3, (half,) * 3), distance=lambda p: np.abs(value(p)))


CASES = {
    "sphere": lambda: sphere_case(),
    "tight_sphere": lambda: sphere_case(radius=0.9, half=1.0),
    "box": lambda: box_case(),
}


# --- Measuring ----------------------------------------------------------------

class Counting:
    """The user's field, counting points per stage."""

    def __init__(self, value, gradient):
        self.value, self.gradient = value, gradient
        self.stage = "construction"
        self.points = Counter()

    def __call__(self, p):
        self.points[self.stage] += len(p)
        v = self.value(p)
        return v, (None if self.gradient is None else self.gradient(p))

    def progress(self, stage, done, total):
        self.stage = _stage_group(stage)


def _stage_group(stage):
    if stage in ("locating crossings", "crossing normals", "projection"):
        return stage
    if stage in ("surface cells", "cell index", "crossings", "vertices", "faces", "pieces"):
        return "contouring (other)"
    return "construction"


def _nearest(a, b):
    from scipy.spatial import cKDTree

    return cKDTree(b).query(a)[0]


def _triangle_samples(v, f, per=6):
    rng = np.random.default_rng(4)
    tri = v[f]
    w = rng.dirichlet((1, 1, 1), size=(len(f), per))
    return np.einsum("fsk,fkd->fsd", w, tri).reshape(-1, 3)


def measure(case, mesh, h, samples=200_000):
    v, f = np.asarray(mesh.vertices), np.asarray(mesh.faces)
    on_mesh = _triangle_samples(v, f)
    err = case["distance"](on_mesh)
    exact, normals = case["surface"](samples)
    d_a = _nearest(on_mesh, exact)
    d_b = _nearest(exact, on_mesh)
    tri = v[f]
    n = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
    n /= np.maximum(np.linalg.norm(n, axis=1), 1e-300)[:, None]
    centres = tri.mean(axis=1)
    from scipy.spatial import cKDTree

    idx = cKDTree(exact).query(centres)[1]
    out = {
        "error_mean": float(err.mean()),
        "error_max": float(err.max()),
        "chamfer": float(d_a.mean() + d_b.mean()),
        "hausdorff": float(max(d_a.max(), d_b.max())),
        "normal_consistency": float(np.abs(np.einsum("ij,ij->i", n, normals[idx])).mean()),
        "vertex_f_over_h": float(np.abs(case["value"](v)).max() / h),
        "vertex_f_max": float(np.abs(case["value"](v)).max()),
    }
    if case["edges"] is not None:
        edge_pts = case["edges"](20_000)
        # Mesh points near the sharp edges against the exact edges, both ways.
        near = on_mesh[_nearest(on_mesh, edge_pts) < 2 * h]
        out["edge_chamfer"] = float(_nearest(edge_pts, near).mean() + _nearest(near, edge_pts).mean())
    return out


def mesh_in_form(karvex, engine, lean, field, bounds, **options):
    """karvex.mesh with the engine asked for lean_sampling=lean (False: the low-level
    module's form)."""
    original = engine.run

    def run_with(*args, **engine_options):
        engine_options["lean_sampling"] = lean
        return original(*args, **engine_options)

    engine.run = run_with
    try:
        return karvex.mesh(field, bounds=bounds, **options)
    finally:
        engine.run = original


def run(karvex, engine, name, gradients, lean, depth, min_depth):
    case = CASES[name]()
    field = Counting(case["value"], case["gradient"] if gradients else None)
    mesh = mesh_in_form(karvex, engine, lean, field, case["bounds"], min_depth=min_depth,
                        max_depth=depth, progress=field.progress)
    lo, hi = case["bounds"]
    h = max(b - a for a, b in zip(lo, hi)) / 2 ** depth
    result = {"points": dict(field.points), "total": sum(field.points.values()),
              "faces": int(len(mesh.faces))}
    result.update(measure(case, mesh, h))
    return result


def dominance(karvex, engine, depths, forms=(False, True)):
    sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent.parent))
    from bench.peers import fields as peer_fields

    print("| field | d | points, values only: low-level form | sparing | dense | sparing / dense |")
    print("|---|---|---|---|---|---|")
    for name in peer_fields.FIELDS:
        if name == "slow_sphere":
            continue  # the sphere's field behind a delay: the same points
        field = peer_fields.make(name)
        for depth in depths:
            counts = {}
            for lean in forms:
                counting = Counting(field.values, None)
                mesh_in_form(karvex, engine, lean, counting, ((-5.0,) * 3, (5.0,) * 3),
                             min_depth=4, max_depth=depth)
                counts[lean] = sum(counting.points.values())
            dense = (2 ** depth + 1) ** 3
            classic = f"{counts[False] / 1e6:.2f} M" if False in counts else "-"
            print(f"| {name} | {depth} | {classic} | {counts[True] / 1e6:.2f} M"
                  f" | {dense / 1e6:.2f} M | {counts[True] / dense:.2f} |")
            sys.stdout.flush()


def sharp_edges(karvex, engine, depth):
    """Edge Chamfer of the peer benchmark's fields with sharp edges, both forms, with and
    without gradients (the mesh points within two cells of the exact edges against them)."""
    sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent.parent))
    from bench.peers import fields as peer_fields

    h = 10.0 / 2 ** depth
    print("| field | d | gradients | edge Chamfer: low-level form | sparing | ratio |")
    print("|---|---|---|---|---|---|")
    for name in ("rotated_box", "box_hole"):
        field = peer_fields.make(name)
        edge_pts = field.edges(20_000, np.random.default_rng(3))
        for gradients in (False, True):
            chamfer = {}
            for lean in (False, True):
                values = field.values
                fn = field.with_gradients if gradients else (lambda p, v=values: (v(p), None))
                mesh = mesh_in_form(karvex, engine, lean, fn, ((-5.0,) * 3, (5.0,) * 3),
                                    min_depth=4, max_depth=depth)
                on_mesh = _triangle_samples(np.asarray(mesh.vertices), np.asarray(mesh.faces))
                near = on_mesh[_nearest(on_mesh, edge_pts) < 2 * h]
                chamfer[lean] = float(_nearest(edge_pts, near).mean()
                                      + _nearest(near, edge_pts).mean())
            print(f"| {name} | {depth} | {'yes' if gradients else 'no'} | {chamfer[False]:.4g}"
                  f" | {chamfer[True]:.4g} | {chamfer[True] / chamfer[False]:.3f} |")
            sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_module_dir_argument(parser)
    parser.add_argument("--cases", nargs="+", default=["sphere", "box"], choices=sorted(CASES))
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--min-depth", type=int, default=4)
    parser.add_argument("--json", action="store_true", help="one JSON object per line")
    parser.add_argument("--dominance", action="store_true",
                        help="points against the dense grid on the peer benchmark's fields")
    parser.add_argument("--depths", type=int, nargs="+", default=[6, 7, 8])
    parser.add_argument("--sharp-edges", action="store_true",
                        help="edge Chamfer of the peer benchmark's sharp fields, both forms")
    parser.add_argument("--sparing-only", action="store_true",
                        help="with --dominance: skip the low-level module's form")
    args = parser.parse_args()
    import_module(args.module_dir)  # puts the built package first on the path
    import karvex
    from karvex import _engine

    if args.sharp_edges:
        sharp_edges(karvex, _engine, args.depth)
        return
    if args.dominance:
        dominance(karvex, _engine, args.depths,
                  (True,) if args.sparing_only else (False, True))
        return

    for name in args.cases:
        for gradients in (False, True):
            rows = {}
            for lean in (False, True):
                rows[lean] = run(karvex, _engine, name, gradients, lean, args.depth, args.min_depth)
            label = f"{name} {'gradients' if gradients else 'values only'} depth {args.depth}"
            if args.json:
                print(json.dumps({"case": label, "classic": rows[False], "lean": rows[True]}))
                continue
            print(f"== {label}")
            stages = sorted(set(rows[False]["points"]) | set(rows[True]["points"]))
            for stage in stages + ["total"]:
                a = rows[False]["points"].get(stage, 0) if stage != "total" else rows[False]["total"]
                b = rows[True]["points"].get(stage, 0) if stage != "total" else rows[True]["total"]
                print(f"  {stage:22s} {a:>11,d} -> {b:>11,d}")
            for key in rows[False]:
                if key in ("points", "total"):
                    continue
                a, b = rows[False][key], rows[True][key]
                ratio = f"{b / a:.3f}" if a else "-"
                print(f"  {key:22s} {a:>11.4g} -> {b:>11.4g}   x{ratio}")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
