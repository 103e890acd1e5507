"""Volumes held as Dask arrays (a Zarr store, an HDF5 file, a stack of
images): meshed in tiles, each tile reading only the samples near it.

:func:`karvex.grid_field` given a Dask array makes a :class:`DaskGridField`:
the field of the samples the array would compute, interpolated exactly as a
NumPy volume is (the same operations, so the same numbers to the bit), but
never computed whole. :func:`karvex.mesh` and :func:`karvex.mesh_to_ply`
mesh it only with ``tiles``: each tile puts together the samples of its
block of finest cells and a halo round it as one NumPy window, in the
array's own dtype, and hands it to the native volume sampling with its
place in the whole array; the few samples the tile's run needs beyond that
window are read for it, batch by batch, through a cache.

Why a tile needs samples beyond its block: its octree starts from the whole
cube's grid at ``min_depth`` and refines, at each depth, the cells within
two cells of their own size of the tile, so that the cells near it are the
ones the untiled run makes. At depth d those cells reach about six cells of
that depth beyond the block: many samples close by at the finest depths
(the window holds them), a few far away at the coarse ones (the grid of the
first depth spans the whole cube). The far ones are read as single samples
and kept in a cache that the tiles of one process share, since the coarse
grid is the same for every tile.

The array is read chunk by chunk (the unit a store reads anyway): windows
and single samples both come from the chunks that hold them, and the
chunks read last are kept (up to 64 MB) for the next tile, whose window
shares most of them.
"""

from __future__ import annotations

import itertools
import math
import threading
from collections import OrderedDict
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from karvex._grid import Bounds, grid_repr, interpolate
from karvex.sdf._base import Field, Sample

__all__ = ["DaskGridField", "check_volume_array", "is_dask_array", "suggested_tiles"]

Array = NDArray[np.float64]

# Finest cells of halo on every side of a tile's block. Any halo gives the
# same mesh (samples beyond it are read singly); this one holds what the
# two finest depths ask for (their split cells reach about six cells of
# their own size beyond the block), so that the single reads are left to
# the coarser depths: on 257^3 samples in 4^3 tiles, halos of 4, 8 and 16
# cells read 690k, 370k and 150k samples singly, for windows of 1.3, 1.7
# and 2.7 times the array in all.
HALO_CELLS = 16
# The most samples the shared cache of single reads holds; past it the cache
# starts again empty (what it holds changes no value, only what is read again).
_CACHE_LIMIT = 1 << 21
# The chunks kept by the reader of windows and single samples: those near a
# tile are read again by the next tile's window and as its run goes from
# level to level.
_CHUNK_BYTES = 1 << 26
# Kept as they are; other dtypes are converted to float64 as they are read,
# as grid_field converts a NumPy array of them.
_NATIVE_DTYPES = tuple(np.dtype(t) for t in ("uint8", "uint16", "int16", "float32", "float64"))


def is_dask_array(volume: object) -> bool:
    """Whether ``volume`` is a Dask array (without importing Dask)."""
    return type(volume).__module__.split(".")[0] == "dask" and hasattr(volume, "__dask_graph__")


