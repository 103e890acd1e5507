"""Tiled against untiled meshing: wall time and peak memory, one run per process.

Meshes the sphere of radius 0.77 in [-1, 1]^3 (or the gyroid shell in a
ball) at a given depth in each of these ways, each in a fresh process so
that its peak resident set (VmHWM) is its own:

    untiled      karvex.mesh in one piece
    tiles        karvex.mesh(tiles=k) in this process
    ply          karvex.mesh_to_ply(tiles=k), the mesh never held whole
    cluster      karvex.mesh(tiles=k, client=...) on a two-worker LocalCluster
    cluster-ply  karvex.mesh_to_ply(tiles=k, client=...) on that cluster

and checks the seams: a mesh held in memory must be closed, and a tiled one
must have the untiled run's numbers of vertices and triangles (uniform mode)
when both ran (or are in the --results file); a PLY file's edges are read
back and checked closed when --check-files is given (about 90 bytes a
triangle, after the run is measured). The cluster ways report the peak of
the client process and of each worker. Under each row, the measured
process's highest sampled resident set, and with --where where it was then
(its main thread's Python stack). A way whose process, or one it started,
passes --cap-gb is ended, and its row says after how long, by which process
and, with --where, where it stopped.

    python bench/tiles.py --module-dir build/tests [--depth 10] [--tiles 8]
        [--shape sphere|gyroid|blobs] [--ways untiled,tiles,ply,cluster] [--cap-gb 6]
        [--results FILE] [--check-files] [--where]

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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from module_loader import add_module_dir_argument, import_module  # noqa: E402

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
WAYS = ("untiled", "tiles", "ply", "cluster", "cluster-ply")


def blob_volume(path: str, depth: int) -> None:
    """Writes the volume of the "blobs" shape to a Zarr store at ``path``:
    (2**depth + 1)^3 uint8 samples (bright inside, level 127.5) of three
    overlapping smooth balls in [-1, 1]^3, in chunks of 64^3, slab by slab."""
    import numpy as np
    import zarr

    n = 2**depth + 1
    store = zarr.create_array(path, shape=(n, n, n), chunks=(64, 64, 64), dtype="uint8")
    axis = np.linspace(-1.0, 1.0, n)
    for start in range(0, n, 64):
        x, y, z = np.meshgrid(axis[start:start + 64], axis, axis, indexing="ij")
        bright = np.zeros(x.shape)
        for cx, cy, cz, radius in ((-0.3, -0.2, 0.0, 0.45), (0.35, 0.25, 0.1, 0.4), (0.0, 0.3, -0.5, 0.3)):
            bright += np.exp(-((x - cx) ** 2 + (y - cy) ** 2 + (z - cz) ** 2) / radius**2)
        store[start:start + 64] = np.clip(bright * 170.0, 0, 255).astype(np.uint8)


def blob_field(way: str):  # noqa: ANN201 - a karvex.GridField over the store
    """The blobs' volume: a NumPy array read whole for the untiled way, a
    Dask array over the store for the others."""
    import karvex

    path = os.environ["KARVEX_BENCH_VOLUME"]
    if way == "untiled":
        import zarr

        samples = zarr.open_array(path, mode="r")[:]
    else:
        import dask.array as da

        samples = da.from_zarr(path)
    return karvex.grid_field(samples, spacing=2.0 / (samples.shape[0] - 1), origin=(-1, -1, -1),
                             inside="above")


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


def _descendants(pid: int) -> list[int]:
    """The process and every process below it (a cluster's workers and
    their nanny processes)."""
    found, todo = [], [pid]
    while todo:
        current = todo.pop()
        found.append(current)
        try:
            for task in os.listdir(f"/proc/{current}/task"):
                with open(f"/proc/{current}/task/{task}/children") as children:
                    todo.extend(int(child) for child in children.read().split())
        except OSError:
            pass  # ended meanwhile
    return found


def _rss_kib(pid: int) -> int:
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


# With --where, at each new high of its resident set, the parent signals the
# measured process (SIGUSR1), whose faulthandler writes the Python stack of
# the main thread, the one measuring, into the file named by
# $KARVEX_BENCH_STACKS: it does so from the signal handler, without Python's
# lock, so also during a native call. Only the main thread: walking the
# others while they start and end can crash. Even the main thread's frames
# can be mid-change when the signal lands (a frame being cleared: seen once
# as a crash of the measured process under the address sanitizer), so the
# stacks are asked for only when --where is given, never in the tests. The
# process writes this line once the measurement ends.
MEASURED = "measurement done\n"


def _stacks_written(path: str) -> tuple[int, bool]:
    """The stacks file's size, and whether the measurement has ended."""
    try:
        with open(path, "rb") as stacks:
            stacks.seek(0, os.SEEK_END)
            size = stacks.tell()
            stacks.seek(max(0, size - len(MEASURED)))
            return size, stacks.read().decode(errors="replace") == MEASURED
    except OSError:
        return 0, False


