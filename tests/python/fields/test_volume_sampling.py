"""Volumes sampled natively: karvex.mesh on a grid_field reads the caller's
array in its own dtype, on the worker pool, with the NumPy form's numbers."""

import tracemalloc
import warnings

import numpy as np
import pytest

import karvex
from karvex import _native
from support.mesh_check import closed_mesh

DTYPES = [np.uint8, np.uint16, np.int16, np.float32, np.float64]


# Views of a larger array, none of them a copy: the layouts grid_field keeps.
LAYOUTS = {
    "C": lambda a: a[:5, :7, :4],
    "F": lambda a: np.asfortranarray(a[:5, :7, :4]),
    "crop": lambda a: a[2:7, 1:8, 3:7],
    "step": lambda a: a[::2, 1::2, ::3][:5, :7, :4],
    "reversed": lambda a: a[7:2:-1, :7, ::-1][:, :, :4],
    "axes swapped": lambda a: a[:7, :5, :4].transpose(1, 0, 2),
}


def random_volume(rng, dtype, shape, layout="C"):
    """Random samples of ``shape`` (as the layout's view of a larger array)."""
    big = (10, 16, 12)
    if np.dtype(dtype).kind == "f":
        samples = rng.normal(scale=100.0, size=big).astype(dtype)
    else:
        info = np.iinfo(dtype)
        samples = rng.integers(info.min, info.max, size=big, endpoint=True).astype(dtype)
    volume = LAYOUTS[layout](samples)
    assert volume.shape == shape
    return volume


def probe_points(rng, field):
    """Points off the samples, on them, on the last sample planes, and beyond
    the grid on every side (clamped)."""
    shape = np.array(field.volume.shape)
    off = rng.uniform(0.0, shape - 1.0, size=(300, 3))
    on = rng.integers(0, shape, size=(100, 3)).astype(np.float64)
    last = off[:50].copy()
    last[:, 1] = shape[1] - 1.0
    beyond = rng.uniform(-3.0, shape + 2.0, size=(200, 3))
    units = np.concatenate([off, on, last, beyond])
    return field.origin + units * field.spacing


@pytest.mark.parametrize("inside", ["below", "above"])
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_native_sampling_gives_the_numpy_forms_numbers(dtype, layout, inside):
    rng = np.random.default_rng(7)
    volume = random_volume(rng, dtype, (5, 7, 4), layout)
    field = karvex.grid_field(volume, spacing=(0.25, 0.75, 0.125), origin=(-1.0, 2.0, 0.5),
                              inside=inside)
    assert np.shares_memory(field.volume, volume)
    points = probe_points(rng, field)
    values, gradients = _native.sample_volume(field.native_volume(), points)
    expected_values, expected_gradients = field(points)
    np.testing.assert_array_equal(values, expected_values)
    np.testing.assert_array_equal(gradients, expected_gradients)
    # Both read the samples the view shows: those of a contiguous copy.
    copied = karvex.grid_field(np.ascontiguousarray(volume), spacing=field.spacing, origin=field.origin,
                               inside=inside)
    np.testing.assert_array_equal(values, copied(points)[0])
    np.testing.assert_array_equal(gradients, copied(points)[1])
    # On a sample the value is the sample itself (negated when bright is inside).
    sign = -1.0 if inside == "above" else 1.0
    on = field.origin + np.array([[2, 3, 1]]) * field.spacing
    assert _native.sample_volume(field.native_volume(), on)[0][0] == sign * float(volume[2, 3, 1])


# Corner (a, b, c) of a cell in the order the native reader returns them.
CORNERS = np.array([(a, b, c) for a in (0, 1) for b in (0, 1) for c in (0, 1)])


def corner_reader(volume, asked):
    """read_corners over a whole NumPy volume, recording the cells asked."""
    def read_corners(cells):
        asked.append(cells.copy())
        corners = cells[:, None, :] + CORNERS[None, :, :]
        return volume[tuple(corners.transpose(2, 0, 1))].astype(np.float64)
    return read_corners


