"""Triply periodic lattices: the gyroid shell.

A lattice fills all of space; intersect it with a solid to bound it, e.g.
``sdf.gyroid(0.5, 0.05) & sdf.sphere(1.0)``.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike

from karvex.sdf._arguments import Vec3, as_positive, as_vector
from karvex.sdf._base import Field, Sample
from karvex.sdf._vectors import Array

__all__ = ["Gyroid", "gyroid"]


class Gyroid(Field):
    """A gyroid shell; made by :func:`gyroid`."""

    def __init__(self, period: float, thickness: float, center: Vec3) -> None:
        self.period, self.thickness, self.center = period, thickness, center
        self._k = 2.0 * np.pi / period

    def __repr__(self) -> str:
        return f"gyroid({self.period!r}, {self.thickness!r}, center={tuple(self.center.tolist())})"

    def evaluate(self, points: Array) -> Sample:
        k = self._k
        x, y, z = ((points[:, i] - self.center[i]) * k for i in range(3))
        sx, sy, sz = np.sin(x), np.sin(y), np.sin(z)
        cx, cy, cz = np.cos(x), np.cos(y), np.cos(z)
        g = sx * cy + sy * cz + sz * cx
        # d g / d(k p) per axis; the factor k cancels against the 1/k of the value.
        dg = np.stack([cx * cy - sz * sx, cy * cz - sx * sy, cz * cx - sy * sz], axis=1)
        # |g| is not differentiable on the mid-surface g == 0, which lies
        # inside the wall; take the gradient from the side g > 0 there.
        sign = np.where(g < 0.0, -1.0, 1.0)
        return np.abs(g) / k - 0.5 * self.thickness, sign[:, None] * dg


def gyroid(period: float, thickness: float, center: ArrayLike = (0, 0, 0)) -> Gyroid:
    """A gyroid sheet of the given wall ``thickness`` repeating every ``period``.

    With ``k = 2 pi / period`` and ``g(p) = sin kx cos ky + sin ky cos kz + sin kz cos kx``
    the solid is ``|g| / k < thickness / 2``: a wall round the gyroid minimal
    surface ``g = 0`` (Schoen 1970). The value is not an exact distance: near
    the mid-surface the gradient of ``g / k`` is 1.41 to 1.73 long, so the
    field overstates distances there by that factor and the wall comes out
    about ``thickness / 1.6`` thick; at the centres of the channels the
    gradient vanishes. The gradient is the exact gradient of the value.

    Parameters
    ----------
    period : float
        The side of one cubic cell of the lattice.
    thickness : float
        The wall thickness in field units (see above), well below ``period / 2``
        for open channels.
    center : three floats
        A point the mid-surface passes through.

    Examples
    --------
    >>> from karvex import sdf
    >>> shell = sdf.gyroid(1.0, 0.1) & sdf.sphere(0.9)
    >>> round(float(shell([[0.0, 0.0, 0.0]])[0][0]), 3)
    -0.05
    """
    return Gyroid(
        as_positive("period", period), as_positive("thickness", thickness), as_vector("center", center)
    )
