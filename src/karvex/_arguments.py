"""Checking the arguments of :func:`karvex.mesh` before any work starts.

Each check raises TypeError for a value of the wrong kind and ValueError for a
value out of range; the message names the argument, repeats the value and
says what to pass instead.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from karvex._progress import ProgressCallback

__all__ = ["MeshArguments", "check_arguments"]

# The octree addresses cells with 32-bit lattice coordinates.
MAX_DEPTH_LIMIT = 31
KEEP_CHOICES = ("largest", "all")


@dataclass(frozen=True)
class MeshArguments:
    """The arguments of one mesh call, checked and converted."""

    field: Callable[..., Any]
    bbox_min: tuple[float, float, float]
    bbox_max: tuple[float, float, float]
    max_depth: int
    min_depth: int
    level: float
    sharp_angle: float
    adaptive: bool
    simplify: float | None
    keep_all: bool
    batch_size: int | None
    normals: bool
    progress: bool | ProgressCallback | None
    workers: int | None


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
    """Check every argument of :func:`karvex.mesh` and convert it.

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
            f"returns (values, gradients), got {_show(field)}"
        )
    bbox_min, bbox_max = _check_bounds(bounds)
    max_d = _check_int("max_depth", max_depth, 0, MAX_DEPTH_LIMIT)
    min_d = _check_int("min_depth", min_depth, 0, MAX_DEPTH_LIMIT)
    if min_d > max_d:
        raise ValueError(
            f"min_depth must not exceed max_depth, got min_depth={min_d} and "
            f"max_depth={max_d}; lower min_depth or raise max_depth"
        )
    angle = _check_real("sharp_angle", sharp_angle)
    if not 0.0 <= angle <= 180.0:
        raise ValueError(
            f"sharp_angle must be an angle in degrees from 0 to 180, got {sharp_angle!r}; "
            "the default is 30"
        )
    if not isinstance(keep, str) or keep not in KEEP_CHOICES:
        raise ValueError(
            f'keep must be "largest" (the largest connected piece) or "all" (every piece), '
            f"got {keep!r}"
        )
    if progress is not None and not isinstance(progress, bool) and not callable(progress):
        raise TypeError(
            "progress must be True (a bar or lines on standard error), None, or a callable "
            f"taking (stage, done, total), got {_show(progress)}"
        )
    return MeshArguments(
        field=field,
        bbox_min=bbox_min,
        bbox_max=bbox_max,
        max_depth=max_d,
        min_depth=min_d,
        level=_check_real("level", level),
        sharp_angle=angle,
        adaptive=_check_bool("adaptive", adaptive),
        simplify=None if simplify is None else _check_tolerance("simplify", simplify),
        keep_all=keep == "all",
        batch_size=None if batch_size is None else _check_int("batch_size", batch_size, 1, None),
        normals=_check_bool("normals", normals),
        progress=progress,  # checked just above
        workers=None if workers is None else _check_int("workers", workers, 1, None),
    )


def _check_bounds(
    bounds: object,
) -> tuple[tuple[float, float, float], tuple[float, float, float]]:
    example = "((x0, y0, z0), (x1, y1, z1)), for example ((-1, -1, -1), (1, 1, 1))"
    if isinstance(bounds, (str, bytes)):
        raise TypeError(f"bounds must be two corners {example}, got {_show(bounds)}")
    try:
        corners = np.array(bounds, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(
            f"bounds must be two corners of three numbers each, {example}, "
            f"got {_show(bounds)}"
        ) from error
    if corners.shape != (2, 3):
        raise ValueError(
            f"bounds must be two corners of three numbers each, {example}, "
            f"got {bounds!r} (shape {corners.shape})"
        )
    if not np.isfinite(corners).all():
        raise ValueError(f"bounds must be finite numbers, got {bounds!r}")
    low, high = corners
    if not (low < high).all():
        axis = "xyz"[int(np.argmin(low < high))]
        raise ValueError(
            f"bounds must have the lower corner first and a positive extent on every "
            f"axis, got {bounds!r}, whose {axis} range is empty; "
            f"write ((x0, y0, z0), (x1, y1, z1)) with x0 < x1, y0 < y1 and z0 < z1"
        )
    return (
        (float(low[0]), float(low[1]), float(low[2])),
        (float(high[0]), float(high[1]), float(high[2])),
    )


def _check_int(name: str, value: object, low: int, high: int | None) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {_show(value)}")
    number = int(value)
    if number < low or (high is not None and number > high):
        allowed = f"from {low} to {high}" if high is not None else f"{low} or more"
        raise ValueError(f"{name} must be an integer {allowed}, got {number}")
    return number


def _check_real(name: str, value: object) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {_show(value)}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number!r}")
    return number


def _check_tolerance(name: str, value: object) -> float:
    hint = (
        "pass a distance in the units of bounds, for example 1e-4 times the box size, "
        "or None for no simplification"
    )
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number or None, got {_show(value)}; {hint}")
    number = float(value)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be a positive finite distance, got {number!r}; {hint}")
    return number


def _check_bool(name: str, value: object) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {_show(value)}")
    return bool(value)


def _show(value: object) -> str:
    text = repr(value)
    if len(text) > 60:
        text = text[:57] + "..."
    return f"{text} ({type(value).__name__})"
