"""Writing a tiled mesh to a binary PLY file tile by tile.

The stitched mesh is never held whole: each tile's new vertices and its
faces (numbered in the whole mesh) are appended to two scratch files next to
the output as the tile is done, and the file is assembled at the end from a
header with the final counts and the two parts. Memory is one tile's run and
piece plus one dictionary entry per vertex on a seam of the last
``1 + k + k**2`` tiles (k tiles per side); disk is
twice the file while it is assembled.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from karvex._mesher import Bounds, prepare_call, run_options
from karvex._progress import ProgressCallback, make_reporter
from karvex._tile_runs import tile_pieces
from karvex._tiles import Stitcher

__all__ = ["mesh_to_ply"]

# A face record: a count byte (3) and three little-endian int32 indices.
_FACE = np.dtype([("count", "u1"), ("indices", "<i4", (3,))])
_INT32_LIMIT = 2**31 - 1


def ply_header(vertex_count: int, face_count: int) -> bytes:
    """The header of a binary little-endian PLY of float64 vertices and
    triangles."""
    return (
        "ply\nformat binary_little_endian 1.0\ncomment written by karvex\n"
        f"element vertex {vertex_count}\n"
        "property double x\nproperty double y\nproperty double z\n"
        f"element face {face_count}\n"
        "property list uchar int vertex_indices\nend_header\n"
    ).encode("ascii")


def mesh_to_ply(
    path: str | os.PathLike[str],
    field: Callable[[NDArray[np.float64]], Any],
    bounds: Bounds | None = None,
    *,
    tiles: int = 8,
    client: Any = None,
    max_depth: int | None = None,
    min_depth: int = 3,
    level: float = 0.0,
    sharp_angle: float = 30.0,
    adaptive: bool = False,
    simplify: float | None = None,
    batch_size: int | None = 262144,
    progress: bool | ProgressCallback | None = None,
    workers: int | None = None,
) -> tuple[int, int]:
    """Mesh in tiles and write the stitched mesh to a binary PLY file, tile
    by tile, never holding it whole.

    The file holds the stitched mesh that :func:`karvex.mesh` with the
    same arguments and ``tiles`` makes (every piece kept) before its final
    validity pass, which needs the whole mesh and is not applied here: the
    same vertices and triangles, numbered the same, with vertices in
    float64 and faces as int32 indices. Check the mesh read back with
    :meth:`karvex.Mesh.check` where a valid solid matters. Memory: one
    tile's run and piece, plus one entry per vertex on the seams of the
    last ``1 + tiles + tiles**2`` tiles (about 60 bytes each); the file is assembled at the end from two
    scratch files in its folder, so the disk needs room for it twice.

    Parameters
    ----------
    path : str or path-like
        The file to write (replaced if it exists).
    field, bounds, max_depth, min_depth, level, sharp_angle, adaptive, simplify
        As for :func:`karvex.mesh` (seams between tiles are not simplified).
    batch_size, progress, workers
        As for :func:`karvex.mesh`.
    tiles : int, default 8
        Tiles per side (a power of two, at most ``2**max_depth``).
    client : distributed.Client, optional
        Mesh the tiles as tasks on this Dask cluster (see :func:`karvex.mesh`).

    Returns
    -------
    (int, int)
        The numbers of vertices and triangles written.

    Raises
    ------
    ValueError
        More than 2**31 - 1 vertices (the file's indices are int32), or an
        argument out of range as in :func:`karvex.mesh`.
    """
    # Every piece, without normals: both need the whole mesh.
    streamed = {**locals(), "keep": "all", "normals": False}
    call = prepare_call(field, bounds, tiles=tiles, tiled=True, **run_options(streamed))
    args, region = call.args, call.region
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    reporter = make_reporter(args.progress)
    stitcher = Stitcher(call.tiles)
    face_count = 0
    try:
        with (
            tempfile.TemporaryFile(dir=folder) as vertex_part,
            tempfile.TemporaryFile(dir=folder) as face_part,
        ):
            pieces = tile_pieces(
                region, args.field, args.batch_size, call.tile_run(), call.tiles, client, reporter
            )
            for vertices, faces, near, keys in pieces:
                new_vertices, numbered = stitcher.add(vertices, faces, near, keys)
                if stitcher.vertex_count > _INT32_LIMIT:
                    raise ValueError(
                        f"the mesh has more than {_INT32_LIMIT} vertices, more than a PLY file's"
                        " int32 indices can number; mesh at a lower max_depth"
                    )
                vertex_part.write(np.ascontiguousarray(new_vertices, dtype="<f8").tobytes())
                records = np.empty(len(numbered), dtype=_FACE)
                records["count"] = 3
                records["indices"] = numbered
                face_part.write(records.tobytes())
                face_count += len(numbered)
            vertex_count = stitcher.vertex_count
            if not region.crosses_level():
                vertex_count = face_count = 0  # only caps: the box itself
            _assemble(target, vertex_count, face_count, vertex_part, face_part)
    finally:
        if reporter is not None:
            reporter.close()
    return vertex_count, face_count


def _assemble(target: str, vertex_count: int, face_count: int, *parts: Any) -> None:
    """Writes ``target``: the header and the parts (the header alone for an
    empty mesh). A write that fails removes the partial file."""
    try:
        with open(target, "wb") as out:
            out.write(ply_header(vertex_count, face_count))
            if vertex_count:
                for part in parts:
                    part.seek(0)
                    shutil.copyfileobj(part, out, 1 << 22)
    except BaseException:
        if os.path.exists(target):
            os.remove(target)
        raise
