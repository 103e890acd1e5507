"""Boolean operations on fields: sharp (min and max) and smooth (blended).

Sharp operations take, point by point, the value of the operand that decides
the result and that operand's gradient (Ricci 1973, constructive geometry on
implicit surfaces). The results are exact distances outside a union and
inside an intersection and bounds elsewhere, which is all the mesher needs.

Smooth operations blend the operands where their values are within
``radius`` of each other, by the quadratic polynomial minimum (Quilez,
"smooth minimum"): with ``h = clamp(1/2 + (b - a) / (2 radius), 0, 1)``,

    smin(a, b) = h a + (1 - h) b - radius h (1 - h).

Its gradient is exactly ``h grad a + (1 - h) grad b``: the terms in grad h
cancel. Outside the blend zone it is the sharp minimum. Two surfaces meeting
at right angles get a fillet that starts ``radius`` from the edge and leaves
the solid at most ``radius / 4`` beyond the sharp union.
"""

from __future__ import annotations

import numpy as np

from karvex.sdf._arguments import as_positive
from karvex.sdf._base import Field, Sample
from karvex.sdf._bounds import Bounds, enclose, grow, overlap
from karvex.sdf._vectors import Array

__all__ = [
    "Complement",
    "Intersection",
    "SmoothIntersection",
    "SmoothUnion",
    "Union",
    "complement",
    "difference",
    "intersection",
    "smooth_difference",
    "smooth_intersection",
    "smooth_union",
    "union",
]


def _fields(name: str, fields: tuple[object, ...], least: int) -> tuple[Field, ...]:
    if len(fields) < least:
        raise ValueError(f"{name}() needs at least {least} fields (got {len(fields)})")
    for position, field in enumerate(fields):
        if not isinstance(field, Field):
            raise TypeError(
                f"{name}() argument {position + 1} must be a karvex.sdf field (got"
                f" {type(field).__name__}); wrap other callables with karvex.sdf.from_function"
            )
    return tuple(fields)  # type: ignore[arg-type]


def _pick(samples: list[Sample], take_max: bool) -> Sample:
    """Row by row, the value and gradient of the operand with the least (or
    greatest) value; ties go to the earlier operand."""
    values, gradients = samples[0]
    values, gradients = values.copy(), gradients.copy()
    for other_values, other_gradients in samples[1:]:
        better = other_values > values if take_max else other_values < values
        values[better] = other_values[better]
        gradients[better] = other_gradients[better]
    return values, gradients


class Union(Field):
    """Inside any operand; made by :func:`union` and ``a | b``."""

    def __init__(self, fields: tuple[Field, ...]) -> None:
        self.fields = fields

    def __repr__(self) -> str:
        return "union(" + ", ".join(map(repr, self.fields)) + ")"

    @property
    def bounds(self) -> Bounds | None:
        return enclose(f.bounds for f in self.fields)

    def evaluate(self, points: Array) -> Sample:
        return _pick([f.evaluate(points) for f in self.fields], take_max=False)


class Intersection(Field):
    """Inside every operand; made by :func:`intersection` and ``a & b``."""

    def __init__(self, fields: tuple[Field, ...]) -> None:
        self.fields = fields

    def __repr__(self) -> str:
        return "intersection(" + ", ".join(map(repr, self.fields)) + ")"

    @property
    def bounds(self) -> Bounds | None:
        return overlap(f.bounds for f in self.fields)

    def evaluate(self, points: Array) -> Sample:
        return _pick([f.evaluate(points) for f in self.fields], take_max=True)


class Complement(Field):
    """Inside and outside swapped; made by :func:`complement` and ``-a``."""

    def __init__(self, field: Field) -> None:
        self.field = field

    def __repr__(self) -> str:
        return f"complement({self.field!r})"

    def evaluate(self, points: Array) -> Sample:
        values, gradients = self.field.evaluate(points)
        return -values, -gradients


def union(*fields: Field) -> Union:
    """The solid inside any of ``fields`` (two or more): their minimum.

    Examples
    --------
    >>> from karvex import sdf
    >>> both = sdf.union(sdf.sphere(1.0), sdf.sphere(1.0, center=(3, 0, 0)))
    >>> both([[1.5, 0.0, 0.0]])[0].tolist()
    [0.5]
    """
    return Union(_fields("union", fields, 2))


def intersection(*fields: Field) -> Intersection:
    """The solid inside every one of ``fields`` (two or more): their maximum.

    Examples
    --------
    >>> from karvex import sdf
    >>> lens = sdf.intersection(sdf.sphere(1.0, center=(-0.5, 0, 0)), sdf.sphere(1.0, center=(0.5, 0, 0)))
    >>> lens([[0.0, 0.0, 0.0]])[0].tolist()
    [-0.5]
    """
    return Intersection(_fields("intersection", fields, 2))


