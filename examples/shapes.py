"""The shapes of the earlier examples, by their old names, built from karvex.sdf.

New code should use :mod:`karvex.sdf` directly (``sdf.box(0.5) - sdf.sphere(0.6)``);
this module keeps the function-style names that the benchmark harness
(bench/peers) uses. Every shape is a :class:`karvex.sdf.Field`: a callable
taking a float64 (N, 3) array and returning ``(values, gradients)``, the
field that karvex.mesh takes.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TypeAlias

import numpy as np
from numpy.typing import NDArray

from karvex import sdf

Array: TypeAlias = NDArray[np.float64]
Sample: TypeAlias = tuple[Array, Array]
Field: TypeAlias = sdf.Field

_AXES = "xyz"


def sphere(radius: float, centre: Sequence[float] = (0.0, 0.0, 0.0)) -> Field:
    """A ball of the given radius."""
    return sdf.sphere(radius, center=centre)


def box(half_extents: Sequence[float], centre: Sequence[float] = (0.0, 0.0, 0.0)) -> Field:
    """An axis-aligned box with the given half side lengths."""
    return sdf.box(half_extents, center=centre)


def cylinder(radius: float, half_length: float, axis: int) -> Field:
    """A capped cylinder about the origin along coordinate axis 0, 1 or 2."""
    return sdf.cylinder(radius, half_length, axis=_AXES[axis])


def torus(major: float, minor: float) -> Field:
    """A torus about the z axis: tube radius ``minor`` round a circle of radius ``major``."""
    return sdf.torus(major, minor)


def union(*fields: Field) -> Field:
    """Inside any operand: the minimum of the distances."""
    return sdf.union(*fields)


def intersection(*fields: Field) -> Field:
    """Inside every operand: the maximum of the distances."""
    return sdf.intersection(*fields)


def complement(f: Field) -> Field:
    """Inside and outside swapped."""
    return sdf.complement(f)


def difference(a: Field, b: Field) -> Field:
    """Inside a but not inside b."""
    return sdf.difference(a, b)


def gyroid(cells_per_unit: float, thickness: float) -> Field:
    """A gyroid sheet of the given thickness with ``cells_per_unit`` periods per unit length."""
    return sdf.gyroid(1.0 / cells_per_unit, thickness)


def rotated(f: Field, axis: Sequence[float], degrees: float) -> Field:
    """The shape turned by ``degrees`` about ``axis`` (through the origin)."""
    return sdf.rotate(f, axis=axis, degrees=degrees)


def without_gradients(f: Field) -> Callable[[Array], tuple[Array, None]]:
    """The same field returning ``(values, None)``: the mesher then estimates
    gradients itself by central differences."""

    def field(points: Array) -> tuple[Array, None]:
        return f(points)[0], None

    return field
