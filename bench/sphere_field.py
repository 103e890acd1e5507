"""The benchmarks' sphere: radius 0.8 in [-1, 1]^3, with analytic unit gradients,
built with min_depth 4 and max_depth 9 unless a benchmark says otherwise."""
import numpy as np

RADIUS = 0.8
BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
MIN_DEPTH, MAX_DEPTH = 4, 9


def samples(p):
    """(values, gradients) of the sphere at the points p, an (N, 3) array."""
    r = np.sqrt(np.einsum("ij,ij->i", p, p))
    return r - RADIUS, p / np.maximum(r, 1e-300)[:, None]
