"""Hostile fields: non-finite values and gradients, exact level values, fields
that change between calls, and fields that call the module themselves.

Each must end in a valid mesh (indices in range, finite vertices wherever the
field is finite) or a documented error, and none may hang: every case runs
under a watchdog that ends the process with all thread tracebacks if it does
not finish in time, and the slow, unpredictable ones run in a subprocess.
"""
import faulthandler
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _karvex_rs as k
from support import fields
from support.fields import BOX, OFF_CENTRE

FULL_SWEEP = bool(os.environ.get("KARVEX_FULL_SWEEP"))
DEPTHS = dict(min_depth=2, max_depth=5)
CELL = 2.0 / 2 ** DEPTHS["max_depth"]
WATCHDOG_SECONDS = 120


@pytest.fixture(autouse=True)
def watchdog(request):
    # A hang inside the module holds the interpreter lock, so only a native
    # timer can end it: it prints every thread's stack and exits the process.
    # The stack goes to pytest's own copy of stderr (fd 2 is captured).
    try:
        from _pytest.faulthandler import fault_handler_stderr_fd_key
        fd = request.config.stash.get(fault_handler_stderr_fd_key, 2)
    except ImportError:
        fd = 2
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True, file=fd)
    yield
    faulthandler.cancel_dump_traceback_later()


sphere = fields.sphere(0.6, OFF_CENTRE)


def mesh(field, adaptive, **kwargs):
    vertices, faces = k.extract_mesh(field, *BOX, **{**DEPTHS, **kwargs}, adaptive=adaptive)
    assert vertices.dtype == np.float64 and faces.dtype == np.int64
    assert vertices.shape[1:] == faces.shape[1:] == (3,)
    assert faces.size == 0 or (faces.min() >= 0 and faces.max() < len(vertices))
    return vertices, faces


def check_inside_box(vertices):
    # Every finite vertex stays within its cell grown by a quarter of the cell
    # (sharp features); cells are at most as large as at min_depth.
    finite = vertices[np.isfinite(vertices).all(axis=1)]
    margin = 2.0 / 2 ** DEPTHS["min_depth"] * 0.25
    assert (finite >= -1.0 - margin).all() and (finite <= 1.0 + margin).all()


def patched(value_of_patch, analytic):
    """The sphere with its values replaced by `value_of_patch` where x > 0.2."""
    def field(p):
        values, gradients = sphere(p)
        values[p[:, 0] > 0.2] = value_of_patch
        return values, gradients if analytic else None
    return field


@pytest.mark.parametrize("adaptive", [False, True])
@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 0.0], ids=["nan", "inf", "-inf", "iso"])
def test_non_finite_or_level_values_everywhere_give_an_empty_mesh(value, adaptive):
    calls = []

    def field(p):
        calls.append(len(p))
        return np.full(len(p), value), None

    vertices, faces = mesh(field, adaptive)
    # NaN and the level itself count as "not below": no cell changes sign.
    # -inf is below everywhere: no cell changes sign either.
    assert vertices.shape == faces.shape == (0, 3)
    assert calls[0] == 5 ** 3  # nothing but the initial grid and its stencil
    assert len(calls) == 2


# NaN and +inf count as "not below the level", exactly like +1; -inf like -1.
PATCHES = [(np.nan, 1.0), (np.inf, 1.0), (-np.inf, -1.0)]


@pytest.mark.parametrize("analytic", [True, False], ids=["analytic", "fd"])
@pytest.mark.parametrize("adaptive", [False, True])
@pytest.mark.parametrize("patch,stand_in", PATCHES, ids=["nan", "inf", "-inf"])
def test_non_finite_patch_only_changes_vertices_near_it(patch, stand_in, adaptive, analytic):
    vertices, faces = mesh(patched(patch, analytic), adaptive)
    ref_vertices, ref_faces = mesh(patched(stand_in, analytic), adaptive)
    # Same cells change sign, so the same vertices and the same number of
    # triangles (a quad's diagonal may differ where positions differ).
    assert vertices.shape == ref_vertices.shape and faces.shape == ref_faces.shape
    assert len(faces) > 100
    check_inside_box(vertices)
    # Far from the patch (the field is finite and equal there) nothing changes.
    far = ref_vertices[:, 0] < 0.2 - 2 * CELL
    assert far.sum() > len(vertices) // 3
    np.testing.assert_array_equal(vertices[far], ref_vertices[far])