@pytest.mark.parametrize("low, size", [
    ((0, 0, 0), (5, 7, 4)),  # the whole volume: nothing read beyond it
    ((0, 0, 0), (3, 4, 2)),  # a corner block
    ((2, 3, 2), (3, 4, 2)),  # the opposite corner, at the volume's far edges
    ((1, 2, 0), (3, 3, 4)),  # a column through the whole of z
])
@pytest.mark.parametrize("inside", ["below", "above"])
@pytest.mark.parametrize("dtype", DTYPES)
def test_a_window_and_its_far_samples_give_the_whole_volumes_numbers(dtype, inside, low, size):
    rng = np.random.default_rng(11)
    volume = random_volume(rng, dtype, (5, 7, 4), "F")
    field = karvex.grid_field(volume, spacing=(0.25, 0.75, 0.125), origin=(-1.0, 2.0, 0.5),
                              inside=inside)
    points = probe_points(rng, field)
    # A strided view of the whole array: read where it lies.
    window = volume[tuple(slice(a, a + n) for a, n in zip(low, size))]
    asked = []
    _, spacing, origin, above = field.native_volume()
    argument = (window, spacing, origin, above, (low, volume.shape, corner_reader(volume, asked)))
    values, gradients = _native.sample_volume(argument, points)
    expected_values, expected_gradients = field(points)
    np.testing.assert_array_equal(values, expected_values)
    np.testing.assert_array_equal(gradients, expected_gradients)
    # Only cells the window lacks are asked for, in one call per batch.
    assert len(asked) == (size != volume.shape)
    for cells in asked:
        assert cells.dtype == np.int64 and cells.shape[1] == 3
        held = ((cells >= low) & (cells + 1 < np.add(low, size))).all(axis=1)
        assert not held.any()
        assert (cells >= 0).all() and (cells + 1 < volume.shape).all()


def test_a_windows_reader_faults_propagate():
    volume = np.arange(4 * 4 * 4, dtype=np.float64).reshape(4, 4, 4)
    points = np.array([[0.5, 0.5, 0.5], [2.5, 2.5, 2.5], [0.2, 2.7, 1.0]])

    def argument(read):
        return (volume[:2, :2, :2], (1, 1, 1), (0, 0, 0), False, ((0, 0, 0), (4, 4, 4), read))

    class Refused(Exception):
        pass

    def refuse(cells):
        raise Refused(len(cells))

    with pytest.raises(Refused, match="^2$"):  # the two points beyond the window
        _native.sample_volume(argument(refuse), points)
    with pytest.raises(Refused):
        _native.extract_mesh(None, (0, 0, 0), (3, 3, 3), volume=argument(refuse),
                             min_depth=1, max_depth=2)
    with pytest.raises(ValueError, match=r"\(N, 8\)"):
        _native.sample_volume(argument(lambda cells: np.zeros((len(cells), 7))), points)


@pytest.mark.parametrize("shape, simplify", [((33, 33, 33), None), ((30, 21, 17), None),
                                              ((33, 33, 33), 0.3)])
def test_meshing_natively_matches_meshing_the_numpy_form(shape, simplify):
    """The same mesh, to the bit, from the native path and from the grid field
    called as a plain function (whose box capping is the package's NumPy
    wrapper): a volume that is not 2^k + 1 samples (the cube beyond the box
    is sampled outside the grid) and a simplified run included (its samples
    lie far enough from the box's faces that the box's distance, counted in
    the field's units natively while simplifying, wins nowhere)."""
    index = np.indices(shape).astype(np.float32)
    centre = (np.array(shape, dtype=np.float32)[:, None, None, None] - 1) / 2
    volume = np.sqrt(((index - centre) ** 2).sum(axis=0)) - np.float32(min(shape) * 0.35)
    field = karvex.grid_field(volume, spacing=0.5, origin=(1.0, 0.0, -2.0))
    native = karvex.mesh(field, max_depth=5, simplify=simplify, workers=2)
    plain = karvex.mesh(lambda p: field(p), field.bounds, max_depth=5, simplify=simplify)
    np.testing.assert_array_equal(native.vertices, plain.vertices)
    np.testing.assert_array_equal(native.faces, plain.faces)
    assert native.is_closed and native.volume > 0.0


def test_meshes_do_not_depend_on_the_worker_count():
    volume = np.random.default_rng(3).normal(size=(17, 17, 17))
    field = karvex.grid_field(volume)
    one, three = (karvex.mesh(field, max_depth=4, workers=w) for w in (1, 3))
    np.testing.assert_array_equal(one.vertices, three.vertices)
    np.testing.assert_array_equal(one.faces, three.faces)


