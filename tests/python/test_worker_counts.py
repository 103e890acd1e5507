"""Construction, balancing and extraction spread their per-cell work over the
worker pool while the calling thread makes every eval_fn call. Whatever the
number of workers, eval_fn must see the same batches (points, order, sizes)
and the mesh must be the same to the bit; each count runs in a child process
of its own, since RAYON_NUM_THREADS is read when the pool starts."""
import functools
import os
import subprocess
import sys

import pytest

from support import fields

CHILD = """
import hashlib, threading
import numpy as np, _karvex_rs as k

caller = threading.get_ident()
batches = hashlib.sha256()
sizes = []

def field(p):
    assert threading.get_ident() == caller, "eval_fn called off the calling thread"
    batches.update(np.ascontiguousarray(p, dtype=np.float64).tobytes())
    sizes.append(len(p))
    # A torus and a box, so that the tree has thin parts and sharp edges.
    torus = np.hypot(np.hypot(p[:, 0] + 0.2, p[:, 1]) - 0.5, p[:, 2]) - 0.18
    q = np.abs(p - (0.35, 0.1, 0.0)) - (0.3, 0.35, 0.25)
    box = np.linalg.norm(np.maximum(q, 0.0), axis=1) + np.minimum(q.max(axis=1), 0.0)
    return np.minimum(torus, box), None

v, f = k.extract_mesh(field, (-1, -1, -1), (1, 1, 1), {min_depth}, {max_depth},
                      adaptive={adaptive})
mesh = hashlib.sha256(v.tobytes() + f.tobytes()).hexdigest()
print(mesh, batches.hexdigest(), ",".join(map(str, sizes)), len(f))
"""


@functools.cache
def run(workers, adaptive, min_depth, max_depth):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               RAYON_NUM_THREADS=workers, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    code = CHILD.format(adaptive=adaptive, min_depth=min_depth, max_depth=max_depth)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    mesh, batches, sizes, faces = done.stdout.split()
    return mesh, batches, sizes, int(faces)


@pytest.mark.parametrize("adaptive, min_depth, max_depth",
                         [(True, 3, 7), (False, 2, 6)], ids=["adaptive", "uniform"])
@pytest.mark.parametrize("workers", ["2", "3", "8"])
def test_batches_and_mesh_independent_of_workers(workers, adaptive, min_depth, max_depth):
    reference = run("1", adaptive, min_depth, max_depth)
    assert reference[3] > 5000  # enough cells that every worker gets ranges
    got = run(workers, adaptive, min_depth, max_depth)
    assert got[2] == reference[2], "batch sizes differ"
    assert got[1] == reference[1], "batch points or their order differ"
    assert got[0] == reference[0], "meshes differ"


def test_own_pool_of_a_call_gives_the_same_batches_and_mesh():
    # karvex._native(workers=n) runs construction, balancing and contouring on
    # a pool of its own.
    native = pytest.importorskip("karvex._native")
    import hashlib

    import numpy as np

    def run_with(workers):
        digest = hashlib.sha256()

        ball = fields.sphere(0.6, (0.05, 0.05, 0.05))

        def field(p):
            digest.update(np.ascontiguousarray(p).tobytes())
            return ball(p)

        v, f = native.extract_mesh(field, (-1, -1, -1), (1, 1, 1), min_depth=2, max_depth=7,
                                   adaptive=True,
                                   workers=workers)
        return digest.hexdigest(), hashlib.sha256(v.tobytes() + f.tobytes()).hexdigest(), len(f)

    reference = run_with(1)
    assert reference[2] > 5000
    for workers in (2, 3, 8):
        assert run_with(workers) == reference, workers
