"""The one call into native code that :func:`karvex.mesh` makes.

The work is done by ``karvex._native``, the package's own extension, built
from the same core as ``_karvex_rs``: it keeps every connected piece on
request, reports progress with the totals of its stages, takes a worker count
per call, simplifies, looks for small features and can be interrupted.

The module also checks the options and the box against the rules of a run
(depth limits and order, the angle's range, finite numbers, a box of
positive extent) and raises the package's TypeError or ValueError before the
field is first called. Whatever it raises as its internal-failure exception
(its ``PanicException`` class) comes out of :func:`run` as
:class:`~karvex.errors.MeshingError`; exceptions raised by the field pass
through unchanged.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable
from types import ModuleType
from typing import Any

import numpy as np
from numpy.typing import NDArray

from karvex.errors import is_native_panic, meshing_error_from

__all__ = ["run", "run_tile", "run_volume"]

Field = Callable[[NDArray[np.float64]], tuple[NDArray[np.float64], NDArray[np.float64] | None]]
Vec3 = tuple[float, float, float]
MeshArrays = tuple[NDArray[np.float64], NDArray[np.int64]]


def _native_module() -> ModuleType:
    """``karvex._native``, imported on first use.

    Every installation of karvex ships it; a missing one means a broken
    installation (or a source tree whose extension was never built).
    """
    try:
        return importlib.import_module("karvex._native")
    except ModuleNotFoundError as error:
        if error.name != "karvex._native":
            raise  # _native exists but something it needs is missing
        raise ImportError(
            "karvex's extension module karvex._native is missing: this installation is "
            "incomplete. Reinstall karvex (pip install --force-reinstall karvex), or build "
            "it from a checkout with pip install ."
        ) from error


def run(field: Field, bbox_min: Vec3, bbox_max: Vec3, **options: Any) -> MeshArrays:
    """Mesh ``field == level`` in the box and return the raw arrays.

    The options go to ``karvex._native.extract_mesh`` by keyword, as given:
    its keyword table converts and checks them with the package's messages
    and declares their defaults. The cells of the starting grid are always
    tested for surface hidden between their corners (a small shape off the
    grid is found whatever ``min_depth`` is).

    Parameters
    ----------
    field : callable
        Called with float64 ``(N, 3)`` points; returns float64 values of
        shape (N,) and (N, 3) gradients or None, already checked.
    bbox_min, bbox_max : tuple of 3 floats
        The corners of the box.
    **options
        ``min_depth``, ``max_depth`` (0 to 31), ``level``, ``sharp_angle``
        (degrees, 0 to 180), ``adaptive``, ``keep_all``, ``simplify`` (a
        distance or None), ``workers`` (None: the default), ``progress`` (a
        callable receiving ``(stage, done, total)``, or None) and ``bounds``
        (the box as the caller wrote it, repeated by the messages about it);
        ``lean_sampling`` (default True: crossings located by regula falsi,
        normals from four-point stencils, secant projection, split tests
        without stencils; False: the low-level module's bisection and
        central differences, for comparisons).

    Returns
    -------
    vertices : ndarray of float64, shape (V, 3)
    faces : ndarray of int64, shape (F, 3)

    Raises
    ------
    ImportError
        ``karvex._native`` is missing (a broken installation).
    TypeError, ValueError
        An option of the wrong type or out of range.
    MeshingError
        The native code failed an internal check.

    Examples
    --------
    >>> import numpy as np
    >>> def sphere(p):
    ...     return np.linalg.norm(p, axis=1) - 0.5, None
    >>> v, f = run(sphere, (-1.0,) * 3, (1.0,) * 3, min_depth=2, max_depth=3)
    >>> v.shape[1], f.dtype
    (3, dtype('int64'))
    """
    vertices, faces = _extract(field, bbox_min, bbox_max, options)
    return vertices, faces


def run_volume(
    volume: tuple[Any, ...], bbox_min: Vec3, bbox_max: Vec3, **options: Any
) -> tuple[NDArray[np.float64], NDArray[np.int64], float, float]:
    """Mesh a volume of samples that native code samples itself.

    ``volume`` is ``(array, spacing, origin, inside_above)``
    (:meth:`karvex.GridField.native_volume`); the field is capped by the
    box as :class:`karvex._region.BoxRegion` caps a callable, on the worker
    pool and with no Python call per batch. Returns the mesh and the least
    and greatest value of the volume's field at the points sampled inside
    the box (``inf, -inf`` when there were none). Options and failures as
    for :func:`run`.
    """
    vertices, faces, (low, high) = _extract(None, bbox_min, bbox_max, {**options, "volume": volume})
    return vertices, faces, low, high


def run_tile(
    field: Field | None,
    volume: tuple[Any, ...] | None,
    bbox_min: Vec3,
    bbox_max: Vec3,
    **options: Any,
) -> tuple[NDArray[np.float64], NDArray[np.int64], NDArray[np.uint64], float, float]:
    """One tile of a tiled run (``options`` hold ``tile=``): the mesh as
    :func:`run` or, with ``volume``, :func:`run_volume` gives it, and each
    vertex's key, uint64 (V, 2): its cell and its group within the cell,
    the same in every tile that makes the vertex and different for any two
    vertices of one tile. The range is ``inf, -inf`` for a callable field
    (its region records that)."""
    if volume is None:
        vertices, faces, keys = _extract(field, bbox_min, bbox_max, options)
        return vertices, faces, keys, float("inf"), float("-inf")
    vertices, faces, (low, high), keys = _extract(
        None, bbox_min, bbox_max, {**options, "volume": volume}
    )
    return vertices, faces, keys, low, high


def _extract(field: Field | None, bbox_min: Vec3, bbox_max: Vec3, options: dict[str, Any]) -> Any:
    native = _native_module()
    try:
        return native.extract_mesh(field, bbox_min, bbox_max, **options, find_small=True)
    except BaseException as error:
        if is_native_panic(error, native.PanicException):
            raise meshing_error_from(error) from error
        raise
