"""Small fields and the box shared by the tests of the karvex package.

Written inline here so that these tests do not depend on karvex.sdf."""

import numpy as np

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


def sphere(points, radius=0.7):
    """Signed distance to a sphere about the origin, with gradients."""
    r = np.linalg.norm(points, axis=1)
    return r - radius, points / np.maximum(r, 1e-12)[:, None]


def sphere_values(points):
    return sphere(points)[0], None


def torus(points, major=0.6, minor=0.25):
    """Signed distance to a torus about the z axis, with gradients."""
    ring = points.copy()
    ring[:, 2] = 0.0
    across = np.linalg.norm(ring, axis=1)
    on_axis = across < 1e-12
    ring[on_axis], across[on_axis] = (1.0, 0.0, 0.0), 1.0  # a core point, not the centre
    ring *= major / across[:, None]
    offset = points - ring
    distance = np.linalg.norm(offset, axis=1)
    return distance - minor, offset / np.maximum(distance, 1e-12)[:, None]


def two_spheres(points):
    """A larger sphere at x = -0.45 and a smaller one at x = +0.5, apart."""
    a = np.linalg.norm(points - [-0.45, 0.0, 0.0], axis=1) - 0.4
    b = np.linalg.norm(points - [0.5, 0.0, 0.0], axis=1) - 0.3
    return np.minimum(a, b), None
