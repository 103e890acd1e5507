"""Volumes: karvex.mesh on sampled arrays against marching cubes.

Smoothed random blobs (scikit-image's binary_blobs, Gaussian-smoothed, one
sample of empty border so that marching cubes' surface is closed too) of
n^3 samples, n = 2^k + 1, as float32 (inside above 0.5) and uint8 (inside
above 127.5). Each run happens in a fresh process: the time of the call, the
growth of the process's peak resident memory during it (the array is loaded
before), the triangles and whether the mesh is closed. karvex runs at
max_depth = k (its finest cells are the voxels), with and without
simplify=0.5 (half a voxel); marching cubes is skimage.measure.marching_cubes
at the same level. For karvex, the time of the validity pass that ends the
call (Python, over the native exact test) is shown apart, and so are the time
and the peak growth of the native extraction before it. Prints a Markdown
table. One run each: ratios, not statistics.

    .venv/bin/python bench/volumes.py --module-dir build/tests --sizes 129 257
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from module_loader import add_module_dir_argument  # noqa: E402

LEVELS = {"float32": 0.5, "uint8": 127.5}
METHODS = ["marching_cubes", "karvex", "karvex simplify=0.5", "karvex without validity pass",
           "karvex simplify=0.5 without validity pass"]


def make_volume(n: int, dtype: str, path: str) -> None:
    import numpy as np
    from scipy.ndimage import gaussian_filter
    from skimage.data import binary_blobs

    blobs = binary_blobs(length=n - 2, blob_size_fraction=0.1, n_dim=3, volume_fraction=0.3, rng=1)
    smooth = gaussian_filter(blobs.astype(np.float32), sigma=1.5)
    volume = np.zeros((n, n, n), dtype=np.float32)
    volume[1:-1, 1:-1, 1:-1] = smooth
    if dtype == "uint8":
        volume = np.round(volume * 255.0).astype(np.uint8)
    np.save(path, volume)


def _memory(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return 0


def run_one(path: str, method: str, depth: int, level: float, workers: int) -> dict:
    """One measurement, in this process (called in a fresh one)."""
    import time

    import numpy as np

    volume = np.load(path)
    validity: list[float] = []
    native: list[tuple[float, int]] = []
    if method == "marching_cubes":
        from skimage.measure import marching_cubes

        def call():
            verts, faces, _, _ = marching_cubes(volume, level)
            return verts, faces
    else:
        import karvex
        import karvex._mesher as mesher

        valid_solid = mesher._valid_solid

        def timed_valid_solid(arrays, *rest):
            if method.endswith("without validity pass"):
                return arrays[0], arrays[1]
            started = time.perf_counter()
            try:
                return valid_solid(arrays, *rest)
            finally:
                validity.append(time.perf_counter() - started)

        mesher._valid_solid = timed_valid_solid
        engine = mesher._engine
        run_volume = engine.run_volume

        def timed_run_volume(*args, **kwargs):
            # The native extraction alone: its time, and the peak so far (the
            # validity pass comes after it).
            started = time.perf_counter()
            try:
                return run_volume(*args, **kwargs)
            finally:
                native.append((time.perf_counter() - started, _memory("VmHWM:")))

        engine.run_volume = timed_run_volume
        simplify = 0.5 if "simplify=0.5" in method else None
        grid = karvex.grid_field(volume, inside="above")

        def call():
            m = karvex.mesh(grid, max_depth=depth, level=level, simplify=simplify, workers=workers)
            return m.vertices, m.faces

    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # the peak resident size starts again from here
    before = _memory("VmRSS:")
    start = time.perf_counter()
    verts, faces = call()
    seconds = time.perf_counter() - start
    peak = _memory("VmHWM:") - before
    import trimesh

    closed = bool(trimesh.Trimesh(verts, faces, process=True).is_watertight)
    return {"seconds": seconds, "validity": sum(validity) if validity else None, "peak": peak,
            "native": native[0][0] if native else None,
            "native_peak": native[0][1] - before if native else None,
            "triangles": len(faces), "closed": closed}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_module_dir_argument(parser)
    parser.add_argument("--sizes", type=int, nargs="+", default=[129, 257, 513])
    parser.add_argument("--dtypes", nargs="+", default=["float32", "uint8"])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--methods", nargs="+", choices=METHODS, default=METHODS[:3],
                        help="the last two skip the validity pass (its time is not the volume's)")
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        path, method, depth, level = json.loads(args.one)
        if args.module_dir:
            sys.path.insert(0, args.module_dir)
            sys.path.insert(1, os.path.join(HERE, "..", "src"))
            import karvex

            karvex.__path__.append(os.path.join(args.module_dir, "karvex"))
        print(json.dumps(run_one(path, method, depth, level, args.workers)))
        return
    print("| volume | method | time (s) | of which native extraction (s) | of which validity pass (s)"
          " | peak RSS growth (MB) | of which native extraction (MB) | triangles | closed |")
    print("|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder:
        for n in args.sizes:
            depth = (n - 1).bit_length() - 1
            for dtype in args.dtypes:
                path = os.path.join(folder, f"v{n}_{dtype}.npy")
                make_volume(n, dtype, path)
                for method in args.methods:
                    one = json.dumps([path, method, depth, LEVELS[dtype]])
                    command = [sys.executable, __file__, "--one", one, "--workers", str(args.workers)]
                    if args.module_dir:
                        command += ["--module-dir", args.module_dir]
                    out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
                    r = json.loads(out.strip().splitlines()[-1])
                    validity = "" if r["validity"] is None else f"{r['validity']:.2f}"
                    native = "" if r["native"] is None else f"{r['native']:.2f}"
                    native_peak = "" if r["native_peak"] is None else f"{r['native_peak'] / 2**20:.0f}"
                    print(
                        f"| {n}^3 {dtype} | {method} | {r['seconds']:.2f} | {native} | {validity}"
                        f" | {r['peak'] / 2**20:.0f} | {native_peak}"
                        f" | {r['triangles']:,} | {'yes' if r['closed'] else 'no'} |",
                        flush=True,
                    )
                os.remove(path)


if __name__ == "__main__":
    main()