GRADIENT_FAULTS = {
    "nan-everywhere": lambda g, p: np.full_like(g, np.nan),
    "nan-patch": lambda g, p: np.where((p[:, 1] > 0)[:, None], np.nan, g),
    "zero": lambda g, p: np.zeros_like(g),
    "tiny": lambda g, p: np.full_like(g, 1e-300),
    "huge": lambda g, p: g * 1e300,
    "inf-patch": lambda g, p: np.where((p[:, 1] > 0)[:, None], np.inf, g),
    "every-other-call-none": None,
}


@pytest.mark.parametrize("adaptive", [False, True])
@pytest.mark.parametrize("fault", GRADIENT_FAULTS)
def test_hostile_gradients_give_a_valid_mesh(fault, adaptive):
    calls = []

    def field(p):
        calls.append(len(p))
        values, gradients = sphere(p)
        if fault == "every-other-call-none":
            return values, gradients if len(calls) % 2 else None
        return values, np.ascontiguousarray(GRADIENT_FAULTS[fault](gradients, p))

    vertices, faces = mesh(field, adaptive)
    assert len(faces) > 0
    check_inside_box(vertices)
    if fault != "inf-patch":  # inf * 0 makes NaN, as the arithmetic says
        assert np.isfinite(vertices).all()
        # Values are exact, so the vertices stay near the sphere whatever the
        # normals; gradients only steer them within their cells (which the
        # balanced tree may leave at min_depth when gradients are useless).
        largest_cell = 2.0 / 2 ** DEPTHS["min_depth"] if adaptive else CELL
        distance = np.abs(np.linalg.norm(vertices - OFF_CENTRE, axis=1) - 0.6)
        assert distance.max() < 2 * largest_cell


@pytest.mark.parametrize("adaptive", [False, True])
def test_level_value_outside_the_surface_keeps_the_same_cells(adaptive):
    # Zero (the level) everywhere outside the sphere: "not below", like any
    # positive value, so the sign-changing cells are those of the sphere.
    def clipped(p):
        values, gradients = sphere(p)
        return np.minimum(values, 0.0), gradients

    vertices, faces = mesh(clipped, adaptive)
    ref_vertices, ref_faces = mesh(sphere, adaptive)
    assert vertices.shape == ref_vertices.shape and faces.shape == ref_faces.shape
    assert np.isfinite(vertices).all()
    check_inside_box(vertices)


@pytest.mark.parametrize("adaptive", [False, True])
@pytest.mark.parametrize("kind", ["shrinking", "noise", "sign-flips"])
def test_field_that_changes_between_calls(kind, adaptive):
    rng = np.random.default_rng(7)
    calls = []

    def field(p):
        calls.append(len(p))
        values, gradients = sphere(p)
        if kind == "shrinking":
            values = values + 0.05 * len(calls)
        elif kind == "noise":
            values = values + rng.normal(0.0, 0.05, len(p))
        else:  # the whole field changes sign on every other call
            values = values if len(calls) % 2 else -values
        return values, gradients

    vertices, faces = mesh(field, adaptive)
    assert np.isfinite(vertices).all()
    check_inside_box(vertices)


def test_values_flipping_at_every_point_stay_finite():
    # Signs that look random from point to point, at every level: nearly every
    # cell is a surface cell, many with several sign groups.
    def checker(p):
        values = np.sin(p @ np.array([1e3, 2.7e3, 4.1e3]))
        return values, np.ones((len(p), 3))

    for adaptive in (False, True):
        vertices, faces = mesh(checker, adaptive, max_depth=4)
        # Only the largest of the many small pieces is kept.
        assert len(faces) > 0 and np.isfinite(vertices).all()
        check_inside_box(vertices)


# --- reentrancy -----------------------------------------------------------------

def inner_calls():
    """The module called from inside eval_fn; returns what it got."""
    out = k.extract_mesh(sphere, *BOX, 1, 3, adaptive=True)
    stats = k.build_octree_adaptive(sphere, *BOX, 1, 3)
    grads = k.test_fd_gradients(sphere, [(0.5, 0.1, 0.2)], 1e-4)
    try:
        k.extract_mesh(lambda p: 1 / 0, *BOX, 1, 2)
    except ZeroDivisionError:
        pass
    return out, stats, grads


