"""Tiled against untiled meshing: wall time and peak memory, one run per process.

Meshes the sphere of radius 0.77 in [-1, 1]^3 (or the gyroid shell in a
ball) at a given depth untiled, in tiles in this process, or in tiles written
straight to a PLY file, each in a fresh process so that its peak resident
set (VmHWM) is its own, and checks that the tiled mesh is closed.

    PYTHONPATH=src:build/tests python bench/tiles.py [--depth 10] [--tiles 8] [--shape sphere]

Prints one Markdown row per way of meshing.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


def shape(name: str):  # noqa: ANN201 - a karvex.sdf field
    from karvex import sdf

    if name == "sphere":
        return sdf.sphere(0.77)
    return sdf.gyroid(period=0.25, thickness=0.03) & sdf.sphere(0.9)


def peak_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def one_run(way: str, depth: int, tiles: int, name: str) -> dict:
    import karvex

    field = shape(name)
    start = time.perf_counter()
    if way == "ply":
        with tempfile.TemporaryDirectory() as folder:
            _, faces = karvex.mesh_to_ply(
                os.path.join(folder, "m.ply"), field, BOX, max_depth=depth, tiles=tiles
            )
            seconds = time.perf_counter() - start
        return {"faces": faces, "seconds": seconds, "peak_kib": peak_kib(), "closed": None}
    mesh = karvex.mesh(field, BOX, max_depth=depth, tiles=tiles if way == "tiles" else 1)
    seconds = time.perf_counter() - start
    peak = peak_kib()
    return {"faces": len(mesh.faces), "seconds": seconds, "peak_kib": peak, "closed": mesh.is_closed}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depth", type=int, default=10)
    parser.add_argument("--tiles", type=int, default=8)
    parser.add_argument("--shape", choices=("sphere", "gyroid"), default="sphere")
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(one_run(args.one, args.depth, args.tiles, args.shape)))
        return
    print("| way | depth | tiles | triangles | seconds | peak RSS (MB) | closed |")
    print("|---|---|---|---|---|---|---|")
    for way in ("untiled", "tiles", "ply"):
        command = [sys.executable, __file__, "--one", way, "--depth", str(args.depth),
                   "--tiles", str(args.tiles), "--shape", args.shape]
        result = json.loads(subprocess.run(command, check=True, capture_output=True,
                                           text=True).stdout.splitlines()[-1])
        tiles = 1 if way == "untiled" else args.tiles
        print(f"| {way} | {args.depth} | {tiles} | {result['faces']} | {result['seconds']:.1f}"
              f" | {result['peak_kib'] / 1024:.0f} | {result['closed']} |")


if __name__ == "__main__":
    main()