def _stack_at(path: str, offset: int) -> list[str]:
    """The frames of the first stack written at ``offset`` or after,
    innermost first, up to the measuring function."""
    with open(path, errors="replace") as stacks:
        text = stacks.read()
    for dump in text[offset:].split("Stack (most recent call first):"):
        frames = [line.strip() for line in dump.splitlines() if line.strip().startswith("File")]
        if any(frame.endswith("in one_run") for frame in frames):
            return frames[:[frame.endswith("in one_run") for frame in frames].index(True)]
    return []


def _where(frames: list[str]) -> str:
    """The frames, short: file:line in function < ..., the innermost four
    and the outermost four (the call the measurement made, and in what)."""
    short = [f"{os.path.basename(frame.split(chr(34))[1])}:{frame.rsplit(' line ', 1)[1]}"
             for frame in frames]
    if len(short) > 8:
        short = short[:4] + ["..."] + short[-4:]
    return " < ".join(short) or "unknown"


def run_capped(command: list[str], env: dict, gigabytes: float,
               where: bool = False) -> tuple[int, str, str]:
    """Runs a way's process and ends it, with all it started, once any of
    them holds more than the cap, so that a run too large for the machine
    does not take it over. The watch is here, outside: the meshing's native
    calls keep Python's lock, so a thread in the measured process could not
    look before the call returns. With ``where``, before ending it, asks it
    (SIGUSR1) for the Python stack of its main thread: where it stopped.
    Returns the exit status, the standard output and the standard error,
    which ends with a line saying when the cap was passed, and, when it ends
    well, with a line giving the measured process's highest sampled resident
    set (sampled every 0.2 s, so a peak held more briefly may be missed) and,
    with ``where``, where it was then."""
    import signal

    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err, \
            tempfile.NamedTemporaryFile("w+", suffix=".stacks") as stacks:
        if where:
            env = dict(env, KARVEX_BENCH_STACKS=stacks.name)
        process = subprocess.Popen(command, env=env, stdout=out, stderr=err, text=True,
                                   start_new_session=True)
        start = time.perf_counter()
        over = None
        highest = (0, 0)  # the measured process's resident set, the stacks' size then
        measured = False
        others: dict[int, int] = {}  # the highest sampled resident set of each started process
        while process.poll() is None:
            tree = _descendants(process.pid)
            sizes = {pid: _rss_kib(pid) for pid in tree}
            for pid, kib in sizes.items():
                if pid != process.pid:
                    others[pid] = max(others.get(pid, 0), kib)
            held, holder = max((kib, pid) for pid, kib in sizes.items())
            size, done = _stacks_written(stacks.name)
            measured = measured or done
            own = sizes.get(process.pid, 0)
            # New highs of 1 % or more, once the process has set up its handler.
            if own > highest[0] * 1.01 and (not where or (size and not measured)):
                highest = (own, size)
                if where:
                    process.send_signal(signal.SIGUSR1)
            if held > gigabytes * 2**20:
                who = "the measured process" if holder == process.pid else "a process it started"
                over = (time.perf_counter() - start, held, who)
                stderr_note = "stopped"
                if where:
                    size = _stacks_written(stacks.name)[0]
                    process.send_signal(signal.SIGUSR1)
                    time.sleep(1.0)
                    stderr_note += " at " + _where(_stack_at(stacks.name, size))
                largest = sorted(others.values())[-2:]
                if largest:
                    stderr_note += ("\nthe largest two processes it started peaked at "
                                    + " / ".join(f"{kib / 1024:.0f}" for kib in largest) + " MB")
                # Its process group (it leads a session of its own), and any
                # process that left the group.
                for end in [lambda: os.killpg(process.pid, signal.SIGKILL)] + [
                        lambda pid=pid: os.kill(pid, signal.SIGKILL) for pid in tree]:
                    try:
                        end()
                    except OSError:
                        pass
                process.wait()
                break
            time.sleep(0.2)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
        if over is None and process.returncode == 0:
            at = f", at {_where(_stack_at(stacks.name, highest[1]))}" if where else ""
            stderr += f"\nhighest sampled resident set {highest[0] / 1024:.0f} MB{at}\n"
    if over is not None:
        stderr += (f"\n{stderr_note}\nover the cap of {gigabytes:g} GB ({over[1] / 2**20:.1f}"
                   f" GB held by {over[2]}) after {over[0]:.0f} s\n")
        return 3, stdout, stderr
    return process.returncode, stdout, stderr


