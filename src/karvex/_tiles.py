"""Tiled meshing: the cube cut into k x k x k tiles on the octree's lattice.

Each tile is meshed by a run of its own over the whole run's cube (same
origin, same spacing, same lattice keys), told by ``tile=`` to refine only
the cells near its block of finest cells and to make only the faces round
the edges that leave a minimum corner inside the block. The tiles of the
partition therefore make between them every face of the untiled run, each
once, with every vertex computed by the same floating-point operations; in
uniform mode the stitched mesh has the untiled run's vertices and triangles,
bit for bit. A tile's peak memory is set by the surface near its block.

A vertex used by faces of two tiles is computed by both, identically, and
both runs give it the same key: its cell on the lattice and its group
(sheet) within the cell. The :class:`Stitcher` identifies such copies by
that key, never by coordinates: where two sheets of a shell thinner than a
cell pass through one cell, its two vertices can lie at one point, and
only their keys tell them apart. Only vertices within two finest cells of a
tile's faces can be shared, so only those are looked up, and only those are
remembered across tiles.

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

from collections import deque
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, cast

import numpy as np
from numpy.typing import NDArray

from karvex import _engine
from karvex._region import BoxRegion

__all__ = [
    "Piece",
    "Stitcher",
    "TileRun",
    "check_tiles",
    "mesh_tile",
    "stitch_all",
    "tile_blocks",
    "tiles_in_process",
]

Array = NDArray[np.float64]
Block = tuple[int, int, int, int, int, int]
# A tile's vertices, faces, which vertices lie in its seam band, and the
# vertices' keys (uint64 (V, 2)).
Piece = tuple[Array, NDArray[np.int64], NDArray[np.bool_], NDArray[np.uint64]]

# Vertices of the cells one row below a tile's lower faces, or in its top
# row, are the ones its neighbours also compute; their clamp boxes are their
# cells. A band of two cells leaves room for rounding.
_SEAM_BAND_CELLS = 2.0

# Rows of a block of the stitched arrays: 48 MB of float64 or int64 triples,
# above the size from which the C allocator maps each array on its own.
_BLOCK_ROWS = 2**21


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
) -> Piece:
    """One tile: its vertices (clamped into the box), its faces, which
    vertices lie in its seam band and the vertices' keys. ``region``
    records the field's range. With ``volume`` (as
    :func:`karvex._engine.run_volume` takes it) the tile samples that
    natively instead of calling ``region``."""
    vertices, faces, keys, low, high = _engine.run_tile(
        region if volume is None else None,
        volume,
        run.bbox_min,
        run.bbox_max,
        **run.options,
        tile=block,
    )
    if volume is not None:
        region.low, region.high = min(region.low, low), max(region.high, high)
    vertices, _ = region.clamp(vertices)
    planes, width = run.seam_band(block)
    near = (np.abs(vertices - planes[0]) <= width) | (np.abs(vertices - planes[1]) <= width)
    return vertices, faces, near.any(axis=1), keys


def tiles_in_process(
    region: BoxRegion,
    run: TileRun,
    tiles: int,
    reporter: Callable[..., Any] | None,
    mesh_block: Callable[[Block], Piece] | None = None,
) -> Iterator[Piece]:
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

    A vertex in a tile's seam band is looked up by its key (its cell and
    group) among the seam vertices of the tiles before; the others are new.
    Two vertices of one tile never share a key, so each copy is joined to
    its own vertex even where two sheets put several at one point.

    With ``tiles`` (the tiles per side, added in block order, x fastest) a
    tile's seam vertices are forgotten once no later tile can use them.
    Every cell holding a vertex lies within one tile's block (surface cells
    on seams are finest), and a face using the vertex is made by the tile
    holding the lowest corner of the face's edge, which lies in the cell's
    closure on at most two of its upper faces (the edge runs inside the
    cell along the third axis): the cell's tile or the next along at most
    two axes, at most ``tiles + tiles**2`` tiles later. Each vertex is kept
    for one tile more than that after the first tile that saw it. Memory:
    one dict entry per seam vertex of those tiles (of every tile without
    ``tiles``).
    """

    def __init__(self, tiles: int | None = None) -> None:
        self._seam: dict[bytes, int] = {}
        self.vertex_count = 0
        # The keys each of the last tiles added to the table, oldest first,
        # while later tiles may still look them up.
        self._reach = None if tiles is None else 1 + tiles + tiles**2
        self._added: deque[list[bytes]] = deque()

    def add(
        self,
        vertices: Array,
        faces: NDArray[np.int64],
        near_seam: NDArray[np.bool_],
        keys: NDArray[np.uint64],
    ) -> tuple[Array, NDArray[np.int64]]:
        """The tile's vertices not met before, and its faces numbered in the
        whole mesh (new vertices take the next numbers, in order)."""
        if keys.shape != (len(vertices), 2):
            raise ValueError(
                f"keys must have one row of two per vertex, shape ({len(vertices)}, 2),"
                f" got {keys.shape}"
            )
        numbers = np.empty(len(vertices), dtype=np.int64)
        fresh = np.ones(len(vertices), dtype=bool)
        seam_rows = np.flatnonzero(near_seam)
        # The 16 bytes of each row's key, as one dict key.
        rows = np.ascontiguousarray(keys[seam_rows], dtype=np.uint64)
        seam_keys = cast(list[bytes], rows.view(np.dtype((np.void, 16))).ravel().tolist())
        for row, key in zip(seam_rows.tolist(), seam_keys):
            known = self._seam.get(key)
            if known is not None:
                numbers[row] = known
                fresh[row] = False
        new_rows = np.flatnonzero(fresh)
        numbers[new_rows] = np.arange(self.vertex_count, self.vertex_count + len(new_rows))
        self.vertex_count += len(new_rows)
        added = []
        for row, key in zip(seam_rows.tolist(), seam_keys):
            if key not in self._seam:
                self._seam[key] = int(numbers[row])
                added.append(key)
        if self._reach is not None:
            self._added.append(added)
            if len(self._added) > self._reach:
                for key in self._added.popleft():
                    del self._seam[key]
        return vertices[new_rows], numbers[faces]


