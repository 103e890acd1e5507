"""Every primitive, boolean and transform of karvex.sdf in one table: values
against closed forms, gradients against central differences, and the form of
the result the mesher relies on."""
import numpy as np
import pytest

from karvex import sdf

RNG_SEED = 20240611


def _rho(p):
    return np.hypot(p[:, 0], p[:, 1])


def _box_distance(p, h):
    # Outside: to the nearest point of the box (the point clamped into it);
    # inside: to the nearest face.
    outside = np.linalg.norm(p - np.clip(p, -h, h), axis=1)
    inside = -np.min(h - np.abs(p), axis=1)
    return np.where(outside > 0, outside, inside)


def _cylinder_z(p, r, h):
    across, along = _rho(p) - r, np.abs(p[:, 2]) - h
    outside = np.hypot(np.maximum(across, 0), np.maximum(along, 0))
    return np.where(outside > 0, outside, np.maximum(across, along))


H = np.array([0.5, 0.3, 0.4])
ROT = sdf.axis_angle_matrix((1.0, 2.0, 0.5), 40.0)
A, B = sdf.sphere(0.5, center=(0.2, 0, 0)), sdf.box((0.4, 0.3, 0.5), center=(-0.2, 0.1, 0))

# (id, field, closed form of its value or None when the table only checks gradients)
CASES = [
    ("sphere", sdf.sphere(0.6, center=(0.1, -0.2, 0.05)),
     lambda p: np.linalg.norm(p - (0.1, -0.2, 0.05), axis=1) - 0.6),
    ("box", sdf.box(H), lambda p: _box_distance(p, H)),
    ("cube", sdf.box(0.5, center=(0.1, 0, 0)), lambda p: _box_distance(p - (0.1, 0, 0), 0.5)),
    ("rounded_box", sdf.rounded_box(H, 0.1), lambda p: _box_distance(p, H - 0.1) - 0.1),
    ("cylinder", sdf.cylinder(0.4, 0.6), lambda p: _cylinder_z(p, 0.4, 0.6)),
    ("cylinder_x", sdf.cylinder(0.4, 0.6, center=(0, 0.1, 0), axis="x"),
     lambda p: _cylinder_z((p - (0, 0.1, 0))[:, [1, 2, 0]], 0.4, 0.6)),
    ("capsule", sdf.capsule((0, 0, -0.5), (0, 0, 0.5), 0.3),
     lambda p: np.hypot(_rho(p), np.maximum(np.abs(p[:, 2]) - 0.5, 0)) - 0.3),
    ("torus", sdf.torus(0.6, 0.2), lambda p: np.hypot(_rho(p) - 0.6, p[:, 2]) - 0.2),
    ("plane", sdf.plane((0, 3, 4), point=(0, 0, 0.2)), lambda p: 0.6 * p[:, 1] + 0.8 * (p[:, 2] - 0.2)),
    ("gyroid", sdf.gyroid(0.8, 0.1), lambda p: np.abs(
        np.sin(2 * np.pi / 0.8 * p[:, 0]) * np.cos(2 * np.pi / 0.8 * p[:, 1])
        + np.sin(2 * np.pi / 0.8 * p[:, 1]) * np.cos(2 * np.pi / 0.8 * p[:, 2])
        + np.sin(2 * np.pi / 0.8 * p[:, 2]) * np.cos(2 * np.pi / 0.8 * p[:, 0])) * 0.8 / (2 * np.pi) - 0.05),
    ("union", A | B, lambda p: np.minimum(A(p)[0], B(p)[0])),
    ("union3", sdf.union(A, B, sdf.sphere(0.2, center=(0, 0, 0.6))),
     lambda p: np.minimum(np.minimum(A(p)[0], B(p)[0]), np.linalg.norm(p - (0, 0, 0.6), axis=1) - 0.2)),
    ("intersection", A & B, lambda p: np.maximum(A(p)[0], B(p)[0])),
    ("difference", A - B, lambda p: np.maximum(A(p)[0], -B(p)[0])),
    ("complement", -A, lambda p: -A(p)[0]),
    ("smooth_union", sdf.smooth_union(A, B, 0.2), None),
    ("smooth_intersection", sdf.smooth_intersection(A, B, 0.2), None),
    ("smooth_difference", sdf.smooth_difference(A, B, 0.2), None),
    ("translate", sdf.translate(sdf.box(H), (0.1, 0.2, -0.1)), lambda p: _box_distance(p - (0.1, 0.2, -0.1), H)),
    ("rotate", sdf.rotate(sdf.box(H), ROT), lambda p: _box_distance(p @ ROT, H)),
    ("rotate_axis", sdf.rotate(sdf.torus(0.6, 0.2), axis="x", degrees=90),
     lambda p: np.hypot(np.hypot(p[:, 0], p[:, 2]) - 0.6, p[:, 1]) - 0.2),
    ("scale", sdf.scale(sdf.box(H), 1.7), lambda p: 1.7 * _box_distance(p / 1.7, H)),
    ("from_function", sdf.from_function(lambda p: (np.linalg.norm(p, axis=1) - 0.5, None)),
     lambda p: np.linalg.norm(p, axis=1) - 0.5),
    ("csg_tree", (sdf.box(0.5) - sdf.cylinder(0.2, 1.0, axis="y")).rotate(ROT).translate((0.1, 0, 0))
     | sdf.sphere(0.3).scale(0.5), None),
]
IDS = [case[0] for case in CASES]