def _package_path(path: list[str]) -> None:
    """Runs on a worker: the karvex package path of the client (the build's
    folder for the private extension)."""
    import karvex

    for folder in path:
        if folder not in karvex.__path__:
            karvex.__path__.append(folder)


def _cluster(module_dir: str | None):  # noqa: ANN202 - (LocalCluster, Client)
    import distributed
    import karvex

    # The workers import karvex and the extension from where this process does.
    paths = [os.path.dirname(os.path.dirname(karvex.__file__))]
    if module_dir:
        paths.append(os.path.abspath(module_dir))
    os.environ["PYTHONPATH"] = os.pathsep.join(paths)
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, silence_logs=40)
    client = distributed.Client(cluster)
    client.run(_package_path, list(karvex.__path__))
    return cluster, client


def _measurement_done(stacks) -> None:  # noqa: ANN001 - an open text file or None
    # The handler stays: a signal the parent sent before seeing this line must
    # not end the process (the default action of SIGUSR1).
    if stacks is not None:
        stacks.write(MEASURED)
        stacks.flush()


def ply_edges(path: str) -> tuple[bool, int]:
    """Reads back the binary PLY file that ``mesh_to_ply`` wrote: whether it
    is closed (every edge used as often in each direction: no boundary, so
    no open seam), and how many directed edges are used more than once
    (edges that several sheets share, which the validity pass of
    ``karvex.mesh`` parts; the file is written before it). Reads the faces
    through a memory map and sorts the edges' keys, about 90 bytes a
    triangle, where trimesh needs several times that (it passed 6 GB on
    23 M triangles), so that the larger files can be checked too."""
    import numpy as np

    with open(path, "rb") as ply:
        header = b""
        while not header.endswith(b"end_header\n"):
            line = ply.readline()
            if not line:
                raise ValueError(f"{path}: no end of the PLY header")
            header += line
    lines = header.decode("ascii").splitlines()
    counts = {line.split()[1]: int(line.split()[2]) for line in lines if line.startswith("element")}
    expected = ["property double x", "property double y", "property double z",
                "property list uchar int vertex_indices"]
    if [line for line in lines if line.startswith("property")] != expected:
        raise ValueError(f"{path}: not the layout mesh_to_ply writes")
    offset = len(header) + counts["vertex"] * 24
    faces = np.memmap(path, dtype=np.dtype([("n", "u1"), ("v", "<i4", 3)]), mode="r",
                      offset=offset, shape=(counts["face"],))
    if not (faces["n"] == 3).all():
        raise ValueError(f"{path}: a face that is not a triangle")
    corners = [faces["v"][:, k].astype(np.int64) for k in range(3)]
    vertices = np.int64(counts["vertex"])
    edges = np.concatenate([corners[k] * vertices + corners[(k + 1) % 3] for k in range(3)])
    edges.sort()
    shared = int((edges[1:] == edges[:-1]).sum())
    reverse = np.concatenate([corners[(k + 1) % 3] * vertices + corners[k] for k in range(3)])
    del corners
    reverse.sort()
    return bool(np.array_equal(edges, reverse)), shared


