"""Tiled meshing: the cube cut into k x k x k tiles on the octree's lattice.

Each tile is meshed by a run of its own over the whole run's cube (same
origin, same spacing, same lattice keys), told by ``tile=`` to refine only
the cells near its block of finest cells and to make only the faces round
the edges that leave a minimum corner inside the block. The tiles of the
partition therefore make between them every face of the untiled run, each
once, with every vertex computed by the same floating-point operations; in
uniform mode the stitched mesh has the untiled run's vertices and triangles,
bit for bit. A tile's peak memory is set by the surface near its block.

A vertex used by faces of two tiles is computed by both, identically; the
:class:`Stitcher` identifies such copies by their exact coordinates. Only
vertices within two finest cells of a tile's faces can be shared, so only
those are looked up, and only those are remembered across tiles.

Adaptive mode: balancing refines a large cell to the depth of a leaf
anywhere beside it, far across a seam, so two tiles could see different
leaves along the seam between them. Each tile's run therefore first refines
every surface cell touching any seam of the partition to ``max_depth`` (the
core's rule, the same in every tile); the cells on a seam are then the same
in the tiles on both sides, and so are their vertices and faces. The mesh
is closed and valid where the untiled one is, but finer: a connected
surface crossing a seam ends at ``max_depth`` all along it.

Simplification: no cell touching a seam is collapsed (the core's rule), so
the seams keep the leaves both tiles beside them make, at full resolution;
a tile makes the faces of the minimal edges whose lower end lies in it.

Limits: ``tiles`` is a power of two, at most ``2**max_depth`` (a tile at
least one finest cell wide).
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, cast

import numpy as np
from numpy.typing import NDArray

from karvex import _engine
from karvex._region import BoxRegion
from karvex.errors import ValidityWarning

__all__ = [
    "Stitcher",
    "TileRun",
    "check_tiles",
    "mesh_tile",
    "stitch_all",
    "tile_blocks",
    "tiles_in_process",
    "warn_if_ambiguous",
]

Array = NDArray[np.float64]
Block = tuple[int, int, int, int, int, int]

# Vertices of the cells one row below a tile's lower faces, or in its top
# row, are the ones its neighbours also compute; their clamp boxes are their
# cells. A band of two cells leaves room for rounding.
_SEAM_BAND_CELLS = 2.0


def check_tiles(tiles: object, max_depth: object) -> int:
    """``tiles`` as an int: a power of two from 1 to ``2**max_depth``."""
    if isinstance(tiles, bool) or not isinstance(tiles, (int, np.integer)):
        raise TypeError(
            f"tiles must be an int, the tiles per side (a power of two), got {tiles!r}"
            f" ({type(tiles).__name__})"
        )
    count = int(tiles)
    if count < 1 or count & (count - 1):
        raise ValueError(f"tiles must be a power of two (1, 2, 4, 8, ...), got {count}")
    if isinstance(max_depth, (int, np.integer)) and not isinstance(max_depth, bool):
        if 0 <= max_depth <= 31 and count > 2 ** int(max_depth):
            raise ValueError(
                f"tiles must be at most 2**max_depth = {2 ** int(max_depth)} (a tile at least"
                f" one finest cell wide), got {count}; lower tiles or raise max_depth"
            )
    return count


def tile_blocks(tiles: int, max_depth: int) -> list[Block]:
    """The blocks of finest cells of the k**3 tiles, x fastest."""
    side = 2**max_depth // tiles
    return [
        (i * side, j * side, k * side, (i + 1) * side, (j + 1) * side, (k + 1) * side)
        for k in range(tiles)
        for j in range(tiles)
        for i in range(tiles)
    ]


def cube_of(bbox_min: tuple[float, ...], bbox_max: tuple[float, ...]) -> tuple[Array, float]:
    """The octree's cube (origin, side) as the core makes it: centred on the
    box, of side its largest extent. Used only to find seam bands, so the
    rounding of the last bit does not matter."""
    low, high = np.array(bbox_min, dtype=float), np.array(bbox_max, dtype=float)
    size = float((high - low).max())
    return (low + high) / 2.0 - size / 2.0, size


@dataclass(frozen=True)
class TileRun:
    """What every tile of one call shares: the box and the engine options
    (a picklable record, shipped to Dask workers with the field)."""

    bbox_min: tuple[float, float, float]
    bbox_max: tuple[float, float, float]
    level: float
    options: dict[str, Any]

    def seam_band(self, block: Block) -> tuple[Array, Array]:
        """The world planes of the block's lower and upper faces, and the
        band's half width, as (planes (2, 3), width)."""
        origin, size = cube_of(self.bbox_min, self.bbox_max)
        cell = size / 2.0 ** self.options["max_depth"]
        planes = np.array([block[:3], block[3:]], dtype=float) * cell + origin
        return planes, np.array(_SEAM_BAND_CELLS * cell)


