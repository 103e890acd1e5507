"""The mesh call: a field and a box in, a :class:`~karvex.Mesh` out."""

from __future__ import annotations

import dataclasses
import warnings
from dataclasses import dataclass
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from karvex import _engine, _repair
from karvex._arguments import MeshArguments, check_arguments
from karvex._default_depth import default_max_depth
from karvex._pieces import largest_piece
from karvex._region import BoxRegion
from karvex._reproject import reproject_moved
from karvex._shape_box import padded_by_a_cell, shape_bounds
from karvex._tile_runs import tile_pieces
from karvex._tiles import TileRun, check_tiles, stitch_all
from karvex._warnings import (
    DroppedPiecesWarning,
    EmptyMeshWarning,
    dropped_message,
    empty_mesh_message,
)
from karvex.errors import ValidityWarning
from karvex._field_check import CheckedField
from karvex._dask_volume import DaskGridField, suggested_tiles
from karvex._grid import GridField
from karvex._mesh import Mesh
from karvex._progress import ProgressCallback, Reporter, make_reporter

__all__ = ["RUN_KEYWORDS", "PreparedCall", "mesh", "prepare_call", "run_options"]

Bounds = Any  # ((x0, y0, z0), (x1, y1, z1)): any nesting of sequences or arrays

# The keywords of karvex.mesh that shape one run, in its order (the box,
# tiles and client aside): what prepare_call checks. karvex.mesh_to_ply
# takes them too, with mesh's defaults, but those it cannot honour.
RUN_KEYWORDS = (
    "max_depth",
    "min_depth",
    "level",
    "sharp_angle",
    "adaptive",
    "simplify",
    "keep",
    "batch_size",
    "normals",
    "progress",
    "workers",
)


def run_options(arguments: dict[str, Any]) -> dict[str, Any]:
    """The run keywords out of a call's arguments (its ``locals()``)."""
    return {name: arguments[name] for name in RUN_KEYWORDS}

# Central differences for normals use a step of this fraction of the finest
# cell side, as the native estimator does for gradients.
_FD_STEP_FRACTION = 0.01


