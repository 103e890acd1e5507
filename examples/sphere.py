"""Mesh a sphere given by its signed distance function.

The smallest complete use of karvex: a NumPy field that evaluates a whole
batch of points at once, one call of karvex.mesh, and a look at the Mesh it
returns.

    python examples/sphere.py [--max-depth 6] [--adaptive] [--no-gradients]
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

import karvex

RADIUS = 0.8
BOUNDS = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


def sphere(points: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Signed distance to a sphere about the origin (negative inside).

    ``points`` holds one point per row; the field returns one value per row and
    the gradient of each value (here the unit normal).
    """
    r = np.linalg.norm(points, axis=1)
    gradients = points / np.maximum(r, 1e-12)[:, None]
    return r - RADIUS, gradients


def sphere_values_only(points: NDArray[np.float64]) -> tuple[NDArray[np.float64], None]:
    """The same field without gradients: karvex estimates them itself."""
    return np.linalg.norm(points, axis=1) - RADIUS, None


def main(argv: Sequence[str] | None = None) -> karvex.Mesh:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--min-depth", type=int, default=3)
    parser.add_argument("--max-depth", type=int, default=6)
    parser.add_argument("--adaptive", action="store_true", help="coarser cells where flat")
    parser.add_argument("--no-gradients", action="store_true", help="let karvex estimate them")
    args = parser.parse_args(argv)

    field = sphere_values_only if args.no_gradients else sphere
    m = karvex.mesh(
        field,
        BOUNDS,
        min_depth=args.min_depth,
        max_depth=args.max_depth,
        adaptive=args.adaptive,
    )

    radii = np.linalg.norm(m.vertices, axis=1)
    exact = 4.0 / 3.0 * np.pi * RADIUS**3
    print(f"{len(m.vertices)} vertices, {len(m.faces)} triangles, closed: {m.is_closed}")
    print(f"distance of the vertices from the centre: {radii.min():.6f} .. {radii.max():.6f}")
    print(f"enclosed volume {m.volume:.5f} (exact {exact:.5f})")
    return m


if __name__ == "__main__":
    main()
