"""extract_mesh geometry, error propagation and the worker pool, seen from Python."""
import functools
import multiprocessing
import os
import subprocess
import sys

import numpy as np
import pytest

import _karvex_rs as k
from support.fields import BOX, OFF_CENTRE, sphere
from support.mesh_check import closed_mesh


def check_closed_sphere(vertices, faces, centre, radius):
    """Closed and oriented, Euler characteristic 2, outward volume, vertices on the sphere."""
    volume = closed_mesh(vertices, faces, euler=2).volume
    assert volume == pytest.approx(4.0 / 3.0 * np.pi * radius**3, rel=0.02)
    assert np.abs(np.linalg.norm(vertices - centre, axis=1) - radius).max() < 1e-3


@pytest.mark.parametrize("adaptive, gradients", [(False, True), (True, False)])
def test_sphere_is_closed_outward_and_on_the_surface(adaptive, gradients):
    vertices, faces = k.extract_mesh(sphere(0.7, OFF_CENTRE, gradients), *BOX, max_depth=5,
                                     adaptive=adaptive)
    check_closed_sphere(vertices, faces, OFF_CENTRE, 0.7)


def test_only_the_larger_of_two_spheres_is_kept():
    big, small = sphere(0.4, (-0.45, 0, 0)), sphere(0.25, (0.55, 0.1, 0))

    def field(p):
        (fa, ga), (fb, gb) = big(p), small(p)
        return np.minimum(fa, fb), np.where((fa <= fb)[:, None], ga, gb)

    vertices, faces = k.extract_mesh(field, *BOX, max_depth=5)
    check_closed_sphere(vertices, faces, np.array([-0.45, 0, 0]), 0.4)
    assert np.array_equal(np.unique(faces), np.arange(len(vertices)))  # renumbered, no gaps


def test_constant_field_gives_empty_arrays():
    vertices, faces = k.extract_mesh(lambda p: (np.full(len(p), 2.0), None), *BOX)
    assert vertices.shape == faces.shape == (0, 3)


def test_error_on_third_call_reaches_the_caller_unchanged():
    raised, calls = KeyError("third"), []

    def field(p):
        calls.append(len(p))
        if len(calls) == 3:
            raise raised
        return sphere(0.6)(p)

    with pytest.raises(KeyError) as info:
        k.extract_mesh(field, *BOX, max_depth=5)
    assert info.value is raised and len(calls) == 3


def test_failure_on_a_worker_thread_raises_panic_for_the_lowest_index():
    calls = []
    k.extract_mesh(lambda p: calls.append(len(p)) or sphere(0.6)(p), *BOX, max_depth=5)
    first_step = len(calls) - 3  # analytic gradients: three Newton steps end the call
    assert calls[first_step] > 1000  # enough vertices to be split between workers

    seen = []

    def short_gradients(p):
        seen.append(len(p))
        values, gradients = sphere(0.6)(p)
        return values, (gradients[:-5] if len(seen) - 1 == first_step else gradients)

    with pytest.raises(BaseException) as info:
        k.extract_mesh(short_gradients, *BOX, max_depth=5)
    n = calls[first_step] - 5
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (f"index out of bounds: the len is {n} but the index is {n}",)


_DIGEST = """
import hashlib, numpy as np, _karvex_rs as k
def torus(p):
    return np.hypot(np.hypot(p[:, 0], p[:, 1]) - 0.55, p[:, 2]) - 0.2, None
v, f = k.extract_mesh(torus, (-1, -1, -1), (1, 1, 1), max_depth=6, adaptive=True)
print(hashlib.sha256(v.tobytes() + f.tobytes()).hexdigest(), len(f))
"""


@functools.cache
def _digest(threads):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("RAYON_NUM_THREADS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = threads
    return subprocess.run([sys.executable, "-c", _DIGEST], env=env, capture_output=True,
                          text=True, timeout=120, check=True).stdout.split()


@pytest.mark.parametrize("threads", ["2", "3", "abc"])
def test_same_arrays_for_any_worker_count(threads):
    assert int(_digest("1")[1]) > 1000
    assert _digest(threads) == _digest("1")


def _mesh_in_child(queue):
    vertices, faces = k.extract_mesh(sphere(0.6), *BOX, max_depth=5)
    queue.put((len(vertices), len(faces)))


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() of a threaded process
def test_forked_child_meshes_without_hanging():
    vertices, faces = k.extract_mesh(sphere(0.6), *BOX, max_depth=5)  # pool now running
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=_mesh_in_child, args=(queue,))
    child.start()
    child.join(60)
    if child.is_alive():
        child.kill()
        pytest.fail("the forked child hung")
    assert child.exitcode == 0
    assert queue.get(timeout=5) == (len(vertices), len(faces))