class DaskGridField(Field):
    """A field over a Dask array of samples; made by :func:`karvex.grid_field`.

    Attributes
    ----------
    volume : dask.array.Array, shape (nx, ny, nz)
        The caller's array, never computed whole.
    spacing, origin : ndarray, shape (3,)
    inside : {"below", "above"}
    bounds : ((x0, y0, z0), (x1, y1, z1))
        The box the samples span.
    reads : list
        What this process computed of the array: ``("window", slices)`` for
        a tile's window, ``("samples", count)`` for single samples read.
    """

    def __init__(self, volume: Any, spacing: Array, origin: Array, inside: str) -> None:
        self.volume, self.spacing, self.origin, self.inside = volume, spacing, origin, inside
        self.shape = tuple(int(n) for n in volume.shape)
        self._top = np.array(self.shape, dtype=np.float64) - 1.0
        far = origin + self._top * spacing
        self._bounds: Bounds = (
            (float(origin[0]), float(origin[1]), float(origin[2])),
            (float(far[0]), float(far[1]), float(far[2])),
        )
        dtype = np.dtype(volume.dtype)
        self._kept = dtype in _NATIVE_DTYPES and dtype.isnative
        self.reads: list[tuple[str, Any]] = []
        self._cache = _SampleCache()
        self._chunks = _ChunkReader(volume)
        # The tiles that run at once on the threads of one Dask worker share
        # the caches: one reads at a time.
        self._lock = threading.Lock()

    def __getstate__(self) -> dict[str, Any]:
        # Shipped to a worker without what this process read.
        state = self.__dict__.copy()
        state.update(reads=[], _cache=_SampleCache(), _chunks=_ChunkReader(self.volume))
        del state["_lock"]
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state, _lock=threading.Lock())

    @property
    def bounds(self) -> Bounds:
        return self._bounds

    def __repr__(self) -> str:
        what = f"dask array {self.shape} {np.dtype(self.volume.dtype)}"
        return grid_repr(what, self.spacing, self.origin, self.inside)

    def evaluate(self, points: Array) -> Sample:
        # Every corner read as a single sample: right for a few points (the
        # vertices' normals, a probe), never for a whole volume.
        return interpolate(
            points, self.origin, self.spacing, self._top, self._cache_corners, self.inside
        )

    def _cache_corners(self, cells: NDArray[np.intp]) -> Array:
        return self.samples_at(cells[:, None, :] + _CORNERS[None, :, :]).reshape(len(cells), 8)

    def samples_at(self, indices: NDArray[np.intp]) -> Array:
        """The samples at ``indices`` (``(..., 3)``, inside the array) as
        float64, read through the shared cache."""
        with self._lock:
            return self._samples_at(indices)

    def _samples_at(self, indices: NDArray[np.intp]) -> Array:
        flat = indices.reshape(-1, 3)
        keys = np.asarray(np.ravel_multi_index(tuple(flat.T), self.shape), dtype=np.int64)
        missing = self._cache.missing(keys)
        if len(missing):
            where = np.unravel_index(missing, self.shape)
            values = self._checked(self._chunks.read(where), lambda at: [axis[at] for axis in where])
            self.reads.append(("samples", len(missing)))
            self._cache.add(missing, values)
        return self._cache.get(keys).reshape(indices.shape[:-1])

    def window(self, low: tuple[int, ...], high: tuple[int, ...]) -> NDArray[Any]:
        """The samples ``array[low:high]`` (per axis) computed as a NumPy
        array, in the array's dtype when the native sampling keeps it."""
        slices = tuple(slice(a, b) for a, b in zip(low, high, strict=True))
        with self._lock:
            block = self._chunks.region(low, high)
        self.reads.append(("window", slices))
        return self._checked(
            block, lambda at: np.add(np.unravel_index(at, block.shape), low)
        )

    def _checked(self, samples: NDArray[Any], index_of: Callable[[int], Any]) -> NDArray[Any]:
        """Samples as the field reads them, refused (ValueError) where NaN or
        infinite, as grid_field refuses a NumPy volume; ``index_of(n)`` is
        the array index of the n-th sample in memory order."""
        if not self._kept:
            samples = samples.astype(np.float64)
        if samples.dtype.kind == "f" and not np.isfinite(samples).all():
            first = index_of(int(np.flatnonzero(~np.isfinite(samples.reshape(-1)))[0]))
            raise ValueError(
                "volume must be finite: the Dask array holds NaN or infinite samples (one at"
                f" index {tuple(int(i) for i in first)}); replace them before meshing, for"
                " example with dask.array.nan_to_num"
            )
        return samples

    def tile_volume(self, bbox_min: tuple[float, ...], bbox_max: tuple[float, ...], max_depth: int,
                    block: tuple[int, ...]) -> tuple[Any, ...]:
        """The volume one tile samples natively, as ``karvex._native``
        takes it: its window read, with the whole array's shape and the
        window's place in it, and the samples beyond the window read through
        the shared cache."""
        low, high = window_of(self, bbox_min, bbox_max, max_depth, block)
        window = (low, self.shape, self._cache_corners)
        return (
            self.window(low, high),
            tuple(float(s) for s in self.spacing),
            tuple(float(o) for o in self.origin),
            self.inside == "above",
            window,
        )


