"""Faults inside eval_fn, injected at every call of a whole build or extraction.

A counting run records the calls a pipeline makes and what each one is for;
then, for each call index k, call k alone misbehaves (raises, or returns one of
the malformed forms). Whatever the stage, the caller must see the documented
outcome: the field's own exception unchanged, the bridge's TypeError, or
PanicException with its message; never a crash, a partial result or a leak.

The default run injects at a representative handful of indices per pipeline;
KARVEX_FULL_SWEEP=1 (set by CI) injects at every index.
"""
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import _karvex_rs as k
from support.fields import BOX, OFF_CENTRE, sphere

FULL_SWEEP = bool(os.environ.get("KARVEX_FULL_SWEEP"))
SPHERE = sphere(0.6, OFF_CENTRE)
ARRAY_MSG = "'{}' object cannot be converted to 'PyArray<T, D>'"

# name -> (call with a field, makes a mesh)
PIPELINES = {
    "mesh-refine": (lambda f: k.extract_mesh(f, *BOX, 2, 4, adaptive=False), True),
    "mesh-balance": (lambda f: k.extract_mesh(f, *BOX, 1, 4, adaptive=True), True),
    "uniform": (lambda f: k.build_octree_uniform(f, *BOX, 3), False),
    "adaptive": (lambda f: k.build_octree_adaptive(f, *BOX, 1, 4), False),
}


class FieldError(Exception):
    pass


class Field:
    """A sphere that counts its calls; call `at` returns `fault(values, gradients)`."""

    def __init__(self, analytic, fault=None, at=-1):
        self.analytic, self.fault, self.at = analytic, fault, at
        self.sizes = []

    def __call__(self, p):
        self.sizes.append(len(p))
        values, gradients = SPHERE(p)
        gradients = gradients if self.analytic else None
        if len(self.sizes) - 1 == self.at:
            return self.fault(values, gradients)
        return values, gradients