@pytest.mark.parametrize("adaptive", [False, True])
def test_eval_fn_may_call_the_module_at_every_stage(adaptive):
    reference = mesh(sphere, adaptive)
    expected_inner = inner_calls()
    count = []
    mesh(lambda p: count.append(len(p)) or sphere(p), adaptive)
    # Build, bisection, normals and projection calls all run between the
    # worker-pool loops, so an inner call finds the pool idle or busy alike.
    for at in range(len(count)):
        seen = []

        def field(p):
            seen.append(len(p))
            if len(seen) - 1 == at:
                got = inner_calls()
                assert all(np.array_equal(a, b) for a, b in zip(got[0], expected_inner[0]))
                assert got[1:] == expected_inner[1:]
            return sphere(p)

        vertices, faces = mesh(field, adaptive)
        np.testing.assert_array_equal(vertices, reference[0])
        np.testing.assert_array_equal(faces, reference[1])


def test_deeply_nested_calls():
    reference = k.extract_mesh(sphere, *BOX, 1, 3)

    def nested(level):
        calls = []

        def field(p):
            calls.append(len(p))
            if level > 0 and len(calls) == 3:  # one nested call per level
                inner = k.extract_mesh(nested(level - 1), *BOX, 1, 3)
                assert all(np.array_equal(a, b) for a, b in zip(inner, reference))
            return sphere(p)
        return field

    vertices, faces = mesh(nested(50), False, min_depth=1, max_depth=3)
    np.testing.assert_array_equal(vertices, reference[0])


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="sanitizer frames are several times larger, so the native stack "
                           "runs out before the interpreter's recursion limit")
def test_unbounded_nesting_ends_in_recursion_error():
    # Every level adds native frames too; the interpreter's recursion limit
    # must end it before the thread's stack does. In a child: a crash would
    # take the test run with it.
    source = textwrap.dedent("""
        import json, numpy as np, _karvex_rs as k
        levels = []
        def nested(p):
            levels.append(1)
            k.extract_mesh(nested, (-1, -1, -1), (1, 1, 1), 1, 1)
        try:
            k.extract_mesh(nested, (-1, -1, -1), (1, 1, 1), 1, 1)
        except RecursionError:
            print(json.dumps({"outcome": "RecursionError", "levels": len(levels)}))
    """)
    result = run_child(source)
    assert result["outcome"] == "RecursionError" and result["levels"] > 100


# --- unpredictable fields, each in a child process with a timeout -----------------

CHILD = """
import json, sys, numpy as np, _karvex_rs as k
BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
rng = np.random.default_rng({seed})
calls = [0]
def field(p):
    calls[0] += 1
{body}
try:
    v, f = k.extract_mesh(field, *BOX, {min_depth}, {max_depth}, adaptive={adaptive})
    ok = f.size == 0 or (f.min() >= 0 and f.max() < len(v))
    print(json.dumps({{"outcome": "mesh", "indices_ok": bool(ok), "vertices": len(v),
                      "finite": bool(np.isfinite(v).all())}}))
except BaseException as e:
    print(json.dumps({{"outcome": type(e).__name__, "message": str(e)}}))
"""

CHAOTIC = {
    # Fresh random values, and gradients or not, on every call.
    "random": """
    v = rng.standard_normal(len(p))
    g = rng.standard_normal((len(p), 3)) if rng.random() < 0.5 else None
    return v, g""",
    # A dense surface everywhere, different on every call.
    "waves": """
    s = 7.0 + calls[0] % 3
    v = np.sin(s * p[:, 0]) * np.sin(s * p[:, 1]) * np.sin(s * p[:, 2])
    return v, None""",
    # Random non-finite values sprinkled in.
    "sprinkled": """
    v = np.linalg.norm(p, axis=1) - 0.5
    v[rng.random(len(p)) < 0.1] = rng.choice([np.nan, np.inf, -np.inf])
    return v, None""",
}


def run_child(source, timeout=120):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", source], env=env, capture_output=True,
                          text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("seed", [1, 2, 3, 4] if FULL_SWEEP else [1])
@pytest.mark.parametrize("adaptive", [False, True])
@pytest.mark.parametrize("kind", CHAOTIC)
def test_chaotic_fields_end_in_a_mesh_or_a_documented_error(kind, adaptive, seed):
    source = CHILD.format(seed=seed, body=textwrap.indent(textwrap.dedent(CHAOTIC[kind]), "    "),
                          min_depth=2, max_depth=6 if FULL_SWEEP else 5, adaptive=adaptive)
    result = run_child(source)
    assert result["outcome"] == "mesh", result
    assert result["indices_ok"]
    if kind != "sprinkled":
        assert result["finite"]
