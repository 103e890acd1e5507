"""Mesh a volume kept in a Zarr store, tile by tile, without loading it whole.

Writes a (2**depth + 1)^3 uint8 scan of a few bright blobs to a Zarr store
(standing in for a micro-CT volume on disk), opens it as a Dask array and
writes its mesh to a binary PLY file with karvex.mesh_to_ply: each tile
computes only the chunks near its block. With --workers N the tiles run as
tasks on a local Dask cluster, each reading its own block on its worker.
Needs zarr and dask (pip install zarr karvex[dask]).

    python examples/zarr_volume.py [--out-dir out] [--depth 7] [--tiles 4] [--workers 0]
"""

from __future__ import annotations

import argparse
import importlib
from collections.abc import Sequence
from pathlib import Path

import numpy as np

import karvex


def write_scan(path: Path, depth: int) -> None:
    """A scan of three overlapping blobs, bright inside, in chunks of 32^3,
    written slab by slab (never whole in memory)."""
    import zarr

    n = 2**depth + 1
    store = zarr.create_array(str(path), shape=(n, n, n), chunks=(32, 32, 32), dtype="uint8",
                              overwrite=True)
    axis = np.linspace(-1.0, 1.0, n)
    for start in range(0, n, 32):
        x, y, z = np.meshgrid(axis[start:start + 32], axis, axis, indexing="ij")
        bright = np.zeros(x.shape)
        for cx, cy, cz, radius in ((-0.3, -0.2, 0.0, 0.45), (0.35, 0.25, 0.1, 0.4), (0.0, 0.3, -0.5, 0.3)):
            bright += np.exp(-((x - cx) ** 2 + (y - cy) ** 2 + (z - cz) ** 2) / radius**2)
        store[start:start + 32] = np.clip(bright * 170.0, 0, 255).astype(np.uint8)


def main(argv: Sequence[str] | None = None) -> tuple[Path, int, int]:
    parser = argparse.ArgumentParser(description="Mesh a Zarr volume tile by tile.")
    parser.add_argument("--out-dir", type=Path, default=Path("out"))
    parser.add_argument("--depth", type=int, default=7)
    parser.add_argument("--tiles", type=int, default=4)
    parser.add_argument("--workers", type=int, default=0, help="0: tiles in this process")
    args = parser.parse_args(argv)
    # Optional packages, imported when used (as modules, untyped).
    da = importlib.import_module("dask.array")

    args.out_dir.mkdir(parents=True, exist_ok=True)
    store = args.out_dir / "scan.zarr"
    write_scan(store, args.depth)
    volume = da.from_zarr(str(store))
    # One finest cell per voxel: 2**depth cells across 2**depth + 1 samples.
    scan = karvex.grid_field(volume, spacing=2.0 / 2**args.depth, origin=(-1, -1, -1),
                             inside="above")
    path = args.out_dir / "scan.ply"
    if args.workers:
        distributed = importlib.import_module("distributed")
        with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1) as cluster, \
                distributed.Client(cluster) as client:
            counts = karvex.mesh_to_ply(path, scan, max_depth=args.depth, level=127.5,
                                        tiles=args.tiles, client=client)
    else:
        counts = karvex.mesh_to_ply(path, scan, max_depth=args.depth, level=127.5,
                                    tiles=args.tiles)
    print(f"{path}: {counts[0]} vertices, {counts[1]} triangles from a {volume.shape} volume")
    return path, *counts


if __name__ == "__main__":
    main()
