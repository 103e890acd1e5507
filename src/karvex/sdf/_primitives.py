"""Solid primitives with exact signed distances and exact gradients.

Each primitive is the exact Euclidean distance to its surface, negative
inside, and its gradient is the exact gradient of that distance: a unit
vector, pointing away from the nearest surface point. Where the distance has
no gradient (the centre of a sphere, the axis of a cylinder, the medial
sheets inside a box) one of its one-sided gradients is returned, so values
and gradients are finite everywhere.

Boxes and capped cylinders are intersections of mutually orthogonal slabs;
their distance is the length of the positive parts of the slab distances
outside and the largest slab distance inside (Quilez, "distance functions").
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike

from karvex.sdf._arguments import (
    Vec3,
    as_axis,
    as_half_sizes,
    as_non_negative,
    as_positive,
    as_vector,
)
from karvex.sdf._base import Field, Sample
from karvex.sdf._bounds import Bounds, around, make
from karvex.sdf._vectors import Array, dot, length, unit_or

__all__ = [
    "Box",
    "Capsule",
    "Cylinder",
    "Plane",
    "Sphere",
    "Torus",
    "box",
    "capsule",
    "cylinder",
    "plane",
    "rounded_box",
    "sphere",
    "torus",
]

_X = np.array([1.0, 0.0, 0.0])


def _perpendicular(axis: Vec3) -> Vec3:
    """A unit vector at right angles to the unit vector ``axis``."""
    helper = np.array([1.0, 0.0, 0.0]) if abs(axis[0]) < 0.9 else np.array([0.0, 1.0, 0.0])
    v = np.cross(axis, helper)
    result: Vec3 = v / np.sqrt(v @ v)
    return result


def _slabs(q: Array, dq: Array) -> Sample:
    """Exact distance to the intersection of k mutually orthogonal slabs.

    ``q`` (N, k) holds the signed distance to each slab and ``dq`` (N, k, 3)
    its unit gradient. Outside, the distance is the length of the positive
    parts of q, and its gradient their combination; inside (and on the
    surface) it is the largest q, with that slab's gradient.
    """
    outside = np.maximum(q, 0.0)
    squares = outside[:, 0] * outside[:, 0]
    for k in range(1, q.shape[1]):
        squares = squares + outside[:, k] * outside[:, k]
    outside_length = np.sqrt(squares)
    largest = np.argmax(q, axis=1)
    rows = np.arange(len(q))
    values = outside_length + np.minimum(q[rows, largest], 0.0)
    is_outside = outside_length > 0.0
    scale = outside / np.where(is_outside, outside_length, 1.0)[:, None]
    outside_gradient = scale[:, 0:1] * dq[:, 0]
    for k in range(1, q.shape[1]):
        outside_gradient = outside_gradient + scale[:, k : k + 1] * dq[:, k]
    gradients = np.where(is_outside[:, None], outside_gradient, dq[rows, largest])
    return values, gradients


class Sphere(Field):
    """A ball; made by :func:`sphere`."""

    def __init__(self, radius: float, center: Vec3) -> None:
        self.radius, self.center = radius, center

    def __repr__(self) -> str:
        return f"sphere({self.radius!r}, center={tuple(self.center.tolist())})"

    @property
    def bounds(self) -> Bounds:
        return around(self.center, self.radius)

    def evaluate(self, points: Array) -> Sample:
        d = points - self.center
        r = length(d)
        return r - self.radius, unit_or(d, r, _X)


def sphere(radius: float, center: ArrayLike = (0, 0, 0)) -> Sphere:
    """A ball of the given ``radius`` about ``center``.

    At the centre, where every direction is steepest, the gradient is +x.

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.sphere(0.5, center=(1, 0, 0))([[1.0, 0.0, 2.0]])[0].tolist()
    [1.5]
    """
    return Sphere(as_positive("radius", radius), as_vector("center", center))


class Box(Field):
    """An axis-aligned box with optionally rounded edges; made by :func:`box` and
    :func:`rounded_box`."""

    def __init__(self, half_size: Vec3, center: Vec3, radius: float = 0.0) -> None:
        self.half_size, self.center, self.radius = half_size, center, radius

    def __repr__(self) -> str:
        size, centre = tuple(self.half_size.tolist()), tuple(self.center.tolist())
        if self.radius:
            return f"rounded_box({size}, {self.radius!r}, center={centre})"
        return f"box({size}, center={centre})"

    @property
    def bounds(self) -> Bounds:
        return around(self.center, self.half_size)

    def evaluate(self, points: Array) -> Sample:
        d = points - self.center
        # The box shrunk by the rounding radius, offset outwards by it.
        q = np.abs(d) - (self.half_size - self.radius)
        # Slab i has gradient +-e_i; on a mid-plane (d_i == 0) take +e_i.
        signs = np.where(d < 0.0, -1.0, 1.0)
        dq = signs[:, :, None] * np.eye(3)[None, :, :]
        values, gradients = _slabs(q, dq)
        return values - self.radius, gradients


def box(half_size: ArrayLike, center: ArrayLike = (0, 0, 0)) -> Box:
    """An axis-aligned box reaching ``half_size`` from ``center`` along each axis.

    Parameters
    ----------
    half_size : float or three floats
        Half the side lengths; one number makes a cube.
    center : three floats
        The centre of the box.

    The distance is exact both outside (to the nearest face, edge or corner)
    and inside (to the nearest face).

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.box((1, 2, 3))([[2.0, 3.0, 0.0], [0.5, 0.0, 0.0]])[0].tolist()
    [1.4142135623730951, -0.5]
    """
    return Box(as_half_sizes("half_size", half_size), as_vector("center", center))


def rounded_box(half_size: ArrayLike, radius: float, center: ArrayLike = (0, 0, 0)) -> Box:
    """A box of the same outer size as :func:`box` with edges and corners rounded
    to ``radius``.

    ``radius`` may be at most the smallest half size (then that axis is fully
    round). The distance is exact: the box shrunk by ``radius`` and offset by it.

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.rounded_box(1.0, 0.25)([[1.0, 1.0, 0.0]])[0].round(4).tolist()
    [0.1036]
    """
    sizes = as_half_sizes("half_size", half_size)
    rounding = as_non_negative("radius", radius)
    if rounding > sizes.min():
        raise ValueError(
            f"radius must not exceed the smallest half size {float(sizes.min())!r} (got {radius!r})"
        )
    return Box(sizes, as_vector("center", center), rounding)


class Cylinder(Field):
    """A capped cylinder; made by :func:`cylinder`."""

    def __init__(self, radius: float, half_length: float, center: Vec3, axis: Vec3) -> None:
        self.radius, self.half_length, self.center, self.axis = radius, half_length, center, axis
        self._across = _perpendicular(axis)

    def __repr__(self) -> str:
        return (
            f"cylinder({self.radius!r}, {self.half_length!r},"
            f" center={tuple(self.center.tolist())}, axis={tuple(self.axis.tolist())})"
        )

    @property
    def bounds(self) -> Bounds:
        # Along axis i the caps reach half_length |a_i| and their rims
        # radius sqrt(1 - a_i^2) beyond that.
        across = np.sqrt(np.maximum(1.0 - self.axis * self.axis, 0.0))
        return around(self.center, self.half_length * np.abs(self.axis) + self.radius * across)

    def evaluate(self, points: Array) -> Sample:
        d = points - self.center
        along = dot(d, self.axis)
        radial = d - along[:, None] * self.axis
        r = length(radial)
        q = np.stack([r - self.radius, np.abs(along) - self.half_length], axis=1)
        axial = np.where(along < 0.0, -1.0, 1.0)[:, None] * self.axis
        dq = np.stack([unit_or(radial, r, self._across), axial], axis=1)
        return _slabs(q, dq)


def cylinder(
    radius: float,
    half_length: float,
    center: ArrayLike = (0, 0, 0),
    axis: ArrayLike | str = "z",
) -> Cylinder:
    """A solid cylinder with flat caps, ``half_length`` from ``center`` each way
    along ``axis``.

    Parameters
    ----------
    radius, half_length : float
        Positive.
    center : three floats
    axis : ``"x"``, ``"y"``, ``"z"`` or three floats
        The direction of the axis (need not be unit length).

    On the axis the radial direction is undefined; there the gradient inside
    is a fixed unit vector across the axis.

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.cylinder(1.0, 2.0, axis="x")([[3.0, 0.0, 0.0], [0.0, 0.0, 1.5]])[0].tolist()
    [1.0, 0.5]
    """
    return Cylinder(
        as_positive("radius", radius),
        as_positive("half_length", half_length),
        as_vector("center", center),
        as_axis("axis", axis),
    )


class Capsule(Field):
    """A segment thickened by a radius; made by :func:`capsule`."""

    def __init__(self, start: Vec3, end: Vec3, radius: float) -> None:
        self.start, self.end, self.radius = start, end, radius
        self._span = end - start
        self._span_squared = float(self._span @ self._span)
        span_length = np.sqrt(self._span_squared)
        self._across = _perpendicular(self._span / span_length) if span_length > 0 else _X

    def __repr__(self) -> str:
        return (
            f"capsule({tuple(self.start.tolist())}, {tuple(self.end.tolist())}, {self.radius!r})"
        )

    @property
    def bounds(self) -> Bounds:
        return make(
            np.minimum(self.start, self.end) - self.radius,
            np.maximum(self.start, self.end) + self.radius,
        )

    def evaluate(self, points: Array) -> Sample:
        d = points - self.start
        if self._span_squared > 0.0:
            t = np.clip(dot(d, self._span) / self._span_squared, 0.0, 1.0)
            offset = d - t[:, None] * self._span
        else:
            offset = d
        r = length(offset)
        # The nearest point of the segment moves with p, but the offset is
        # perpendicular to that motion, so the gradient is the unit offset.
        return r - self.radius, unit_or(offset, r, self._across)


def capsule(start: ArrayLike, end: ArrayLike, radius: float) -> Capsule:
    """All points within ``radius`` of the segment from ``start`` to ``end``.

    A cylinder with hemispherical caps; ``start == end`` gives a ball.

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.capsule((0, 0, -1), (0, 0, 1), 0.5)([[0.0, 0.0, 2.0], [1.0, 0.0, 0.0]])[0].tolist()
    [0.5, 0.5]
    """
    return Capsule(as_vector("start", start), as_vector("end", end), as_positive("radius", radius))


class Torus(Field):
    """A ring torus; made by :func:`torus`."""

    def __init__(self, major_radius: float, minor_radius: float, center: Vec3, axis: Vec3) -> None:
        self.major_radius, self.minor_radius = major_radius, minor_radius
        self.center, self.axis = center, axis
        self._across = _perpendicular(axis)

    def __repr__(self) -> str:
        return (
            f"torus({self.major_radius!r}, {self.minor_radius!r},"
            f" center={tuple(self.center.tolist())}, axis={tuple(self.axis.tolist())})"
        )

    @property
    def bounds(self) -> Bounds:
        # The core circle reaches major_radius sqrt(1 - a_i^2) along axis i.
        across = np.sqrt(np.maximum(1.0 - self.axis * self.axis, 0.0))
        return around(self.center, self.major_radius * across + self.minor_radius)

    def evaluate(self, points: Array) -> Sample:
        d = points - self.center
        radial = d - dot(d, self.axis)[:, None] * self.axis
        r = length(radial)
        # Every point of the core circle is nearest for points on the axis;
        # take the one in the fixed direction across it.
        outwards = unit_or(radial, r, self._across)
        offset = d - self.major_radius * outwards  # from the nearest core point
        distance = length(offset)
        return distance - self.minor_radius, unit_or(offset, distance, outwards)


def torus(
    major_radius: float,
    minor_radius: float,
    center: ArrayLike = (0, 0, 0),
    axis: ArrayLike | str = "z",
) -> Torus:
    """A tube of radius ``minor_radius`` round a circle of radius ``major_radius``
    about ``axis`` through ``center``.

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.torus(1.0, 0.25)([[1.0, 0.0, 0.0], [0.0, 0.0, 0.0]])[0].tolist()
    [-0.25, 0.75]
    """
    return Torus(
        as_positive("major_radius", major_radius),
        as_positive("minor_radius", minor_radius),
        as_vector("center", center),
        as_axis("axis", axis),
    )


class Plane(Field):
    """A half-space; made by :func:`plane`."""

    def __init__(self, normal: Vec3, point: Vec3) -> None:
        self.normal, self.point = normal, point

    def __repr__(self) -> str:
        return f"plane({tuple(self.normal.tolist())}, point={tuple(self.point.tolist())})"

    def evaluate(self, points: Array) -> Sample:
        values = dot(points - self.point, self.normal)
        return values, np.broadcast_to(self.normal, points.shape).copy()


def plane(normal: ArrayLike | str, point: ArrayLike = (0, 0, 0)) -> Plane:
    """The half-space behind the plane through ``point`` facing ``normal``.

    Points on the side ``normal`` points to are outside. Intersect it with a
    solid to cut the solid flat.

    Examples
    --------
    >>> from karvex import sdf
    >>> sdf.plane((0, 0, 2), point=(0, 0, 1))([[5.0, 5.0, 3.0]])[0].tolist()
    [2.0]
    """
    return Plane(as_axis("normal", normal), as_vector("point", point))
