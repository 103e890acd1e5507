"""Checking and normalising what a field returns.

Every call of a field goes through :func:`check_result`. It accepts what a
NumPy, PyTorch (CPU) or JAX field naturally returns -- float32, float16 or
signed integer arrays, strided views, an ``(N, 1)`` column of values -- and converts
it to the form the mesher needs: one-dimensional contiguous float64 values and
``(N, 3)`` contiguous float64 gradients or None. Anything else raises
:class:`~karvex.errors.FieldError` with what was wrong and how to fix it.

The checks are a few shape and dtype tests plus one pass for non-finite
entries, so they cost little next to evaluating the field.
"""

from __future__ import annotations

import inspect
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from karvex._wording import count_of
from karvex.errors import FieldError

__all__ = ["CheckedField", "check_result"]

_PAIR_HINT = "return (values, None) when you have no gradients"


def check_result(
    result: object, points: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64] | None]:
    """Check one result of a field and convert it to float64.

    Parameters
    ----------
    result : object
        What the field returned for ``points``.
    points : ndarray of float64, shape (N, 3)
        The points the field was called with; used for the expected length
        and to name the first point with a non-finite value.

    Returns
    -------
    values : ndarray of float64, shape (N,)
        C-contiguous; the caller's array itself when it already had that form.
    gradients : ndarray of float64, shape (N, 3), or None
        C-contiguous.

    Raises
    ------
    FieldError
        When ``result`` is not a ``(values, gradients)`` pair, has the wrong
        length, shape or dtype, or holds NaN or infinity.

    Examples
    --------
    >>> import numpy as np
    >>> points = np.zeros((2, 3))
    >>> values, gradients = check_result((np.ones(2, np.float32), None), points)
    >>> values.dtype, gradients
    (dtype('float64'), None)
    """
    count = len(points)
    if not isinstance(result, (tuple, list)):
        raise FieldError(
            f"the field returned a bare {_describe(result)} instead of a "
            f"(values, gradients) pair; {_PAIR_HINT}"
        )
    if len(result) != 2:
        raise FieldError(
            f"the field returned a {type(result).__name__} of {len(result)} items "
            f"instead of a (values, gradients) pair; {_PAIR_HINT}"
        )
    raw_values, raw_gradients = result
    if isinstance(result, list) and _is_scalar(raw_values) and _is_scalar(raw_gradients):
        raise FieldError(
            f"the field returned a list of two numbers instead of a (values, gradients) "
            f"pair; return an array of {count} values as a tuple: {_PAIR_HINT}"
        )
    values = _check_values(raw_values, points)
    gradients = None if raw_gradients is None else _check_gradients(raw_gradients, points)
    return values, gradients


def _check_values(raw: object, points: NDArray[np.float64]) -> NDArray[np.float64]:
    count = len(points)
    if raw is None:
        raise FieldError(
            f"the field returned None as its values; return an array of {count} "
            "values as the first item of the pair"
        )
    array = _as_numeric_array(raw, "values", f"an array of {count} float64 values")
    if array.dtype.kind == "u":
        raise FieldError(
            f"the field's values are unsigned integers ({array.dtype}), which are never "
            "negative (nothing is inside at level 0) and wrap around when a threshold is "
            "subtracted; return signed or float values, negative inside (for example "
            "values.astype(np.float64) - threshold)"
        )
    if array.shape != (count,):
        array = _flatten_values(array, count)
    values = np.ascontiguousarray(array, dtype=np.float64)
    _require_finite(values, points, "values", "return finite values everywhere in the box")
    return values


def _flatten_values(array: NDArray[Any], count: int) -> NDArray[Any]:
    """Reshape values to (count,) where no other reading is possible: a 0-d
    value for one point, or an array with at most one axis longer than 1
    (a column (N, 1) or a row (1, N))."""
    long_axes = sum(1 for length in array.shape if length > 1)
    if array.size == count and long_axes <= 1:
        return array.reshape(count)
    if array.ndim == 1 or (array.size != count and long_axes <= 1):
        raise FieldError(
            f"the field returned {array.size} values for {count} points; "
            "return one value per point, in the order of the points"
        )
    raise FieldError(
        f"the field returned values of shape {array.shape} for {count} points; "
        f"return a one-dimensional array of {count} values"
    )


def _check_gradients(raw: object, points: NDArray[np.float64]) -> NDArray[np.float64]:
    count = len(points)
    array = _as_numeric_array(
        raw, "gradients", f"a ({count}, 3) float64 array, one row (gx, gy, gz) per point, or None"
    )
    if array.shape != (count, 3):
        if array.shape == (3, count):
            raise FieldError(
                f"the field returned gradients of shape (3, {count}): one column per "
                "point; transpose them (return gradients.T) so that each row is "
                "(gx, gy, gz) of one point"
            )
        raise FieldError(
            f"the field returned gradients of shape {array.shape} for {count} points; "
            f"return a ({count}, 3) array, one row (gx, gy, gz) per point, or None "
            "to let karvex estimate them"
        )
    gradients = np.ascontiguousarray(array, dtype=np.float64)
    _require_finite(
        gradients,
        points,
        "gradients",
        "guard divisions (for example by np.maximum(norm, 1e-12)) or return None "
        "to let karvex estimate them",
    )
    return gradients