def one_run(way: str, depth: int, tiles: int, name: str, check_files: bool,
            module_dir: str | None) -> dict:
    import faulthandler
    import signal

    # With --where, the parent asks for the main thread's stack at each new
    # high of the resident set, and before ending a run over the cap.
    stacks = open(os.environ["KARVEX_BENCH_STACKS"], "w") if "KARVEX_BENCH_STACKS" in os.environ \
        else None
    if stacks is not None:
        faulthandler.register(signal.SIGUSR1, file=stacks, all_threads=False)
        stacks.write("ready\n")  # the parent signals once the handler is in place
        stacks.flush()
    import_module(module_dir)
    import karvex

    field = blob_field(way) if name == "blobs" else shape(name)
    box = None if name == "blobs" else BOX
    level = 127.5 if name == "blobs" else 0.0
    cluster = client = None
    if way.startswith("cluster"):
        cluster, client = _cluster(module_dir)
    try:
        start = time.perf_counter()
        result: dict = {}
        if way.endswith("ply"):
            # The folder is the parent's, which removes it however this process ends.
            path = os.path.join(os.environ["KARVEX_BENCH_FOLDER"], "m.ply")
            vertices, faces = karvex.mesh_to_ply(path, field, box, max_depth=depth, level=level,
                                                 tiles=tiles, client=client)
            result["seconds"] = time.perf_counter() - start
            result["peak_kib"] = peak_kib()
            _measurement_done(stacks)
            result.update(vertices=vertices, faces=faces, closed=None)
            if check_files:
                result["closed"], result["shared_edges"] = ply_edges(path)
        else:
            mesh = karvex.mesh(field, box, max_depth=depth, level=level,
                               tiles=1 if way == "untiled" else tiles, client=client)
            result["seconds"] = time.perf_counter() - start
            result["peak_kib"] = peak_kib()
            _measurement_done(stacks)
            result.update(vertices=len(mesh.vertices), faces=len(mesh.faces),
                          closed=bool(mesh.is_closed))
        if client is not None:
            result["worker_peaks_kib"] = sorted(client.run(peak_kib).values())
        return result
    finally:
        if client is not None:
            client.close()
            cluster.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_module_dir_argument(parser)
    parser.add_argument("--depth", type=int, default=10)
    parser.add_argument("--tiles", type=int, default=8)
    parser.add_argument("--shape", choices=("sphere", "gyroid", "blobs"), default="sphere",
                        help="blobs: a (2**depth + 1)^3 uint8 volume in a Zarr store, meshed"
                        " from a NumPy array untiled and from a Dask array over the store tiled")
    parser.add_argument("--ways", default="untiled,tiles,ply,cluster",
                        help=f"comma-separated, of {', '.join(WAYS)}")
    parser.add_argument("--check-files", action="store_true",
                        help="read the PLY files back and check them closed (every directed"
                        " edge once and its reverse once)")
    parser.add_argument("--cap-gb", type=float, default=6.0,
                        help="end a way's process when its resident set passes this (GB)")
    parser.add_argument("--results",
                        help="a file of JSON lines each finished way is added to; the seams"
                        " are compared with the untiled run found there, so that the ways can"
                        " be run one invocation at a time, in any order")
    parser.add_argument("--where", action="store_true",
                        help="say where each way's process was at its highest sampled resident"
                        " set (its Python stack, taken from a signal handler, which can on rare"
                        " occasions crash the measured process)")
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(one_run(args.one, args.depth, args.tiles, args.shape,
                                 args.check_files, args.module_dir)))
        return
    ways = args.ways.split(",")
    for way in ways:
        if way not in WAYS:
            parser.error(f"--ways: unknown way {way!r}; choose from {', '.join(WAYS)}")
    print("| shape | way | depth | tiles | triangles | seconds | peak RSS (MB) | workers' peaks (MB)"
          " | seams |")
    print("|---|---|---|---|---|---|---|---|---|")
    untiled = _earlier_untiled(args.results, args.shape, args.depth)
    volume_folder = tempfile.TemporaryDirectory(dir=os.getcwd())
    if args.shape == "blobs":
        blob_volume(os.path.join(volume_folder.name, "blobs.zarr"), args.depth)
    tiled = []
    for way in ways:
        command = [sys.executable, __file__, "--one", way, "--depth", str(args.depth),
                   "--tiles", str(args.tiles), "--shape", args.shape]
        if args.module_dir:
            command += ["--module-dir", args.module_dir]
        if args.check_files:
            command.append("--check-files")
        # Files go next to the working folder (a deep mesh's PLY is gigabytes).
        with tempfile.TemporaryDirectory(dir=os.getcwd()) as folder:
            returncode, stdout, stderr = run_capped(
                command, dict(os.environ, KARVEX_BENCH_FOLDER=folder,
                              KARVEX_BENCH_VOLUME=os.path.join(volume_folder.name, "blobs.zarr")),
                args.cap_gb, args.where)
        tiles = 1 if way == "untiled" else args.tiles
        if returncode != 0:
            lines = stderr.strip().splitlines() or [f"exit status {returncode}, no output"]
            print(f"| {args.shape} | {way} | {args.depth} | {tiles} | failed: {lines[-1]} |||||")
            # Where it stopped: the stacks the process printed, if any.
            print("\n".join("    " + line for line in lines[-40:]), flush=True)
            continue
        result = json.loads(stdout.splitlines()[-1])
        result.update(shape=args.shape, depth=args.depth, tiles=tiles, way=way)
        if args.results:
            with open(args.results, "a") as results:
                results.write(json.dumps(result) + "\n")
        if way == "untiled":
            untiled = result
        else:
            tiled.append(result)
        workers = " / ".join(f"{kib / 1024:.0f}" for kib in result.get("worker_peaks_kib", []))
        print(f"| {args.shape} | {way} | {args.depth} | {tiles} | {result['faces']}"
              f" | {result['seconds']:.1f} | {result['peak_kib'] / 1024:.0f} | {workers or '-'}"
              f" | {_seams(result, untiled, way)} |", flush=True)
        highest = [line for line in stderr.splitlines() if line.startswith("highest sampled")]
        print(f"    {way}: {highest[-1] if highest else 'no samples'}", flush=True)
    if untiled is not None and args.results:
        # Ways measured before the untiled one (here or in earlier runs).
        for result in _earlier_tiled(args.results, args.shape, args.depth):
            print(f"{result['way']} ({result['tiles']} tiles): {_seams(result, untiled, 'tiled')}")