def complement(field: Field) -> Complement:
    """Everything outside ``field``: the value and gradient negated.

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.complement(sdf.sphere(1.0))([[0.0, 0.0, 0.0]])[0].tolist()
    [1.0]
    """
    return Complement(_fields("complement", (field,), 1)[0])


def difference(field: Field, *subtracted: Field) -> Intersection:
    """``field`` with every one of ``subtracted`` cut away: ``max(a, -b, ...)``.

    Examples
    --------
    >>> from karvex import sdf
    >>> cup = sdf.difference(sdf.box(1.0), sdf.sphere(0.8, center=(0, 0, 1)))
    >>> cup([[0.0, 0.0, 0.9]])[0].round(3).tolist()
    [0.7]
    """
    first, *rest = _fields("difference", (field, *subtracted), 2)
    return Intersection((first, *(Complement(f) for f in rest)))


def _smooth_min(a: Sample, b: Sample, radius: float) -> Sample:
    (va, ga), (vb, gb) = a, b
    h = np.clip(0.5 + 0.5 * (vb - va) / radius, 0.0, 1.0)
    values = h * va + (1.0 - h) * vb - radius * h * (1.0 - h)
    gradients = h[:, None] * ga + (1.0 - h)[:, None] * gb
    return values, gradients


class SmoothUnion(Field):
    """A union blended over ``radius``; made by :func:`smooth_union`."""

    def __init__(self, a: Field, b: Field, radius: float) -> None:
        self.a, self.b, self.radius = a, b, radius

    def __repr__(self) -> str:
        return f"smooth_union({self.a!r}, {self.b!r}, radius={self.radius!r})"

    @property
    def bounds(self) -> Bounds | None:
        # The blend adds material only within radius of both operands.
        return grow(enclose((self.a.bounds, self.b.bounds)), self.radius)

    def evaluate(self, points: Array) -> Sample:
        return _smooth_min(self.a.evaluate(points), self.b.evaluate(points), self.radius)


class SmoothIntersection(Field):
    """An intersection blended over ``radius``; made by :func:`smooth_intersection`
    and :func:`smooth_difference`."""

    def __init__(self, a: Field, b: Field, radius: float) -> None:
        self.a, self.b, self.radius = a, b, radius

    def __repr__(self) -> str:
        return f"smooth_intersection({self.a!r}, {self.b!r}, radius={self.radius!r})"

    @property
    def bounds(self) -> Bounds | None:
        # The blended maximum is never below the sharp one: the solid lies
        # inside the sharp intersection, so no padding is needed.
        return overlap((self.a.bounds, self.b.bounds))

    def evaluate(self, points: Array) -> Sample:
        # max(a, b) = -min(-a, -b), with the same blend.
        (va, ga), (vb, gb) = self.a.evaluate(points), self.b.evaluate(points)
        values, gradients = _smooth_min((-va, -ga), (-vb, -gb), self.radius)
        return -values, -gradients


def smooth_union(a: Field, b: Field, radius: float) -> SmoothUnion:
    """The union of ``a`` and ``b`` with the crease between them filled in.

    Parameters
    ----------
    a, b : Field
    radius : float
        Positive: where the operands' values differ by less than this they
        are blended. The blend adds at most ``radius / 4`` of material.

    Examples
    --------
    >>> from karvex import sdf
    >>> blob = sdf.smooth_union(sdf.sphere(1.0), sdf.sphere(1.0, center=(2, 0, 0)), radius=0.5)
    >>> blob([[1.0, 0.0, 0.0]])[0].tolist()
    [-0.125]
    """
    first, second = _fields("smooth_union", (a, b), 2)
    return SmoothUnion(first, second, as_positive("radius", radius))


def smooth_intersection(a: Field, b: Field, radius: float) -> SmoothIntersection:
    """The intersection of ``a`` and ``b`` with its edges rounded over ``radius``.

    Examples
    --------
    >>> from karvex import sdf
    >>> rounded = sdf.smooth_intersection(sdf.box(1.0), sdf.sphere(1.3), radius=0.2)
    >>> bool(rounded([[0.0, 0.0, 0.0]])[0][0] < 0)
    True
    """
    first, second = _fields("smooth_intersection", (a, b), 2)
    return SmoothIntersection(first, second, as_positive("radius", radius))


def smooth_difference(a: Field, b: Field, radius: float) -> SmoothIntersection:
    """``a`` with ``b`` cut away, the rim of the cut rounded over ``radius``.

    Examples
    --------
    >>> from karvex import sdf
    >>> bowl = sdf.smooth_difference(sdf.box(1.0), sdf.sphere(0.8, center=(0, 0, 1)), radius=0.1)
    >>> bool(bowl([[0.0, 0.0, 0.9]])[0][0] > 0)
    True
    """
    first, second = _fields("smooth_difference", (a, b), 2)
    return SmoothIntersection(first, Complement(second), as_positive("radius", radius))
