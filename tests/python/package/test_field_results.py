"""What karvex.mesh does with what a field returns: FieldError for what it
cannot use, conversion to float64 for what it can, and the user's own
exceptions passed through unchanged."""

import re

import numpy as np
import pytest

import karvex
from karvex._field_check import check_result
from support.fields import BALL as sphere
from support.fields import BOX

FIRST_CALL = 9**3  # the starting grid at min_depth=3: (2**3 + 1)**3 points


def _values(p):
    return sphere(p)[0]


def _gradients(p):
    return sphere(p)[1]


def _nan_where_x_is_one(p):
    v = _values(p).copy()
    v[p[:, 0] == 1.0] = np.nan
    return v, None


def _inf_gradient_at_origin(p):
    g = _gradients(p).copy()
    g[np.all(p == 0.0, axis=1)] = np.inf
    return _values(p), g


class NotAnArray:
    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("device memory")


FAULTS = {
    "bare array": (lambda p: _values(p),
                   r"a bare float64 array of shape \(729,\) instead of a \(values, gradients\) "
                   r"pair; return \(values, None\) when you have no gradients"),
    "bare float": (lambda p: 0.5, r"a bare float instead of a \(values, gradients\) pair"),
    "three items": (lambda p: (_values(p), None, None),
                    r"a tuple of 3 items instead of a \(values, gradients\) pair; return "
                    r"\(values, None\)"),
    "two numbers": (lambda p: [0.5, 0.5], r"a list of two numbers instead of"),
    "values None": (lambda p: (None, None), r"returned None as its values; return an array of 729"),
    "too few values": (lambda p: (_values(p)[:-1], None),
                       r"returned 728 values for 729 points; return one value per point"),
    "too many values": (lambda p: (np.append(_values(p), 0.0), None),
                        r"returned 730 values for 729 points"),
    "values 2-D": (lambda p: (np.zeros((len(p), 2)), None),
                   r"values of shape \(729, 2\) for 729 points; return a one-dimensional array"),
    "text values": (lambda p: (np.array(["a"] * len(p)), None),
                    r"the field's values are not numbers \(dtype <U1\)"),
    "complex values": (lambda p: (_values(p) + 0j, None), r"values are complex numbers"),
    "boolean values": (lambda p: (_values(p) < 0, None),
                       r"values are booleans, not signed numbers"),
    "unconvertible": (lambda p: (NotAnArray(), None),
                      r"values \(NotAnArray\) cannot be converted to a NumPy array \(device memory\)"),
    "NaN values": (_nan_where_x_is_one,
                   r"returned 81 non-finite values \(NaN or infinity\) for 729 points; the first "
                   r"is nan at point \(1\.0, -1\.0, -1\.0\); return finite values"),
    "infinite value": (lambda p: (np.where(np.all(p == 0, axis=1), -np.inf, _values(p)), None),
                       r"returned 1 non-finite value \(NaN .* the first is -inf at point "
                       r"\(0\.0, 0\.0, 0\.0\)"),
    "gradients transposed": (lambda p: (_values(p), np.ascontiguousarray(_gradients(p).T)),
                             r"gradients of shape \(3, 729\): one column per point; transpose "
                             r"them \(return gradients\.T\)"),
    "gradients 2 columns": (lambda p: (_values(p), _gradients(p)[:, :2]),
                            r"gradients of shape \(729, 2\) for 729 points; return a "
                            r"\(729, 3\) array"),
    "gradients flat": (lambda p: (_values(p), _gradients(p).ravel()),
                       r"gradients of shape \(2187,\)"),
    "gradients infinite": (_inf_gradient_at_origin,
                           r"1 non-finite gradient \(NaN .* the first is \(inf, inf, inf\) at point "
                           r"\(0\.0, 0\.0, 0\.0\); guard divisions"),
}


@pytest.mark.parametrize("field, message", FAULTS.values(), ids=FAULTS.keys())
def test_unusable_results_raise_field_error(field, message):
    """The error is raised inside the native call of the field and reaches
    the caller as the FieldError itself, not wrapped."""
    with pytest.raises(karvex.FieldError, match=message) as caught:
        karvex.mesh(field, BOX, max_depth=4, batch_size=None)
    assert type(caught.value) is karvex.FieldError
    assert isinstance(caught.value, ValueError)


