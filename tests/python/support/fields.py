"""The fields the Python tests evaluate and mesh, and the box they live in.

The shapes are ``karvex.sdf`` fields, so the tests mesh the same exact distances
and gradients that users build. For the sphere, ``karvex.sdf`` computes the
same bits as ``np.linalg.norm(p - centre, axis=1) - radius`` and
``(p - centre) / r`` away from the centre; at the centre itself the gradient is
+x. Tests that count calls or compare batches depend on those bits, which is
why they can use this field.
"""
import numpy as np

from karvex import sdf

# The cube most tests mesh in: [-1, 1]^3.
BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
# A centre off the lattice of BOX at every depth, so that no corner lands on it.
OFF_CENTRE = (0.05, -0.03, 0.02)


def sphere(radius=0.6, centre=(0.0, 0.0, 0.0), gradients=True):
    """An ``eval_fn`` of the ball of ``radius`` about ``centre``.

    With ``gradients=False`` it returns ``(values, None)``, so the module
    estimates the gradients by central differences (six more points per point).
    """
    field = sdf.sphere(radius, center=centre)
    return field if gradients else values_only(field)


def values_only(field):
    """``field`` with its gradients withheld: returns ``(values, None)``."""
    def without_gradients(p):
        return field(p)[0], None
    return without_gradients


def slowed(field, seconds):
    """``field`` that first sleeps ``seconds`` on every call (letting other threads in,
    or giving a signal time to arrive)."""
    import time

    def slow(p):
        time.sleep(seconds)
        return field(p)
    return slow


def from_values(function, gradient=None):
    """An ``eval_fn`` from ``function(points) -> values``: the values as contiguous
    float64, with no gradients or, given ``gradient``, that constant in every entry."""
    def field(p):
        values = np.ascontiguousarray(function(p), dtype=np.float64)
        return values, None if gradient is None else np.full((len(p), 3), gradient)
    return field


def torus(major=0.6, minor=0.25):
    """The torus about the z axis, as an ``eval_fn`` with gradients."""
    return sdf.torus(major, minor)


def two_spheres(points):
    """A larger sphere at x = -0.45 and a smaller one at x = +0.5, apart; values only."""
    a = np.linalg.norm(points - [-0.45, 0.0, 0.0], axis=1) - 0.4
    b = np.linalg.norm(points - [0.5, 0.0, 0.0], axis=1) - 0.3
    return np.minimum(a, b), None


class Recorder:
    """An ``eval_fn`` that passes every call on to ``field`` and records it: the
    number of points of each call in ``sizes`` and, with ``keep``, a copy of each
    batch in ``batches``. With ``gradients=False`` it returns ``(values, None)``,
    so the module estimates the gradients by central differences."""

    def __init__(self, field, gradients=True, keep=False):
        self.field, self.gradients, self.keep = field, gradients, keep
        self.sizes = []
        self.batches = []

    @property
    def calls(self):
        return len(self.sizes)

    def __call__(self, p):
        self.sizes.append(len(p))
        if self.keep:
            self.batches.append(p.copy())
        result = self.field(p)
        return result if self.gradients else (result[0], None)


# The ball of radius 0.7 about the origin that the package's tests mesh, with its
# gradients and without.
BALL = sphere(0.7)
BALL_VALUES = sphere(0.7, gradients=False)
