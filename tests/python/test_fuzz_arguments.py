"""Argument fuzzing: arbitrary objects, by position and by keyword, in all five functions.

Each generated call is compared with a small executable model of the argument
contract: binding first (exact messages), then conversion in parameter order
(the same CPython operations the module uses: PySequence_Check, len, item
access, PyFloat_AsDouble, PyLong_AsLong), then the box and depth checks, then
the call of eval_fn. The module must raise exactly the exception the model
predicts (type and message), never anything else, and must succeed, with a
well-formed result, when the model says the call is valid.
"""
import ctypes
import math
import operator
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _karvex_rs as k
from support.fields import sphere

# KARVEX_FULL_SWEEP (CI) tries ten times as many examples; KARVEX_FUZZ_EXAMPLES
# sets the number outright (the sanitizer run, where each call is slow).
EXAMPLES = int(os.environ.get("KARVEX_FUZZ_EXAMPLES")
               or (1500 if os.environ.get("KARVEX_FULL_SWEEP") else 150))
FUZZ = settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int


# --- hostile objects ---------------------------------------------------------

class Boom(Exception):
    """Raised by the hostile objects below; must reach the caller unchanged."""


class TypeBoom(TypeError):
    """A TypeError subclass: passes without the "argument '...'" prefix."""


class FloatRaises:
    def __float__(self):
        raise Boom("__float__")


class FloatRaisesTypeError:
    def __float__(self):
        raise TypeError("__float__ refused")


class FloatRaisesTypeBoom:
    def __float__(self):
        raise TypeBoom("__float__ subclass")


class FloatReturnsInt:
    def __float__(self):
        return 3


class IndexRaises:
    def __index__(self):
        raise Boom("__index__")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Triple:
    """A sequence of three items; any of its protocols can be made to raise."""

    def __init__(self, items=(0.0, 0.5, 1.0), fail=None):
        self.items, self.fail = list(items), fail

    def __len__(self):
        if self.fail == "len":
            raise Boom("__len__")
        return len(self.items)

    def __getitem__(self, i):
        if self.fail == "getitem":
            raise Boom("__getitem__")
        return self.items[i]

    def __iter__(self):
        if self.fail == "iter":
            raise Boom("__iter__")
        if self.fail == "next":
            def gen():
                yield self.items[0]
                raise Boom("__next__")
            return gen()
        return iter(self.items)


class Claims:
    """A sequence whose __len__ disagrees with its items (or raises, for n < 0)."""

    def __init__(self, n, items):
        self.n, self.items = n, items

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        return self.items[i]


class FakeNumpyBool:
    """Claims to be NumPy's bool scalar; its __bool__ raises."""

    def __bool__(self):
        raise Boom("__bool__")


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


class CallRaises:
    def __call__(self, p):
        raise Boom("__call__")


def constant_field(p):
    return np.full(len(p), 0.25), None


_SPHERE = sphere(0.25, (0.7, 0.7, 0.7))


def sphere_field(p):
    with np.errstate(all="ignore"):  # huge boxes overflow on purpose
        return _SPHERE(p)


class FieldObject:
    def __call__(self, p):
        return constant_field(p)


HUGE_INTS = [-1, -2**31, 2**32, 2**32 - 1, 2**63, -2**63 - 1, 2**64, 10**30, 32, 256]
JUNK = [None, "abc", "ab", "", b"xyz", object(), {}, {"a": 1}, set(), 1.5, math.nan, -math.inf,
        1e308, *HUGE_INTS, 0, 2, True, False, np.float32(2.5), np.int64(-3), np.float64(math.nan),
        np.bool_(True), np.zeros(0), np.zeros(3), np.zeros((2, 3)), np.array(1.0), np.array(2),
        FloatRaises(), FloatRaisesTypeError(), FloatRaisesTypeBoom(), FloatReturnsInt(),
        IndexRaises(), Index(1), Index(-5), Index(2**40), Triple(fail="len"),
        Triple(fail="getitem"), Triple(fail="iter"), Triple(fail="next"), FakeNumpyBool(),
        CallRaises(), [1, 2], (1, 2, 3, 4), [None, 0, 0], ["1", "2", "3"], range(3),
        Claims(3, [1.0, 2.0]), Claims(-1, []), Claims(2**62, [(0, 0, 0)]), Claims(2**63, []),
        Claims(0, [(1, 2, 3), (4, 5, 6)])]

# Per parameter kind: (values it accepts, values that fail its conversion or
# the checks after it). The junk list adds more of the second sort.
def valid_mostly(valid, invalid):
    return st.one_of(valid, valid, valid, invalid)