def mesh(
    field: Callable[[NDArray[np.float64]], Any],
    bounds: Bounds | None = None,
    *,
    max_depth: int | None = None,
    min_depth: int = 3,
    level: float = 0.0,
    sharp_angle: float = 30.0,
    adaptive: bool = False,
    simplify: float | None = None,
    keep: str = "all",
    batch_size: int | None = 262144,
    normals: bool = False,
    progress: bool | ProgressCallback | None = None,
    workers: int | None = None,
    tiles: int = 1,
    client: Any = None,
) -> Mesh:
    """Mesh the surface where ``field`` equals ``level`` inside ``bounds``.

    The field is sampled on an adaptive octree and the surface is placed by
    Dual Contouring (Ju et al. 2002), which keeps corners and creases sharp.

    Parameters
    ----------
    field : callable
        Called with a float64 array of shape (N, 3), one point per row;
        returns ``(values, gradients)``: N values (negative inside for a
        signed distance) and an (N, 3) array of gradients, or None to have
        them estimated from values (a few extra points per surface crossing,
        none per octree corner). float32, float16 and signed integer arrays
        are accepted and converted. The points array is the field's to keep
        or change. The field must be deterministic: a point must get the same
        value on every call (the octree samples a corner once and trusts it),
        or the mesh may come out open and non-manifold.
    bounds : ((x0, y0, z0), (x1, y1, z1)), optional
        The box to mesh in, lower corner first. The result is the part of the
        surface inside the box, closed by flat caps on the box's faces where
        the solid meets them, so that it bounds a solid; no vertex lies
        outside the box. Optional for a :mod:`karvex.sdf` shape, whose
        ``bounds`` grown by one finest cell on every side is used, and for a
        :func:`~karvex.grid_field`, whose samples' extent is used as it is.
        The octree covers the cube centred on the box whose side is its
        largest extent.
    max_depth : int, optional
        The finest depth, 0 to 31: up to ``2**max_depth`` cells per side.
        By default 7, and for a :func:`~karvex.grid_field` the depth whose
        finest cells are as small as its samples' spacing (at least
        ``min_depth``): a volume of ``2**k + 1`` samples a side is meshed on
        its own voxels at depth ``k``.
    min_depth : int, default 3
        The depth of the uniform grid the octree starts from, at most
        ``max_depth``. Parts of the shape thinner than its spacing may be
        missed.
    level : float, default 0.0
        The level of the surface; inside is ``field < level``. For a
        :func:`~karvex.grid_field` given directly, in the samples' own units
        (``level=127.5`` on uint8), with inside the side its ``inside``
        names; it is then sampled natively, on the worker pool, in the
        array's own dtype and without a copy.
    sharp_angle : float, default 30.0
        The angle in degrees between normals that counts as a bend: cells
        bending more are refined, and vertices whose normals differ more lie
        on a sharp edge or corner.
    adaptive : bool, default False
        Keep the octree coarse where the surface is flat (fewer triangles);
        otherwise every surface cell is refined to ``max_depth``.
    simplify : float, optional
        A distance in the units of ``bounds``: cells are merged into larger
        ones while the merged cell's vertex stays within it of the tangent
        planes of all the surface crossings it covers (Ju et al. 2002), the
        field confirms that the vertex and the chords to its children's
        vertices lie within it of the surface (so triangles stay within it
        on curved parts too), and only where merging keeps the surface's
        topology; then single edges are collapsed, least quadric error
        first, while their triangles stay within it of the surface and the
        mesh a closed 2-manifold (within half a finest cell at most).
        Flat parts and
        straight edges then take a few large triangles; corners and creases
        stay sharp. None (the default) keeps every cell. Needs
        ``karvex._native``. Try 1e-4 to 1e-3 times the box size.
    keep : {"all", "largest"}, default "all"
        Keep every connected piece, or only the largest: among the closed
        pieces the one that encloses the most volume (when no piece is
        closed, the one of largest area). Dropping pieces gives a
        :class:`~karvex.DroppedPiecesWarning` saying how many and what share
        of the surface area they held.
    batch_size : int or None, default 262144
        The most points passed to ``field`` in one call; larger batches are
        split and the results joined. None passes every batch whole.
    normals : bool, default False
        Add unit vertex normals from the field's gradients (one more batch;
        central differences when the field returns no gradients).
    progress : bool or callable, optional
        True shows progress: one tqdm bar for the call when tqdm is
        installed, else a few lines on standard error. A callable receives
        ``(stage, done, total)``; each stage ends with one report of
        ``done == total``.
    workers : int, optional
        Worker threads for this call; the default uses every available CPU.
    tiles : int, default 1
        Cut the octree's cube into ``tiles**3`` tiles on its lattice (a power
        of two, at most ``2**max_depth``) and mesh them one at a time, each
        refining only the cells near it, then stitch the pieces: memory is
        then set by the surface near one tile plus the stitched result and
        the validity pass over it (see :func:`karvex.mesh_to_ply` for
        writing it to a file without holding it). In uniform mode the result has the vertices and triangles of
        the untiled run, coordinates bit for bit. With ``adaptive=True``
        the surface cells touching a seam between tiles are refined to
        ``max_depth`` in every tile, so that the tiles agree along it: the
        mesh is closed and valid wherever the untiled one is, but not the
        untiled mesh, and a connected surface that crosses a seam takes the
        finest cells all along it (balancing carries a leaf's depth along
        the surface), which costs what uniform mode does. With ``simplify``
        no cell touching a seam is merged: seams stay at full resolution.
        ``keep`` chooses among the pieces of the stitched mesh. A
        :func:`~karvex.grid_field` of a Dask array is meshed only in tiles,
        each reading the samples near its block.
    client : distributed.Client, optional
        Mesh the tiles as tasks on this Dask cluster: the field is sent to
        every worker once, each tile is one task (retried when its worker
        dies), progress counts finished tiles, and a field's error cancels
        the other tiles and is raised here. The mesh is the one meshed in
        process. ``workers`` is the threads per task.

    Returns
    -------
    Mesh
        Triangles facing the side where ``field >= level``; empty (no
        vertices, no faces) when the surface does not cross the box, with an
        :class:`~karvex.EmptyMeshWarning` giving the range of values the
        field returned in the box. The result is a valid
        solid: where the surface is closed inside the box, a closed, oriented
        2-manifold whose triangles have nonzero area and meet only at the
        vertices and edges they share (open only where the surface leaves
        the box); :meth:`Mesh.check` verifies it.

    Raises
    ------
    TypeError, ValueError
        An argument is of the wrong type or out of range, or no box is given
        for a field that carries none (or an unbounded shape).
    FieldError
        The field returned something unusable (not a pair, wrong length or
        shape, NaN or infinity, not numbers).
    MeshingError
        The native mesher failed an internal check.

    Exceptions raised by ``field`` itself propagate unchanged.

    Examples
    --------
    >>> import numpy as np
    >>> import karvex
    >>> def sphere(points):
    ...     r = np.linalg.norm(points, axis=1)
    ...     return r - 0.8, points / np.maximum(r, 1e-12)[:, None]
    >>> m = karvex.mesh(sphere, ((-1, -1, -1), (1, 1, 1)), max_depth=5)
    >>> m.is_closed, round(m.volume, 1)
    (True, 2.1)
    """
    call = prepare_call(
        field, bounds, tiles=tiles, tiled=tiles != 1 or client is not None, **run_options(locals())
    )
    args, region, engine_options = call.args, call.region, call.engine_options
    volume = call.volume
    reporter = make_reporter(args.progress)
    try:
        if call.tiled:
            vertices, faces = stitch_all(
                tile_pieces(
                    region, args.field, args.batch_size, call.tile_run(), call.tiles, client, reporter
                ),
                call.tiles,
            )
        elif volume is None:
            vertices, faces = _engine.run(
                region, args.bbox_min, args.bbox_max, **engine_options, progress=reporter
            )
            vertices, _ = region.clamp(vertices)
        else:
            # Sampled natively; the region keeps the range of values it saw.
            vertices, faces, region.low, region.high = _engine.run_volume(
                volume.native_volume(), args.bbox_min, args.bbox_max, **engine_options,
                progress=reporter,
            )
            vertices, _ = region.clamp(vertices)
        if not region.crosses_level():
            vertices, faces = vertices[:0], faces[:0]  # only caps: the box itself
        side = max(hi - lo for lo, hi in zip(args.bbox_min, args.bbox_max, strict=True))
        box = (np.array(args.bbox_min, dtype=np.float64), np.array(args.bbox_max, dtype=np.float64))
        surface = _Surface(region, args.level, side / 2.0**args.max_depth, box)
        # Handed over: the repair lets go of the extraction's arrays once it
        # has made its own (the sheet split's and the parting's).
        handed = [vertices, faces]
        del vertices, faces
        vertices, faces = _valid_solid(handed, args.simplify, surface)
        if not args.keep_all:
            vertices, faces = _largest_piece(vertices, faces)
        vertex_normals = None
        if args.normals:
            step = _FD_STEP_FRACTION * surface.cell
            vertex_normals = _vertex_normals(region, vertices, faces, step, reporter)
    finally:
        if reporter is not None:
            reporter.close()
    if len(faces) == 0:
        # In the field's units (for inside="above", the samples negated), in
        # which "below the level" is inside.
        warnings.warn(
            empty_mesh_message(region.low, region.high, args.level), EmptyMeshWarning, stacklevel=2
        )
    return Mesh._adopt(vertices, faces, vertex_normals)


