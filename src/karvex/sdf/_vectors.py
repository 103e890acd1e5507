"""Row-wise vector arithmetic on (N, 3) arrays of points.

Dot products and lengths are written out component by component instead of
calling ``np.linalg.norm``, ``einsum`` or a matrix product: each row is then
computed by the same few operations in the same order whatever the batch
size, so a field gives bit-identical values for a point whether it is
evaluated alone, in a large batch or in chunks on several machines.
"""

from __future__ import annotations

from typing import TypeAlias

import numpy as np
from numpy.typing import NDArray

__all__ = ["Array", "TINY", "dot", "length", "matrix_rows", "unit_or"]

Array: TypeAlias = NDArray[np.float64]

TINY = 1e-150
"""Lengths at or below this count as zero: the square of anything larger is a
normal float64, so dividing by such a length never overflows."""


def dot(a: Array, b: Array) -> Array:
    """Dot product of matching rows of two (N, 3) arrays (or of rows and one (3,) vector)."""
    a0, a1, a2 = a[..., 0], a[..., 1], a[..., 2]
    b0, b1, b2 = b[..., 0], b[..., 1], b[..., 2]
    result: Array = a0 * b0 + a1 * b1 + a2 * b2
    return result


def length(a: Array) -> Array:
    """Euclidean length of each row of an (N, 3) array."""
    result: Array = np.sqrt(dot(a, a))
    return result


def unit_or(v: Array, size: Array, fallback: Array) -> Array:
    """Rows of ``v`` divided by their lengths ``size``; where a length is at most
    TINY, the matching row of ``fallback`` ((3,) or (N, 3)) instead.

    This is how gradients stay finite at points where the direction is not
    defined (the centre of a sphere, the axis of a cylinder): any unit vector
    is then a valid direction of steepest ascent of the distance.
    """
    defined = size > TINY
    result = np.empty_like(v)
    np.divide(v, np.where(defined, size, 1.0)[:, None], out=result)
    undefined = ~defined
    if undefined.any():
        result[undefined] = np.broadcast_to(fallback, v.shape)[undefined]
    return result


def matrix_rows(points: Array, matrix: Array) -> Array:
    """``points @ matrix`` for a (3, 3) matrix, row by row in a fixed order."""
    result: Array = (
        points[:, 0:1] * matrix[0] + points[:, 1:2] * matrix[1] + points[:, 2:3] * matrix[2]
    )
    return result
