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
        # Whole columns, not (N, 3) rows: NumPy's loops over rows of three
        # are tens of times slower than over columns.
        low, high, x = self._low, self._high, points.T
        deepest = np.maximum(low[0] - x[0], x[0] - high[0])
        for axis in (1, 2):
            np.maximum(deepest, low[axis] - x[axis], out=deepest)
            np.maximum(deepest, x[axis] - high[axis], out=deepest)
        inside = deepest <= 0.0
        self._record(values, inside)
        # The exact distance to the box: the largest (negative) slab distance
        # inside it, the length of the positive ones outside.
        walls = deepest
        outside = np.flatnonzero(~inside)
        if len(outside):
            walls[outside] = _box_distance(points[outside], low, high)[0]
        walls += self._level
        # Ties go to the field, so that its surface on a face is kept as it is.
        box_wins = walls > values
        if not box_wins.any():
            return values, gradients
        values = np.where(box_wins, walls, values)
        if gradients is not None:
            gradients = gradients.copy()
            rows = np.flatnonzero(box_wins)
            gradients[rows] = _box_distance(points[rows], low, high)[1]
        return values, gradients

    def _record(self, values: Array, inside: NDArray[np.bool_]) -> None:
        if inside.all():
            self.low = min(self.low, float(values.min()))
            self.high = max(self.high, float(values.max()))
        elif inside.any():
            self.low = min(self.low, float(np.min(values, where=inside, initial=np.inf)))
            self.high = max(self.high, float(np.max(values, where=inside, initial=-np.inf)))

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
        if len(vertices) == 0:
            return np.clip(vertices, self._low, self._high), 0.0
        # The longest move is a coordinate's furthest reach past its bound,
        # read from each axis's extremes: rounding is monotone, so these are
        # the same bits as the largest of the moves themselves, without
        # arrays of them. The extremes are taken column by column: NumPy's
        # loops over rows of three are tens of times slower.
        columns = [vertices[:, axis] for axis in range(3)]
        lowest = np.array([column.min() for column in columns])
        highest = np.array([column.max() for column in columns])
        reach = np.concatenate((self._low - lowest, highest - self._high, [0.0]))
        longest = float(reach.max())
        if longest == 0.0 and not self._zero_bound_flips_sign(vertices, lowest, highest):
            # Nothing moves and clipping would change no bit: the array is
            # returned as it is, without a copy (the volume's own box).
            return vertices, 0.0
        return np.clip(vertices, self._low, self._high), longest

    def _zero_bound_flips_sign(self, vertices: Array, lowest: Array, highest: Array) -> bool:
        """True when a coordinate on a bound of zero has the other zero's
        sign: clipping writes the bound's own zero there. ``lowest`` and
        ``highest`` are each axis's extremes: a column that holds no zero
        (all above or all below it) is not read again."""
        for axis in range(3):
            if lowest[axis] > 0.0 or highest[axis] < 0.0:
                continue
            for bound in (float(self._low[axis]), float(self._high[axis])):
                if bound == 0.0:
                    column = vertices[:, axis]
                    if np.any((column == 0.0) & (np.signbit(column) != np.signbit(bound))):
                        return True
        return False


def _box_distance(points: Array, low: Array, high: Array) -> tuple[Array, Array]:
    """The exact signed distance to the box and its gradient, for the few
    points where either is needed row by row.

    Slab ``i`` is at signed distance ``max(low_i - p_i, p_i - high_i)``,
    exactly zero on its faces. Outside the box the distance is the length of
    the positive slab distances and the gradient the unit vector from the
    nearest point of the box; inside, the largest slab distance and the
    outward normal of the nearest face.
    """
    below, above = low - points, points - high
    slabs = np.maximum(below, above)
    outward = np.maximum(slabs, 0.0)
    reach = np.sqrt(np.einsum("ij,ij->i", outward, outward))
    signs = np.where(below > above, -1.0, 1.0)
    rows = np.arange(len(points))
    nearest = np.argmax(slabs, axis=1)
    inner = np.zeros_like(slabs)
    inner[rows, nearest] = signs[rows, nearest]
    is_outside = reach > 0.0
    outer = signs * outward / np.where(is_outside, reach, 1.0)[:, None]
    distances = np.where(is_outside, reach, slabs[rows, nearest])
    gradients: Array = np.where(is_outside[:, None], outer, inner)
    return distances, gradients