@pytest.fixture(scope="module")
def points():
    return np.random.default_rng(RNG_SEED).uniform(-1.0, 1.0, size=(3000, 3))


CLOSED_FORMS = [case for case in CASES if case[2] is not None]  # blends: see test_sdf_composition


@pytest.mark.parametrize("name, field, exact", CLOSED_FORMS, ids=[c[0] for c in CLOSED_FORMS])
def test_values_match_closed_forms(name, field, exact, points):
    np.testing.assert_allclose(field(points)[0], exact(points), rtol=0, atol=1e-12)


@pytest.mark.parametrize("name, field, exact", CASES, ids=IDS)
def test_gradients_match_central_differences(name, field, exact, points, fd, smooth):
    where = smooth(field, points)
    assert len(where) > 0.85 * len(points), "too few points away from the creases"
    np.testing.assert_allclose(field(where)[1], fd(field, where, 1e-6), rtol=0, atol=2e-6)


@pytest.mark.parametrize("name, field, exact", CASES, ids=IDS)
def test_result_form(name, field, exact, points):
    """float64, C-contiguous, (N,) and (N, 3), also for one point and none; the
    input is left untouched."""
    for batch in (points[:1], points[:0], points[::2]):  # a strided view too
        before = batch.copy()
        values, gradients = field(batch)
        assert values.dtype == gradients.dtype == np.float64
        assert values.shape == (len(batch),) and gradients.shape == (len(batch), 3)
        assert values.flags.c_contiguous and gradients.flags.c_contiguous
        np.testing.assert_array_equal(batch, before)


DISTANCE_FIELDS = [case for case in CASES if case[0] not in ("gyroid", "from_function")
                   and not case[0].startswith("smooth")]


@pytest.mark.parametrize("name, field, exact", DISTANCE_FIELDS, ids=[c[0] for c in DISTANCE_FIELDS])
def test_gradients_are_unit_vectors(name, field, exact, points):
    lengths = np.linalg.norm(field(points)[1], axis=1)
    np.testing.assert_allclose(lengths, 1.0, atol=1e-12)


@pytest.mark.parametrize("field, where", [
    (sdf.sphere(0.5, center=(0.1, 0.2, 0.3)), [(0.1, 0.2, 0.3)]),
    (sdf.box(0.5), [(0, 0, 0), (0.5, 0.5, 0.5), (0.5, 0, 0)]),
    (sdf.box((0.5, 0.5, 0.2)), [(0, 0, 0), (0.3, 0.3, 0)]),
    (sdf.cylinder(0.3, 0.5, axis=(1, 1, 0)), [(0, 0, 0), (0.2, 0.2, 0), (-1, -1, 0)]),
    (sdf.capsule((0, 0, 0), (1, 1, 1), 0.2), [(0, 0, 0), (0.5, 0.5, 0.5), (1, 1, 1)]),
    (sdf.capsule((0.5, 0, 0), (0.5, 0, 0), 0.2), [(0.5, 0, 0)]),
    (sdf.torus(0.6, 0.2), [(0, 0, 0), (0, 0, 0.7), (0.6, 0, 0), (0, -0.6, 0)]),
    (sdf.torus(0.6, 0.2, axis="y"), [(0, 0, 0), (0, 0, 0.6)]),
    (sdf.rounded_box(0.5, 0.5), [(0, 0, 0)]),
], ids=["sphere", "box", "slab_box", "cylinder", "capsule", "point_capsule", "torus", "torus_y",
        "ball_box"])
def test_gradients_are_finite_unit_vectors_where_undefined(field, where):
    """Centres, axes, core circles and medial sheets: one of the one-sided
    gradients, never NaN and never zero."""
    values, gradients = field(np.array(where, dtype=float))
    assert np.isfinite(values).all()
    np.testing.assert_allclose(np.linalg.norm(gradients, axis=1), 1.0, atol=1e-12)


def test_tiny_offsets_from_a_centre_stay_finite():
    offsets = np.array([[1e-160, 0, 0], [0, 5e-324, 0], [1e-300, 1e-300, 1e-300]])
    for field in (sdf.sphere(1.0), sdf.torus(1.0, 0.5), sdf.cylinder(1.0, 1.0)):
        values, gradients = field(offsets)
        assert np.isfinite(values).all() and np.isfinite(gradients).all()


def test_evaluation_is_the_same_in_any_batch(points):
    """Each row is computed by the same operations whatever the batch, so
    chunked or distributed evaluation gives the same bits."""
    field = CASES[-1][1]
    whole = field(points)
    parts = [field(points[i:i + 7]) for i in range(0, len(points), 7)]
    for k in range(2):
        np.testing.assert_array_equal(whole[k], np.concatenate([part[k] for part in parts]))
