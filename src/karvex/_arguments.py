"""Checking the arguments of :func:`karvex.mesh` that only Python handles.

The field, the parsing of bounds into two corners, keep, progress,
batch_size and normals are checked here. The options of the run itself
(depths, level, sharp_angle, adaptive, simplify, workers) and the rules of the
box (finite, ordered, and finest cells that float64 resolves where the box
lies) are converted and checked by ``karvex._native`` with the same kind of
messages, before the field is first called.

Each check raises TypeError for a value of the wrong kind and ValueError for a
value out of range; the message names the argument, repeats the value and
says what to pass instead.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from karvex._checks import AFTER_COMMA, check_bool, check_int, shown
from karvex._progress import ProgressCallback

__all__ = ["MeshArguments", "check_arguments"]

KEEP_CHOICES = ("largest", "all")


@dataclass(frozen=True)
class MeshArguments:
    """The arguments of one mesh call.

    Those typed ``Any`` are the caller's values as given, which the native
    call converts and checks.
    """

    field: Callable[..., Any]
    bbox_min: tuple[float, float, float]
    bbox_max: tuple[float, float, float]
    max_depth: Any
    min_depth: Any
    level: Any
    sharp_angle: Any
    adaptive: Any
    simplify: Any
    keep_all: bool
    batch_size: int | None
    normals: bool
    progress: bool | ProgressCallback | None
    workers: Any


def check_arguments(
    field: object,
    bounds: object,
    *,
    max_depth: object,
    min_depth: object,
    level: object,
    sharp_angle: object,
    adaptive: object,
    simplify: object = None,
    keep: object,
    batch_size: object,
    normals: object,
    progress: object,
    workers: object,
) -> MeshArguments:
    """Check the arguments of :func:`karvex.mesh` that Python handles.

    Returns
    -------
    MeshArguments

    Raises
    ------
    TypeError
        An argument of the wrong type.
    ValueError
        An argument out of its range.

    Examples
    --------
    >>> args = check_arguments(
    ...     lambda p: (p[:, 0], None), ((0, 0, 0), (1, 1, 1)), max_depth=5, min_depth=3,
    ...     level=0.0, sharp_angle=30.0, adaptive=False, keep="largest", batch_size=None,
    ...     normals=False, progress=None, workers=None)
    >>> args.bbox_max
    (1.0, 1.0, 1.0)
    """
    if not callable(field):
        raise TypeError(
            f"field must be a callable that takes a float64 (N, 3) array of points and "
            f"returns (values, gradients), got {shown(field)}"
        )
    bbox_min, bbox_max = _corners(bounds)
    if not isinstance(keep, str) or keep not in KEEP_CHOICES:
        raise ValueError(
            f'keep must be "largest" (the largest connected piece) or "all" (every piece), '
            f"got {keep!r}"
        )
    if progress is not None and not isinstance(progress, bool) and not callable(progress):
        raise TypeError(
            "progress must be True (a bar or lines on standard error), None, or a callable "
            f"taking (stage, done, total), got {shown(progress)}"
        )
    return MeshArguments(
        field=field,
        bbox_min=bbox_min,
        bbox_max=bbox_max,
        max_depth=max_depth,
        min_depth=min_depth,
        level=level,
        sharp_angle=sharp_angle,
        adaptive=adaptive,
        simplify=simplify,
        keep_all=keep == "all",
        batch_size=(
            None if batch_size is None else check_int("batch_size", batch_size, AFTER_COMMA, low=1)
        ),
        normals=check_bool("normals", normals, AFTER_COMMA),
        progress=progress,  # checked just above
        workers=workers,
    )


def _corners(
    bounds: object,
) -> tuple[tuple[float, float, float], tuple[float, float, float]]:
    """The two corners of ``bounds`` as float triples (finite and ordered or
    not: the native call checks that)."""
    example = "((x0, y0, z0), (x1, y1, z1)), for example ((-1, -1, -1), (1, 1, 1))"
    if isinstance(bounds, (str, bytes)):
        raise TypeError(f"bounds must be two corners {example}, got {shown(bounds)}")
    try:
        corners = np.array(bounds, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(
            f"bounds must be two corners of three numbers each, {example}, "
            f"got {shown(bounds)}"
        ) from error
    if corners.shape != (2, 3):
        raise ValueError(
            f"bounds must be two corners of three numbers each, {example}, "
            f"got {bounds!r} (shape {corners.shape})"
        )
    low, high = corners
    return (
        (float(low[0]), float(low[1]), float(low[2])),
        (float(high[0]), float(high[1]), float(high[2])),
    )
