"""Meshes the built-in example fields and prints a summary per shape.

For each shape (a sphere, a box with a spherical bite taken out of one corner,
a torus and a gyroid sheet clipped to a ball) it runs extract_mesh, writes the
mesh to out/<shape>.ply (through trimesh) and prints the vertex and face
counts, the number of field evaluations and calls, the time, and whether the
mesh is closed (every edge shared by exactly two faces), consistently oriented
and facing outwards.

    python scripts/demo.py [--max-depth 7] [--adaptive] [--out out]
    python scripts/demo.py --report      # closedness table, depths 6-8, both modes
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

_root = Path(__file__).resolve().parent.parent
_module_dir = os.environ.get("KARVEX_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, _module_dir)

import _karvex_rs  # noqa: E402
from karvex import sdf  # noqa: E402

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))

SHAPES = {
    "sphere": sdf.sphere(0.8),
    "box_minus_sphere": sdf.box(0.55) - sdf.sphere(0.5, center=(0.5, 0.5, 0.5)),
    "torus": sdf.torus(0.6, 0.25),
    "gyroid": sdf.gyroid(1.0 / 1.5, 0.08) & sdf.sphere(0.9),
}


class Counting:
    """Wraps a field to count calls and evaluated points."""

    def __init__(self, field):
        self.field = field
        self.calls = 0
        self.points = 0

    def __call__(self, points):
        self.calls += 1
        self.points += len(points)
        return self.field(points)


def edge_report(faces: np.ndarray) -> dict:
    """Closedness and orientation of a triangle mesh.

    closed: every undirected edge is used by exactly two faces.
    oriented: each such edge is walked once in each direction.
    non_manifold: edges used by more than two faces (two sheets meeting in one
    cell, where a feature is thinner than a cell).
    """
    if len(faces) == 0:
        return {"closed": False, "oriented": False, "boundary": 0, "non_manifold": 0, "euler": 0}
    directed = np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]])
    undirected = np.sort(directed, axis=1)
    edges, inverse, counts = np.unique(undirected, axis=0, return_inverse=True, return_counts=True)
    inverse = inverse.ravel()
    forward = directed[:, 0] < directed[:, 1]
    forward_uses = np.bincount(inverse, weights=forward, minlength=len(edges))
    boundary = int(np.sum(counts == 1))
    non_manifold = int(np.sum(counts > 2))
    closed = boundary == 0 and non_manifold == 0
    oriented = bool(np.all(forward_uses * 2 == counts))
    euler = len(np.unique(faces)) - len(edges) + len(faces)
    return {"closed": closed, "oriented": oriented, "boundary": boundary,
            "non_manifold": non_manifold, "euler": int(euler)}


def signed_volume(vertices: np.ndarray, faces: np.ndarray) -> float:
    """Volume enclosed by the mesh; positive when the faces point outwards."""
    if len(faces) == 0:
        return 0.0
    a, b, c = (vertices[faces[:, i]] for i in range(3))
    return float(np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6.0)


def mesh_shape(name, field, max_depth, adaptive):
    counting = Counting(field)
    start = time.perf_counter()
    vertices, faces = _karvex_rs.extract_mesh(counting, *BOX, min_depth=3, max_depth=max_depth,
                                              adaptive=adaptive)
    elapsed = time.perf_counter() - start
    report = edge_report(faces)
    report.update(name=name, vertices=len(vertices), faces=len(faces), evaluations=counting.points,
                  calls=counting.calls, seconds=elapsed,
                  outward=signed_volume(vertices, faces) > 0.0)
    return vertices, faces, report


def write_mesh(path: Path, vertices, faces):
    import trimesh  # a dependency of the demo only

    trimesh.Trimesh(vertices=vertices, faces=faces, process=False).export(path)


def run_demo(args):
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    mode = "adaptive (balanced)" if args.adaptive else "surface cells refined to max_depth"
    print(f"extract_mesh over {BOX[0]}..{BOX[1]}, min_depth=3, max_depth={args.max_depth}, {mode}")
    header = f"{'shape':<18}{'vertices':>10}{'faces':>10}{'evals':>11}{'calls':>7}{'time s':>8}  mesh"
    print(header)
    for name, field in SHAPES.items():
        vertices, faces, r = mesh_shape(name, field, args.max_depth, args.adaptive)
        path = out / f"{name}.ply"
        write_mesh(path, vertices, faces)
        state = "closed" if r["closed"] else f"open ({r['boundary']} boundary, {r['non_manifold']} non-manifold edges)"
        if r["oriented"]:
            state += ", consistently oriented" + (", outward" if r["outward"] else ", inward")
        else:
            state += ", not consistently oriented"
        print(f"{name:<18}{r['vertices']:>10}{r['faces']:>10}{r['evaluations']:>11}{r['calls']:>7}"
              f"{r['seconds']:>8.2f}  {state}; Euler {r['euler']}  -> {path}")


def run_report():
    print("| shape | max_depth | adaptive | faces | closed | oriented outward | boundary edges | "
          "non-manifold edges | Euler |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name, field in SHAPES.items():
        for depth in (6, 7, 8):
            for adaptive in (False, True):
                _, _, r = mesh_shape(name, field, depth, adaptive)
                print(f"| {name} | {depth} | {adaptive} | {r['faces']} | {r['closed']} | "
                      f"{r['oriented'] and r['outward']} | {r['boundary']} | {r['non_manifold']} | "
                      f"{r['euler']} |")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Mesh the built-in example fields.")
    parser.add_argument("--max-depth", type=int, default=7)
    parser.add_argument("--adaptive", action="store_true")
    parser.add_argument("--out", default=str(_root / "out"))
    parser.add_argument("--report", action="store_true",
                        help="print the closedness table for depths 6-8 in both modes")
    args = parser.parse_args(argv)
    if args.report:
        run_report()
    else:
        run_demo(args)


if __name__ == "__main__":
    main()
