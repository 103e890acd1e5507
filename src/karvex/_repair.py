"""Make a contoured mesh a valid solid, changing as little as it can.

Dual Contouring places one vertex per cell (or per sheet slot of a cell) and
joins them round sign-changing edges. Three things can break the solid:

* a triangle whose corners are one vertex twice (a quad folded onto a
  vertex shared by two of its cells): it adds each of its real edges once in
  each direction, so dropping it keeps the edge counts balanced;
* one vertex or edge used by two sheets of surface that touch inside a cell
  (cell faces with an ambiguous sign pattern, walls thinner than a cell):
  each sheet gets its own copy, and round an edge used by several triangle
  pairs the triangles are paired by their angle round the edge, each pair
  enclosing the same wedge of the solid;
* vertices placed where their triangles fold through others (the
  least-squares solution away from the crossings it came from, a thin wall's
  two sides meeting), or so that a triangle has zero area. Such vertices, found
  by the exact test of :mod:`karvex._validity`, move towards the mean of their
  neighbours, which flattens a fold; they move again, with their neighbours
  after a few rounds, until no pair intersects.

The second step leaves copies at one place, which the third then separates
(two sheets touching at a point would count as an intersection).

If the last step does not reach zero within its rounds, :func:`repair` says
so in its result (the caller warns); it never reports an invalid mesh as
valid.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from karvex._engine import _native_module
from karvex._validity import _repeated_index

__all__ = ["Repaired", "repair", "repair_handed"]

IntArray = NDArray[np.int64]
FloatArray = NDArray[np.float64]

_ROUNDS = 80


@dataclass(frozen=True)
class Repaired:
    vertices: FloatArray
    faces: IntArray
    split_vertices: int  # copies made for second sheets
    moved_vertices: int  # vertices moved at least once
    unresolved_faces: int  # faces still intersecting or of zero area (0: valid)
    # With a bound on the moves: the vertices moved without it (folds the
    # bounded moves could not undo, relaxed as without a bound), else None.
    unbounded: NDArray[np.bool_] | None = None
    # The vertices whose positions differ from the input's (increasing), when
    # the relaxation says; None where it was not asked (nothing moved) or
    # could not say (a bounded relaxation followed by an unbounded one, not
    # in place).
    changed: IntArray | None = None
    # Where each vertex of ``changed`` started, when the relaxation moved
    # its input in place (positions handed over, or the sheet split's new
    # array), else None.
    starts: FloatArray | None = None


def repair(
    vertices: FloatArray,
    faces: IntArray,
    rounds: int = _ROUNDS,
    max_move: float | None = None,
    owned: bool = False,
) -> Repaired:
    """The mesh with repeated-index faces dropped, sheets split apart and folds
    relaxed; the input arrays are not changed unless ``owned``. With
    ``max_move``, vertices move by at most that much where that repairs the
    mesh; folds that it cannot repair are then relaxed without the bound
    (validity comes first). A clean mesh's vertices come back as a copy,
    unless ``owned`` says the caller hands the arrays over (no copy of the
    whole mesh's positions: the relaxation moves the vertices in place, and
    the result lists where the changed ones started; the faces may be changed
    in place by the sheet split).
    """
    return repair_handed([vertices, faces], rounds, max_move, owned)


def repair_handed(
    arrays: list[Any],
    rounds: int = _ROUNDS,
    max_move: float | None = None,
    owned: bool = True,
) -> Repaired:
    """:func:`repair` of the mesh ``[vertices, faces]`` in ``arrays``, which
    it empties: a caller that holds no other reference to the arrays lets
    the repair drop them as soon as it has its own (the sheet split's new
    positions, the parted faces), so the input and the result are not both
    held at the peak."""
    vertices: FloatArray = arrays[0]
    faces: IntArray = arrays[1]
    arrays.clear()
    # One native call answers for the usual case: one sheet everywhere
    # (nothing to drop, copy or part) and no triangle bad (nothing to move).
    # It lists the bad triangles too, so that the relaxation of a mesh with
    # only folds starts from them instead of testing the whole mesh again.
    # When the mesh is not one sheet it lists the vertices whose triangles are
    # not one fan, so that the split looks at those alone, and the stars
    # certified embedded, which the split leaves as they were but for the
    # triangles it parts.
    one_sheet, bad, bad_faces, broken, certified = _native_module().clean_check(
        *_contiguous(vertices, faces), True
    )
    if one_sheet:
        if not bad:
            kept = np.asarray(vertices, dtype=np.float64) if owned else np.array(vertices, dtype=np.float64)
            return Repaired(kept, faces, 0, 0, 0)
        # Only folds to relax.
        in_place = owned and _movable(vertices)
        vertices, moved, unresolved, unbounded, changed, starts = _relax_within(
            vertices, faces, rounds, None, max_move, bad_faces, in_place
        )
        return Repaired(vertices, faces, 0, moved, unresolved, unbounded, changed, starts)
    repeated = _repeated_index(faces)
    # Faces handed over as a writable C-contiguous int64 array with nothing to
    # drop are split in place; otherwise the split works on a new array.
    in_place = (owned and isinstance(faces, np.ndarray) and faces.dtype == np.int64
                and faces.flags.c_contiguous and faces.flags.writeable and not repeated.any())
    if not in_place:
        faces = np.ascontiguousarray(faces[~repeated], dtype=np.int64)
    del repeated
    if len(faces) == 0:
        return Repaired(vertices, faces, 0, 0, 0)
    count = len(vertices)
    # The dropped faces' vertices are among the broken ones (a repeated index
    # breaks the star of each of its face's vertices), so dropping them
    # breaks no other star: the list still covers every broken star.
    vertices, split, crowded = _split_in_place(vertices, faces, broken)
    # Copies and midpoints have no certificate, and the parted triangles'
    # corners may have new stars.
    certified = np.concatenate([certified, np.zeros(len(vertices) - count, dtype=bool)])
    if len(crowded):
        certified[faces[np.unique(crowded // 3)]] = False
        vertices, faces, parted = _part_crowded(vertices, faces, crowded)
        split += parted
        certified = np.concatenate([certified, np.zeros(len(vertices) - len(certified), dtype=bool)])
    # The copies and what they were copied from move first.
    first = np.zeros(len(vertices), dtype=bool)
    first[count:] = True
    first[_originals(vertices, count)] = True
    # Copies made a new array (the only way the count grows), the
    # relaxation's own to move.
    in_place = (owned or len(vertices) != count) and _movable(vertices)
    vertices, moved, unresolved, unbounded, changed, starts = _relax_within(
        vertices, faces, rounds, first, max_move, None, in_place, certified
    )
    return Repaired(vertices, faces, split, moved, unresolved, unbounded, changed, starts)


def _movable(vertices: object) -> bool:
    """Whether ``vertices`` can be relaxed in place."""
    return (isinstance(vertices, np.ndarray) and vertices.dtype == np.float64 and vertices.ndim == 2
            and vertices.flags.c_contiguous and vertices.flags.writeable)


def _relax_within(
    vertices: FloatArray,
    faces: IntArray,
    rounds: int,
    first: NDArray[np.bool_] | None,
    max_move: float | None,
    bad: IntArray | None = None,
    in_place: bool = False,
    certified: NDArray[np.bool_] | None = None,
) -> tuple[FloatArray, int, int, NDArray[np.bool_] | None, IntArray | None, FloatArray | None]:
    """:func:`relax_folds` within ``max_move``, then without it if folds are
    left: those the bounded moves left are as they were, so the second call
    repairs them as it repairs an unsimplified mesh's. ``bad``, when given,
    lists the bad triangles of ``vertices``; without it, ``certified`` (one
    flag per vertex, set only where the repair's first call certified a star
    the steps since left as it was) spares the first test the chaining of
    every star; ``in_place`` moves ``vertices`` themselves. Returns the
    positions, how many vertices moved, how many triangles are still bad,
    the vertices the second call moved (None without it), the vertices whose
    positions changed (None after both calls unless in place) and, in place,
    where those started (else None)."""
    relaxed, moved, unresolved, changed, starts = _relax_native(
        vertices, faces, rounds, first, max_move, bad, in_place, certified
    )
    if not unresolved or max_move is None:
        return relaxed, moved, unresolved, None, changed, starts if in_place else None
    bounded = relaxed
    original = vertices
    if in_place:
        original = bounded.copy()
        original[changed] = starts
    relaxed, _, unresolved = relax_folds(bounded, faces, rounds, first)
    differs = (relaxed != original).any(axis=1)
    moved = int(differs.sum())
    unbounded = (relaxed != bounded).any(axis=1)
    if not in_place:
        return relaxed, moved, unresolved, unbounded, None, None
    # The input's positions are gone: say which changed and where they were.
    changed = np.flatnonzero(differs)
    return relaxed, moved, unresolved, unbounded, changed, original[changed]


def split_sheets(vertices: FloatArray, faces: IntArray) -> tuple[FloatArray, IntArray, int]:
    """One vertex per fan: vertices used by several sheets are copied.

    The triangles at a vertex are joined into fans across the edges that
    continue one sheet: an edge used once each way joins its two triangles;
    round an edge used by more, as often each way, the triangles are paired
    by angle so that each pair encloses one wedge of the solid. The fan
    holding a vertex's first corner keeps it. Returns the new vertices (the
    originals first, then the copies at the positions of their originals, in
    order of vertex and first corner), the faces using them and the number
    of copies (in the core: ``src/core/validity/sheet_split``).
    """
    faces = np.array(faces, dtype=np.int64)
    new_vertices, copies, _ = _split_in_place(vertices, faces)
    if copies == 0:
        new_vertices = np.array(vertices, dtype=np.float64)
    return new_vertices, faces, copies


def _split_in_place(
    vertices: FloatArray, faces: IntArray, broken: IntArray | None = None
) -> tuple[FloatArray, int, IntArray]:
    """:func:`split_sheets` writing the copies' numbers into ``faces`` (a
    C-contiguous int64 array) itself: the native step returns only the
    copies and the corners that take them. ``broken``, when given, lists
    every vertex whose triangles are not one fan (more may be listed), as
    the first call of :func:`repair` finds them: the split then looks round
    those alone, with the same result. Returns the vertices (the input
    itself when nothing is copied), the number of copies and the directed
    edges (``3f + k``) of the edges the split may have left crowded: those
    of every edge in more than two triangles (it only renames vertices)."""
    originals, corners, taken, crowded = _native_module().sheet_copies(*_contiguous(vertices, faces), broken=broken)
    if len(originals):
        faces.reshape(-1)[corners] = taken
        vertices = np.asarray(vertices, dtype=np.float64)
        vertices = np.concatenate([vertices, vertices[originals]])
    return vertices, len(originals), crowded


def _part_crowded(vertices: FloatArray, faces: IntArray, crowded: IntArray) -> tuple[FloatArray, IntArray, int]:
    """:func:`part_shared_edges` over the triangles of the ``crowded`` edges
    alone, the split ones written back into ``faces``: the same result. Only
    those edges can be crowded, each with all its triangles in that part, and
    splitting a pair makes no edge more crowded; the part keeps the triangles'
    order and its vertices' order, so the pairs, new vertices and appended
    halves are numbered as over the whole mesh."""
    rows = np.unique(crowded // 3)
    # The part's own vertices alone, renumbered in the same order: the edges
    # are grouped, paired and visited as with the whole mesh's numbers.
    used, local = np.unique(faces[rows], return_inverse=True)
    new_vertices, part, added = part_shared_edges(vertices[used], local.reshape(-1, 3))
    if added == 0:
        return vertices, faces, 0
    part = np.concatenate([used, np.arange(len(vertices), len(vertices) + added)])[part]
    faces[rows] = part[: len(rows)]
    vertices = np.concatenate([np.asarray(vertices, dtype=np.float64), new_vertices[len(used):]])
    return vertices, np.concatenate([faces, part[len(rows):]]), added


def part_shared_edges(vertices: FloatArray, faces: IntArray) -> tuple[FloatArray, IntArray, int]:
    """Give every sheet but one its own copy of an edge that several use.

    After :func:`split_sheets` an edge can still be used by two sheets when
    one fan round each of its ends passes it twice (a tunnel pinched to one
    edge). Each extra pair of triangles across it (paired as in
    :func:`split_sheets`) is split at a new vertex at the edge's midpoint,
    (a, b, x) into (a, m, x) and (m, b, x) and (b, a, y) into (b, m, y) and
    (m, a, y): orientation and edge counts stay consistent, and the new vertex
    is moved off the other sheet by :func:`relax_folds`. Returns the vertices
    (new ones appended), the faces (split ones in place, halves appended) and
    the number of new vertices; when no edge is shared, the arrays given
    (as float64 and int64), not copies.
    """
    new_vertices, new_faces, added = _native_module().part_shared_edges(*_contiguous(vertices, faces))
    return new_vertices, new_faces, int(added)


def _contiguous(vertices: FloatArray, faces: IntArray) -> tuple[FloatArray, IntArray]:
    return np.ascontiguousarray(vertices, dtype=np.float64), np.ascontiguousarray(faces, dtype=np.int64)


def _originals(vertices: FloatArray, count: int) -> IntArray:
    """The vertices below ``count`` at the place of a vertex from ``count`` on."""
    if len(vertices) == count:
        return np.zeros(0, dtype=np.int64)
    rows = np.ascontiguousarray(vertices).view(np.dtype((np.void, 24))).reshape(-1)
    return np.flatnonzero(np.isin(rows[:count], rows[count:]))


def relax_folds(
    vertices: FloatArray,
    faces: IntArray,
    rounds: int,
    first: NDArray[np.bool_] | None = None,
    max_move: float | None = None,
    bad: IntArray | None = None,
) -> tuple[FloatArray, int, int]:
    """Move the vertices of intersecting and zero-area triangles towards their
    neighbours' mean until none is left or ``rounds`` have passed (in the
    core: ``src/core/validity/repair``).

    Vertices marked ``first`` are moved before any other corner of the same
    bad triangles. With ``max_move`` a vertex stops on the sphere of that
    radius round its starting point (a simplified mesh keeps within its
    tolerance); a triangle that stays bad then moves its other corners, as
    any stubborn fold does, and if that does not undo it, it is left: the
    folds still bad come back as they were (their corners, and the vertices
    joined to those through moved ones, at their starting positions). ``bad``, when given,
    must be every bad triangle of the mesh in increasing order (as the first
    call of :func:`repair` lists them); the whole mesh is then not tested
    again. Returns the positions, how many vertices moved and how many
    triangles are still bad (0 when the result is free of both).
    """
    return _relax_native(vertices, faces, rounds, first, max_move, bad, False)[:3]


def _relax_native(
    vertices: FloatArray,
    faces: IntArray,
    rounds: int,
    first: NDArray[np.bool_] | None,
    max_move: float | None,
    bad: IntArray | None,
    in_place: bool,
    certified: NDArray[np.bool_] | None = None,
) -> tuple[FloatArray, int, int, IntArray, FloatArray]:
    """:func:`relax_folds`, with the vertices whose positions changed
    (increasing) and where they started, as the core lists them; with
    ``in_place``, ``vertices`` themselves are moved and returned.
    ``certified`` as for :func:`_relax_within`."""
    relaxed, moved, unresolved, changed, starts = _native_module().relax_folds(
        *_contiguous(vertices, faces),
        rounds=rounds,
        first=None if first is None else np.ascontiguousarray(first, dtype=bool),
        max_move=max_move,
        bad=None if bad is None else np.ascontiguousarray(bad, dtype=np.int64),
        in_place=in_place,
        certified=certified,
    )
    return relaxed, int(moved), int(unresolved), changed, starts