def _as_numeric_array(raw: object, what: str, expected: str) -> NDArray[Any]:
    """Convert an array-like (NumPy, a CPU tensor, a list) to an ndarray of a
    real number type, or raise FieldError naming ``what``."""
    if isinstance(raw, np.ma.MaskedArray):
        raise FieldError(
            f"the field's {what} are a masked array, whose mask karvex cannot honour; "
            f"return {expected} with every entry defined (fill masked entries with "
            "array.filled(value) for a value on the right side of the surface)"
        )
    try:
        array = np.asarray(raw)
    except Exception as error:  # a tensor on a GPU, a ragged list, ...
        raise FieldError(
            f"the field's {what} ({_describe(raw)}) cannot be converted to a NumPy array "
            f"({error}); return {expected} (from PyTorch: tensor.detach().cpu().numpy())"
        ) from error
    kind = array.dtype.kind
    if kind not in "fiu":
        reason = {
            "b": "booleans, not signed numbers",
            "c": "complex numbers",
        }.get(kind, f"not numbers (dtype {array.dtype})")
        raise FieldError(f"the field's {what} are {reason}; return {expected}")
    return array


def _require_finite(
    array: NDArray[np.float64], points: NDArray[np.float64], what: str, fix: str
) -> None:
    finite = np.isfinite(array)
    if finite.all():
        return
    bad_rows = ~finite if array.ndim == 1 else ~finite.all(axis=1)
    first = int(np.argmax(bad_rows))
    count = int(bad_rows.sum())
    value = array[first]
    x, y, z = (float(c) for c in points[first])
    raise FieldError(
        f"the field returned {count_of(count, 'non-finite ' + what[:-1])} (NaN or infinity) "
        f"for {count_of(len(points), 'point')}; the first is {_format(value)} at point "
        f"({x!r}, {y!r}, {z!r}); {fix}"
    )


def _format(value: NDArray[np.float64] | np.float64) -> str:
    if np.ndim(value) == 0:
        return repr(float(value))
    return "(" + ", ".join(repr(float(v)) for v in np.asarray(value)) + ")"


def _is_scalar(item: object) -> bool:
    return isinstance(item, (int, float, np.number))


def _describe(value: object) -> str:
    if isinstance(value, np.ndarray):
        return f"{value.dtype} array of shape {value.shape}"
    return type(value).__name__


class CheckedField:
    """The user's field as the mesher calls it: batched and checked.

    Each call is split into calls of at most ``batch_size`` points (all at
    once when ``batch_size`` is None); every result is checked by
    :func:`check_result` and the pieces are put together in order, so the
    mesher sees the same arrays as from one call.

    Parameters
    ----------
    field : callable
        The user's field.
    batch_size : int or None
        The most points per call of ``field``.

    Examples
    --------
    >>> import numpy as np
    >>> sizes = []
    >>> def field(p):
    ...     sizes.append(len(p))
    ...     return p[:, 0].astype(np.float32), None
    >>> values, gradients = CheckedField(field, 4)(np.zeros((10, 3)))
    >>> sizes, values.dtype, values.shape
    ([4, 4, 2], dtype('float64'), (10,))
    """

    def __init__(self, field: Callable[..., Any], batch_size: int | None) -> None:
        self._field = field
        self._batch_size = batch_size
        self._called = False

    def __call__(
        self, points: NDArray[np.float64]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64] | None]:
        if not self._called:
            return self._first_call(points)
        count = len(points)
        step = self._batch_size
        if step is None or count <= step:
            return check_result(self._field(points), points)
        values = np.empty(count, dtype=np.float64)
        gradients: NDArray[np.float64] | None = None
        for start in range(0, count, step):
            chunk = points[start : start + step]
            chunk_values, chunk_gradients = check_result(self._field(chunk), chunk)
            if start == 0 and chunk_gradients is not None:
                gradients = np.empty((count, 3), dtype=np.float64)
            if (chunk_gradients is None) != (gradients is None):
                raise FieldError(
                    f"the field returned gradients for some batches of {step} points and "
                    f"None for others (at points {start} to {start + len(chunk) - 1} of "
                    f"{count}); return gradients always or never"
                )
            values[start : start + len(chunk)] = chunk_values
            if gradients is not None:
                gradients[start : start + len(chunk)] = chunk_gradients
        return values, gradients

    def _first_call(
        self, points: NDArray[np.float64]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64] | None]:
        """The first call, which explains a TypeError from a field written for
        three coordinate arrays, ``f(x, y, z)``."""
        self._called = True
        try:
            return self(points)
        except TypeError as error:
            if _takes_three_coordinates(self._field):
                raise TypeError(
                    f"the field takes three positional parameters, like f(x, y, z), but is "
                    f"called with one float64 array of shape (N, 3), one point per row; "
                    f"wrap it: lambda p: f(p[:, 0], p[:, 1], p[:, 2]) (calling it raised: {error})"
                ) from error
            raise


def _takes_three_coordinates(field: Callable[..., Any]) -> bool:
    """True when ``field``'s signature has exactly three positional parameters
    without defaults (and no ``*args``)."""
    try:
        parameters = inspect.signature(field).parameters.values()
    except (TypeError, ValueError):  # builtins and extension callables may have none
        return False
    positional = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    if any(p.kind is inspect.Parameter.VAR_POSITIONAL for p in parameters):
        return False
    required = [p for p in parameters if p.kind in positional and p.default is p.empty]
    return len(required) == 3