@dataclass(frozen=True)
class PreparedCall:
    """A mesh call's arguments checked, its region and its engine options."""

    args: MeshArguments
    region: BoxRegion
    engine_options: dict[str, Any]
    tiles: int
    tiled: bool
    # A grid_field sampled natively (untiled calls), else None.
    volume: GridField | None = None

    def tile_run(self) -> TileRun:
        return TileRun(self.args.bbox_min, self.args.bbox_max, self.args.level, self.engine_options)


def prepare_call(
    field: Any, bounds: Bounds | None, *, tiles: object, tiled: bool, **options: Any
) -> PreparedCall:
    """Checks the arguments of a mesh call (raising TypeError or ValueError
    before the field is first called) and makes its region: the checked
    field capped by the box."""
    own_box = bounds is None
    bounds = shape_bounds(field, bounds)
    args = check_arguments(field, bounds, **options)
    if args.max_depth is None:
        depth = default_max_depth(field, args.bbox_min, args.bbox_max, args.min_depth)
        args = dataclasses.replace(args, max_depth=depth)
    tile_count = check_tiles(tiles, args.max_depth)
    volume = field if isinstance(field, GridField) else None
    lazy = isinstance(field, DaskGridField)
    if lazy and not tiled:
        raise ValueError(
            "a grid_field of a Dask array is meshed in tiles, each reading only its part of the"
            f" array: pass tiles=k (a power of two; for example tiles={suggested_tiles(field)}),"
            " or compute the array and give the NumPy array to grid_field"
        )
    if (volume is not None or lazy) and field.inside == "above":
        # The field is the samples negated: the level, given in the samples'
        # units, is negated with them.
        args = dataclasses.replace(args, level=-args.level)
    if own_box and volume is None and not lazy:
        # A volume's own box is its extent: the finest cells then line up
        # with the samples, and the caps close it along its faces.
        args = padded_by_a_cell(args)
    region = BoxRegion(CheckedField(args.field, args.batch_size), args.bbox_min, args.bbox_max, args.level)
    # Every piece: keep="largest" is chosen by volume afterwards.
    engine_options = dict(
        bounds=bounds,
        min_depth=args.min_depth,
        max_depth=args.max_depth,
        level=args.level,
        sharp_angle=args.sharp_angle,
        adaptive=args.adaptive,
        keep_all=True,
        simplify=args.simplify,
        workers=args.workers,
    )
    return PreparedCall(args, region, engine_options, tile_count, tiled, volume)