COORD = valid_mostly(
    st.sampled_from([0.0, 1, -1.0, 0.5, np.float32(0.25), np.int8(1), True, Index(1)]),
    st.sampled_from([math.nan, math.inf, 1e308, -1e308, FloatRaises(), "1"]))
BAD_VEC = st.one_of(st.lists(COORD, min_size=3, max_size=3).map(tuple),
                    st.lists(COORD, min_size=2, max_size=4),
                    st.sampled_from([(0.0, 0.0, math.nan), Triple(fail="len"),
                                     Triple(fail="getitem"), (1, 2), np.zeros(4)]))
KINDS = {
    "field": (st.sampled_from([constant_field, sphere_field, FieldObject()]),
              st.sampled_from([CallRaises(), 3, None, "f", np.float64(1.0)])),
    # Every low corner lies below every high corner on some axis.
    "lo": (st.sampled_from([(-1.0, -1.0, -1.0), [0, 0, 0], np.array([-1.0, -2.0, -1.0]),
                            Triple((-1.0, 0, np.float32(-0.5))), range(-3, 0), b"\x00\x00\x00"]),
           BAD_VEC),
    "hi": (st.sampled_from([(1, 1, 1), [1.0, 2.0, 0.5], np.array([1, 1, 1]), Triple(),
                            range(1, 4), (Index(1), True, 1e3)]),
           BAD_VEC),
    "points": (st.one_of(st.lists(st.sampled_from([(0, 0, 0), [1.5, -2, 3], np.ones(3),
                                                   Triple(), range(3)]), max_size=3),
                         st.sampled_from([np.zeros((2, 3)), np.zeros((0, 3)), ((1, 2, 3),)])),
               st.one_of(st.lists(BAD_VEC, min_size=1, max_size=2),
                         st.sampled_from([np.ones((1, 4)), Triple(fail="iter"), "points",
                                          Triple(((0, 0, 0), (1, 1, 1), (2, 2, 2)), fail="len"),
                                          Triple(((0, 0, 0), (1, 1, 1), (2, 2, 2)),
                                                 fail="next")]))),
    "u32": (st.sampled_from([0, 1, 2, np.int64(1), np.uint8(2), Index(0), Index(2), True, False]),
            st.sampled_from([*HUGE_INTS, 2.0, "1", IndexRaises(), np.float64(1.0)])),
    "real": (st.sampled_from([0.0, 0.25, -3, 30, 1e-5, math.nan, math.inf, -math.inf,
                              np.float32(0.5), np.int16(7), Index(1), True]),
             st.sampled_from([Index(2**2000), FloatRaises(), FloatRaisesTypeError(),
                              FloatRaisesTypeBoom(), FloatReturnsInt(), "0.5", None, 10**400])),
    "flag": (st.sampled_from([True, False, np.True_, np.False_]),
             st.sampled_from([1, 0, None, "True", FakeNumpyBool(), np.array(True)])),
}

# name -> ([(parameter, kind, default)], required count)
FUNCTIONS = {
    "extract_mesh": ([("eval_fn", "field", None), ("bbox_min", "lo", None),
                      ("bbox_max", "hi", None), ("min_depth", "u32", 3),
                      ("max_depth", "u32", 7), ("angle_threshold_deg", "real", 30.0),
                      ("iso_value", "real", 0.0), ("adaptive", "flag", False)], 3),
    "build_octree_uniform": ([("eval_fn", "field", None), ("bbox_min", "lo", None),
                              ("bbox_max", "hi", None), ("depth", "u32", None),
                              ("iso_value", "real", 0.0)], 4),
    "build_octree_adaptive": ([("eval_fn", "field", None), ("bbox_min", "lo", None),
                               ("bbox_max", "hi", None), ("min_depth", "u32", None),
                               ("max_depth", "u32", None), ("iso_value", "real", 0.0)], 5),
    "test_batch_eval": ([("eval_fn", "field", None), ("points", "points", None)], 2),
    "test_fd_gradients": ([("eval_fn", "field", None), ("points", "points", None),
                           ("step", "real", 1e-5)], 2),
}


# --- the model -----------------------------------------------------------------

class Expected(Exception):
    """The outcome the model predicts: an exception of `kind` with `message`."""

    def __init__(self, kind, message):
        super().__init__(kind, message)
        self.kind, self.message = kind, message


