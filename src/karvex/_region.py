"""The box is the region meshed: the field limited to the caller's box.

The octree covers a cube (the one centred on the box, of side its largest
extent), and the surface of a field alone would run on to the cube's faces
and be cut open there. :class:`BoxRegion` meshes instead

    g(p) = max(f(p), d(p) + level)

at ``level``, where ``d`` is the exact signed distance to the box (negative
inside): the solid ``g < level`` is the part of the solid ``f < level``
inside the box. Its surface is the surface of ``f`` inside the box, closed
by flat caps along the box's faces where the solid meets them, so every
result bounds a solid. Where ``f`` wins the value and gradient are the
field's own, bit for bit; where the box wins they are the box's exact
distance and its gradient, so Dual Contouring places the caps on the faces
and keeps their rims sharp. Vertices of cells that straddle a face are then
clamped into the box (a move within the cell, along the face's normal).

The same wrapper records the range of the values the field returned at
points inside the box, which explains an empty result without sampling the
field again. When that range does not cross the level there is no surface in
the box (though the box may lie wholly inside the solid, which the caps alone
would close): the result is empty then.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

__all__ = ["BoxRegion"]

Array = NDArray[np.float64]
FieldResult = tuple[Array, Array | None]


class BoxRegion:
    """``max(field, distance to the box + level)``, with the field's range
    inside the box recorded as it is evaluated.

    Parameters
    ----------
    field : callable
        The checked field: float64 ``(N, 3)`` points to float64 values and
        ``(N, 3)`` gradients or None.
    bbox_min, bbox_max : three floats
        The box, lower corner first.
    level : float
        The level of the surface.

    Attributes
    ----------
    low, high : float
        The least and greatest value of ``field`` at the points inside the
        box evaluated so far (``inf`` and ``-inf`` before the first).

    Examples
    --------
    >>> import numpy as np
    >>> region = BoxRegion(lambda p: (p[:, 0] - 0.5, None), (0, 0, 0), (1, 1, 1), 0.0)
    >>> values, _ = region(np.array([[0.25, 0.5, 0.5], [0.25, 0.5, 0.99], [2.0, 0.5, 0.5]]))
    >>> values.tolist()  # the field; the box's face, nearer; the box, outside it
    [-0.25, -0.010000000000000009, 1.5]
    >>> region.low, region.high  # of the field's values inside the box
    (-0.25, -0.25)
    """

    def __init__(
        self,
        field: Callable[[Array], FieldResult],
        bbox_min: tuple[float, float, float],
        bbox_max: tuple[float, float, float],
        level: float,
    ) -> None:
        self._field = field
        self._low = np.array(bbox_min, dtype=np.float64)
        self._high = np.array(bbox_max, dtype=np.float64)
        self._level = level
        self.low = float("inf")
        self.high = float("-inf")

    def __call__(self, points: Array) -> FieldResult:
        values, gradients = self._field(points)
        below = self._low - points
        above = points - self._high
        slabs = np.maximum(below, above)  # signed distance to each pair of faces
        deepest = slabs.max(axis=1)
        inside = deepest <= 0.0
        if inside.any():
            self.low = min(self.low, float(np.min(values, where=inside, initial=np.inf)))
            self.high = max(self.high, float(np.max(values, where=inside, initial=-np.inf)))
        # The exact distance to the box: the largest (negative) slab distance
        # inside it, the length of the positive ones outside.
        walls = deepest + self._level
        outside = np.flatnonzero(~inside)
        reach = np.zeros(len(points))
        if len(outside):
            outward = np.maximum(slabs[outside], 0.0)
            reach[outside] = np.sqrt(np.einsum("ij,ij->i", outward, outward))
            walls[outside] = reach[outside] + self._level
        # Ties go to the field, so that its surface on a face is kept as it is.
        box_wins = walls > values
        if not box_wins.any():
            return values, gradients
        values = np.where(box_wins, walls, values)
        if gradients is not None:
            gradients = gradients.copy()
            rows = np.flatnonzero(box_wins)
            gradients[rows] = _box_gradients(slabs[rows], reach[rows], below[rows] > above[rows])
        return values, gradients

    def crosses_level(self) -> bool:
        """True when the values recorded inside the box lie on both sides of
        the level (some below it, some at or above).

        When every value is below it the box lies inside the solid, and the
        capped result would be the box itself, a surface the field does not
        have: :func:`karvex.mesh` returns no mesh then.
        """
        return self.low < self._level <= self.high

    def clamp(self, vertices: Array) -> tuple[Array, float]:
        """The vertices moved into the box, and the longest move.

        Only vertices of cells that straddle a face can lie outside; each
        moves along the face's normal to the face.
        """
        clamped = np.clip(vertices, self._low, self._high)
        if len(vertices) == 0:
            return clamped, 0.0
        return clamped, float(np.abs(clamped - vertices).max())


def _box_gradients(slabs: Array, reach: Array, low_side: NDArray[np.bool_]) -> Array:
    """The gradient of the distance to the box at the given rows: outside,
    the unit vector from the nearest point of the box; inside, the outward
    normal of the nearest face."""
    signs = np.where(low_side, -1.0, 1.0)
    inner = np.zeros_like(slabs)
    nearest = np.argmax(slabs, axis=1)
    rows = np.arange(len(slabs))
    inner[rows, nearest] = signs[rows, nearest]
    is_outside = (reach > 0.0)[:, None]
    outer = signs * np.maximum(slabs, 0.0) / np.where(is_outside, reach[:, None], 1.0)
    result: Array = np.where(is_outside, outer, inner)
    return result
