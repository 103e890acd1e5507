"""Argument binding, conversion and validation: exact exception types and messages."""
import math

import numpy as np
import pytest

import _karvex_rs as k
from support.fields import BOX, Recorder, sphere


def Field():
    """A sphere field that records every call."""
    return Recorder(sphere(0.5, gradients=False))


FLOAT_MSG = "must be real number, not str"


class NumpyLikeBool:
    """Claims to be NumPy's bool type but defines no __bool__."""


NumpyLikeBool.__module__ = "numpy"
NumpyLikeBool.__name__ = NumpyLikeBool.__qualname__ = "bool_"

F = object()  # stands for the recording field in the rows below

# (function, positional args, keyword args, exception, message)
BAD = [
    # binding
    ("extract_mesh", (), {}, TypeError, "extract_mesh() missing 3 required positional arguments: "
                                        "'eval_fn', 'bbox_min', and 'bbox_max'"),
    ("test_batch_eval", (), {}, TypeError,
     "test_batch_eval() missing 2 required positional arguments: 'eval_fn' and 'points'"),
    ("extract_mesh", (F,), {}, TypeError,
     "extract_mesh() missing 2 required positional arguments: 'bbox_min' and 'bbox_max'"),
    ("build_octree_adaptive", (F, BOX[0]), {}, TypeError,
     "build_octree_adaptive() missing 3 required positional arguments: "
     "'bbox_max', 'min_depth', and 'max_depth'"),
    ("build_octree_uniform", (F, *BOX), {}, TypeError,
     "build_octree_uniform() missing 1 required positional argument: 'depth'"),
    ("test_batch_eval", (F, [], 1), {}, TypeError,
     "test_batch_eval() takes 2 positional arguments but 3 were given"),
    ("test_fd_gradients", (F, [], 1, 2), {}, TypeError,
     "test_fd_gradients() takes from 2 to 3 positional arguments but 4 were given"),
    ("extract_mesh", (F, *BOX, 1, 2, 3, 4, True, 5), {}, TypeError,
     "extract_mesh() takes from 3 to 8 positional arguments but 9 were given"),
    ("extract_mesh", (F, *BOX), {"depth": 3}, TypeError,
     "extract_mesh() got an unexpected keyword argument 'depth'"),
    ("test_batch_eval", (F, []), {"points": []}, TypeError,
     "test_batch_eval() got multiple values for argument 'points'"),
    ("test_batch_eval", (), {"points": []}, TypeError,
     "test_batch_eval() missing 1 required positional argument: 'eval_fn'"),
    # Binding is complete before anything is converted.
    ("extract_mesh", (F, 5), {}, TypeError,
     "extract_mesh() missing 1 required positional argument: 'bbox_max'"),
    # The first offending keyword stops binding.
    ("build_octree_uniform", (F, *BOX), {"bogus": 1, "eval_fn": 2}, TypeError,
     "build_octree_uniform() got an unexpected keyword argument 'bogus'"),
    # box conversion
    ("extract_mesh", (F, (0, 0), BOX[1]), {}, ValueError,
     "expected a sequence of length 3 (got 2)"),
    ("extract_mesh", (F, BOX[0], 5), {}, TypeError,
     "argument 'bbox_max': 'int' object cannot be converted to 'Sequence'"),
    ("build_octree_uniform", (F, "abc", BOX[1], 2), {}, TypeError,
     "argument 'bbox_min': must be real number, not str"),
    ("extract_mesh", (F, (0, 0, "x"), BOX[1]), {}, TypeError, "argument 'bbox_min': " + FLOAT_MSG),
    # points
    ("test_batch_eval", (F, "abc"), {}, TypeError,
     "argument 'points': Can't extract `str` to `Vec`"),
    ("test_fd_gradients", (F, 5), {}, TypeError,
     "argument 'points': 'int' object cannot be converted to 'Sequence'"),
    ("test_batch_eval", (F, [(0, 0, 0), 7],), {}, TypeError,
     "argument 'points': 'int' object cannot be converted to 'Sequence'"),
    ("test_batch_eval", (F, [(0, 0, 0), (1, 2)],), {}, ValueError,
     "expected a sequence of length 3 (got 2)"),
    # integers
    ("extract_mesh", (F, *BOX), {"min_depth": -1}, OverflowError,
     "out of range integral type conversion attempted"),
    ("build_octree_uniform", (F, *BOX, 2**32), {}, OverflowError,
     "out of range integral type conversion attempted"),
    ("build_octree_uniform", (F, *BOX, 2**64), {}, OverflowError,
     "Python int too large to convert to C long"),
    ("extract_mesh", (F, *BOX), {"min_depth": 2.0}, TypeError,
     "argument 'min_depth': 'float' object cannot be interpreted as an integer"),
    # doubles
    ("test_fd_gradients", (F, [], "x"), {}, TypeError, "argument 'step': " + FLOAT_MSG),
    ("extract_mesh", (F, *BOX), {"angle_threshold_deg": None}, TypeError,
     "argument 'angle_threshold_deg': must be real number, not NoneType"),
    ("build_octree_uniform", (F, *BOX, 1), {"iso_value": "0"}, TypeError,
     "argument 'iso_value': " + FLOAT_MSG),
    # bool
    ("extract_mesh", (F, *BOX), {"adaptive": 1}, TypeError,
     "argument 'adaptive': 'int' object cannot be converted to 'PyBool'"),
    ("extract_mesh", (F, *BOX), {"adaptive": np.int64(0)}, TypeError,
     "argument 'adaptive': 'int64' object cannot be converted to 'PyBool'"),
    ("extract_mesh", (F, *BOX), {"adaptive": NumpyLikeBool()}, TypeError,
     "argument 'adaptive': object of type 'bool_' does not define a '__bool__' conversion"),
    # validation of what was converted
    ("extract_mesh", (F, (0, 0, math.nan), (1, 1, 1)), {}, ValueError,
     "bbox_min and bbox_max must be finite "
     "(got bbox_min=(0.0, 0.0, nan), bbox_max=(1.0, 1.0, 1.0))"),
    ("build_octree_uniform", (F, (0, 0, 0), (1, math.inf, 1), 2), {}, ValueError,
     "bbox_min and bbox_max must be finite "
     "(got bbox_min=(0.0, 0.0, 0.0), bbox_max=(1.0, inf, 1.0))"),
    ("build_octree_adaptive", (F, (1, 1, 1), (1, 1, 1), 1, 2), {}, ValueError,
     "bbox_max must be greater than bbox_min on at least one axis "
     "(got bbox_min=(1.0, 1.0, 1.0), bbox_max=(1.0, 1.0, 1.0))"),
    ("extract_mesh", (F, (0, 0, 0), (-1, -2, -1e-05)), {}, ValueError,
     "bbox_max must be greater than bbox_min on at least one axis "
     "(got bbox_min=(0.0, 0.0, 0.0), bbox_max=(-1.0, -2.0, -1e-05))"),
    ("build_octree_uniform", (F, (-1e308, 0, 0), (1e308, 1, 1), 2), {}, ValueError,
     "bbox_min and bbox_max are too far apart: the box's extent is not a finite number "
     "(got bbox_min=(-1e+308, 0.0, 0.0), bbox_max=(1e+308, 1.0, 1.0))"),
    ("build_octree_uniform", (F, *BOX, 32), {}, ValueError, "depth must be at most 31 (got 32)"),
    ("build_octree_uniform", (F, *BOX, 256), {}, ValueError, "depth must be at most 31 (got 256)"),
    ("build_octree_adaptive", (F, *BOX, 40, 50), {}, ValueError,
     "min_depth must be at most 31 (got 40)"),
    ("build_octree_adaptive", (F, *BOX, 2, 300), {}, ValueError,
     "max_depth must be at most 31 (got 300)"),
    ("build_octree_adaptive", (F, *BOX, 4, 3), {}, ValueError,
     "min_depth must not exceed max_depth (got min_depth=4, max_depth=3)"),
    ("extract_mesh", (F, *BOX), {"min_depth": 8}, ValueError,
     "min_depth must not exceed max_depth (got min_depth=8, max_depth=7)"),
    # Box first, then depths in parameter order.
    ("extract_mesh", (F, (0, 0, 0), (0, 0, 0)), {"min_depth": 99}, ValueError,
     "bbox_max must be greater than bbox_min on at least one axis "
     "(got bbox_min=(0.0, 0.0, 0.0), bbox_max=(0.0, 0.0, 0.0))"),
    ("extract_mesh", (F, *BOX), {"max_depth": 99, "min_depth": 98}, ValueError,
     "min_depth must be at most 31 (got 98)"),
]