def bind(name, args, kwargs):
    params, required = FUNCTIONS[name]
    names = [p for p, _, _ in params]
    if len(args) > len(names):
        verb = "was" if len(args) == 1 else "were"
        if required < len(names):
            text = (f"{name}() takes from {required} to {len(names)} positional arguments "
                    f"but {len(args)} {verb} given")
        else:
            text = f"{name}() takes {len(names)} positional arguments but {len(args)} {verb} given"
        raise Expected(TypeError, text)
    bound = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names:
            raise Expected(TypeError, f"{name}() got an unexpected keyword argument '{key}'")
        if key in bound:
            raise Expected(TypeError, f"{name}() got multiple values for argument '{key}'")
        bound[key] = value
    missing = [n for n in names[:required] if n not in bound]
    if missing:
        quoted = [f"'{n}'" for n in missing]
        listed = (" and ".join(quoted) if len(quoted) <= 2
                  else ", ".join(quoted[:-1]) + ", and " + quoted[-1])
        raise Expected(TypeError, f"{name}() missing {len(missing)} required positional "
                                  f"{'argument' if len(missing) == 1 else 'arguments'}: {listed}")
    return bound


def qualname(obj):
    return type(obj).__qualname__


def as_double(x):
    return math.ldexp(x, 0)  # goes through PyFloat_AsDouble, like the module


def as_vec3(x):
    if not _sequence_check(x):
        raise TypeError(f"'{qualname(x)}' object cannot be converted to 'Sequence'")
    n = len(x)
    if n != 3:
        raise Expected(ValueError, f"expected a sequence of length 3 (got {n})")
    return tuple(as_double(x[i]) for i in range(3))