def stitch_all(pieces: Iterator[Piece], tiles: int | None = None) -> tuple[Array, NDArray[np.int64]]:
    """Every tile's piece stitched into one pair of arrays.

    Memory: the stitched mesh once, plus one tile's piece and one block (see
    :class:`_Rows`). Each tile's piece is dropped as soon as its new rows
    are copied out. ``tiles`` as for :class:`Stitcher`."""
    stitcher = Stitcher(tiles)
    vertices, faces = _Rows(np.float64), _Rows(np.int64)
    for piece in pieces:
        new_vertices, numbered = stitcher.add(*piece)
        del piece
        vertices.append(new_vertices)
        faces.append(numbered)
        del new_vertices, numbered
    del stitcher  # its seam table is of no use once every tile is in
    return vertices.joined(), faces.joined()


class _Rows:
    """Rows of three appended part by part, then joined into one array.

    The rows are kept in blocks of ``_BLOCK_ROWS`` (48 MB), not as the
    parts: a tile's part is small, and freed small arrays stay in the
    allocator's heap, so joining many parts would leave the process holding
    them besides the result (about the mesh's size again, seen as resident
    memory until the process ends). Blocks this large are mapped on their
    own and given back when freed; :meth:`joined` frees each once copied,
    so the mesh is never held twice."""

    def __init__(self, dtype: type) -> None:
        self._dtype = dtype
        self._blocks: list[NDArray[Any]] = []
        self._used = 0  # rows used in the last block
        self.count = 0

    def append(self, rows: NDArray[Any]) -> None:
        at = 0
        while at < len(rows):
            if not self._blocks or self._used == _BLOCK_ROWS:
                # Pages are taken as they are written, so the last block's
                # unused rows cost nothing.
                self._blocks.append(np.empty((_BLOCK_ROWS, 3), dtype=self._dtype))
                self._used = 0
            take = min(len(rows) - at, _BLOCK_ROWS - self._used)
            self._blocks[-1][self._used:self._used + take] = rows[at:at + take]
            self._used += take
            at += take
        self.count += len(rows)

    def joined(self) -> NDArray[Any]:
        """The rows in the order appended, as one (N, 3) array; the blocks are
        dropped."""
        result: NDArray[Any] = np.empty((self.count, 3), dtype=self._dtype)
        at = 0
        self._blocks.reverse()  # popped from the end, in order
        while self._blocks:
            block = self._blocks.pop()
            take = min(_BLOCK_ROWS, self.count - at)
            result[at:at + take] = block[:take]
            at += take
            del block
        return result
