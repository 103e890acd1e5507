"""Signed distance fields with analytic gradients, and CSG on them.

Every shape here is a function of a whole batch of points: it takes a float64
array of shape (N, 3) and returns ``(values, gradients)``, values of shape
(N,) (negative inside, positive outside) and gradients of shape (N, 3). That
is exactly the ``eval_fn`` convention of ``_karvex_rs``, so any shape can be
passed straight to ``extract_mesh``.

Returning gradients is optional for ``extract_mesh`` (return ``None`` and it
estimates them by central differences, at the cost of six extra points per
point), but exact gradients place vertices on sharp edges more precisely and
make every Newton projection step exact.

CSG combines distances with min and max and takes the gradient of whichever
operand won, point by point (Ricci 1973; the usual "min/max" constructive
solid geometry on implicit surfaces).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TypeAlias

import numpy as np
from numpy.typing import NDArray

Array: TypeAlias = NDArray[np.float64]
# (values (N,), gradients (N, 3)) for one batch of points.
Sample: TypeAlias = tuple[Array, Array]
Field: TypeAlias = Callable[[Array], Sample]

_TINY = 1e-12


def _unit(v: Array) -> Array:
    """Rows of v scaled to unit length (rows of zero length stay zero)."""
    length = np.linalg.norm(v, axis=1)
    return v / np.maximum(length, _TINY)[:, None]


def _slabs(q: Array, dq: Array) -> Sample:
    """Exact distance to the intersection of k orthogonal slabs.

    q (N, k) holds the signed distance to each slab and dq (N, k, 3) its unit
    gradient; the slab directions must be mutually orthogonal (a box has three,
    a capped cylinder two: radial and axial). Outside, the distance is the
    length of the positive parts; inside, the largest (least negative) q.
    """
    outside = np.maximum(q, 0.0)
    outside_length = np.linalg.norm(outside, axis=1)
    largest = np.argmax(q, axis=1)
    rows = np.arange(len(q))
    inside_value = q[rows, largest]
    values = outside_length + np.minimum(inside_value, 0.0)

    outside_gradient = np.einsum("nk,nkj->nj", outside, dq) / np.maximum(
        outside_length, _TINY
    )[:, None]
    inside_gradient = dq[rows, largest]
    gradients = np.where((outside_length > 0.0)[:, None], outside_gradient, inside_gradient)
    return values, gradients


def sphere(radius: float, centre: Sequence[float] = (0.0, 0.0, 0.0)) -> Field:
    """A ball of the given radius."""
    c = np.asarray(centre, dtype=np.float64)

    def field(points: Array) -> Sample:
        d = points - c
        r = np.linalg.norm(d, axis=1)
        return r - radius, _unit(d)

    return field


def box(half_extents: Sequence[float], centre: Sequence[float] = (0.0, 0.0, 0.0)) -> Field:
    """An axis-aligned box with the given half side lengths."""
    h = np.asarray(half_extents, dtype=np.float64)
    c = np.asarray(centre, dtype=np.float64)

    def field(points: Array) -> Sample:
        d = points - c
        q = np.abs(d) - h
        # Slab i has gradient sign(d_i) along axis i.
        dq = np.sign(d)[:, :, None] * np.eye(3)[None, :, :]
        return _slabs(q, dq)

    return field


def cylinder(radius: float, half_length: float, axis: int) -> Field:
    """A capped cylinder about the origin along coordinate axis 0, 1 or 2."""
    across = [a for a in range(3) if a != axis]

    def field(points: Array) -> Sample:
        radial = np.zeros_like(points)
        radial[:, across] = points[:, across]
        axial = np.zeros_like(points)
        axial[:, axis] = np.sign(points[:, axis])
        q = np.stack(
            [np.linalg.norm(radial, axis=1) - radius, np.abs(points[:, axis]) - half_length],
            axis=1,
        )
        dq = np.stack([_unit(radial), axial], axis=1)
        return _slabs(q, dq)

    return field


def torus(major: float, minor: float) -> Field:
    """A torus about the z axis: tube radius ``minor`` round a circle of radius ``major``."""

    def field(points: Array) -> Sample:
        in_plane = points.copy()
        in_plane[:, 2] = 0.0
        # Vector from the nearest point of the core circle to the point.
        offset = points - major * _unit(in_plane)
        return np.linalg.norm(offset, axis=1) - minor, _unit(offset)

    return field


def _pick(samples: list[Sample], choose: Callable[[Array], NDArray[np.intp]]) -> Sample:
    values = np.stack([v for v, _ in samples])
    gradients = np.stack([g for _, g in samples])
    winner = choose(values)
    rows = np.arange(values.shape[1])
    return values[winner, rows], gradients[winner, rows]


def union(*fields: Field) -> Field:
    """Inside any operand: the minimum of the distances."""

    def field(points: Array) -> Sample:
        return _pick([f(points) for f in fields], lambda v: np.argmin(v, axis=0))

    return field


def intersection(*fields: Field) -> Field:
    """Inside every operand: the maximum of the distances."""

    def field(points: Array) -> Sample:
        return _pick([f(points) for f in fields], lambda v: np.argmax(v, axis=0))

    return field


def complement(f: Field) -> Field:
    """Inside and outside swapped."""

    def field(points: Array) -> Sample:
        values, gradients = f(points)
        return -values, -gradients

    return field


def difference(a: Field, b: Field) -> Field:
    """Inside a but not inside b."""
    return intersection(a, complement(b))


def gyroid(cells_per_unit: float, thickness: float) -> Field:
    """A gyroid sheet of the given thickness (an infinite, triply periodic solid).

    g(p) = sin(kx)cos(ky) + sin(ky)cos(kz) + sin(kz)cos(kx) with
    k = 2*pi*cells_per_unit; the solid is |g| / k < thickness / 2. The value is
    not an exact distance, but |grad g| stays within a small factor of k, so
    g / k behaves like one near the surface.
    """
    k = 2.0 * np.pi * cells_per_unit

    def field(points: Array) -> Sample:
        sx, sy, sz = (np.sin(k * points[:, i]) for i in range(3))
        cx, cy, cz = (np.cos(k * points[:, i]) for i in range(3))
        g = sx * cy + sy * cz + sz * cx
        dg = np.stack([cx * cy - sz * sx, cy * cz - sx * sy, cz * cx - sy * sz], axis=1)
        sign = np.where(g < 0.0, -1.0, 1.0)
        return np.abs(g) / k - 0.5 * thickness, sign[:, None] * dg

    return field


def rotated(f: Field, axis: Sequence[float], degrees: float) -> Field:
    """The shape turned by ``degrees`` about ``axis`` (through the origin)."""
    k = np.asarray(axis, dtype=np.float64)
    k = k / np.linalg.norm(k)
    t = np.radians(degrees)
    cross = np.array([[0.0, -k[2], k[1]], [k[2], 0.0, -k[0]], [-k[1], k[0], 0.0]])
    rotation = np.eye(3) + np.sin(t) * cross + (1.0 - np.cos(t)) * (cross @ cross)  # Rodrigues

    def field(points: Array) -> Sample:
        # Rows are points: p @ R applies the inverse rotation R^T to each.
        values, gradients = f(points @ rotation)
        return values, gradients @ rotation.T

    return field


def without_gradients(f: Field) -> Callable[[Array], tuple[Array, None]]:
    """The same field returning ``(values, None)``: extract_mesh then estimates
    gradients itself by central differences."""

    def field(points: Array) -> tuple[Array, None]:
        return f(points)[0], None

    return field