def test_the_callers_buffer_is_the_one_sampled_and_never_copied():
    """A small ball in a 129^3 uint8 scan (2 MB): the call's Python-side
    allocations stay far below a float32 copy (8 MB), and a change to the
    caller's array shows in the next mesh."""
    n = 129
    x, y, z = np.ogrid[:n, :n, :n]
    r = np.sqrt((x - 64.0) ** 2 + (y - 64.0) ** 2 + (z - 64.0) ** 2)
    scan = np.clip(128.0 + 20.0 * (10.0 - r), 0, 255).astype(np.uint8)  # bright ball, radius 10
    field = karvex.grid_field(scan, inside="above")
    assert np.shares_memory(field.volume, scan)
    tracemalloc.start()
    try:
        ball = karvex.mesh(field, max_depth=7, level=128)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < scan.nbytes * 2
    assert abs(ball.volume / (4 / 3 * np.pi * 10.0**3) - 1.0) < 0.02
    scan[:] = 0
    with pytest.warns(karvex.EmptyMeshWarning, match="from -0 to -0"):
        assert len(karvex.mesh(field, max_depth=7, level=128).faces) == 0


@pytest.mark.parametrize("layout", ["crop", "reversed", "axes swapped"])
def test_a_view_of_a_scan_is_meshed_in_place_as_its_copy_is(layout):
    """A crop, a reversed axis or swapped axes of a uint8 scan: no copy of
    the samples, and the mesh of its contiguous copy to the bit."""
    n = 40
    x, y, z = np.ogrid[:n, :n, :n]
    r = np.sqrt((x - 21.0) ** 2 + (y - 18.0) ** 2 + (z - 20.0) ** 2)
    scan = np.clip(128.0 + 20.0 * (9.0 - r), 0, 255).astype(np.uint8)
    view = {"crop": scan[3:37, 2:35, 4:38], "reversed": scan[::-1, :, ::-1],
            "axes swapped": scan.transpose(2, 0, 1)}[layout]
    field = karvex.grid_field(view, inside="above")
    assert np.shares_memory(field.volume, scan) and not view.flags.c_contiguous
    meshed = karvex.mesh(field, level=127.5)
    copied = karvex.mesh(karvex.grid_field(view.copy(), inside="above"), level=127.5)
    np.testing.assert_array_equal(meshed.vertices, copied.vertices)
    np.testing.assert_array_equal(meshed.faces, copied.faces)
    assert meshed.is_closed and len(meshed.faces) > 1000


@pytest.mark.parametrize("dtype", DTYPES)
def test_bright_inside_gives_the_same_surface_facing_out(dtype):
    """inside="above" at a level in the samples' units meshes the very
    surface that the samples negated give at the negated level, closed and
    facing outwards, in every dtype."""
    n = 33
    x, y, z = np.ogrid[:n, :n, :n]
    r = np.sqrt((x - 16.0) ** 2 + (y - 15.0) ** 2 + (z - 17.0) ** 2)
    scan = np.clip(100.0 + 9.0 * (9.0 - r), 0, 200).round().astype(dtype)
    bright = karvex.mesh(karvex.grid_field(scan, inside="above"), max_depth=5, level=100.5)
    negated = karvex.grid_field(-scan.astype(np.float64))
    dark = karvex.mesh(negated, max_depth=5, level=-100.5)
    np.testing.assert_array_equal(bright.vertices, dark.vertices)
    np.testing.assert_array_equal(bright.faces, dark.faces)
    solid = closed_mesh(bright.vertices, bright.faces)
    assert solid.volume == pytest.approx(4 / 3 * np.pi * (9.0 - 0.5 / 9.0) ** 3, rel=0.03)


@pytest.mark.parametrize("radius, ramp", [(13.0, 4.0), (19.0, 4.0), (19.0, 6.0)])
def test_a_scan_simplifies_alike_in_uint8_and_in_float32(radius, ramp):
    """A bright ball (apart from the box's faces, and cut by them), as uint8
    and as the same numbers over 255 in float32: the same simplified mesh's
    size, closed and valid. The uint8 field is 255 times steeper; the box's
    distance, counted in units of length against it, read points just inside
    the surface as far from it as the nearest face, and the simplification
    kept four to ten times the triangles."""
    n = 33
    x, y, z = np.ogrid[:n, :n, :n]
    r = np.sqrt((x - 16.0) ** 2 + (y - 16.3) ** 2 + (z - 15.8) ** 2)
    scan = np.round(np.clip(0.5 + (radius - r) / ramp, 0, 1) * 255).astype(np.uint8)
    meshes = [karvex.mesh(karvex.grid_field(volume, inside="above"), level=level, simplify=0.5)
              for volume, level in ((scan, 127.5), (scan.astype(np.float32) / 255, 127.5 / 255))]
    counts = [len(m.faces) for m in meshes]
    assert abs(counts[0] - counts[1]) <= 0.05 * counts[1], counts
    assert counts[1] < 400  # from about 6,000 unsimplified
    for m in meshes:
        assert m.is_closed and m.check().is_valid


