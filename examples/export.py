"""Mesh a shape and write it as PLY, OBJ and STL files through trimesh.

extract_mesh returns plain NumPy arrays (float64 vertices, int64 triangles
facing outwards), which every mesh library takes as they are. trimesh writes
PLY, OBJ, STL, GLB and OFF; for formats such as VTK, VTU or Gmsh, meshio takes
the same two arrays: ``meshio.Mesh(vertices, [("triangle", faces)])``.

    python examples/export.py [--out-dir out] [--max-depth 6]
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from pathlib import Path

import trimesh

import _karvex_rs
from csg import BOX, box_minus_sphere

FORMATS = ("ply", "obj", "stl")


def main(argv: Sequence[str] | None = None) -> list[Path]:
    parser = argparse.ArgumentParser(description="Write a mesh as PLY, OBJ and STL.")
    parser.add_argument("--out-dir", type=Path, default=Path("out"))
    parser.add_argument("--max-depth", type=int, default=6)
    args = parser.parse_args(argv)

    vertices, faces = _karvex_rs.extract_mesh(
        box_minus_sphere(), *BOX, min_depth=min(3, args.max_depth), max_depth=args.max_depth
    )
    # process=False keeps the arrays exactly as returned: trimesh would
    # otherwise merge vertices that happen to share a position.
    mesh = trimesh.Trimesh(vertices=vertices, faces=faces, process=False)
    print(
        f"{len(vertices)} vertices, {len(faces)} triangles, watertight: {mesh.is_watertight},"
        f" volume {mesh.volume:.5f}"
    )

    args.out_dir.mkdir(parents=True, exist_ok=True)
    written = []
    for extension in FORMATS:
        path = args.out_dir / f"box_minus_sphere.{extension}"
        mesh.export(path)
        written.append(path)
        print(f"wrote {path} ({path.stat().st_size} bytes)")
    return written


if __name__ == "__main__":
    main()
