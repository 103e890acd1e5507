"""karvex.grid_field: trilinear values, the interpolant's exact gradient,
clamping outside the grid, and a sampled ball meshed closed."""
import numpy as np
import pytest

import _karvex_rs
import karvex
from karvex import sdf
from support.mesh_check import closed_mesh

SPACING = np.array([0.5, 0.25, 2.0])
ORIGIN = np.array([1.0, -2.0, 0.5])
SHAPE = (5, 7, 4)
SLOPE = np.array([0.3, -1.2, 0.7])


def ramp(dtype=np.float64):
    """Samples of the linear function SLOPE . p + 0.25 on the grid."""
    index = np.stack(np.meshgrid(*(np.arange(n) for n in SHAPE), indexing="ij"), axis=-1)
    positions = ORIGIN + index * SPACING
    return (positions @ SLOPE + 0.25).astype(dtype)


@pytest.fixture(scope="module")
def ramp_field():
    return karvex.grid_field(ramp(), SPACING, ORIGIN)


def test_bounds_span_the_samples(ramp_field):
    far = ORIGIN + (np.array(SHAPE) - 1) * SPACING
    assert ramp_field.bounds == (tuple(ORIGIN), tuple(far))
    assert isinstance(ramp_field, sdf.Field)


def test_a_linear_ramp_is_reproduced_exactly(ramp_field):
    """Trilinear interpolation reproduces linear functions: exact values and the
    constant gradient anywhere inside, including on sample planes and the far
    border."""
    low, high = np.array(ramp_field.bounds)
    points = np.random.default_rng(1).uniform(low, high, size=(2000, 3))
    samples = ORIGIN + np.array([[0, 0, 0], [4, 6, 3], [2, 3, 1]]) * SPACING
    points = np.concatenate([points, samples, [high, low]])
    values, gradients = ramp_field(points)
    np.testing.assert_allclose(values, points @ SLOPE + 0.25, rtol=0, atol=1e-12)
    np.testing.assert_allclose(gradients, np.broadcast_to(SLOPE, points.shape), rtol=0, atol=1e-12)


def test_points_outside_are_clamped_to_the_border(ramp_field):
    low, high = np.array(ramp_field.bounds)
    inner = np.array([[1.5, -1.0, 2.0]])
    for direction, axis in ((-1, 0), (1, 1), (1, 2)):
        border = inner.copy()
        border[0, axis] = low[axis] if direction < 0 else high[axis]
        beyond = border.copy()
        beyond[0, axis] += direction * 10.0
        v_border, g_border = ramp_field(border)
        v_beyond, g_beyond = ramp_field(beyond)
        assert v_beyond[0] == v_border[0]
        assert g_beyond[0, axis] == 0.0  # constant along the crossed axis
        others = [a for a in range(3) if a != axis]
        np.testing.assert_allclose(g_beyond[0, others], SLOPE[others], atol=1e-12)
    corner = ramp_field(np.array([[-1e9, 1e9, np.inf]]))
    assert corner[0][0] == pytest.approx(np.array([low[0], high[1], high[2]]) @ SLOPE + 0.25)
    np.testing.assert_array_equal(corner[1], [[0.0, 0.0, 0.0]])


def test_gradients_are_those_of_the_interpolant():
    """On rough data: central differences inside cells (away from the faces,
    where the gradient jumps) agree with the returned gradient."""
    rng = np.random.default_rng(2)
    field = karvex.grid_field(rng.normal(size=(4, 5, 6)), spacing=(0.3, 0.2, 0.1))
    cells = rng.integers(0, [3, 4, 5], size=(500, 3))
    points = (cells + rng.uniform(0.05, 0.95, size=(500, 3))) * field.spacing
    step = 1e-6
    numeric = np.stack([(field(points + step * e)[0] - field(points - step * e)[0]) / (2 * step)
                        for e in np.eye(3)], axis=1)
    np.testing.assert_allclose(field(points)[1], numeric, rtol=1e-6, atol=1e-6)
    # At the samples themselves the value is the sample.
    i, j, k = 2, 3, 4
    assert field(np.array([[i * 0.3, j * 0.2, k * 0.1]]))[0][0] == pytest.approx(field.volume[i, j, k])


@pytest.mark.parametrize("dtype, kept", [
    (np.int16, True), (np.uint8, True), (np.uint16, True), (np.float32, True), (np.float64, True),
    (np.int32, False), (np.float16, False), (np.dtype(">f8"), False),
])
def test_native_dtypes_are_kept_and_others_converted_once(dtype, kept):
    volume = np.arange(2 * 3 * 4).reshape(2, 3, 4).astype(dtype)
    field = karvex.grid_field(volume)
    assert np.shares_memory(field.volume, volume) == kept and not field.volume.flags.writeable
    assert field.volume.dtype == (volume.dtype if kept else np.float64)
    assert volume.flags.writeable  # the caller's own array is left as it was
    assert field(np.array([[0.5, 1.0, 2.0]]))[0][0] == pytest.approx(0.5 * 12 + 4 + 2)