def window_of(
    field: DaskGridField,
    bbox_min: tuple[float, ...],
    bbox_max: tuple[float, ...],
    max_depth: int,
    block: tuple[int, ...],
) -> tuple[tuple[int, ...], tuple[int, ...]]:
    """The sample indices (lower, upper exclusive) of a tile's block of
    finest cells grown by HALO_CELLS cells on every side, within the array
    and at least two samples along each axis (a tile beyond the array's
    extent, in the cube round a box that is not one, reads the two nearest)."""
    low_corner, high_corner = np.array(bbox_min, dtype=float), np.array(bbox_max, dtype=float)
    size = float((high_corner - low_corner).max())
    cube_origin = (low_corner + high_corner) / 2.0 - size / 2.0
    cell = size / 2.0**max_depth
    lower = (np.array(block[:3]) - HALO_CELLS) * cell + cube_origin
    upper = (np.array(block[3:]) + HALO_CELLS) * cell + cube_origin
    first = np.floor((lower - field.origin) / field.spacing)
    last = np.ceil((upper - field.origin) / field.spacing) + 1
    shape = np.array(field.shape)
    low = np.clip(first, 0, shape - 2).astype(int)
    high = np.clip(last, low + 2, shape).astype(int)
    return tuple(int(i) for i in low), tuple(int(i) for i in high)


# Corner (a, b, c) of a cell in the order the interpolation takes them.
_CORNERS = np.array([(a, b, c) for a in (0, 1) for b in (0, 1) for c in (0, 1)], dtype=np.intp)


class _ChunkReader:
    """Windows and single samples read chunk by chunk: each chunk that
    holds one is computed whole (the unit a store reads anyway) and the last
    ones read are kept, up to _CHUNK_BYTES, for the next window or samples
    near them."""

    def __init__(self, volume: Any) -> None:
        self._volume = volume
        # Each axis's chunk boundaries, for finding the chunk of an index.
        self._edges = [np.cumsum((0, *sizes)) for sizes in volume.chunks]
        self._kept: OrderedDict[tuple[int, ...], NDArray[Any]] = OrderedDict()
        self._bytes = 0
        self.chunks_computed = 0

    def read(self, where: tuple[NDArray[np.intp], ...]) -> NDArray[Any]:
        """The samples at the index arrays ``where`` (one per axis)."""
        counts = tuple(len(edges) - 1 for edges in self._edges)
        chunk = np.ravel_multi_index(
            tuple(
                np.searchsorted(edges, axis, side="right") - 1
                for edges, axis in zip(self._edges, where, strict=True)
            ),
            counts,
        )
        values = np.empty(len(where[0]), dtype=self._volume.dtype)
        # The rows of each chunk, chunk after chunk.
        order = np.argsort(chunk, kind="stable")
        ordered = chunk[order]
        starts = np.flatnonzero(np.diff(ordered, prepend=-1))
        ends = np.append(starts[1:], len(ordered))
        for start, end in zip(starts.tolist(), ends.tolist()):
            rows = order[start:end]
            index = tuple(int(i) for i in np.unravel_index(int(ordered[start]), counts))
            block = self._chunk(index)
            local = tuple(
                axis[rows] - edges[i] for axis, edges, i in zip(where, self._edges, index, strict=True)
            )
            values[rows] = block[local]
        return values

    def region(self, low: tuple[int, ...], high: tuple[int, ...]) -> NDArray[Any]:
        """The samples ``array[low:high]`` (per axis) as a C-ordered array,
        put together from the chunks that hold them: neighbouring tiles'
        windows share chunks, which are then computed once while kept."""
        spans = []
        for edges, first, last in zip(self._edges, low, high, strict=True):
            spans.append(range(int(np.searchsorted(edges, first, side="right")) - 1,
                               int(np.searchsorted(edges, last - 1, side="right"))))
        out = np.empty(tuple(b - a for a, b in zip(low, high, strict=True)), dtype=self._volume.dtype)
        for index in itertools.product(*spans):
            source, target = [], []
            for edges, i, first, last in zip(self._edges, index, low, high, strict=True):
                start, stop = max(int(edges[i]), first), min(int(edges[i + 1]), last)
                source.append(slice(start - int(edges[i]), stop - int(edges[i])))
                target.append(slice(start - first, stop - first))
            out[tuple(target)] = self._chunk(index)[tuple(source)]
        return out

    def _chunk(self, index: tuple[int, ...]) -> NDArray[Any]:
        block = self._kept.pop(index, None)
        if block is None:
            block = np.asarray(self._volume.blocks[index].compute(scheduler="synchronous"))
            self.chunks_computed += 1
            self._bytes += block.nbytes
            while self._kept and self._bytes > _CHUNK_BYTES:
                self._bytes -= self._kept.popitem(last=False)[1].nbytes
        self._kept[index] = block  # the most recently used last
        return block