@pytest.mark.parametrize("name,args,kwargs,exc_type,message", BAD,
                         ids=[f"{row[0]}-{i}" for i, row in enumerate(BAD)])
def test_bad_arguments(name, args, kwargs, exc_type, message):
    field = Field()
    args = tuple(field if a is F else a for a in args)
    with pytest.raises(BaseException) as info:
        getattr(k, name)(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert field.calls == 0


def test_type_error_is_rewrapped_with_cause_but_subclasses_pass():
    root = ValueError("root")

    class Chained:
        def __float__(self):
            raise TypeError("inner") from root

    class Sub(TypeError):
        pass

    class Raises:
        def __float__(self):
            raise Sub("subclass")

    with pytest.raises(TypeError) as info:
        k.test_fd_gradients(Field(), [], Chained())
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'step': inner"
    assert info.value.__cause__ is root

    with pytest.raises(Sub, match="^subclass$"):
        k.test_fd_gradients(Field(), [], Raises())


@pytest.mark.parametrize("points", [
    [(0, 0, 0), [1.5, 2, 3]],
    ((0.0, 0.0, 0.0), (1.5, 2.0, 3.0)),
    np.array([[0, 0, 0], [1.5, 2, 3]]),
    [np.array([0, 0, 0]), (np.float32(1.5), np.int8(2), 3.0)],
])
def test_points_accepted_forms(points):
    seen = []

    def field(p):
        seen.append(p.copy())
        return np.zeros(len(p)), None

    k.test_batch_eval(field, points)
    np.testing.assert_array_equal(seen[0], [[0, 0, 0], [1.5, 2, 3]])


@pytest.mark.parametrize("value,expected", [
    (True, True), (False, False), (np.True_, True), (np.False_, False)])
def test_adaptive_accepts_bools_and_numpy_bools(value, expected):
    # The box has no surface, so both modes return empty meshes quickly.
    vertices, faces = k.extract_mesh(lambda p: (np.ones(len(p)), None), *BOX,
                                     min_depth=1, max_depth=2, adaptive=value)
    assert vertices.shape == faces.shape == (0, 3)


@pytest.mark.parametrize("kwargs", [
    {"iso_value": 1}, {"iso_value": np.float32(1.0)}, {"iso_value": True},
    {"iso_value": type("Idx", (), {"__index__": lambda self: 1})()}])
def test_iso_value_number_forms(kwargs):
    # A constant field of 0.5 is below iso 1: one Full root, 8 evaluations.
    stats = k.build_octree_uniform(lambda p: (np.full(len(p), 0.5), np.zeros((len(p), 3))),
                                   *BOX, 0, **kwargs)
    assert stats == (0, 0, 0, 1, 0, 8)


def test_depth_accepts_index_objects_and_every_keyword_order():
    class Depth:
        def __index__(self):
            return 1

    field = lambda p: (np.ones(len(p)), np.zeros((len(p), 3)))  # noqa: E731
    expected = k.build_octree_adaptive(field, *BOX, 0, 1)
    assert k.build_octree_adaptive(max_depth=Depth(), min_depth=0, bbox_max=BOX[1],
                                   bbox_min=BOX[0], eval_fn=field) == expected
