"""The warnings :func:`karvex.mesh` gives when its result may surprise.

Each is a ``UserWarning`` subclass exported by ``karvex``, so that callers who
expect the situation can filter it by its class::

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", karvex.EmptyMeshWarning)
        m = karvex.mesh(shape, box)
"""

from __future__ import annotations

import math

from karvex._wording import count_of, number

__all__ = ["DroppedPiecesWarning", "EmptyMeshWarning", "empty_mesh_message", "dropped_message"]


class EmptyMeshWarning(UserWarning):
    """The mesh is empty: the surface ``field == level`` was not found in the box.

    The message gives the range of values the field returned in the box and
    what to try.
    """


class DroppedPiecesWarning(UserWarning):
    """``keep="largest"`` dropped pieces of the surface.

    The message says how many and what share of the surface area they held.
    """


def empty_mesh_message(low: float, high: float, level: float) -> str:
    """Why the mesh is empty, from the range ``[low, high]`` of the values the
    field returned in the box, and what to try.

    Examples
    --------
    >>> print(empty_mesh_message(0.0, 1.0, 5.0))
    the mesh is empty: the field's values in the box run from 0 to 1 and never cross level=5.0; the box lies wholly inside the solid; for a 0/1 mask use level=0.5
    """
    if not (math.isfinite(low) and math.isfinite(high)):
        return "the mesh is empty: the field was not evaluated in the box"
    span = f"the field's values in the box run from {number(low)} to {number(high)}"
    if high < level or low > level or low == high:
        middle = 0.5 * (low + high)
        if low >= 0.0 and high <= 1.0 and low < high:
            hint = "for a 0/1 mask use level=0.5"
        elif low < high:
            hint = (
                f"pass a level between them (their middle is {number(middle)}), or a box "
                "that reaches the surface"
            )
        else:
            hint = "the field is constant there: check the field, or pass a box that reaches the surface"
        if low > level:
            where = "the box lies wholly outside the solid; "
        elif high < level:
            where = "the box lies wholly inside the solid; "
        else:
            where = ""
        return f"the mesh is empty: {span} and never cross level={level!r}; {where}{hint}"
    return (
        f"the mesh is empty although {span}, across level={level!r}: the surface is "
        "thinner than the cells or lies between the samples; raise max_depth, or "
        "min_depth for small separate shapes"
    )


def dropped_message(dropped: int, share: float) -> str:
    """The warning of ``keep="largest"`` for ``dropped`` pieces holding the
    fraction ``share`` of the surface area.

    Examples
    --------
    >>> print(dropped_message(1, 0.25))
    keep="largest" dropped 1 piece, which held 25.0% of the surface area; pass keep="all" to keep every piece
    """
    which = "which held" if dropped == 1 else "which together held"
    return (
        f'keep="largest" dropped {count_of(dropped, "piece")}, {which} {100.0 * share:.1f}% '
        'of the surface area; pass keep="all" to keep every piece'
    )