def test_non_finite_report_names_the_first_point_in_call_order():
    seen = []

    def field(p):
        seen.append(p.copy())
        v = _values(p).copy()
        v[[700, 5, 100]] = [np.inf, np.nan, -np.inf]
        return v, None

    with pytest.raises(karvex.FieldError) as caught:
        karvex.mesh(field, BOX, max_depth=4)
    x, y, z = seen[0][5].tolist()
    assert f"3 non-finite values (NaN or infinity) for 729 points; the first is nan at point " \
           f"({x!r}, {y!r}, {z!r})" in str(caught.value)


def test_gradients_sometimes_missing_within_a_split_call():
    def field(p):
        return _values(p), (_gradients(p) if len(p) == 100 else None)

    with pytest.raises(karvex.FieldError, match=r"gradients for some batches of 100 points and "
                       r"None for others \(at points 700 to 728 of 729\)"):
        karvex.mesh(field, BOX, max_depth=3, batch_size=100)


@pytest.mark.parametrize("raised", [KeyError("model"), KeyboardInterrupt(),
                                    karvex.FieldError("the user's own")])
def test_exceptions_of_the_field_pass_through_unchanged(raised):
    def field(p):
        raise raised

    with pytest.raises(type(raised)) as caught:
        karvex.mesh(field, BOX, max_depth=3)
    assert caught.value is raised
    assert caught.value.__cause__ is None


def _mesh_arrays(field, **options):
    m = karvex.mesh(field, BOX, max_depth=4, normals=True, **options)
    return m.vertices, m.faces, m.normals


def _same_mesh(a, b):
    return all(x.tobytes() == y.tobytes() for x, y in zip(a, b)) and a[0].shape == b[0].shape


CONVERSIONS = {
    "float32": (np.float32, lambda v: v.astype(np.float32)),
    "float16": (np.float16, lambda v: v.astype(np.float16)),
    "strided": (None, lambda v: np.repeat(v, 2)[::2]),
    "reversed": (None, lambda v: v[::-1].copy()[::-1]),
    "column": (None, lambda v: v[:, None]),
}


@pytest.mark.parametrize("dtype, convert", CONVERSIONS.values(), ids=CONVERSIONS.keys())
def test_values_are_converted_to_float64(dtype, convert):
    """The mesh equals the one from float64 values holding the same numbers."""

    def returned(p):
        return convert(_values(p)), _gradients(p).astype(np.float32)

    def reference(p):
        v = _values(p) if dtype is None else _values(p).astype(dtype)
        return v.astype(np.float64), _gradients(p).astype(np.float32).astype(np.float64)

    assert _same_mesh(_mesh_arrays(returned), _mesh_arrays(reference))


def test_integer_values_and_strided_gradients_are_converted():
    def cube_signs(p):  # -1 inside a cube of half-side 0.5, +1 outside
        return np.where(np.abs(p).max(axis=1) < 0.5, -1, 1).astype(np.int8)

    def returned(p):
        g = np.asfortranarray(np.tile(_gradients(p), 2))[:, ::2]
        return cube_signs(p), g

    def reference(p):
        return cube_signs(p).astype(np.float64), np.tile(_gradients(p), 2)[:, ::2].copy()

    a, b = _mesh_arrays(returned), _mesh_arrays(reference)
    assert len(a[1]) > 0 and _same_mesh(a, b)


@pytest.mark.parametrize("result", [(np.float32(0.25), None), (np.array([[0.25]]), None),
                                    (np.array([0.25]), [[1, 0, 0]])])
def test_a_single_point_accepts_any_single_value(result):
    values, gradients = check_result(result, np.zeros((1, 3)))
    assert values.shape == (1,) and values.dtype == np.float64 and values[0] == 0.25
    assert gradients is None or gradients.dtype == np.float64


def test_a_bare_scalar_for_many_points_is_a_length_error():
    with pytest.raises(karvex.FieldError, match=re.escape("returned 1 values for 5 points")):
        check_result((np.float64(1.0), None), np.zeros((5, 3)))