def _read_results(path: str | None, shape: str, depth: int) -> list[dict]:
    if not path or not os.path.exists(path):
        return []
    with open(path) as results:
        rows = [json.loads(line) for line in results if line.strip()]
    return [row for row in rows if (row["shape"], row["depth"]) == (shape, depth)]


def _earlier_untiled(path: str | None, shape: str, depth: int) -> dict | None:
    untiled = [row for row in _read_results(path, shape, depth) if row["way"] == "untiled"]
    return untiled[-1] if untiled else None


def _earlier_tiled(path: str | None, shape: str, depth: int) -> list[dict]:
    return [row for row in _read_results(path, shape, depth) if row["way"] != "untiled"]


def _seams(result: dict, untiled: dict | None, way: str) -> str:
    """What was checked of the seams: closed, and the untiled run's counts."""
    checks = []
    if result["closed"] is not None:
        checks.append("closed" if result["closed"] else "OPEN")
    if result.get("shared_edges"):
        checks.append(f"{result['shared_edges']} directed edges used twice or more (sheets"
                      " sharing an edge, parted by the validity pass the file precedes)")
    if untiled is not None and way != "untiled":
        same = (result["vertices"], result["faces"]) == (untiled["vertices"], untiled["faces"])
        checks.append("= untiled" if same else "DIFFERS from untiled")
    return ", ".join(checks) or "not read back"


if __name__ == "__main__":
    main()
