"""Requests that memory cannot meet end in MemoryError, never in a dead process.

Each case runs in a child process under a lowered address-space limit
(RLIMIT_AS), so that allocations fail for real: in construction, on worker
threads, while the pool starts, in NumPy array creation and in size
computations that could overflow. The child must report a mesh (identical to
the unlimited one) or MemoryError, and then still work.
"""
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest
from support.sanitizer import under_address_sanitizer

FULL_SWEEP = bool(os.environ.get("KARVEX_FULL_SWEEP"))


# The sanitizer runtime reserves terabytes of shadow memory at start-up.
pytestmark = pytest.mark.skipif(
    under_address_sanitizer(), reason="address-space limits and AddressSanitizer exclude each other")

CHILD = textwrap.dedent("""
    import json, resource, sys
    import numpy as np, _karvex_rs as k
    from support import fields
    from support.fields import BOX
    sphere = fields.sphere(0.6)
    def waves(p):  # fifteen planes: surface fills the box
        return np.sin(9.0 * p[:, 0]) * np.sin(9.0 * p[:, 1]) * np.sin(9.0 * p[:, 2]), None
    limit = {limit_mb} << 20
    if limit:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        result = {call}
        if isinstance(result, tuple) and len(result) == 2:
            result = [len(result[0]), len(result[1]), float(result[0].sum()), int(result[1].sum())]
        outcome = {{"result": list(result)}}
    except BaseException as error:
        outcome = {{"error": type(error).__name__, "message": str(error)}}
    # Whatever happened, the process can go on meshing.
    v, f = k.extract_mesh(sphere, *BOX, 2, 4)
    outcome["after"] = len(f)
    print(json.dumps(outcome))
""")


def run_limited(call, limit_mb, timeout=180):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", CHILD.format(limit_mb=limit_mb, call=call)],
                          env=env, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr[-3000:]
    outcome = json.loads(done.stdout.strip().splitlines()[-1])
    assert outcome["after"] > 0
    return outcome


# Requests far beyond any memory: each lattice, point batch or index table is
# larger than the limit, and at depths above 20 the corner count no longer
# fits 64 bits.
@pytest.mark.parametrize("call", [
    "k.build_octree_uniform(sphere, *BOX, 11)",
    "k.build_octree_uniform(sphere, *BOX, 20)",
    "k.build_octree_uniform(sphere, *BOX, 31)",
    "k.build_octree_adaptive(sphere, *BOX, 25, 31)",
    "k.extract_mesh(sphere, *BOX, 12, 12)",
    "k.extract_mesh(waves, *BOX, 2, 12, adaptive=True)",
    "k.extract_mesh(waves, *BOX, 3, 12, adaptive=False)",
], ids=["uniform-11", "uniform-20", "uniform-31", "adaptive-25-31", "mesh-12-12",
        "waves-balanced-12", "waves-refined-12"])
def test_impossible_requests_raise_memory_error(call):
    outcome = run_limited(call, 1024)
    assert outcome["error"] == "MemoryError"
    # The sphere's batches are small; the waves' NumPy arrays may be what
    # fails, and eval_fn's own MemoryError passes unchanged.
    if "sphere" in call:
        assert re.fullmatch(OUT_OF_MEMORY, outcome["message"]), outcome["message"]


# What an allocation failure inside the module says: the task and its depth,
# then the stage it failed in.
OUT_OF_MEMORY = (r"out of memory while building the octree \(depth \d+\): [a-z -]+( level \d+)?; "
                 r"a smaller depth needs less memory")


def test_memory_error_names_the_task_depth_and_stage():
    # The corner lattice of depth 12 alone is 2^36 samples, far beyond 3 GB.
    outcome = run_limited("k.build_octree_uniform(sphere, *BOX, 12)", 3072)
    assert outcome == {"error": "MemoryError", "after": outcome["after"], "message": (
        "out of memory while building the octree (depth 12): reserving the corner cache for "
        "the initial grid at level 12; a smaller depth needs less memory")}


# Limits from "fails while sampling the first grid" to "just enough"; each
# one makes a different allocation fail first. The full sweep meshes deeper.
if FULL_SWEEP:
    WAVES, LIMITS = "k.extract_mesh(waves, *BOX, 2, 7, adaptive={})", range(150, 1400, 50)
else:
    WAVES, LIMITS = "k.extract_mesh(waves, *BOX, 2, 6, adaptive={})", [120, 170, 220, 270]


@pytest.fixture(scope="module")
def unlimited():
    return {adaptive: run_limited(WAVES.format(adaptive), 0)["result"]
            for adaptive in (False, True)}


@pytest.mark.parametrize("adaptive", [False, True])
@pytest.mark.parametrize("limit_mb", LIMITS)
def test_any_memory_limit_gives_the_mesh_or_memory_error(unlimited, limit_mb, adaptive):
    outcome = run_limited(WAVES.format(adaptive), limit_mb)
    assert outcome.get("error") == "MemoryError" or outcome["result"] == unlimited[adaptive]
