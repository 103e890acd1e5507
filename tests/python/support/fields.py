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


class Recorder:
    """An ``eval_fn`` that passes every call on to ``field`` and keeps the number of
    points of each call in ``sizes``."""

    def __init__(self, field):
        self.field = field
        self.sizes = []

    @property
    def calls(self):
        return len(self.sizes)

    def __call__(self, p):
        self.sizes.append(len(p))
        return self.field(p)