def roles(sizes, analytic, makes_mesh):
    """What each call is for. Without analytic gradients every sampling call is
    followed by its finite-difference stencil call (six points per point).
    Extraction ends with eight bisection calls, the normals call, and the
    projection: three calls with gradients, one call and its stencil without."""
    out = []
    for i, n in enumerate(sizes):
        stencil = not analytic and i > 0 and out[-1] != "stencil" and n == 6 * sizes[i - 1]
        out.append("stencil" if stencil else "sample")
    tail = []
    if makes_mesh:
        tail = ["bisection"] * 8 + ["normals"]
        tail += ["projection"] * 3 if analytic else ["stencil", "projection", "stencil"]
        assert out[-len(tail):] == [r if r == "stencil" else "sample" for r in tail]
        out[-len(tail):] = tail
    if not analytic:
        build = out[:len(out) - len(tail)]
        assert build == ["sample", "stencil"] * (len(build) // 2)
    return out


def short_message(length):
    return f"index out of bounds: the len is {length} but the index is {length}"


def raise_(error):
    def fault(values, gradients):
        raise error
    return fault


# Each malformed form: the return value, and the outcome at a call of a given
# role with n points: None for success, else (exception type name, message).
def _values_short(v, g):
    return v[:len(v) // 2], g


def _gradients_short(v, g):
    return v, np.zeros((len(v) // 2, 3)) if g is None else g[:len(g) // 2]


def _strided(v, g):
    return np.repeat(v, 2)[::2], g


MALFORMED = {
    "too-few-values": (
        _values_short,
        # The normals call reads gradients only.
        lambda role, n: None if role == "normals" else ("PanicException", short_message(n // 2))),
    "too-few-gradient-rows": (
        _gradients_short,
        # Bisection and stencil calls discard gradients.
        lambda role, n: (None if role in ("bisection", "stencil")
                         else ("PanicException", short_message(n // 2)))),
    "float32-values": (lambda v, g: (v.astype(np.float32), g),
                       lambda role, n: ("TypeError", ARRAY_MSG.format("ndarray"))),
    "list-values": (lambda v, g: (v.tolist(), g),
                    lambda role, n: ("TypeError", ARRAY_MSG.format("list"))),
    "strided-values": (_strided,
                       lambda role, n: (("TypeError", "The given array is not contiguous")
                                        if n > 1 else None)),
    "1d-gradients": (lambda v, g: (v, np.zeros(3 * len(v))),
                     lambda role, n: ("TypeError", ARRAY_MSG.format("ndarray"))),
    "2-column-gradients": (lambda v, g: (v, np.zeros((len(v), 2))),
                           lambda role, n: ("PanicException", "ndarray: index out of bounds")),
    # R[0] and R[1] of a bare array are NumPy scalars, or R[1] does not exist.
    "bare-array": (lambda v, g: v,
                   lambda role, n: (("TypeError", ARRAY_MSG.format("float64")) if n > 1 else
                                    ("IndexError", "index 1 is out of bounds for axis 0 "
                                                   "with size 1"))),
    "1-tuple": (lambda v, g: (v,), lambda role, n: ("IndexError", "tuple index out of range")),
    "none": (lambda v, g: None,
             lambda role, n: ("TypeError", "'NoneType' object is not subscriptable")),
}


def counting_run(pipeline, analytic):
    call, makes_mesh = PIPELINES[pipeline]
    field = Field(analytic)
    result = call(field)
    return field.sizes, roles(field.sizes, analytic, makes_mesh), result


def indices(roles_):
    if FULL_SWEEP:
        return range(len(roles_))
    # The first and last calls, and the first call of each role.
    chosen = {0, len(roles_) - 1}
    for role in set(roles_):
        chosen.add(roles_.index(role))
    return sorted(chosen)


def outcome(call, field):
    try:
        call(field)
    except BaseException as error:  # noqa: BLE001 - every outcome is inspected
        return error
    return None


def frames(error):
    tb = error.__traceback__
    while tb is not None:
        yield tb.tb_frame.f_code.co_name
        tb = tb.tb_next


def run_sweep(pipeline, analytic):
    """Injects every fault at the chosen indices; returns the number of injections."""
    call, _ = PIPELINES[pipeline]
    sizes, roles_, _ = counting_run(pipeline, analytic)
    injections = 0
    for at in indices(roles_):
        role, n = roles_[at], sizes[at]
        for error in (FieldError(f"call {at}"), KeyboardInterrupt()):
            field = Field(analytic, raise_(error), at)
            refs = sys.getrefcount(field)
            raised = outcome(call, field)
            assert raised is error, (at, role, raised)
            assert "fault" in frames(raised)  # the traceback reaches into eval_fn
            assert len(field.sizes) == at + 1  # nothing is called after the failure
            raised.__traceback__ = None  # it holds the frames that saw the field
            assert sys.getrefcount(field) == refs
            injections += 1
        for name, (fault, expect) in MALFORMED.items():
            field = Field(analytic, fault, at)
            refs = sys.getrefcount(field)
            raised = outcome(call, field)
            expected = expect(role, n)
            got = None if raised is None else (type(raised).__name__, str(raised))
            assert got == expected, (name, at, role, n)
            if raised is not None:
                assert isinstance(raised, Exception) or got[0] == "PanicException"
                raised.__traceback__ = None
            assert sys.getrefcount(field) == refs
            injections += 1
    return injections


@pytest.mark.parametrize("analytic", [True, False], ids=["analytic", "fd"])
@pytest.mark.parametrize("pipeline", PIPELINES)
def test_fault_at_every_call_gives_the_documented_outcome(pipeline, analytic):
    _, _, reference = counting_run(pipeline, analytic)
    assert run_sweep(pipeline, analytic) > 0
    # Nothing is left behind that changes the next call.
    _, _, again = counting_run(pipeline, analytic)
    if isinstance(reference, tuple) and len(reference) == 2:
        assert all(np.array_equal(a, b) for a, b in zip(reference, again))
    else:
        assert again == reference


def test_fault_sweeps_do_not_leak():
    # Warm up lazily created types, the NumPy API and the worker pool.
    run_sweep("mesh-refine", True)
    gc.collect()  # caught exceptions and their frames form cycles
    field_refs = sys.getrefcount(Field)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(3):
            run_sweep("mesh-refine", True)
            run_sweep("uniform", False)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 64 * 1024, f"traced memory grew by {growth} bytes"
    assert sys.getrefcount(Field) == field_refs


def test_caught_exception_keeps_no_module_references():
    # The raised exception's traceback holds the field's frame, and through it
    # the points array; once the exception is gone, so is everything else.
    error = FieldError("kept")
    field = Field(True, raise_(error), 3)
    before = sys.getrefcount(field), sys.getrefcount(error)
    for _ in range(100):
        assert outcome(PIPELINES["mesh-refine"][0], field) is error
        error.__traceback__ = None
        field.sizes.clear()
    assert (sys.getrefcount(field), sys.getrefcount(error)) == before
