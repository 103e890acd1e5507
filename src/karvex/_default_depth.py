"""The finest depth a mesh call uses when the caller names none.

A field given as a callable is meshed at depth 7 (128 cells a side). A
sampled volume (:func:`karvex.grid_field`, over a NumPy or a Dask array)
already fixes its resolution: it is meshed at the depth whose finest cells
are as small as its samples' spacing, so that a ``2**k + 1`` volume is
meshed on its own voxels (the native dense path) and a larger or finer
volume loses none of its samples to coarse cells.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

from karvex._dask_volume import DaskGridField
from karvex._grid import GridField

__all__ = ["DEFAULT_MAX_DEPTH", "default_max_depth", "sample_depth"]

DEFAULT_MAX_DEPTH = 7

# Cube sides that are a power of two of spacings up to rounding in the last
# bits (2.0 / 256 * 256 need not be 2.0) keep that power's depth.
_ROUNDING = 1e-9


def sample_depth(side: float, spacing: float) -> int:
    """The least depth ``k`` (at least 1) with ``side / 2**k`` at most ``spacing``."""
    ratio = side / spacing
    if not math.isfinite(ratio) or ratio <= 2.0:
        return 1
    return max(1, math.ceil(math.log2(ratio) - _ROUNDING))


def default_max_depth(
    field: object, bbox_min: Sequence[float], bbox_max: Sequence[float], min_depth: object
) -> int:
    """``max_depth`` for a call that gave none: the volume's sample depth
    within the box meshed (at least ``min_depth``, at most 31), else 7."""
    if not isinstance(field, (GridField, DaskGridField)):
        return DEFAULT_MAX_DEPTH
    side = max(hi - lo for lo, hi in zip(bbox_min, bbox_max, strict=True))
    depth = sample_depth(side, float(min(field.spacing)))
    if isinstance(min_depth, int) and not isinstance(min_depth, bool) and 0 <= min_depth <= 31:
        depth = max(depth, min_depth)
    return min(depth, 31)

