"""The box to mesh when the caller gives none: the shape's own bounds.

Every :mod:`karvex.sdf` field carries ``bounds``, a box containing its solid,
or None for one that reaches infinity. :func:`karvex.mesh` meshes that box
grown by one finest cell on every side, so that the box (whose faces cap the
solid) never cuts a bounded shape. A plain callable has no ``bounds`` and must
be given a box.
"""

from __future__ import annotations

import dataclasses

from karvex._arguments import MeshArguments

__all__ = ["padded_by_a_cell", "shape_bounds"]

_FORM = "bounds=((x0, y0, z0), (x1, y1, z1))"


def shape_bounds(field: object, bounds: object) -> object:
    """``bounds`` when given, else the field's own ``bounds``.

    Raises
    ------
    TypeError
        No box given and the field has no ``bounds`` attribute.
    ValueError
        No box given and the field's ``bounds`` is None (an unbounded shape).
    """
    if bounds is not None:
        return bounds
    if not callable(field):
        return None  # the argument checks name the field's fault
    own = getattr(field, "bounds", _MISSING)
    if own is _MISSING:
        raise TypeError(
            f"karvex.mesh() needs the box to mesh in, {_FORM}: the field {_name(field)} "
            "does not carry bounds (karvex.sdf shapes and grid_field do); pass the box "
            "as the second argument"
        )
    if own is None:
        raise ValueError(
            f"karvex.mesh() needs the box to mesh in, {_FORM}: the shape {_name(field)} "
            "is unbounded (a plane, a lattice or a complement reaches infinity); pass a "
            "box, or intersect the shape with a bounded one (shape & karvex.sdf.box(...))"
        )
    return own


def padded_by_a_cell(args: MeshArguments) -> MeshArguments:
    """``args`` with the box grown by one finest cell of its octree on every side."""
    extent = max(hi - lo for lo, hi in zip(args.bbox_min, args.bbox_max, strict=True))
    cell = extent / 2.0**args.max_depth
    (x0, y0, z0), (x1, y1, z1) = args.bbox_min, args.bbox_max
    return dataclasses.replace(
        args,
        bbox_min=(x0 - cell, y0 - cell, z0 - cell),
        bbox_max=(x1 + cell, y1 + cell, z1 + cell),
    )


class _Missing:
    pass


_MISSING = _Missing()


def _name(field: object) -> str:
    text = repr(field)
    if len(text) > 80:
        text = text[:77] + "..."
    return text
