"""test_fd_gradients: central differences from one batch call."""
import math

import numpy as np
import pytest

import _karvex_rs as k
from support.fields import Recorder, from_values


def test_empty_points_make_no_call():
    field = Recorder(from_values(lambda p: p[:, 0]), keep=True)
    assert k.test_fd_gradients(field, []) == []
    assert field.batches == []


@pytest.mark.parametrize("step", [None, 1e-3, 0.25, -0.5])
def test_one_call_with_the_stencil_in_order(step):
    points = [(0.5, -1.0, 2.0), (3.0, 4.0, -5.0)]
    linear = from_values(lambda p: p[:, 0] + 2 * p[:, 1] + 3 * p[:, 2])
    field = Recorder(linear, keep=True)
    args = () if step is None else (step,)
    result = k.test_fd_gradients(field, points, *args)
    h = 1e-5 if step is None else step
    [batch] = field.batches
    offsets = [(h, 0, 0), (-h, 0, 0), (0, h, 0), (0, -h, 0), (0, 0, h), (0, 0, -h)]
    expected = [[x + dx, y + dy, z + dz] for x, y, z in points for dx, dy, dz in offsets]
    np.testing.assert_array_equal(batch, expected)
    # The exact arithmetic: each difference times k = 0.5 / h.
    v = linear(batch)[0]
    kk = 0.5 / h
    assert result == [[(v[6 * i + 2 * a] - v[6 * i + 2 * a + 1]) * kk for a in range(3)]
                      for i in range(len(points))]
    for g in result:
        assert g == pytest.approx([1, 2, 3], rel=1e-6)


@pytest.mark.parametrize("fn,point,expected", [
    (lambda p: p[:, 0] ** 2, (0.0, 1.0, 2.0), [0.0, 0.0, 0.0]),
    (lambda p: 2 * p[:, 0], (0.3, 0.0, 0.0), [2.0, 0.0, 0.0]),
])
def test_exact_cases(fn, point, expected):
    [g] = k.test_fd_gradients(from_values(fn), [point], 0.5)
    assert g == expected


def test_returned_gradients_are_ignored():
    [g] = k.test_fd_gradients(from_values(lambda p: p[:, 1], gradient=99.0), [(1.0, 1.0, 1.0)],
                              0.5)
    assert g == [0.0, 1.0, 0.0]


def test_zero_step_gives_infinities_and_nan():
    [g] = k.test_fd_gradients(from_values(lambda p: p[:, 0] + 0 * p[:, 1]), [(1.0, 1.0, 1.0)], 0)
    assert all(math.isnan(c) for c in g)  # equal values: 0 * inf
    [g] = k.test_fd_gradients(lambda p: (np.arange(len(p), dtype=float), None),
                              [(1.0, 1.0, 1.0)], 0.0)
    assert g == [-math.inf] * 3


@pytest.mark.parametrize("count,message", [
    (lambda n: n // 6, "index out of bounds: the len is 2 but the index is 2"),
    (lambda n: n - 1, "index out of bounds: the len is 11 but the index is 11"),
    (lambda n: 0, "index out of bounds: the len is 0 but the index is 0"),
])
def test_too_few_values_panic(count, message):
    field = lambda p: (np.zeros(count(len(p))), None)  # noqa: E731
    with pytest.raises(BaseException) as info:
        k.test_fd_gradients(field, [(0, 0, 0), (1, 1, 1)])
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message


def test_surplus_values_are_ignored():
    field = lambda p: (np.concatenate([p[:, 2], [1e9, -1e9]]), None)  # noqa: E731
    assert k.test_fd_gradients(field, [(0, 0, 0)], 0.5) == [[0.0, 0.0, 1.0]]
