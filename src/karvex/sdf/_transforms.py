"""Rigid motions and uniform scaling of fields.

A field moved by a rigid motion ``p -> R p + t`` is evaluated at the inverse
image of each point, ``R^T (p - t)``; distances are unchanged and gradients
turn with the shape: ``grad' = R grad``. A uniform scale by ``s`` multiplies
distances by ``s`` (``f'(p) = s f(p / s)``) and leaves gradients as they are,
so a scaled distance field is still a distance field. Non-uniform scaling
would not be, and is not offered.
"""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import ArrayLike

from karvex.sdf._arguments import Vec3, as_axis, as_finite, as_positive, as_rotation, as_vector
from karvex.sdf._base import Field, Sample
from karvex.sdf._bounds import Bounds, transformed
from karvex.sdf._vectors import Array, matrix_rows

__all__ = ["Rotate", "Scale", "Translate", "axis_angle_matrix", "rotate", "scale", "translate"]


def _field(function: str, field: object) -> Field:
    if not isinstance(field, Field):
        raise TypeError(
            f"{function}() needs a karvex.sdf field (got {type(field).__name__}); wrap other"
            " callables with karvex.sdf.from_function"
        )
    return field


class Translate(Field):
    """A field moved by ``offset``; made by :func:`translate`."""

    def __init__(self, field: Field, offset: Vec3) -> None:
        self.field, self.offset = field, offset

    def __repr__(self) -> str:
        return f"translate({self.field!r}, {tuple(self.offset.tolist())})"

    @property
    def bounds(self) -> Bounds | None:
        return transformed(self.field.bounds, np.eye(3), self.offset)

    def evaluate(self, points: Array) -> Sample:
        return self.field.evaluate(points - self.offset)


class Rotate(Field):
    """A field turned by the rotation ``matrix`` about the origin; made by :func:`rotate`."""

    def __init__(self, field: Field, matrix: Array) -> None:
        self.field, self.matrix = field, matrix

    def __repr__(self) -> str:
        return f"rotate({self.field!r}, {self.matrix.tolist()})"

    @property
    def bounds(self) -> Bounds | None:
        return transformed(self.field.bounds, self.matrix)

    def evaluate(self, points: Array) -> Sample:
        # Rows are points, so p @ R is R^T p for each: the inverse rotation.
        values, gradients = self.field.evaluate(matrix_rows(points, self.matrix))
        return values, matrix_rows(gradients, self.matrix.T)


class Scale(Field):
    """A field scaled by ``factor`` about the origin; made by :func:`scale`."""

    def __init__(self, field: Field, factor: float) -> None:
        self.field, self.factor = field, factor

    def __repr__(self) -> str:
        return f"scale({self.field!r}, {self.factor!r})"

    @property
    def bounds(self) -> Bounds | None:
        return transformed(self.field.bounds, self.factor * np.eye(3))

    def evaluate(self, points: Array) -> Sample:
        values, gradients = self.field.evaluate(points / self.factor)
        return values * self.factor, gradients


def translate(field: Field, offset: ArrayLike) -> Translate:
    """``field`` moved by ``offset`` (three numbers).

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.translate(sdf.sphere(1.0), (2, 0, 0))([[2.0, 0.0, 0.0]])[0].tolist()
    [-1.0]
    """
    return Translate(_field("translate", field), as_vector("offset", offset))


def axis_angle_matrix(axis: ArrayLike | str, degrees: float) -> Array:
    """The matrix of a turn by ``degrees`` about ``axis``, counter-clockwise seen
    from the tip of ``axis`` (Rodrigues' formula).

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.axis_angle_matrix("z", 90).round(12).tolist()[0]
    [0.0, -1.0, 0.0]
    """
    k = as_axis("axis", axis)
    angle = math.radians(as_finite("degrees", degrees))
    cross = np.array([[0.0, -k[2], k[1]], [k[2], 0.0, -k[0]], [-k[1], k[0], 0.0]])
    matrix: Array = np.eye(3) + math.sin(angle) * cross + (1.0 - math.cos(angle)) * (cross @ cross)
    return matrix


def rotate(
    field: Field,
    matrix: ArrayLike | None = None,
    *,
    axis: ArrayLike | str | None = None,
    degrees: float | None = None,
) -> Rotate:
    """``field`` turned about the origin, by a rotation ``matrix`` or by
    ``degrees`` about ``axis``.

    Parameters
    ----------
    field : Field
    matrix : (3, 3) array_like, optional
        A rotation matrix (orthonormal, determinant +1) applied to the shape:
        a point ``p`` of the shape moves to ``matrix @ p``.
    axis : ``"x"``, ``"y"``, ``"z"`` or three floats, optional
        With ``degrees``, instead of ``matrix``: the axis of the turn.
    degrees : float, optional
        The angle, counter-clockwise seen from the tip of ``axis``.

    Rotate about another point with ``translate``:
    ``sdf.translate(sdf.rotate(sdf.translate(f, -c), ...), c)``.

    Examples
    --------
    >>> from karvex import sdf
    >>> bar = sdf.box((1.0, 0.1, 0.1))
    >>> turned = sdf.rotate(bar, axis="z", degrees=90)
    >>> turned([[0.0, 1.0, 0.0]])[0].round(12).tolist()
    [0.0]
    """
    target = _field("rotate", field)
    if matrix is not None:
        if axis is not None or degrees is not None:
            raise ValueError("rotate() takes either matrix or axis and degrees, not both")
        return Rotate(target, as_rotation("matrix", matrix))
    if axis is None or degrees is None:
        raise ValueError(
            "rotate() needs a rotation: a 3x3 matrix, or axis= and degrees= together"
            f" (got axis={axis!r}, degrees={degrees!r})"
        )
    return Rotate(target, axis_angle_matrix(axis, degrees))


def scale(field: Field, factor: float) -> Scale:
    """``field`` enlarged by ``factor`` (positive) about the origin; distances scale
    with it.

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.scale(sdf.sphere(1.0), 3.0)([[5.0, 0.0, 0.0]])[0].tolist()
    [2.0]
    """
    return Scale(_field("scale", field), as_positive("factor", factor))
