"""Samples a sphere field through the module's evaluation bridge.

Runs a small NumPy sphere (radius 0.5 about the origin) through
test_batch_eval and test_fd_gradients and prints what comes back.
"""
import os
import sys

import numpy as np

_module_dir = os.environ.get("KARVEX_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, _module_dir)

import _karvex_rs  # noqa: E402

RADIUS = 0.5


def sphere(points):
    """Signed distance to the sphere, with analytic gradients (unit normals)."""
    r = np.linalg.norm(points, axis=1)
    gradients = points / np.maximum(r, 1e-12)[:, None]
    return r - RADIUS, gradients


def sphere_values_only(points):
    """The same field without gradients, so the module estimates them."""
    return np.linalg.norm(points, axis=1) - RADIUS, None


def main():
    points = [(0.0, 0.0, 0.0), (0.5, 0.0, 0.0), (0.3, 0.4, 0.0), (1.0, 1.0, 1.0), (-0.2, 0.1, -0.7)]

    values, has_gradients, count = _karvex_rs.test_batch_eval(sphere, points)
    print(f"test_batch_eval: {count} values, gradients returned: {has_gradients}")
    for p, v in zip(points, values):
        print(f"  f{p} = {v:+.6f}")

    estimated = _karvex_rs.test_fd_gradients(sphere_values_only, points, 1e-5)
    _, exact = sphere(np.array(points, dtype=np.float64))
    print("test_fd_gradients (step 1e-5) against the analytic gradient:")
    for p, g, e in zip(points, estimated, exact):
        error = float(np.max(np.abs(np.array(g) - e)))
        print(f"  grad{p} = ({g[0]:+.6f}, {g[1]:+.6f}, {g[2]:+.6f})  max error {error:.2e}")


if __name__ == "__main__":
    main()
