"""Checks and conversions of the arguments that build fields: numbers through
the package's checkers, points, sizes, axes and rotations here.

Every check names the argument and the value it got and says what would be
accepted, so a mistake in a long CSG expression points at the right call. Bad
values raise ``ValueError``; values of the wrong kind (a string for a radius)
raise ``TypeError``.
"""

from __future__ import annotations

import math
from typing import TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

from karvex._checks import IN_PARENS, check_real, finite, non_negative, positive

__all__ = [
    "Vec3",
    "as_axis",
    "as_finite",
    "as_half_sizes",
    "as_non_negative",
    "as_positive",
    "as_rotation",
    "as_vector",
]

Vec3: TypeAlias = NDArray[np.float64]
"""A float64 array of shape (3,)."""

_AXES = {"x": (1.0, 0.0, 0.0), "y": (0.0, 1.0, 0.0), "z": (0.0, 0.0, 1.0)}
# Orthogonality tolerance of a rotation matrix: loose enough for a matrix
# typed with ten digits or built by a chain of float operations.
_ROTATION_TOLERANCE = 1e-6


def as_finite(name: str, value: object) -> float:
    """``value`` as a float; ``ValueError`` unless it is finite."""
    return check_real(name, value, IN_PARENS, finite, convertible=True)


def as_positive(name: str, value: object) -> float:
    """``value`` as a float; ``ValueError`` unless it is finite and above zero."""
    return check_real(name, value, IN_PARENS, positive, convertible=True)


def as_non_negative(name: str, value: object) -> float:
    """``value`` as a float; ``ValueError`` unless it is finite and not negative."""
    return check_real(name, value, IN_PARENS, non_negative, convertible=True)


def _three(name: str, value: ArrayLike) -> Vec3:
    if isinstance(value, str):
        raise IN_PARENS.kind_error(name, "three numbers", value)
    try:
        vector = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise IN_PARENS.kind_error(name, "three numbers", value) from None
    if vector.shape != (3,):
        raise IN_PARENS.range_error(name, "three numbers", value, vector)
    return vector


def as_vector(name: str, value: ArrayLike) -> Vec3:
    """Three finite numbers as a float64 array of shape (3,)."""
    vector = _three(name, value)
    if not np.isfinite(vector).all():
        raise IN_PARENS.range_error(name, "three finite numbers", value, vector)
    return vector


def as_half_sizes(name: str, value: ArrayLike) -> Vec3:
    """One positive number (a cube) or three, as a float64 array of shape (3,)."""
    if np.ndim(value) == 0 and not isinstance(value, str):
        size = as_positive(name, value)
        return np.full(3, size)
    vector = _three(name, value)
    if not (np.isfinite(vector).all() and (vector > 0.0).all()):
        raise IN_PARENS.range_error(name, "one or three positive finite numbers", value, vector)
    return vector


def as_axis(name: str, value: ArrayLike | str) -> Vec3:
    """A direction: ``"x"``, ``"y"``, ``"z"`` or three numbers, not all zero; returned
    as a unit vector."""
    if isinstance(value, str):
        if value.lower() not in _AXES:
            raise IN_PARENS.range_error(name, "'x', 'y', 'z' or three numbers", value, value)
        return np.array(_AXES[value.lower()])
    vector = as_vector(name, value)
    length = math.sqrt(float(vector[0] ** 2 + vector[1] ** 2 + vector[2] ** 2))
    if not length > 0.0 or not math.isfinite(length):
        raise IN_PARENS.range_error(name, "a direction, not all zero", value, vector)
    unit: Vec3 = vector / length
    return unit


def as_rotation(name: str, value: ArrayLike) -> NDArray[np.float64]:
    """A 3x3 rotation matrix (orthonormal, determinant +1), as float64."""
    try:
        matrix = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise IN_PARENS.kind_error(name, "a 3x3 matrix of numbers", value) from None
    if matrix.shape != (3, 3):
        raise ValueError(f"{name} must be a 3x3 matrix (got shape {matrix.shape})")
    if not np.isfinite(matrix).all():
        raise ValueError(f"{name} must hold finite numbers (got {matrix.tolist()})")
    error = float(np.abs(matrix.T @ matrix - np.eye(3)).max())
    if error > _ROTATION_TOLERANCE:
        raise ValueError(
            f"{name} must be orthonormal, a rotation (|R^T R - I| is {error:.3g}; got"
            f" {matrix.tolist()}); to resize a field use scale()"
        )
    if np.linalg.det(matrix) < 0.0:
        raise ValueError(
            f"{name} is a reflection (determinant -1), not a rotation (got {matrix.tolist()})"
        )
    return matrix