def test_the_field_reads_the_callers_array():
    volume = np.zeros((2, 2, 2))
    field = karvex.grid_field(volume)
    volume[:] = 5.0
    assert field(np.zeros((1, 3)))[0][0] == 5.0
    # Views that are not contiguous are kept too, read through their strides.
    whole = np.zeros((4, 4, 4))
    strided = karvex.grid_field(whole[::-2, :, 1:])
    whole[3, 0, 1] = 8.0  # sample (0, 0, 0) of the view
    assert np.shares_memory(strided.volume, whole) and strided(np.zeros((1, 3)))[0][0] == 8.0
    # A byte-swapped one is converted once.
    swapped = karvex.grid_field(whole.astype(">f8")[::2])
    assert swapped.volume.dtype == np.float64 and swapped.volume.flags.c_contiguous


def test_nan_points_give_nan_not_a_wrong_sample(ramp_field):
    values, gradients = ramp_field(np.array([[np.nan, 0.0, 1.0], [1.5, -1.0, 2.0]]))
    assert np.isnan(values[0]) and np.isnan(gradients[0]).all()
    assert np.isfinite(values[1])


@pytest.mark.parametrize("volume, kwargs, error, message", [
    (np.zeros((4, 4)), {}, ValueError, r"3-D array \(got 2 dimensions, shape \(4, 4\)\)"),
    (np.zeros((4, 1, 4)), {}, ValueError, r"at least 2 samples along each axis .* \(got shape \(4, 1, 4\)\)"),
    (np.zeros((2, 2, 2), dtype=bool), {}, TypeError, r"np.where\(mask, -1.0, 1.0\)"),
    (np.zeros((2, 2, 2), dtype=complex), {}, TypeError, r"real numbers \(got dtype complex128\)"),
    ("volume", {}, TypeError, r"3-D array of real numbers \(got str\)"),
    (np.zeros((2, 2, 2)), {"inside": "bright"}, ValueError, r"inside must be 'below' .* got 'bright'"),
    (np.full((2, 2, 2), np.nan), {}, ValueError, r"8 samples are NaN or infinite \(the first at index \(0, 0, 0\)"),
    (np.zeros((2, 2, 2)), {"spacing": 0}, ValueError, r"spacing must be a positive finite number \(got 0\)"),
    (np.zeros((2, 2, 2)), {"spacing": (1, -1, 1)}, ValueError, r"spacing must be one or three positive"),
    (np.zeros((2, 2, 2)), {"origin": (0, 0)}, ValueError, r"origin must be three numbers"),
])
def test_bad_volumes_and_geometry_are_refused(volume, kwargs, error, message):
    with pytest.raises(error, match=message):
        karvex.grid_field(volume, **kwargs)


def test_a_sampled_ball_meshes_closed_with_its_volume():
    """A ball of radius R = 0.7 sampled as a distance on 33^3 points (h = 1/16).

    Trilinear interpolation of a convex function overestimates it, by at most
    h^2 / 8 times the sum of its second derivatives along the axes (2 / R for
    |p|): the surface moves inwards by at most h^2 / (4 R) = 0.0014, which
    loses at most 3 h^2 / (4 R^2) = 0.6% of the volume. The mesh's flat
    triangles between vertices on the surface lose a little more (cell side
    1/32: about 0.1%). So the volume lies between 0.993 and 1 times 4/3 pi R^3.
    """
    radius, n = 0.7, 33
    axis = np.linspace(-1.0, 1.0, n)
    x, y, z = np.meshgrid(axis, axis, axis, indexing="ij")
    field = karvex.grid_field(np.sqrt(x * x + y * y + z * z) - radius, spacing=2 / (n - 1),
                              origin=(-1, -1, -1))
    vertices, faces = _karvex_rs.extract_mesh(field, *field.bounds, min_depth=3, max_depth=6)
    ratio = closed_mesh(vertices, faces).volume / (4.0 / 3.0 * np.pi * radius**3)
    assert 0.993 < ratio < 1.0


def test_grid_fields_combine_with_shapes(ramp_field):
    cut = ramp_field - sdf.sphere(0.5, center=(2.0, -1.0, 2.0))
    point = np.array([[2.0, -1.0, 2.0]])
    assert cut(point)[0][0] == pytest.approx(max(ramp_field(point)[0][0], 0.5))
