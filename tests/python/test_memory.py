"""No reference or memory leaks, on success and on every failure path."""
import sys
import tracemalloc

import numpy as np
import pytest

import _karvex_rs as k

LOOPS = 10_000


def sphere(p):
    return np.linalg.norm(p, axis=1) - 0.5, None


def raising(p):
    raise ValueError("field failure")


def short(p):
    return np.zeros(1), None


BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
POINTS = [(0.1 * i, 0.2, 0.3) for i in range(8)]

# name -> one call; each either returns or raises.
CALLS = {
    "batch_eval": lambda: k.test_batch_eval(sphere, POINTS),
    "fd_gradients": lambda: k.test_fd_gradients(sphere, POINTS, 1e-3),
    "uniform": lambda: k.build_octree_uniform(sphere, *BOX, 1),
    "adaptive": lambda: k.build_octree_adaptive(sphere, *BOX, 0, 1),
    "extract_mesh": lambda: k.extract_mesh(sphere, *BOX, 1, 1, adaptive=True),
    "field_raises": lambda: k.extract_mesh(raising, *BOX, 1, 2),
    "malformed_return": lambda: k.test_batch_eval(lambda p: (list(p), None), POINTS),
    "panic": lambda: k.test_fd_gradients(short, POINTS),
    "binding_error": lambda: k.extract_mesh(sphere, *BOX, depth=3),
    "conversion_error": lambda: k.extract_mesh(sphere, *BOX, adaptive=1),
    "points_error": lambda: k.test_batch_eval(sphere, [*POINTS, (1, 2)]),
    "validation_error": lambda: k.extract_mesh(sphere, *BOX, 5, 4),
}


def call(fn):
    try:
        return fn()
    except BaseException:  # noqa: BLE001 - failures are part of what is measured
        return None


def _under_address_sanitizer():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


# AddressSanitizer's quarantine keeps freed memory resident on purpose.
RSS_CHECKED = not _under_address_sanitizer()


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@pytest.mark.parametrize("name", CALLS)
def test_repeated_calls_do_not_grow_memory(name):
    fn = CALLS[name]
    for _ in range(500):  # warm caches, lazily created types and the NumPy API
        call(fn)
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = rss_kb()
        for _ in range(LOOPS):
            call(fn)
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        rss_growth = rss_kb() - rss_before
    finally:
        tracemalloc.stop()
    # One leaked small object per call would be >= 10000 * 16 bytes.
    assert traced_growth < 64 * 1024, f"traced memory grew by {traced_growth} bytes"
    # Native buffers (vectors, holders) are outside tracemalloc's view.
    assert rss_growth < 1024 or not RSS_CHECKED, f"RSS grew by {rss_growth} kB"


def test_argument_reference_counts_are_restored():
    field = lambda p: (np.linalg.norm(p, axis=1) - 0.5, None)  # noqa: E731
    lo, hi = [-1.0, -1.0, -1.0], (1.0, 1.0, float("1.0"))
    points = [[0.0, 0.0, 0.0], (1.0, 2.0, 3.0)]
    iso, step = float("0.25"), float("1e-3")
    tracked = [field, lo, hi, points, iso, step, *points, hi[2]]
    before = [sys.getrefcount(obj) for obj in tracked]

    for _ in range(3):
        k.test_batch_eval(field, points)
        k.test_fd_gradients(field, points, step)
        k.build_octree_uniform(field, lo, hi, 1, iso)
        k.build_octree_adaptive(field, lo, hi, 0, 2, iso_value=iso)
        k.extract_mesh(field, lo, hi, 1, 2, 30.0, iso, True)
        for failing in (lambda: k.extract_mesh(field, lo, hi, 1, 2, 30.0, iso, 1),
                        lambda: k.extract_mesh(field, lo, hi, 3, 2, 30.0, iso),
                        lambda: k.build_octree_uniform(field, lo, hi, 1, iso, 5),
                        lambda: k.test_fd_gradients(short, points, step),
                        lambda: k.test_fd_gradients(field, points, "step"),
                        lambda: k.test_batch_eval(raising, points)):
            call(failing)

    assert [sys.getrefcount(obj) for obj in tracked] == before


def test_results_are_released():
    # Counted outside the assert statements, whose rewriting keeps references.
    result = k.test_batch_eval(sphere, POINTS)
    values = result[0]
    counts = [sys.getrefcount(result), sys.getrefcount(values)]
    assert counts == [2, 3]  # values: the name and the tuple slot
    vertices, _ = k.extract_mesh(sphere, *BOX, 1, 2)
    # The holder is referred to by the array alone.
    counts = [sys.getrefcount(vertices), sys.getrefcount(vertices.base)]
    assert counts == [2, 2]
