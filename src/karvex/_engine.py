"""The one call into native code that :func:`karvex.mesh` makes.

Two native modules can do the work. ``karvex._native`` is the package's own
extension: it keeps every connected piece on request, reports progress with
the totals of its stages, takes a worker count per call and can be
interrupted. When it is not available, ``_karvex_rs.extract_mesh`` does the
meshing and the rest is done as well as Python can: progress is reported per
call of the field, the worker count is left to the module's own pool, and
keeping every piece is not possible.

Whatever the module raises as its internal-failure exception (a
``BaseException`` named ``PanicException``) comes out of :func:`run` as
:class:`~karvex.errors.MeshingError`; exceptions raised by the field pass
through unchanged.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable
from types import ModuleType

import numpy as np
from numpy.typing import NDArray

from karvex.errors import is_native_panic, meshing_error_from
from karvex.progress import ProgressCallback

__all__ = ["has_native", "run"]

Field = Callable[[NDArray[np.float64]], tuple[NDArray[np.float64], NDArray[np.float64] | None]]
Vec3 = tuple[float, float, float]
MeshArrays = tuple[NDArray[np.float64], NDArray[np.int64]]


def _native_module() -> ModuleType | None:
    """``karvex._native`` when it can be imported, else None.

    Imported on first use, not with the package, so that ``import karvex``
    works with ``_karvex_rs`` alone; the import system caches the result.
    """
    try:
        return importlib.import_module("karvex._native")
    except ModuleNotFoundError as error:
        if error.name != "karvex._native":
            raise  # _native exists but something it needs is missing
        return None


def has_native() -> bool:
    """Tell whether the package's own extension ``karvex._native`` is present.

    Returns
    -------
    bool
        True when keep="all", per-stage progress totals from the mesher and
        per-call worker counts are available.
    """
    return _native_module() is not None


def run(
    field: Field,
    bbox_min: Vec3,
    bbox_max: Vec3,
    min_depth: int,
    max_depth: int,
    sharp_angle: float,
    level: float,
    adaptive: bool,
    keep_all: bool,
    workers: int | None,
    progress: ProgressCallback | None,
    simplify: float | None = None,
) -> MeshArrays:
    """Mesh ``field == level`` in the box and return the raw arrays.

    With ``karvex._native`` the cells of the starting grid are always tested
    for surface hidden between their corners (a small shape off the grid is
    found whatever ``min_depth`` is); ``_karvex_rs`` keeps its own rule.

    Parameters
    ----------
    field : callable
        Called with float64 ``(N, 3)`` points; returns float64 values of
        shape (N,) and (N, 3) gradients or None, already checked.
    bbox_min, bbox_max : tuple of 3 floats
        The box, already validated.
    min_depth, max_depth : int
        Depth of the starting grid and the finest depth.
    sharp_angle : float
        Angle in degrees between normals that counts as a bend.
    level : float
        The level of the surface.
    adaptive : bool
        Keep the octree coarse where the surface is flat.
    keep_all : bool
        Return every connected piece instead of the largest.
    workers : int or None
        Worker threads for this call; None for the default.
    progress : callable or None
        Receives ``(stage, done, total)``.
    simplify : float or None
        Tolerance of cell merging in world units; None for none.

    Returns
    -------
    vertices : ndarray of float64, shape (V, 3)
    faces : ndarray of int64, shape (F, 3)

    Raises
    ------
    NotImplementedError
        ``keep_all`` or ``simplify`` without ``karvex._native``.
    MeshingError
        The native code failed an internal check.

    Examples
    --------
    >>> import numpy as np
    >>> def sphere(p):
    ...     return np.linalg.norm(p, axis=1) - 0.5, None
    >>> v, f = run(sphere, (-1.0,) * 3, (1.0,) * 3, 2, 3, 30.0, 0.0, False, False, None, None)
    >>> v.shape[1], f.dtype
    (3, dtype('int64'))
    """
    native = _native_module()
    try:
        if native is not None:
            vertices, faces = native.extract_mesh(
                field,
                bbox_min,
                bbox_max,
                min_depth,
                max_depth,
                sharp_angle,
                level,
                adaptive,
                keep_all,
                0 if workers is None else workers,
                progress,
                0.0 if simplify is None else simplify,
                True,
            )
        else:
            vertices, faces = _run_without_native(
                field, bbox_min, bbox_max, min_depth, max_depth, sharp_angle, level,
                adaptive, keep_all, progress, simplify,
            )
    except BaseException as error:
        if is_native_panic(error):
            raise meshing_error_from(error) from error
        raise
    return vertices, faces


def _run_without_native(
    field: Field,
    bbox_min: Vec3,
    bbox_max: Vec3,
    min_depth: int,
    max_depth: int,
    sharp_angle: float,
    level: float,
    adaptive: bool,
    keep_all: bool,
    progress: ProgressCallback | None,
    simplify: float | None = None,
) -> MeshArrays:
    if simplify is not None:
        raise NotImplementedError(
            "simplify needs the extension module karvex._native, which this installation "
            "does not have; pass simplify=None, or decimate the mesh afterwards"
        )
    if keep_all:
        raise NotImplementedError(
            'keep="all" needs the extension module karvex._native, which this '
            'installation does not have; use keep="largest", or mesh each piece in '
            "a box of its own"
        )
    # The worker count is not passed on: _karvex_rs sizes its pool once per
    # process (RAYON_NUM_THREADS) and the result does not depend on it.
    import _karvex_rs

    if progress is not None:
        field = _CallProgress(field, progress)
    vertices, faces = _karvex_rs.extract_mesh(
        field, bbox_min, bbox_max, min_depth, max_depth, sharp_angle, level, adaptive
    )
    return vertices, faces


class _CallProgress:
    """Reports each call of the field as a stage of its own.

    Python sees the mesher only through the calls of the field, and learns a
    call's size when it starts: each call becomes a stage "evaluate k" whose
    total is its number of points, reported at 0 when it starts and at the
    total when it returns. The mesher's own stages and their totals come with
    karvex._native.
    """

    def __init__(self, field: Field, progress: ProgressCallback) -> None:
        self._field = field
        self._progress = progress
        self._calls = 0

    def __call__(
        self, points: NDArray[np.float64]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64] | None]:
        self._calls += 1
        stage = f"evaluate {self._calls}"
        self._progress(stage, 0, len(points))
        result = self._field(points)
        self._progress(stage, len(points), len(points))
        return result
