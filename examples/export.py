"""Mesh a shape and write it as PLY, OBJ and STL files.

Mesh.export writes through trimesh (pip install karvex[io]): PLY, OBJ, STL,
GLB and OFF, the format taken from the file's extension. The arrays
themselves, ``m.vertices`` (float64) and ``m.faces`` (int64, facing
outwards), go to any other mesh library as they are; for formats such as
VTK, VTU or Gmsh, meshio takes them: ``meshio.Mesh(m.vertices, [("triangle", m.faces)])``.

    python examples/export.py [--out-dir out] [--max-depth 6]
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from pathlib import Path

import karvex
from csg import box_minus_sphere

FORMATS = ("ply", "obj", "stl")


def main(argv: Sequence[str] | None = None) -> list[Path]:
    parser = argparse.ArgumentParser(description="Write a mesh as PLY, OBJ and STL.")
    parser.add_argument("--out-dir", type=Path, default=Path("out"))
    parser.add_argument("--max-depth", type=int, default=6)
    args = parser.parse_args(argv)

    m = karvex.mesh(box_minus_sphere(), min_depth=min(3, args.max_depth), max_depth=args.max_depth)
    print(f"{len(m.vertices)} vertices, {len(m.faces)} triangles, closed: {m.is_closed}, volume {m.volume:.5f}")

    args.out_dir.mkdir(parents=True, exist_ok=True)
    written = []
    for extension in FORMATS:
        path = args.out_dir / f"box_minus_sphere.{extension}"
        m.export(path)
        written.append(path)
        print(f"wrote {path} ({path.stat().st_size} bytes)")
    return written


if __name__ == "__main__":
    main()