def as_points(x):
    if isinstance(x, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _sequence_check(x):
        raise TypeError(f"'{qualname(x)}' object cannot be converted to 'Sequence'")
    return [as_vec3(item) for item in iter(x)]


def as_u32(x):
    value = operator.index(x)
    if not -2**63 <= value < 2**63:
        raise OverflowError("Python int too large to convert to C long")
    if not 0 <= value <= 0xFFFFFFFF:
        raise OverflowError("out of range integral type conversion attempted")
    return value


def as_flag(x):
    if x is True or x is False:
        return x
    t = type(x)
    if t.__module__ == "numpy" and t.__name__ in ("bool_", "bool"):
        return bool(x)
    raise TypeError(f"'{qualname(x)}' object cannot be converted to 'PyBool'")


CONVERT = {"field": lambda x: x, "lo": as_vec3, "hi": as_vec3, "points": as_points, "u32": as_u32,
           "real": as_double, "flag": as_flag}


def convert(parameter, kind, value):
    try:
        return CONVERT[kind](value)
    except Expected:
        raise
    except Exception as error:  # noqa: BLE001 - the model classifies every failure
        if type(error) is TypeError:
            raise Expected(TypeError, f"argument '{parameter}': {error}") from None
        raise Expected(type(error), str(error)) from None


def validate(name, values):
    if "bbox_min" in values:
        lo, hi = values["bbox_min"], values["bbox_max"]
        shown = (f"(got bbox_min=({', '.join(map(repr, lo))}), "
                 f"bbox_max=({', '.join(map(repr, hi))}))")
        if not all(map(math.isfinite, lo + hi)):
            raise Expected(ValueError, "bbox_min and bbox_max must be finite " + shown)
        size = max(b - a for a, b in zip(lo, hi))
        if not size > 0:
            raise Expected(ValueError, "bbox_max must be greater than bbox_min on at least "
                                       "one axis " + shown)
        origin = [(a + b) * 0.5 - 0.5 * size for a, b in zip(lo, hi)]
        if not all(map(math.isfinite, [size, *origin])):
            raise Expected(ValueError, "bbox_min and bbox_max are too far apart: the box's "
                                       "extent is not a finite number " + shown)
        for axis, a, b in zip("xyz", lo, hi):
            if b < a:
                raise Expected(ValueError, "bbox_max must not be below bbox_min on any axis, "
                                           f"but it is on the {axis} axis " + shown)
    for depth in ("depth", "min_depth", "max_depth"):
        if depth in values and values[depth] > 31:
            raise Expected(ValueError, f"{depth} must be at most 31 (got {values[depth]})")
    if "max_depth" in values and values["min_depth"] > values["max_depth"]:
        raise Expected(ValueError, "min_depth must not exceed max_depth "
                                   f"(got min_depth={values['min_depth']}, "
                                   f"max_depth={values['max_depth']})")
    for real in ("angle_threshold_deg", "iso_value"):
        if real in values and not math.isfinite(values[real]):
            raise Expected(ValueError, f"{real} must be a finite number (got {values[real]!r})")


def predict(name, args, kwargs):
    """The converted arguments of a valid call, or raises Expected."""
    bound = bind(name, args, kwargs)
    values = {}
    for parameter, kind, default in FUNCTIONS[name][0]:
        values[parameter] = (convert(parameter, kind, bound[parameter]) if parameter in bound
                             else default)
    validate(name, values)
    field = values["eval_fn"]
    calls_field = name not in ("test_batch_eval", "test_fd_gradients") or values["points"]
    if calls_field and not isinstance(field, (type(constant_field), FieldObject)):
        try:
            field(np.zeros((1, 3)))
        except Exception as error:  # noqa: BLE001
            raise Expected(type(error), str(error)) from None
        raise AssertionError("the candidate fields are either valid or fail")
    return values


def check_result(name, result, values):
    if name == "extract_mesh":
        vertices, faces = result
        assert vertices.dtype == np.float64 and faces.dtype == np.int64
        assert vertices.shape[1:] == faces.shape[1:] == (3,)
        assert faces.size == 0 or (faces.min() >= 0 and faces.max() < len(vertices))
    elif name.startswith("build_octree"):
        assert type(result) is tuple and len(result) == 6
        assert all(type(c) is int and c >= 0 for c in result)
    elif name == "test_batch_eval":
        called = len(values["points"]) > 0
        assert result[1:] == (called and values["eval_fn"] is sphere_field, len(values["points"]))
    else:
        assert len(result) == len(values["points"]) and all(len(g) == 3 for g in result)


# --- the properties --------------------------------------------------------------

BOGUS_KEYWORDS = st.sampled_from(["depth", "Eval_fn", "bbox", "dépth", "step ", "kwargs"])


def value_for(kind):
    valid, invalid = KINDS[kind]
    return st.one_of(valid, valid, valid, valid, invalid, st.sampled_from(JUNK))


@st.composite
def bound_calls(draw, name):
    """Every parameter at most once, required ones always, at most two of them
    bad: conversion and the checks after it decide."""
    params, required = FUNCTIONS[name]
    bad = draw(st.lists(st.sampled_from([p for p, _, _ in params]), max_size=2, unique=True))
    given_params = []
    for i, (p, kind, _) in enumerate(params):
        if i < required or p in bad or draw(st.booleans()):
            valid, invalid = KINDS[kind]
            value = draw(st.one_of(invalid, st.sampled_from(JUNK)) if p in bad else valid)
            given_params.append((p, value))
    positional = draw(st.integers(0, len(given_params)))
    # Positional arguments must fill the leading parameters without a gap.
    while positional and given_params[positional - 1][0] != params[positional - 1][0]:
        positional -= 1
    keywords = draw(st.permutations(given_params[positional:]))
    return [v for _, v in given_params[:positional]], dict(keywords)


@st.composite
def loose_calls(draw, name):
    """Any number of positional arguments and keywords, repeats and unknown names too."""
    params, _ = FUNCTIONS[name]
    values = [draw(value_for(kind)) for _, kind, _ in params]
    positional = draw(st.integers(0, len(params) + 1))
    args = values[:positional] + [draw(st.sampled_from(JUNK))
                                  for _ in range(positional - len(params))]
    keyword_names = [p for p, _, _ in params]
    chosen = draw(st.lists(st.sampled_from(keyword_names + ["<bogus>"]), unique=True,
                           max_size=len(params)))
    kwargs = {}
    for key in chosen:
        if key == "<bogus>":
            kwargs[draw(BOGUS_KEYWORDS)] = draw(st.sampled_from(JUNK))
        else:
            kwargs[key] = values[keyword_names.index(key)]
    return args, kwargs


def run_and_compare(name, args, kwargs):
    try:
        values = predict(name, args, kwargs)
        expected = None
    except Expected as outcome:
        expected = outcome
    try:
        result = getattr(k, name)(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - anything else is the fault we look for
        assert expected is not None, f"valid call raised {error!r}"
        assert (type(error), str(error)) == (expected.kind, expected.message)
        return
    assert expected is None, f"expected {expected.kind.__name__}: {expected.message}"
    check_result(name, result, values)


@pytest.mark.parametrize("strategy", [bound_calls, loose_calls])
@pytest.mark.parametrize("name", FUNCTIONS)
def test_any_arguments_give_the_documented_outcome(name, strategy):
    @FUZZ
    @given(strategy(name))
    def prop(call):
        run_and_compare(name, *call)

    prop()


@FUZZ
@given(st.sampled_from(list(FUNCTIONS)), st.lists(st.sampled_from(JUNK), max_size=4),
       st.dictionaries(st.sampled_from(["eval_fn", "points", "bbox_min", "bbox_max", "depth",
                                        "min_depth", "max_depth", "iso_value", "step",
                                        "adaptive", "angle_threshold_deg", "other"]),
                       st.sampled_from(JUNK), max_size=4))
def test_junk_alone_never_crashes(name, args, kwargs):
    # Only junk, no valid field: every call fails, and exactly as predicted.
    run_and_compare(name, args, kwargs)
