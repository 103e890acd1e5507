"""How fields compose: operators, transforms, blends, and the argument checks of
every constructor."""
import numpy as np
import pytest

from karvex import sdf
from karvex.errors import FieldError

POINTS = np.random.default_rng(5).uniform(-1.0, 1.0, size=(500, 3))
A = sdf.sphere(0.5, center=(0.2, 0, 0))
B = sdf.box(0.4, center=(-0.2, 0.1, 0))


@pytest.mark.parametrize("operator, function", [
    (lambda a, b: a | b, sdf.union),
    (lambda a, b: a & b, sdf.intersection),
    (lambda a, b: a - b, sdf.difference),
], ids=["or-union", "and-intersection", "minus-difference"])
def test_operators_are_the_named_operations(operator, function):
    combined = operator(A, B)
    assert isinstance(combined, sdf.Field)
    for mine, named in zip(combined(POINTS), function(A, B)(POINTS)):
        np.testing.assert_array_equal(mine, named)


def test_difference_is_inside_the_first_and_outside_the_second():
    cut = sdf.box(1.0) - sdf.sphere(0.5)
    values = cut(np.array([[0.0, 0.0, 0.0], [0.8, 0.8, 0.8], [2.0, 0.0, 0.0]]))[0]
    assert values[0] > 0 and values[1] < 0 and values[2] > 0
    assert (sdf.sphere(0.5) - sdf.box(1.0))(np.zeros((1, 3)))[0][0] > 0  # not symmetric


def test_sharp_operations_take_the_active_operands_gradient():
    p = np.array([[0.9, 0.0, 0.0], [-0.5, 0.45, 0.0]])  # near A only; near B only
    ga, gb = A(p)[1], B(p)[1]
    union_gradients = (A | B)(p)[1]
    np.testing.assert_array_equal(union_gradients[0], ga[0])
    np.testing.assert_array_equal(union_gradients[1], gb[1])
    inside_both = np.array([[0.1, 0.1, 0.0]])
    np.testing.assert_array_equal((A - B)(inside_both)[1], -B(inside_both)[1])  # into B


@pytest.mark.parametrize("operation, sharp, sign", [
    (sdf.smooth_union, np.minimum, -1.0),
    (sdf.smooth_intersection, np.maximum, 1.0),
])
def test_smooth_blends(operation, sharp, sign):
    """Where the operands are equal the blend moves the value by radius / 4,
    beyond radius apart it is the sharp result, and between it stays on the
    far side of the sharp one."""
    left, right = sdf.plane("x"), sdf.plane("y")
    blend = operation(left, right, 0.2)
    diagonal = np.array([[t, t, 0.0] for t in (-0.3, 0.0, 0.3)])
    np.testing.assert_allclose(blend(diagonal)[0], diagonal[:, 0] + sign * 0.05, atol=1e-15)
    apart = np.array([[0.0, 0.25, 0.0], [0.3, -0.1, 0.2]])
    np.testing.assert_array_equal(blend(apart)[0], sharp(apart[:, 0], apart[:, 1]))
    values = blend(POINTS)[0]
    assert (sign * (values - sharp(POINTS[:, 0], POINTS[:, 1])) >= 0).all()


def test_smooth_difference_is_smooth_intersection_with_the_complement():
    np.testing.assert_array_equal(sdf.smooth_difference(A, B, 0.1)(POINTS)[0],
                                  sdf.smooth_intersection(A, -B, 0.1)(POINTS)[0])


def test_scale_rescales_distances():
    shape = sdf.box((0.3, 0.2, 0.1)) | sdf.sphere(0.2, center=(0.3, 0, 0))
    big = shape.scale(2.5)
    v, g = shape(POINTS)
    v_big, g_big = big(POINTS * 2.5)
    np.testing.assert_allclose(v_big, 2.5 * v, rtol=1e-14, atol=1e-15)
    np.testing.assert_allclose(g_big, g, atol=1e-14)
    # Still a distance: the sphere scaled by 3 is the sphere of three times the radius.
    np.testing.assert_allclose(sdf.sphere(0.2).scale(3.0)(POINTS)[0],
                               sdf.sphere(0.6)(POINTS)[0], atol=1e-15)


def test_rotation_preserves_distances_and_turns_gradients():
    shape = sdf.box((0.5, 0.2, 0.1)) - sdf.cylinder(0.1, 1.0, axis="y")
    matrix = sdf.axis_angle_matrix((0.3, -1.0, 2.0), 73.0)
    turned = shape.rotate(matrix)
    v, g = shape(POINTS)
    v_turned, g_turned = turned(POINTS @ matrix.T)  # each point moved by the rotation
    np.testing.assert_allclose(v_turned, v, atol=1e-14)
    np.testing.assert_allclose(g_turned, g @ matrix.T, atol=1e-14)


def test_axis_angle_follows_the_right_hand_rule():
    bar = sdf.box((1.0, 0.1, 0.1)).rotate(axis="z", degrees=90)
    assert bar(np.array([[0.0, 0.9, 0.0]]))[0][0] < 0 < bar(np.array([[0.9, 0.0, 0.0]]))[0][0]
    np.testing.assert_allclose(sdf.axis_angle_matrix("z", 90) @ [1, 0, 0], [0, 1, 0], atol=1e-15)
    np.testing.assert_allclose(sdf.axis_angle_matrix((0, 0, 5), 30),
                               sdf.axis_angle_matrix("z", 30), atol=1e-15)


def test_translate_moves_the_shape():
    moved = sdf.torus(0.5, 0.1).translate((1, 2, 3))
    assert moved(np.array([[1.5, 2.0, 3.0]]))[0][0] == pytest.approx(-0.1)


