"""Put the vertices the validity repair moved back on the surface where that
keeps the mesh valid.

The repair clears folds by moving vertices towards their neighbours' mean,
which also pulls them off a curved surface (the gyroid's error grows by
about 8% that way). One Newton step on the field, ``p - (f(p) - level)
grad f / |grad f|^2``, brings such a vertex back along the surface's normal
and leaves its move along the surface, the part that cleared the fold. A
step can fold the mesh again, so the result is tested with the exact test
and every projected vertex of a triangle that is then bad goes back to where
the repair left it; the test (over the triangles round projected vertices
and those near them) runs again until no triangle is bad. Each round
only reverts, so it ends, at worst with the repaired mesh itself.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

from karvex._engine import _native_module

__all__ = ["reproject_moved"]

FloatArray = NDArray[np.float64]
IntArray = NDArray[np.int64]
Field = Callable[[FloatArray], tuple[FloatArray, FloatArray | None]]

# The longest Newton step, in cells: a vertex the repair moved is within a
# fraction of a cell of the surface; a longer step (a field far from a
# distance there) is cut to this length, still towards the surface.
_MAX_STEP_CELLS = 0.25
# Central differences, when the field gives no gradients: this fraction of a cell.
_FD_STEP_CELLS = 1e-3


def reproject_moved(
    field: Field,
    level: float,
    before: FloatArray,
    repaired: FloatArray,
    faces: IntArray,
    cell: float,
    max_move: float | None = None,
    box: tuple[FloatArray, FloatArray] | None = None,
    unbounded: NDArray[np.bool_] | None = None,
    changed: IntArray | None = None,
    starts: FloatArray | None = None,
    owned: bool = False,
) -> tuple[FloatArray, int]:
    """``repaired`` (the repair's vertices: those of ``before`` first, then
    its copies) with the vertices it moved projected onto the level set of
    ``field`` where the mesh stays valid. With ``max_move``, a vertex of
    ``before`` is projected only where it stays within that distance of its
    place in ``before``, or within the distance the repair moved it, unless
    ``unbounded`` marks it (one flag per vertex of ``repaired``: moved by
    the repair without the bound, and projected as without one). With
    ``box`` (its lowest and highest corner), a step that would leave it is
    not taken. With ``changed`` (the vertices of ``before`` whose positions
    ``repaired`` changes, increasing, as the repair lists them), ``before``
    and ``repaired`` are not compared; with ``starts`` too (their rows of
    ``before``, in that order), only the length of ``before`` is read, and it
    may be ``repaired`` itself. With ``owned``, ``repaired`` (a writable
    float64 array) takes the steps itself instead of a copy. Returns the
    vertices and how many were projected. ``repaired`` must be valid (the
    repair resolved every triangle).
    """
    count = len(before)
    if changed is None:
        moved_mask = np.ones(len(repaired), dtype=bool)
        moved_mask[:count] = (repaired[:count] != before).any(axis=1)
        moved = np.flatnonzero(moved_mask)
    else:
        # Then the copies, all of which count as moved.
        moved = np.concatenate([changed[changed < count], np.arange(count, len(repaired))])
    if len(moved) == 0 or len(faces) == 0:
        return repaired, 0
    points = repaired[moved]
    steps = _newton_steps(field, level, points, cell)
    lengths = np.linalg.norm(steps, axis=1)
    usable = np.isfinite(lengths)
    longest = _MAX_STEP_CELLS * cell
    long = usable & (lengths > longest)
    steps[long] *= (longest / lengths[long])[:, None]
    landing = points - steps
    if box is not None:
        usable &= ((landing >= box[0]) & (landing <= box[1])).all(axis=1)
    if max_move is not None:
        bound = usable & (moved < count)
        if unbounded is not None:
            bound &= ~unbounded[moved]
        at = np.flatnonzero(bound)
        original = moved[at]
        if starts is None or changed is None:
            start = before[original]
        else:
            start = starts[np.searchsorted(changed, original)]
        # Within the bound, or no farther than the repair had to go.
        allowed = np.maximum(max_move, np.linalg.norm(points[at] - start, axis=1))
        too_far = np.linalg.norm(landing[at] - start, axis=1) > allowed
        usable[at[too_far]] = False
    result = repaired if owned else repaired.copy()
    stepped = moved[usable]
    if len(stepped) == 0:
        return result, 0
    # Steps that fold the mesh go back, round by round, testing only the
    # triangles round stepped vertices and those near them (the rest of the
    # mesh is as the repair left it, valid), in one native call whose single
    # scan of the mesh finds every triangle any round can meet; it is given
    # only the stepped rows and their places before the steps.
    places = np.ascontiguousarray(points[usable])
    result[stepped] = landing[usable]
    faces = np.ascontiguousarray(faces, dtype=np.int64)
    back = _native_module().undone_steps(result, faces, stepped, places)
    result[back] = places[np.searchsorted(stepped, back)]
    return result, len(stepped) - len(back)


def _newton_steps(field: Field, level: float, points: FloatArray, cell: float) -> FloatArray:
    """One Newton step towards the level set per point (NaN where the field
    gives no usable value or gradient)."""
    values, gradients = field(points.copy())
    if gradients is None:
        h = _FD_STEP_CELLS * cell
        offsets = np.concatenate([np.eye(3), -np.eye(3)]) * h  # +x +y +z -x -y -z
        probes = (points[:, None, :] + offsets[None, :, :]).reshape(-1, 3)
        samples = field(probes)[0].reshape(len(points), 6)
        gradients = (samples[:, :3] - samples[:, 3:]) / (2.0 * h)
    squared = np.einsum("ij,ij->i", gradients, gradients)
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.where(squared > 0.0, (np.asarray(values, dtype=np.float64) - level) / squared, np.nan)
    return scale[:, None] * gradients