def box_distance(points, half):
    q = np.abs(points) - half
    return np.linalg.norm(np.maximum(q, 0.0), axis=1) + np.minimum(q.max(axis=1), 0.0)


@pytest.mark.parametrize("shape, bound", [
    # A ball of radius R: trilinear interpolation moves the crossings inwards
    # by at most h^2 / (4 R), bisection along an edge by h / 256 more; a
    # vertex where the tangent planes of crossings up to a cell diagonal
    # (sqrt(3) h) apart meet lies within 3 h^2 / (2 R) of the sphere.
    ("ball", 0.0625**2 / (4 * 0.6) + 0.0625 / 256 + 3 * 0.0625**2 / (2 * 0.6)),
    # A box whose edges fall between the samples: its distance is linear
    # across the faces but bends at the edges and corners. Being 1-Lipschitz,
    # it is interpolated within the weighted mean distance to a cell's
    # corners, at most sqrt(3) h / 2 (at the cell's centre). Swapped axes or
    # a wrong spacing would put vertices 0.1 to 0.25 off.
    ("box", 3**0.5 * 0.0625 / 2),
])
def test_sampled_analytic_volumes_mesh_within_the_interpolation_bound(shape, bound):
    n = 33
    axis = np.linspace(-1.0, 1.0, n)
    grid = np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), axis=-1).reshape(-1, 3)
    half = np.array([0.55, 0.4, 0.3])
    exact = (lambda p: np.linalg.norm(p, axis=1) - 0.6) if shape == "ball" else (
        lambda p: box_distance(p, half))
    field = karvex.grid_field(exact(grid).reshape(n, n, n).astype(np.float32), spacing=2 / (n - 1),
                              origin=(-1, -1, -1))
    mesh = karvex.mesh(field, max_depth=5)
    assert mesh.is_closed
    assert np.abs(exact(mesh.vertices)).max() <= bound


@pytest.mark.parametrize("argument, error, message", [
    ((np.zeros((2, 2, 2)), (1, 1, 1), (0, 0, 0)), TypeError, "tuple"),
    ((np.zeros((2, 2, 2), np.int32), (1, 1, 1), (0, 0, 0), False), TypeError, "uint8, uint16"),
    ((np.zeros((2, 2)), (1, 1, 1), (0, 0, 0), False), ValueError, "3-D"),
    ((np.zeros((2, 1, 2)), (1, 1, 1), (0, 0, 0), False), ValueError, "at least 2"),
    ((np.zeros((2, 2, 2)), (1, 0, 1), (0, 0, 0), False), ValueError, "spacing must be positive"),
    ((np.zeros((2, 2, 2)), (1, 1, 1), (0, np.nan, 0), False), ValueError, "origin must be finite"),
    ((np.zeros((2, 2, 2)).astype(">f8"), (1, 1, 1), (0, 0, 0), False), ValueError, "byte order"),
    ((np.zeros((2, 2, 2)), (1, 1, 1), (0, 0, 0), False, None), TypeError, "window must be a tuple"),
    ((np.zeros((2, 2, 2)), (1, 1, 1), (0, 0, 0), False, ((3, 0, 0), (4, 4, 4), print)),
     ValueError, "within the window's volume"),
    ((np.zeros((2, 2, 2)), (1, 1, 1), (0, 0, 0), False, ((0, -1, 0), (4, 4, 4), print)),
     ValueError, "offset must be three ints of at least 0"),
    ((np.zeros((2, 2, 2)), (1, 1, 1), (0, 0, 0), False, ((0, 0, 0), (4, 1, 4), print)),
     ValueError, "shape must be three ints of at least 2"),
    ((np.zeros((2, 2, 2)), (1, 1, 1), (0, 0, 0), False, ((0, 0, 0), (4, 4, 4), None)),
     TypeError, "read_corners must be callable"),
])
def test_the_native_module_refuses_volumes_it_cannot_read(argument, error, message):
    with pytest.raises(error, match=message):
        _native.sample_volume(argument, np.zeros((1, 3)))
    with pytest.raises(error, match=message):
        _native.extract_mesh(None, (0, 0, 0), (1, 1, 1), volume=argument)


def test_a_field_and_a_volume_together_are_refused():
    volume = (np.zeros((2, 2, 2)), (1.0, 1.0, 1.0), (0.0, 0.0, 0.0), False)
    with pytest.raises(TypeError, match="field=None when volume is given"):
        _native.extract_mesh(lambda p: (p[:, 0], None), (0, 0, 0), (1, 1, 1), volume=volume)