def _largest_piece(
    vertices: NDArray[np.float64], faces: NDArray[np.int64]
) -> tuple[NDArray[np.float64], NDArray[np.int64]]:
    """The piece ``keep="largest"`` keeps, warning of the pieces dropped."""
    kept = largest_piece(vertices, faces)
    if kept.dropped:
        warnings.warn(
            dropped_message(kept.dropped, kept.dropped_area_share), DroppedPiecesWarning, stacklevel=3
        )
    return kept.vertices, kept.faces


@dataclass(frozen=True)
class _Surface:
    """The level set the mesh approximates: the field as meshed (capped by
    the box), its level, the finest cell's side and the box's corners."""

    field: BoxRegion
    level: float
    cell: float
    box: tuple[NDArray[np.float64], NDArray[np.float64]]


def _valid_solid(
    arrays: list[Any],
    simplify: float | None = None,
    surface: _Surface | None = None,
) -> tuple[NDArray[np.float64], NDArray[np.int64]]:
    """The contoured mesh ``[vertices, faces]`` in ``arrays`` (emptied: the
    arrays are handed over) made a valid solid (see :mod:`karvex._repair`),
    with a :class:`~karvex.ValidityWarning` when some triangles stay bad.
    With ``surface``, the vertices the repair moved go back onto it where the
    mesh stays valid (:mod:`karvex._reproject`).

    A simplified mesh's vertices move by at most half the tolerance: the
    merge may have used the other half, and the mesh keeps within it. Folds
    that such moves cannot undo (a contoured mesh's own, left where no cells
    were merged) are repaired, and their vertices put back on the surface,
    as in an unsimplified mesh."""
    max_move = None if simplify is None else 0.5 * simplify
    count = len(arrays[0])
    # Positions the relaxation can move in place come back with where the
    # moved ones started; others are copied, and the reprojection compares
    # the result with them.
    before = None if _repair._movable(arrays[0]) else arrays[0]
    repaired = _repair.repair_handed(arrays, max_move=max_move)
    if surface is not None and repaired.moved_vertices and not repaired.unresolved_faces:
        projected, _ = reproject_moved(
            surface.field, surface.level, repaired.vertices[:count] if before is None else before,
            repaired.vertices, repaired.faces, surface.cell, max_move,
            surface.box, repaired.unbounded, repaired.changed, repaired.starts, owned=True,
        )
        return projected, repaired.faces
    if repaired.unresolved_faces:
        warnings.warn(
            f"{repaired.unresolved_faces} triangles still intersect others or have zero "
            "area after repair; Mesh.check() counts every defect. A finer max_depth "
            "usually resolves them",
            ValidityWarning,
            stacklevel=3,
        )
    return repaired.vertices, repaired.faces


def _vertex_normals(
    field: BoxRegion,
    vertices: NDArray[np.float64],
    faces: NDArray[np.int64],
    step: float,
    reporter: Reporter | None,
) -> NDArray[np.float64]:
    """Unit normals at the vertices from the field's gradient.

    One call of the field at the vertices; when it gives no gradients, one
    more with the six points ``v +- step * axis`` per vertex for central
    differences. Where the gradient vanishes (a vertex at a saddle of the
    field, say) the area-weighted normal of the vertex's triangles is used.
    """
    count = len(vertices)
    if count == 0:
        return np.zeros((0, 3))
    if reporter is not None:
        reporter("normals", 0, count)
    # The field may keep or change the array it is given: hand it a copy, as
    # the vertices are read again below and become the mesh.
    gradients = field(vertices.copy())[1]
    if gradients is None:
        offsets = np.concatenate([np.eye(3), -np.eye(3)]) * step  # +x +y +z -x -y -z
        probes = (vertices[:, None, :] + offsets[None, :, :]).reshape(-1, 3)
        values = field(probes)[0].reshape(count, 6)
        gradients = (values[:, :3] - values[:, 3:]) / (2.0 * step)
    lengths = np.linalg.norm(gradients, axis=1)
    usable = np.isfinite(lengths) & (lengths > 0.0)
    result = np.empty((count, 3))
    result[usable] = gradients[usable] / lengths[usable, None]
    if not usable.all():
        fallback = _face_normals_at_vertices(vertices, faces)
        result[~usable] = fallback[~usable]
    if reporter is not None:
        reporter("normals", count, count)
    return result


def _face_normals_at_vertices(
    vertices: NDArray[np.float64], faces: NDArray[np.int64]
) -> NDArray[np.float64]:
    """Area-weighted mean of the normals of each vertex's triangles, made unit
    length (zero for a vertex in no triangle of positive area)."""
    corners = vertices[faces]
    weighted = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    sums = np.zeros_like(vertices)
    for k in range(3):
        np.add.at(sums, faces[:, k], weighted)
    lengths = np.linalg.norm(sums, axis=1)
    return np.divide(sums, lengths[:, None], out=np.zeros_like(sums), where=lengths[:, None] > 0)
