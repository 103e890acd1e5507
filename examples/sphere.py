"""Mesh a sphere given by its signed distance function.

The smallest complete use of _karvex_rs: a NumPy field that evaluates a whole
batch of points at once, one call of extract_mesh, and a look at the result.

    python examples/sphere.py [--max-depth 6] [--adaptive] [--no-gradients]
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

import _karvex_rs

RADIUS = 0.8


def sphere(points: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Signed distance to a sphere about the origin (negative inside).

    ``points`` holds one point per row; the field returns one value per row and
    the gradient of each value (here the unit normal).
    """
    r = np.linalg.norm(points, axis=1)
    gradients = points / np.maximum(r, 1e-12)[:, None]
    return r - RADIUS, gradients


def sphere_values_only(points: NDArray[np.float64]) -> tuple[NDArray[np.float64], None]:
    """The same field without gradients: the module estimates them itself."""
    return np.linalg.norm(points, axis=1) - RADIUS, None


def enclosed_volume(vertices: NDArray[np.float64], faces: NDArray[np.int64]) -> float:
    """Volume of a closed, outward-facing triangle mesh (divergence theorem)."""
    a, b, c = (vertices[faces[:, i]] for i in range(3))
    return float(np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6.0)


def main(argv: Sequence[str] | None = None) -> tuple[NDArray[np.float64], NDArray[np.int64]]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--min-depth", type=int, default=3)
    parser.add_argument("--max-depth", type=int, default=6)
    parser.add_argument("--adaptive", action="store_true", help="coarser cells where flat")
    parser.add_argument("--no-gradients", action="store_true", help="let the module estimate them")
    args = parser.parse_args(argv)

    field = sphere_values_only if args.no_gradients else sphere
    vertices, faces = _karvex_rs.extract_mesh(
        field,
        (-1.0, -1.0, -1.0),
        (1.0, 1.0, 1.0),
        min_depth=args.min_depth,
        max_depth=args.max_depth,
        adaptive=args.adaptive,
    )

    radii = np.linalg.norm(vertices, axis=1)
    exact = 4.0 / 3.0 * np.pi * RADIUS**3
    print(f"{len(vertices)} vertices, {len(faces)} triangles")
    print(f"distance of the vertices from the centre: {radii.min():.6f} .. {radii.max():.6f}")
    print(f"enclosed volume {enclosed_volume(vertices, faces):.5f} (exact {exact:.5f})")
    return vertices, faces


if __name__ == "__main__":
    main()