def test_from_function_estimates_missing_gradients_and_keeps_given_ones():
    given = sdf.from_function(lambda p: (p[:, 0] * 2.0, np.tile([7.0, 0, 0], (len(p), 1))))
    np.testing.assert_array_equal(given(POINTS)[1][:, 0], 7.0)
    estimated = sdf.from_function(lambda p: (p[:, 0] ** 2, None), step=1e-5)
    np.testing.assert_allclose(estimated(POINTS)[1][:, 0], 2 * POINTS[:, 0], atol=1e-8)


@pytest.mark.parametrize("function, message", [
    (lambda p: p[:, 0], "must return a pair"),
    (lambda p: (p[:-1, 0], None), r"values of shape \(499,\) for 500 points"),
    (lambda p: (p[:, 0], p[:, :2]), r"gradients of shape \(500, 2\)"),
])
def test_from_function_reports_malformed_results(function, message):
    with pytest.raises(FieldError, match=message):
        sdf.from_function(function)(POINTS)


@pytest.mark.parametrize("build, error, message", [
    (lambda: sdf.sphere(0), ValueError, r"radius must be a positive finite number \(got 0\)"),
    (lambda: sdf.sphere(-1.5), ValueError, r"radius .* \(got -1.5\)"),
    (lambda: sdf.sphere(float("nan")), ValueError, r"radius .* \(got nan\)"),
    (lambda: sdf.sphere("1"), TypeError, r"radius must be a real number \(got '1'\)"),
    (lambda: sdf.sphere(1, center=(0, 0)), ValueError, r"center must be three numbers"),
    (lambda: sdf.sphere(1, center=(0, 0, np.inf)), ValueError, r"center must be three finite"),
    (lambda: sdf.box((1, 0, 1)), ValueError, r"half_size must be one or three positive"),
    (lambda: sdf.box(-1), ValueError, r"half_size must be a positive finite number \(got -1\)"),
    (lambda: sdf.box([1, 2]), ValueError, r"half_size must be three numbers"),
    (lambda: sdf.rounded_box((1, 0.2, 1), 0.3), ValueError,
     r"radius must not exceed the smallest half size 0.2 \(got 0.3\)"),
    (lambda: sdf.rounded_box(1, -0.1), ValueError, r"radius must be a finite number of at least 0"),
    (lambda: sdf.cylinder(1, 0), ValueError, r"half_length must be a positive"),
    (lambda: sdf.cylinder(1, 1, axis="w"), ValueError, r"axis must be 'x', 'y', 'z' or three"),
    (lambda: sdf.cylinder(1, 1, axis=(0, 0, 0)), ValueError, r"axis must be a direction, not all zero"),
    (lambda: sdf.capsule((0, 0, 0), (1, 1, 1), 0), ValueError, r"radius must be a positive"),
    (lambda: sdf.torus(0, 0.1), ValueError, r"major_radius must be a positive"),
    (lambda: sdf.torus(1, -0.1), ValueError, r"minor_radius must be a positive"),
    (lambda: sdf.plane((0, 0, 0)), ValueError, r"normal must be a direction"),
    (lambda: sdf.gyroid(0, 0.1), ValueError, r"period must be a positive"),
    (lambda: sdf.gyroid(1, 0), ValueError, r"thickness must be a positive"),
    (lambda: sdf.smooth_union(A, B, 0), ValueError, r"radius must be a positive"),
    (lambda: sdf.union(A), ValueError, r"union\(\) needs at least 2 fields \(got 1\)"),
    (lambda: sdf.union(A, lambda p: p), TypeError, r"union\(\) argument 2 must be a karvex.sdf field"),
    (lambda: A | (lambda p: p), TypeError, r"unsupported operand"),
    (lambda: sdf.scale(A, 0), ValueError, r"factor must be a positive finite number \(got 0\)"),
    (lambda: sdf.scale(lambda p: p, 2), TypeError, r"scale\(\) needs a karvex.sdf field"),
    (lambda: sdf.translate(A, (1, 2)), ValueError, r"offset must be three numbers"),
    (lambda: sdf.rotate(A), ValueError, r"needs a rotation"),
    (lambda: sdf.rotate(A, axis="z"), ValueError, r"got axis='z', degrees=None"),
    (lambda: sdf.rotate(A, np.eye(3), axis="z", degrees=3), ValueError, r"not both"),
    (lambda: sdf.rotate(A, np.eye(3) * 2), ValueError, r"matrix must be orthonormal.*use scale\(\)"),
    (lambda: sdf.rotate(A, np.diag([1.0, 1.0, -1.0])), ValueError, r"reflection"),
    (lambda: sdf.rotate(A, np.eye(2)), ValueError, r"3x3 matrix \(got shape \(2, 2\)\)"),
    (lambda: sdf.rotate(A, axis="z", degrees=float("inf")), ValueError, r"degrees must be a finite"),
    (lambda: sdf.from_function(3), TypeError, r"function must be callable"),
    (lambda: A(np.zeros((4, 2))), ValueError, r"points must be an array of shape \(N, 3\).*\(4, 2\)"),
    (lambda: A(np.zeros(3)), ValueError, r"got shape \(3,\)"),
])
def test_bad_arguments_name_the_argument_and_value(build, error, message):
    with pytest.raises(error, match=message):
        build()


def test_fields_describe_themselves():
    shape = sdf.box(0.5) - sdf.sphere(0.6)
    assert repr(shape) == ("intersection(box((0.5, 0.5, 0.5), center=(0.0, 0.0, 0.0)),"
                           " complement(sphere(0.6, center=(0.0, 0.0, 0.0))))")
