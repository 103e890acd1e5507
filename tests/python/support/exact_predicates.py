"""Exact orientation predicates on whole arrays of points: an oracle, in
NumPy and Python integers, independent of the core's expansion arithmetic.

``orient3d`` and ``orient2d`` return the exact sign of the orientation
determinant for each row. Each is evaluated first in floating point; the sign
is kept wherever the result exceeds Shewchuk's a-priori error bound for that
very sequence of operations (Shewchuk 1997, "Adaptive precision
floating-point arithmetic and fast robust geometric predicates", bounds
``o3derrboundA`` and ``ccwerrboundA``), which covers the rounding of the
coordinate differences too. The rows the filter cannot decide (exactly
degenerate configurations, mostly: points on a common plane or line) are
recomputed exactly: every float64 is ``m * 2**e`` with an integer ``m``, so
after shifting a row's coordinates to its smallest exponent the determinant is
a polynomial in Python integers, evaluated without rounding.

Points on a common axis-aligned plane or line, common in meshes of CAD
shapes, are recognised as such before the exact path (a difference of two
floats is zero only when they are equal).

Signs are int8 arrays of -1, 0 and +1. Coordinates must be finite.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

__all__ = ["orient2d", "orient3d"]

_EPS = 2.0**-53
_O3_BOUND = (7.0 + 56.0 * _EPS) * _EPS
_O2_BOUND = (3.0 + 16.0 * _EPS) * _EPS
# Below this permanent, products may have underflowed and the bound does not
# hold; such rows go to the exact path.
_TINY = 1e-250

Points = NDArray[np.float64]
Signs = NDArray[np.int8]


def orient3d(a: Points, b: Points, c: Points, d: Points) -> Signs:
    """Sign of det[a - d, b - d, c - d] per row; (n, 3) arrays in.

    Positive when d lies below the plane through a, b, c, that is on the side
    opposite to (b - a) x (c - a); zero exactly when the four are coplanar.

    >>> import numpy as np
    >>> o = np.zeros((1, 3))
    >>> x, y, z = np.eye(3)[None, 0], np.eye(3)[None, 1], np.eye(3)[None, 2]
    >>> orient3d(o, x, y, z).tolist(), orient3d(o, x, y, -z).tolist(), orient3d(o, x, y, x + y).tolist()
    ([-1], [1], [0])
    """
    ad, bd, cd = a - d, b - d, c - d
    bc = bd[:, 0] * cd[:, 1]
    cb = cd[:, 0] * bd[:, 1]
    ca = cd[:, 0] * ad[:, 1]
    ac = ad[:, 0] * cd[:, 1]
    ab = ad[:, 0] * bd[:, 1]
    ba = bd[:, 0] * ad[:, 1]
    det = ad[:, 2] * (bc - cb) + bd[:, 2] * (ca - ac) + cd[:, 2] * (ab - ba)
    permanent = (
        (np.abs(bc) + np.abs(cb)) * np.abs(ad[:, 2])
        + (np.abs(ca) + np.abs(ac)) * np.abs(bd[:, 2])
        + (np.abs(ab) + np.abs(ba)) * np.abs(cd[:, 2])
    )
    signs = np.sign(det).astype(np.int8)
    unsure = (np.abs(det) <= _O3_BOUND * permanent) | (permanent < _TINY)
    # Points on a common axis-aligned plane (a column of exact zero
    # differences: x - y rounds to zero only when x == y) are coplanar.
    flat = ((ad == 0) & (bd == 0) & (cd == 0)).any(axis=1)
    signs[flat] = 0
    unsure &= ~flat
    if unsure.any():
        rows = np.stack([a[unsure], b[unsure], c[unsure], d[unsure]], axis=1)
        signs[unsure] = _exact_orient3d(rows)
    return signs


def orient2d(a: Points, b: Points, c: Points) -> Signs:
    """Sign of det[a - c, b - c] per row; (n, 2) arrays in.

    Positive when a, b, c turn counter-clockwise, zero exactly when collinear.

    >>> import numpy as np
    >>> o, x, y = np.array([[0.0, 0.0]]), np.array([[1.0, 0.0]]), np.array([[0.0, 1.0]])
    >>> orient2d(o, x, y).tolist(), orient2d(o, y, x).tolist(), orient2d(o, x, 2 * x).tolist()
    ([1], [-1], [0])
    """
    left = (a[:, 0] - c[:, 0]) * (b[:, 1] - c[:, 1])
    right = (a[:, 1] - c[:, 1]) * (b[:, 0] - c[:, 0])
    det = left - right
    permanent = np.abs(left) + np.abs(right)
    signs = np.sign(det).astype(np.int8)
    unsure = (np.abs(det) <= _O2_BOUND * permanent) | (permanent < _TINY)
    # a column of exact zero differences, or two equal points: collinear
    ac, bc = a - c, b - c
    flat = ((ac == 0) & (bc == 0)).any(axis=1) | (ac == 0).all(axis=1) | (bc == 0).all(axis=1)
    flat |= (a == b).all(axis=1)
    signs[flat] = 0
    unsure &= ~flat
    if unsure.any():
        rows = np.stack([a[unsure], b[unsure], c[unsure]], axis=1)
        signs[unsure] = _exact_orient2d(rows)
    return signs


def _as_integers(rows: NDArray[np.float64]) -> NDArray[np.object_]:
    """The coordinates of each row as Python integers, all scaled by the same
    power of two within a row (which leaves every determinant's sign as it is)."""
    mantissa, exponent = np.frexp(rows)
    whole = (mantissa * 2.0**53).astype(np.int64)  # exact: 53 significant bits
    exponent = exponent.astype(np.int64) - 53
    exponent[whole == 0] = np.iinfo(np.int64).max
    lowest = exponent.reshape(len(rows), -1).min(axis=1)
    lowest[lowest == np.iinfo(np.int64).max] = 0  # a row of zeros
    shift = exponent - lowest.reshape((-1,) + (1,) * (rows.ndim - 1))
    shift[whole == 0] = 0
    shifted: NDArray[np.object_] = whole.astype(object) << shift.astype(object)
    return shifted


def _sign_of(values: NDArray[np.object_]) -> Signs:
    return ((values > 0).astype(np.int8) - (values < 0).astype(np.int8)).astype(np.int8)


def _exact_orient3d(rows: NDArray[np.float64]) -> Signs:
    p = _as_integers(rows)  # (k, 4, 3)
    ad, bd, cd = p[:, 0] - p[:, 3], p[:, 1] - p[:, 3], p[:, 2] - p[:, 3]
    det = (
        ad[:, 2] * (bd[:, 0] * cd[:, 1] - cd[:, 0] * bd[:, 1])
        + bd[:, 2] * (cd[:, 0] * ad[:, 1] - ad[:, 0] * cd[:, 1])
        + cd[:, 2] * (ad[:, 0] * bd[:, 1] - bd[:, 0] * ad[:, 1])
    )
    return _sign_of(det)


def _exact_orient2d(rows: NDArray[np.float64]) -> Signs:
    p = _as_integers(rows)  # (k, 3, 2)
    ac, bc = p[:, 0] - p[:, 2], p[:, 1] - p[:, 2]
    return _sign_of(ac[:, 0] * bc[:, 1] - ac[:, 1] * bc[:, 0])
