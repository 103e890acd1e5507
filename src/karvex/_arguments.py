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

from karvex.progress import ProgressCallback

__all__ = ["MeshArguments", "check_arguments"]

# The octree addresses cells with 32-bit lattice coordinates.
MAX_DEPTH_LIMIT = 31
# The most worker threads karvex._native takes for one call.
MAX_WORKERS = 1024
# A finest cell must span at least this many float64 steps at the box's
# coordinates: below it, vertices placed inside a cell and crossings found by
# bisection along its edges collapse onto a few representable positions, and
# the mesh fills with faces of zero area.
MIN_CELL_STEPS = 1024
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
    _check_resolution(bbox_min, bbox_max, max_d, min_d)
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
        workers=None if workers is None else _check_workers(workers),
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


def _check_resolution(
    bbox_min: tuple[float, float, float],
    bbox_max: tuple[float, float, float],
    max_depth: int,
    min_depth: int,
) -> None:
    """Refuse a box whose finest cells float64 cannot resolve where it lies.

    The octree covers the cube centred on the box whose side is the box's
    largest extent; its cells at ``max_depth`` must span MIN_CELL_STEPS
    float64 steps at the cube's largest coordinate.
    """
    low, high = np.array(bbox_min), np.array(bbox_max)
    side = float((high - low).max())
    centre = 0.5 * (low + high)
    reach = float(np.abs(np.concatenate((centre - side / 2, centre + side / 2))).max())
    step = float(np.spacing(reach))
    cell = side / 2.0**max_depth
    if cell >= MIN_CELL_STEPS * step:
        return
    workable = math.floor(math.log2(side / (MIN_CELL_STEPS * step)))
    depths = f"max_depth={workable}" + (" or less" if workable > 0 else "")
    if workable >= min_depth:
        fix = f"use {depths}, or move the shape nearer the origin"
    elif workable >= 0:
        fix = f"use {depths} (and min_depth no higher), or move the shape nearer the origin"
    else:
        fix = "no depth resolves a box this small so far out: move the shape nearer the origin"
    raise ValueError(
        f"bounds and max_depth={max_depth} give finest cells of {cell:.3g}, too fine for "
        f"float64 at coordinates of {reach:.3g}, where it has steps of {step:.3g} (a cell "
        f"must span at least {MIN_CELL_STEPS} of them); {fix}"
    )


def _check_workers(value: object) -> int:
    count = _check_int("workers", value, 1, None)
    if count > MAX_WORKERS:
        raise ValueError(
            f"workers must be at most {MAX_WORKERS}, got {count}; omit it (or pass None) "
            "to use every available CPU"
        )
    return count


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
