"""Fields from plain functions, so that any ``eval_fn`` combines with the shapes
of this package."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from karvex.errors import FieldError
from karvex._checks import TYPE_IN_PARENS, check_callable
from karvex.sdf._arguments import as_positive
from karvex.sdf._base import Field, Sample
from karvex.sdf._bounds import Bounds, make
from karvex.sdf._vectors import Array

__all__ = ["Function", "from_function"]

# One function-call result: (values, gradients or None).
FunctionResult = tuple[Any, Any]


class Function(Field):
    """A field computed by a plain function; made by :func:`from_function`."""

    def __init__(
        self, function: Callable[[Array], FunctionResult], step: float, bounds: Bounds | None = None
    ) -> None:
        self.function, self.step, self._bounds = function, step, bounds

    @property
    def bounds(self) -> Bounds | None:
        return self._bounds

    def __repr__(self) -> str:
        return f"from_function({self.function!r}, step={self.step!r})"

    def _values_and_gradients(self, points: Array) -> tuple[Array, Array | None]:
        # A copy: the function may keep or change its points, while the same
        # array goes on to the differences below and to the other fields of
        # a combination.
        result = self.function(points.copy())
        if not (isinstance(result, tuple) and len(result) == 2):
            raise FieldError(
                f"{self.function!r} must return a pair (values, gradients or None)"
                f" (got {type(result).__name__})"
            )
        values = np.asarray(result[0], dtype=np.float64)
        if values.shape != (len(points),):
            raise FieldError(
                f"{self.function!r} returned values of shape {values.shape} for {len(points)}"
                f" points; expected ({len(points)},)"
            )
        if result[1] is None:
            return values, None
        gradients = np.asarray(result[1], dtype=np.float64)
        if gradients.shape != (len(points), 3):
            raise FieldError(
                f"{self.function!r} returned gradients of shape {gradients.shape} for"
                f" {len(points)} points; expected ({len(points)}, 3) or None"
            )
        return values, gradients

    def evaluate(self, points: Array) -> Sample:
        values, gradients = self._values_and_gradients(points)
        if gradients is not None:
            return values, gradients
        # Central differences, all six offsets in one call of the function.
        n = len(points)
        offsets = np.concatenate([np.eye(3), -np.eye(3)]) * self.step
        shifted = (points[None, :, :] + offsets[:, None, :]).reshape(6 * n, 3)
        around, _ = self._values_and_gradients(shifted)
        around = around.reshape(6, n)
        estimated = ((around[:3] - around[3:]) / (2.0 * self.step)).T
        return values, np.ascontiguousarray(estimated)


def from_function(
    function: Callable[[Array], FunctionResult],
    step: float = 1e-6,
    bounds: ArrayLike | None = None,
) -> Function:
    """Wraps ``function`` -- any ``eval_fn``: points (N, 3) float64 to
    ``(values, gradients or None)`` -- as a field that combines with the others.

    Values and gradients are converted to float64. Where the function returns
    no gradients they are estimated by central differences with the given
    ``step``, in one extra call with six points per point. ``bounds``, a box
    ``((x0, y0, z0), (x1, y1, z1))`` containing the solid, becomes the field's
    :attr:`~karvex.sdf.Field.bounds`; without it the field is taken to be
    unbounded.

    Examples
    --------
    >>> import numpy as np
    >>> from karvex import sdf
    >>> blob = sdf.from_function(lambda p: (np.linalg.norm(p, axis=1) - 1.0, None))
    >>> shape = blob - sdf.box(0.5)
    >>> shape([[2.0, 0.0, 0.0]])[1].round(6).tolist()
    [[1.0, 0.0, 0.0]]
    """
    check_callable("function", function, TYPE_IN_PARENS)
    box = None
    if bounds is not None:
        corners = np.asarray(bounds, dtype=np.float64)
        if corners.shape != (2, 3) or not np.isfinite(corners).all() or (corners[0] > corners[1]).any():
            raise ValueError(
                "bounds must be two corners ((x0, y0, z0), (x1, y1, z1)) of finite numbers, "
                f"lower first (got {bounds!r})"
            )
        box = make(corners[0], corners[1])
    return Function(function, as_positive("step", step), box)