class _SampleCache:
    """Single samples read from the array, by flat index: sorted keys and
    their float64 values, with the latest additions in a smaller sorted part
    merged into the main one once it grows (so that adding stays cheap)."""

    def __init__(self) -> None:
        empty = (np.zeros(0, dtype=np.int64), np.zeros(0))
        self._parts = [empty, empty]  # main, recent

    def __len__(self) -> int:
        return sum(len(keys) for keys, _ in self._parts)

    def _where(self, keys: NDArray[np.int64]) -> list[tuple[NDArray[np.intp], NDArray[np.bool_]]]:
        found = []
        for part, _ in self._parts:
            at = np.minimum(np.searchsorted(part, keys), max(len(part) - 1, 0))
            found.append((at, part[at] == keys if len(part) else np.zeros(len(keys), dtype=bool)))
        return found

    def missing(self, keys: NDArray[np.int64]) -> NDArray[np.int64]:
        """The distinct keys not held (all of them after a reset)."""
        # Looked up before they are made distinct: most are held, and the
        # lookup costs less than sorting them all.
        (_, in_main), (_, in_recent) = self._where(keys)
        wanted = np.unique(keys[~(in_main | in_recent)])
        if len(self) + len(wanted) > _CACHE_LIMIT:
            self.__init__()  # type: ignore[misc]
            wanted = np.unique(keys)
        return wanted

    def add(self, keys: NDArray[np.int64], values: NDArray[Any]) -> None:
        """Adds sorted keys none of which is held."""
        (main, main_values), (recent, recent_values) = self._parts
        keys = np.concatenate([recent, keys])
        values = np.concatenate([recent_values, np.asarray(values, dtype=np.float64).reshape(-1)])
        order = np.argsort(keys, kind="stable")
        self._parts[1] = (keys[order], values[order])
        if len(keys) > max(len(main) // 4, 1 << 12):
            keys, values = np.concatenate([main, keys]), np.concatenate([main_values, values])
            order = np.argsort(keys, kind="stable")
            self._parts = [(keys[order], values[order]), (recent[:0], recent_values[:0])]

    def get(self, keys: NDArray[np.int64]) -> Array:
        (at_main, in_main), (at_recent, _) = self._where(keys)
        main_values, recent_values = self._parts[0][1], self._parts[1][1]
        if not len(recent_values):
            return main_values[at_main]
        if not len(main_values):
            return recent_values[at_recent]
        return np.where(in_main, main_values[at_main], recent_values[at_recent])


def suggested_tiles(field: DaskGridField) -> int:
    """Tiles per side whose blocks hold at most about 2**24 samples each."""
    tiles = 2
    while math.prod(n / tiles for n in field.shape) > 2**24:
        tiles *= 2
    return tiles


def check_volume_array(volume: Any) -> None:
    """Raise TypeError or ValueError for a Dask array grid_field cannot take."""
    dtype = np.dtype(volume.dtype)
    if dtype == np.bool_:
        raise TypeError(
            "volume must hold real numbers, negative inside (got a bool Dask array);"
            " convert a mask with dask.array.where(mask, -1.0, 1.0)"
        )
    if dtype.kind not in "iuf":
        raise TypeError(f"volume must hold real numbers (got dtype {dtype})")
    if volume.ndim != 3:
        raise ValueError(f"volume must be a 3-D array (got {volume.ndim} dimensions, shape {volume.shape})")
    if any(math.isnan(n) for n in volume.shape):
        raise ValueError("volume must have a known shape (the Dask array's chunks are unknown)")
    if min(volume.shape) < 2:
        raise ValueError(
            f"volume must have at least 2 samples along each axis to interpolate between"
            f" (got shape {volume.shape})"
        )