def mesh_tile(
    region: BoxRegion, run: TileRun, block: Block, volume: tuple[Any, ...] | None = None
) -> tuple[Array, NDArray[np.int64], NDArray[np.bool_]]:
    """One tile: its vertices (clamped into the box), its faces and which
    vertices lie in its seam band. ``region`` records the field's range.
    With ``volume`` (as :func:`karvex._engine.run_volume` takes it) the
    tile samples that natively instead of calling ``region``."""
    if volume is None:
        vertices, faces = _engine.run(region, run.bbox_min, run.bbox_max, **run.options, tile=block)
    else:
        vertices, faces, low, high = _engine.run_volume(
            volume, run.bbox_min, run.bbox_max, **run.options, tile=block
        )
        region.low, region.high = min(region.low, low), max(region.high, high)
    vertices, _ = region.clamp(vertices)
    planes, width = run.seam_band(block)
    near = (np.abs(vertices - planes[0]) <= width) | (np.abs(vertices - planes[1]) <= width)
    return vertices, faces, near.any(axis=1)


def tiles_in_process(
    region: BoxRegion,
    run: TileRun,
    tiles: int,
    reporter: Callable[..., Any] | None,
    mesh_block: Callable[[Block], tuple[Array, NDArray[np.int64], NDArray[np.bool_]]] | None = None,
) -> Iterator[tuple[Array, NDArray[np.int64], NDArray[np.bool_]]]:
    """The tiles meshed one after another in this process, in block order,
    by ``mesh_block(block)`` (default: :func:`mesh_tile` over ``region``);
    progress is the stage "tiles", one unit per tile."""
    blocks = tile_blocks(tiles, run.options["max_depth"])
    if reporter is not None:
        reporter("tiles", 0, len(blocks))
    for done, block in enumerate(blocks, start=1):
        yield mesh_tile(region, run, block) if mesh_block is None else mesh_block(block)
        if reporter is not None:
            reporter("tiles", done, len(blocks))


class Stitcher:
    """Numbers the vertices of tiles added one after another as one mesh.

    A vertex in a tile's seam band is looked up by its exact coordinates
    among the seam vertices of the tiles before; the others are new. Memory:
    one dict entry per seam vertex.

    Coordinates name a vertex only while no two vertices of a tile's band
    share them. Where two sheets of the surface meet in one cell, the cell
    can hold two vertices at one point; both copies in a later tile are then
    joined to the first one met, and the stitched mesh may be open there.
    ``ambiguous`` counts the seam vertices matched by such a shared position,
    so that the caller can say so instead of handing the mesh back as sound.
    """

    def __init__(self) -> None:
        self._seam: dict[bytes, int] = {}
        # Positions that several band vertices of one tile held.
        self._shared: set[bytes] = set()
        self.vertex_count = 0
        self.ambiguous = 0

    def add(
        self, vertices: Array, faces: NDArray[np.int64], near_seam: NDArray[np.bool_]
    ) -> tuple[Array, NDArray[np.int64]]:
        """The tile's vertices not met before, and its faces numbered in the
        whole mesh (new vertices take the next numbers, in order)."""
        numbers = np.empty(len(vertices), dtype=np.int64)
        fresh = np.ones(len(vertices), dtype=bool)
        seam_rows = np.flatnonzero(near_seam)
        # The 24 bytes of each row's coordinates, as one key.
        rows = np.ascontiguousarray(vertices[seam_rows]).view(np.dtype((np.void, 24))).ravel()
        keys = cast(list[bytes], rows.tolist())
        if len(rows) > 1:
            unique, counts = np.unique(rows, return_counts=True)
            self._shared.update(cast(list[bytes], unique[counts > 1].tolist()))
        for row, key in zip(seam_rows.tolist(), keys):
            known = self._seam.get(key)
            if known is not None:
                numbers[row] = known
                fresh[row] = False
                self.ambiguous += key in self._shared
        new_rows = np.flatnonzero(fresh)
        numbers[new_rows] = np.arange(self.vertex_count, self.vertex_count + len(new_rows))
        self.vertex_count += len(new_rows)
        for row, key in zip(seam_rows.tolist(), keys):
            self._seam.setdefault(key, int(numbers[row]))
        return vertices[new_rows], numbers[faces]


def stitch_all(
    pieces: Iterator[tuple[Array, NDArray[np.int64], NDArray[np.bool_]]],
) -> tuple[Array, NDArray[np.int64]]:
    """Every tile's piece stitched into one pair of arrays."""
    stitcher = Stitcher()
    vertex_parts: list[Array] = []
    face_parts: list[NDArray[np.int64]] = []
    for vertices, faces, near in pieces:
        new_vertices, numbered = stitcher.add(vertices, faces, near)
        vertex_parts.append(new_vertices)
        face_parts.append(numbered)
    warn_if_ambiguous(stitcher, stacklevel=4)
    if not vertex_parts:
        return np.zeros((0, 3)), np.zeros((0, 3), dtype=np.int64)
    return np.concatenate(vertex_parts), np.concatenate(face_parts)


def warn_if_ambiguous(stitcher: Stitcher, stacklevel: int) -> None:
    """A :class:`~karvex.ValidityWarning` when seam vertices were matched by
    a position two vertices of one tile held (the stitched mesh may be open),
    shown ``stacklevel`` frames up, counted as :func:`warnings.warn` counts
    them from this function."""
    if stitcher.ambiguous:
        warnings.warn(
            f"{stitcher.ambiguous} vertices on the seams between tiles were matched by a"
            " position that two vertices of one tile share (two sheets of the surface meeting"
            " at one point), so the stitched mesh may be open there; Mesh.check() counts its"
            " open edges. Mesh without tiles, or with another number of tiles",
            ValidityWarning,
            stacklevel=stacklevel,
        )
