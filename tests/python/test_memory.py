"""No reference or memory leaks, on success and on every failure path."""
import ctypes
import gc
import sys
import tracemalloc

import numpy as np
import pytest

import _karvex_rs as k
from support import fields
from support.fields import BOX
from support.sanitizer import under_address_sanitizer

LOOPS = 10_000


sphere = fields.sphere(0.5, gradients=False)


def raising(p):
    raise ValueError("field failure")


def short(p):
    return np.zeros(1), None


def interrupting(p):
    raise KeyboardInterrupt


class Boom(Exception):
    pass


class FloatRaises:
    def __float__(self):
        raise Boom("__float__")


def failing_at(call_index, result):
    """A fresh sphere field whose call `call_index` (from 0) returns `result(values)`."""
    calls = [0]

    def field(p):
        calls[0] += 1
        values, _ = sphere(p)
        return result(values) if calls[0] - 1 == call_index else (values, None)
    return field


# extract_mesh(.., 1, 2) makes 16 calls with finite-difference gradients: the
# last is the projection's stencil, call 4 the first bisection.
def short_in_projection():
    return failing_at(15, lambda v: (v[:-1], None))


def list_in_bisection():
    return failing_at(4, lambda v: (list(v), None))


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
    "memory_error": lambda: k.build_octree_uniform(sphere, *BOX, 20),
    "interrupt": lambda: k.extract_mesh(interrupting, *BOX, 1, 2),
    "hostile_argument": lambda: k.test_fd_gradients(sphere, POINTS, FloatRaises()),
    "panic_in_projection": lambda: k.extract_mesh(short_in_projection(), *BOX, 1, 2),
    "type_error_in_bisection": lambda: k.extract_mesh(list_in_bisection(), *BOX, 1, 2),
}


def call(fn):
    try:
        return fn()
    except BaseException:  # noqa: BLE001 - failures are part of what is measured
        return None


# AddressSanitizer's quarantine keeps freed memory resident on purpose.
RSS_CHECKED = not under_address_sanitizer()


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def growth_over_loops(fn):
    """(traced bytes, resident kB) gained over LOOPS calls of `fn`."""
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_kb()
    for _ in range(LOOPS):
        call(fn)
    return tracemalloc.get_traced_memory()[0] - traced_before, rss_kb() - rss_before


ROUNDS = 3


@pytest.mark.parametrize("name", CALLS)
def test_repeated_calls_do_not_grow_memory(name):
    fn = CALLS[name]
    for _ in range(500):  # warm caches, lazily created types and the NumPy API
        call(fn)
    tracemalloc.start()
    try:
        for _ in range(500):  # and tracemalloc's own tables, which it keeps outside its count
            call(fn)
        # A leak grows memory in every round. A page taken once by something
        # else in the process (another thread's arena, the allocator's top,
        # tracemalloc's tables) grows it in one round only, so one clean round
        # of the three passes.
        rounds = []
        for _ in range(ROUNDS):
            traced_growth, rss_growth = growth_over_loops(fn)
            rounds.append((traced_growth, rss_growth))
            # One leaked small object per call would be >= 10000 * 16 bytes;
            # native buffers (vectors, holders) are outside tracemalloc's view.
            if traced_growth < 64 * 1024 and (rss_growth < 1024 or not RSS_CHECKED):
                break
    finally:
        tracemalloc.stop()
    traced_growth, rss_growth = rounds[-1]
    assert traced_growth < 64 * 1024, f"traced memory grew by {traced_growth} bytes each round: {rounds}"
    assert rss_growth < 1024 or not RSS_CHECKED, f"RSS grew by {rss_growth} kB each round: {rounds}"


def test_argument_reference_counts_are_restored():
    field = fields.sphere(0.5, gradients=False)
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


def test_failure_injections_hit_their_stage():
    # The two staged failures above fail where they are meant to.
    sizes = []
    k.extract_mesh(lambda p: sizes.append(len(p)) or sphere(p)[:1] + (None,), *BOX, 1, 2)
    assert len(sizes) == 16 and sizes[15] == 6 * sizes[14] and sizes[4:13] == [sizes[4]] * 9
    for fn, kind in ((CALLS["panic_in_projection"], "PanicException"),
                     (CALLS["type_error_in_bisection"], "TypeError")):
        try:
            fn()
        except BaseException as error:  # noqa: BLE001
            assert type(error).__name__ == kind
        else:
            raise AssertionError("no failure")


def test_hostile_objects_and_raised_exceptions_are_released():
    raised = Boom("from the field")

    def field(p):
        raise raised

    hostile, points = FloatRaises(), np.array(POINTS)
    tracked = [field, raised, hostile, points]
    failing = [lambda: k.test_batch_eval(field, points),
               lambda: k.extract_mesh(field, *BOX, 1, 2),
               lambda: k.test_fd_gradients(field, points, hostile),
               lambda: k.build_octree_uniform(field, points[0], points[1], hostile),
               lambda: k.extract_mesh(field, *BOX, iso_value=hostile)]
    for fn in failing:  # warm up
        call(fn)
    raised.__traceback__ = None
    before = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(1000):
        for fn in failing:
            call(fn)
    raised.__traceback__ = None  # the last traceback holds the frames
    gc.collect()
    assert [sys.getrefcount(obj) for obj in tracked] == before


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def native_bytes_in_use():
    """Bytes the C allocator has handed out (main arena and mmapped blocks)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.skipif(not RSS_CHECKED, reason="the sanitizer's allocator does not report usage")
def test_each_buffer_is_freed_when_its_last_view_dies():
    # The holder type takes no weak references, and its buffer is native, so
    # the allocator's own count is what shows the buffer going.
    vertices, faces = k.extract_mesh(sphere, *BOX, 2, 7)
    assert vertices.nbytes > 400_000 and faces.nbytes > 400_000
    sizes = vertices.nbytes, faces.nbytes
    view_v, view_f = vertices[::2], faces.T[1:]
    gc.collect()
    start = native_bytes_in_use()
    del vertices, faces
    gc.collect()
    after_arrays = native_bytes_in_use()
    del view_v
    after_vertices = native_bytes_in_use()
    del view_f
    after_faces = native_bytes_in_use()
    slack = 16 * 1024  # allocator headers and unrelated small allocations
    assert abs(start - after_arrays) < slack  # the views still hold both buffers
    assert abs((after_arrays - after_vertices) - sizes[0]) < slack
    assert abs((after_vertices - after_faces) - sizes[1]) < slack


def test_soak_of_mixed_calls_with_results_kept_alive():
    # Every call kind in turn, each result (or its views) kept alive for a
    # while, so that lifetimes of holders interleave with later calls.
    kept = []
    names = list(CALLS)
    for _ in range(3):
        for name in names:
            call(CALLS[name])
    gc.collect()
    rss_before = rss_kb()
    for i in range(300):
        for name in names:
            result = call(CALLS[name])
            if isinstance(result, tuple) and len(result) == 2 and hasattr(result[0], "base"):
                result = (result[0][::-1], result[1].T)  # views only
            kept.append(result)
            if len(kept) > 32:
                del kept[:16]
    kept.clear()
    gc.collect()
    rss_growth = rss_kb() - rss_before
    assert rss_growth < 2048 or not RSS_CHECKED, f"RSS grew by {rss_growth} kB"
