"""Running the tiles of one call: in this process, or as Dask tasks.

Either way the pieces are stitched in the tiles' block order, so the vertex
numbering, and with it the mesh, does not depend on where or in what order
the tiles ran.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
from numpy.typing import NDArray

from karvex._conversions import import_optional
from karvex._dask_volume import DaskGridField
from karvex._field_check import CheckedField
from karvex._grid import GridField
from karvex._region import BoxRegion
from karvex._tiles import Block, Piece, TileRun, mesh_tile, tile_blocks, tiles_in_process

__all__ = ["tile_pieces"]

# Reruns of tiles whose shipped field was lost with a worker, per tile, and how
# long to wait for a worker to ship the field to again.
_LOST_FIELD_RERUNS = 3
_WORKER_WAIT_SECONDS = 60.0

Array = NDArray[np.float64]


def _run_tile(
    field: Callable[[Array], Any], batch_size: int | None, run: TileRun, block: Block
) -> tuple[Piece, float, float]:
    """Runs on a worker (or here): one tile, with the field's range in the
    box. A volume is sampled natively; one held as a Dask array is read
    here, only near the block."""
    region = BoxRegion(CheckedField(field, batch_size), run.bbox_min, run.bbox_max, run.level)
    volume = None
    if isinstance(field, DaskGridField):
        volume = field.tile_volume(run.bbox_min, run.bbox_max, run.options["max_depth"], block)
    elif isinstance(field, GridField):
        volume = field.native_volume()
    return mesh_tile(region, run, block, volume), region.low, region.high


def tile_pieces(
    region: BoxRegion,
    field: Callable[[Array], Any],
    batch_size: int | None,
    run: TileRun,
    tiles: int,
    client: Any,
    reporter: Callable[..., Any] | None,
) -> Iterator[Piece]:
    """The tiles' pieces in block order, meshed here or on ``client``.

    In process ``region`` (the checked field in the box) meshes every tile.
    On ``client`` each tile is one task, and the pieces are handed on in
    block order as they finish; each worker wraps ``field`` (with
    ``batch_size``) as this process did, and the field's range the tiles
    saw is recorded into ``region``. The field is sent to every worker once
    and the tasks refer to it. A task that fails (the field raised, or the
    mesher did) cancels the others and its exception is raised here, at
    once (an error of the field would only come again). A task whose worker
    died is rerun on another by the scheduler (up to its
    ``allowed-failures``, 3 by default) with the same result, as a tile's
    result depends on nothing but its inputs; if the dead worker held the
    field's only copy, the field is shipped again and the tiles waiting on it
    rerun (up to three times a tile).
    """
    if client is None and isinstance(field, (DaskGridField, GridField)):
        # Each tile sampling natively the volume (or the part near its block).
        def mesh_block(block: Block) -> Piece:
            piece, low, high = _run_tile(field, batch_size, run, block)
            region.low, region.high = min(region.low, low), max(region.high, high)
            return piece

        yield from tiles_in_process(region, run, tiles, reporter, mesh_block)
        return
    if client is None:
        yield from tiles_in_process(region, run, tiles, reporter)
        return
    distributed = import_optional("distributed", "meshing tiles on a client")
    if not hasattr(client, "submit") or not hasattr(client, "scatter"):
        raise TypeError(
            f"client must be a distributed.Client or None, got {type(client).__name__}"
        )
    blocks = tile_blocks(tiles, run.options["max_depth"])
    shipped = client.scatter(field, broadcast=True, hash=False)

    def submit(i: int) -> Any:
        future = client.submit(_run_tile, shipped, batch_size, run, blocks[i], pure=False)
        index[future.key] = (i, shipped.key)
        futures.append(future)
        return future

    futures: list[Any] = []
    index: dict[Any, tuple[int, Any]] = {}
    for i in range(len(blocks)):
        submit(i)
    reruns = 0
    waiting: dict[int, Piece] = {}
    next_piece = 0
    done = 0
    if reporter is not None:
        reporter("tiles", 0, len(blocks))
    try:
        completed = distributed.as_completed(list(futures))
        for future in completed:
            i, used = index.pop(future.key)
            if future.cancelled() and reruns < _LOST_FIELD_RERUNS * len(blocks):
                # The scheduler may keep a single copy of the shipped field;
                # when the worker holding it dies, the tasks waiting on it
                # are forgotten and come back cancelled. Ship the field again
                # (once per lost copy) and rerun the tile: its result depends
                # on its inputs alone.
                if used == shipped.key:
                    client.wait_for_workers(1, timeout=_WORKER_WAIT_SECONDS)
                    shipped = client.scatter(field, broadcast=True, hash=False)
                reruns += 1
                completed.add(submit(i))
                continue
            piece, low, high = future.result()
            region.low = min(region.low, low)
            region.high = max(region.high, high)
            waiting[i] = piece
            future.release()
            done += 1
            if reporter is not None:
                reporter("tiles", done, len(blocks))
            while next_piece in waiting:
                yield waiting.pop(next_piece)
                next_piece += 1
    finally:
        client.cancel(futures)
