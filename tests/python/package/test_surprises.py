"""What karvex.mesh does where a user could be surprised: pieces it keeps or
drops, empty results, the box as the region meshed, the bounds shapes carry,
and fields written for three coordinate arrays."""

import re
import warnings

import numpy as np
import pytest
from support.mesh_check import closed_mesh

import karvex
from karvex import _engine, sdf
from karvex._field_check import CheckedField
from karvex._pieces import largest_piece
from karvex._region import BoxRegion
from karvex._wording import number
from karvex._progress import make_reporter

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))

# -- pieces ---------------------------------------------------------------

# A plate with a ball above it and a ring below, touching nothing.
PLATE_PARTS = (sdf.box((0.8, 0.8, 0.1)) | sdf.sphere(0.2, center=(0, 0, 0.6))
               | sdf.torus(0.3, 0.06, center=(0, 0, -0.6)))
# A ring of more area (and faces) than the ball but less volume.
RING_AND_BALL = sdf.torus(0.3, 0.08, center=(-0.5, 0, 0)) | sdf.sphere(0.21, center=(0.5, 0, 0))


def test_every_piece_is_kept_by_default():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        m = karvex.mesh(PLATE_PARTS, BOX, max_depth=6)
    assert len(m.components()) == 3


def test_largest_means_most_volume_and_the_warning_counts_what_was_dropped():
    every = karvex.mesh(RING_AND_BALL, BOX, max_depth=6)
    ring, ball = sorted(every.components(), key=lambda p: p.volume)
    assert len(ring.faces) > len(ball.faces) and ring.area > ball.area
    with pytest.warns(karvex.DroppedPiecesWarning) as caught:
        kept = karvex.mesh(RING_AND_BALL, BOX, max_depth=6, keep="largest")
    assert kept.volume == pytest.approx(ball.volume, rel=1e-12)
    share = 100.0 * ring.area / every.area
    assert str(caught[0].message).startswith(
        f'keep="largest" dropped 1 piece, which held {share:.1f}% of the surface area')


def test_largest_of_open_pieces_is_the_one_of_most_area():
    square = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], dtype=float)
    vertices = np.concatenate([square * 0.5, square * 2.0 + 5.0, square])
    quads = np.array([[0, 1, 2], [0, 2, 3]])
    kept = largest_piece(vertices, np.concatenate([quads, quads + 4, quads + 8]))
    assert kept.vertices.tolist() == (square * 2.0 + 5.0).tolist()
    assert kept.faces.tolist() == quads.tolist()
    assert (kept.dropped, kept.dropped_area_share) == (2, pytest.approx(1.25 / 5.25))


# -- empty results --------------------------------------------------------

MASK = np.zeros((12, 12, 12), dtype=np.uint8)
MASK[3:9, 3:9, 3:9] = 1

EMPTY = {
    "level above a sphere": (sdf.sphere(0.8), BOX, 5.0,
                             "never cross level=5.0; the box lies wholly inside the solid; "
                             "pass a level between them"),
    "0/1 mask": (karvex.grid_field(MASK), None, 5.0,
                 "run from 0 to 1 and never cross level=5.0; the box lies wholly inside the "
                 "solid; for a 0/1 mask use level=0.5"),
    "box beside the shape": (sdf.sphere(0.3), ((2, 2, 2), (3, 3, 3)), 0.0,
                             "never cross level=0.0; the box lies wholly outside the solid"),
}


@pytest.mark.parametrize("shape, bounds, level, hint", EMPTY.values(), ids=EMPTY.keys())
def test_an_empty_mesh_warns_with_the_range_the_field_returned_in_the_box(
        shape, bounds, level, hint):
    seen = []  # every box here is a cube: every point the field sees is inside it

    def field(points):
        values, gradients = shape(points)
        seen.append(values)
        return values, gradients

    field.bounds = shape.bounds
    with pytest.warns(karvex.EmptyMeshWarning) as caught:
        m = karvex.mesh(field, bounds, level=level, max_depth=4)
    assert len(m.faces) == 0
    message = str(caught[0].message)
    assert hint in message
    values = np.concatenate(seen)
    low, high = re.search(r"run from (\S+) to (\S+) and", message).groups()
    assert (low, high) == (number(values.min()), number(values.max()))


# -- the box is the region meshed -----------------------------------------

SHAPES = {
    "sphere": sdf.sphere(0.8),
    "torus": sdf.torus(0.6, 0.25, axis="x"),
    "csg": (sdf.box(0.6) - sdf.cylinder(0.3, 1.0)) | sdf.sphere(0.3, center=(0, 0, 0.6)),
}
CUTS = {
    "slab": ((-1, -1, -0.1), (1, 1, 0.1)),
    "off-centre": ((-0.5, -1, -1), (0.17, 1, 1)),
    "octant": ((0, 0, 0), (1, 1, 1)),
    "the cube itself": ((-0.7, -0.7, -0.7), (0.7, 0.7, 0.7)),
}
MODES = {"uniform": {}, "adaptive": {"adaptive": True}, "simplify": {"simplify": 1e-3}}


def _solid_volume(shape, bounds, count=200_000):
    """The volume of the shape's solid inside the box, by sampling."""
    rng = np.random.default_rng(7)
    low, high = np.array(bounds[0], float), np.array(bounds[1], float)
    points = low + rng.random((count, 3)) * (high - low)
    return float(np.prod(high - low)) * float(np.mean(shape(points)[0] < 0.0))


@pytest.mark.parametrize("mode", MODES.values(), ids=MODES.keys())
@pytest.mark.parametrize("bounds", CUTS.values(), ids=CUTS.keys())
@pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
def test_the_box_cuts_the_solid_and_closes_it_on_its_faces(shape, bounds, mode):
    m = karvex.mesh(shape, bounds, max_depth=6, **mode)
    low, high = np.array(bounds[0], float), np.array(bounds[1], float)
    assert ((m.vertices >= low) & (m.vertices <= high)).all()
    closed_mesh(m.vertices, m.faces)
    on_faces = np.isclose(m.vertices, low) | np.isclose(m.vertices, high)
    assert on_faces.any(), "no cap on the box's faces"
    assert m.volume == pytest.approx(_solid_volume(shape, bounds), rel=0.02, abs=2e-3)


@pytest.mark.parametrize("mode", MODES.values(), ids=MODES.keys())
def test_a_shape_inside_its_box_is_meshed_exactly_as_without_the_box(mode):
    """Where the field wins every sample is the field's own, bit for bit: the
    contoured mesh is the same with and without the box's cap."""
    shape = SHAPES["csg"]
    options = dict(max_depth=6, keep_all=True, adaptive=mode.get("adaptive", False),
                   simplify=mode.get("simplify"))
    alone = _engine.run(CheckedField(shape, None), *BOX, **options)
    capped = _engine.run(BoxRegion(CheckedField(shape, None), *BOX, 0.0), *BOX, **options)
    assert capped[0].tobytes() == alone[0].tobytes() and capped[1].tobytes() == alone[1].tobytes()


@pytest.mark.parametrize("low, high, rows", [
    # Inside, and on nonzero bounds: nothing moves.
    ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0), [[-1.0, 0.5, 1.0], [-0.0, 0.0, 0.25]]),
    # Past a face on each side, by different amounts.
    ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0), [[-1.0 - 3e-9, 0.5, 1.0], [0.0, 1.0 + 1e-7, 0.2]]),
    # On a zero bound with the other zero's sign: clipping writes the bound's.
    ((0.0, 0.0, 0.0), (2.0, 2.0, 2.0), [[-0.0, 1.0, 1.0], [1.0, 0.0, 1.0]]),
    ((-2.0, -2.0, -0.0), (2.0, 2.0, 0.0), [[0.0, 1.0, 0.0], [1.0, -0.0, -0.0]]),
    # Zero bounds, the flipped zero in the one column of three that holds a
    # zero; and zero bounds with no zero in any column.
    ((0.0, 0.0, 0.0), (2.0, 2.0, 2.0), [[0.5, 1.0, -0.0], [1.5, 1.0, 1.0]]),
    ((0.0, -2.0, 0.0), (2.0, 0.0, 2.0), [[0.5, -1.0, 1.5], [1.0, -0.25, 2.0]]),
    # Not finite: the move is NaN, as the moves' own maximum would be.
    ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0), [[np.nan, 0.0, 0.0], [0.5, 0.5, 0.5]]),
])
def test_clamping_gives_the_clipped_bits_and_the_longest_move(low, high, rows):
    region = BoxRegion(CheckedField(sdf.sphere(0.5), None), low, high, 0.0)
    vertices = np.array(rows * 50, dtype=np.float64)
    given = vertices.copy()
    clipped = np.clip(vertices, np.array(low), np.array(high))
    clamped, longest = region.clamp(vertices)
    assert clamped.tobytes() == clipped.tobytes()
    assert vertices.tobytes() == given.tobytes()
    expected = np.abs(clipped - vertices).max()
    assert np.array_equal(longest, expected, equal_nan=True)


def test_a_slab_of_a_sphere_is_its_slice_not_the_whole_sphere():
    m = karvex.mesh(sdf.sphere(0.8), ((-1, -1, -0.1), (1, 1, 0.1)), max_depth=7)
    assert m.bounds[0][2] == -0.1 and m.bounds[1][2] == 0.1
    exact = np.pi * (0.64 * 0.2 - 2 * 0.1**3 / 3)  # the ball's slice |z| < 0.1
    assert m.volume == pytest.approx(exact, rel=2e-3)


# -- bounds of shapes -----------------------------------------------------

TURN = sdf.axis_angle_matrix((1, 2, 3), 40)
BOUNDED = {
    "sphere": sdf.sphere(0.5, center=(0.1, -0.2, 0.3)),
    "box": sdf.box((0.3, 0.5, 0.2), center=(0.2, 0, 0)),
    "rounded box": sdf.rounded_box(0.4, 0.1),
    "cylinder, slanted": sdf.cylinder(0.2, 0.5, axis=(1, 1, 0)),
    "capsule": sdf.capsule((-0.4, 0, 0), (0.3, 0.3, 0.1), 0.15),
    "torus, slanted": sdf.torus(0.5, 0.1, axis=(0, 1, 1)),
    "union": sdf.sphere(0.3, center=(-0.5, 0, 0)) | sdf.box(0.2, center=(0.5, 0.2, 0)),
    "intersection": sdf.sphere(0.6) & sdf.box((1.0, 0.2, 1.0)),
    "difference": sdf.box(0.5) - sdf.sphere(0.6, center=(0.5, 0.5, 0.5)),
    "smooth union": sdf.smooth_union(sdf.sphere(0.3, center=(-0.3, 0, 0)),
                                     sdf.sphere(0.3, center=(0.3, 0, 0)), 0.3),
    "smooth difference": sdf.smooth_difference(sdf.box(0.5), sdf.sphere(0.4), 0.1),
    "rotated": sdf.box((0.6, 0.1, 0.2)).rotate(TURN),
    "moved and scaled": sdf.torus(0.3, 0.1).translate((0.2, 0.1, 0)).scale(1.5),
    "clipped lattice": sdf.gyroid(0.5, 0.05) & sdf.sphere(0.7),
    "grid": karvex.grid_field(np.linalg.norm(np.mgrid[-4:5, -4:5, -4:5], axis=0) - 2.5,
                              spacing=0.2, origin=(-0.8, -0.8, -0.8)),
}


@pytest.mark.parametrize("shape", BOUNDED.values(), ids=BOUNDED.keys())
def test_bounds_contain_the_solid_and_mesh_uses_them(shape):
    low, high = np.array(shape.bounds)
    size = high - low
    rng = np.random.default_rng(5)
    points = low - size + rng.random((200_000, 3)) * 3 * size
    inside = points[shape(points)[0] < 0.0]
    assert len(inside) > 100
    assert ((inside >= low) & (inside <= high)).all()
    m = karvex.mesh(shape, max_depth=6)  # the shape's bounds, padded by a cell
    assert m.is_closed
    cell = size.max() / 64
    assert ((m.vertices >= low - 1.01 * cell) & (m.vertices <= high + 1.01 * cell)).all()


def test_tight_bounds_of_primitives_are_reached_by_their_meshes():
    for name in ("sphere", "box", "cylinder, slanted", "capsule", "torus, slanted"):
        shape = BOUNDED[name]
        m = karvex.mesh(shape, max_depth=7)
        cell = np.subtract(shape.bounds[1], shape.bounds[0]).max() / 128
        np.testing.assert_allclose(m.bounds, shape.bounds, atol=2 * cell, err_msg=name)


@pytest.mark.parametrize("shape", [sdf.plane("z"), sdf.gyroid(1.0, 0.1), -sdf.sphere(1.0),
                                   sdf.sphere(0.5) | sdf.plane("x")],
                         ids=["plane", "gyroid", "complement", "union with a plane"])
def test_unbounded_shapes_say_so_and_need_a_box(shape):
    assert shape.bounds is None
    with pytest.raises(ValueError, match=r"is unbounded .* intersect the shape with a bounded one"):
        karvex.mesh(shape)
    assert karvex.mesh(shape, BOX, max_depth=4).is_closed  # capped by the box


def test_a_plain_callable_needs_a_box_and_from_function_can_carry_one():
    def ball(points):
        return np.linalg.norm(points, axis=1) - 0.5, None

    with pytest.raises(TypeError, match=r"does not carry bounds .* pass the box"):
        karvex.mesh(ball)
    m = karvex.mesh(sdf.from_function(ball, bounds=((-0.5,) * 3, (0.5,) * 3)), max_depth=5)
    assert m.is_closed and np.abs(m.bounds).max() == pytest.approx(0.5, abs=0.02)


# -- progress and small things --------------------------------------------

def test_a_callable_sees_each_stage_end_once():
    reports = []
    report = make_reporter(lambda *r: reports.append(r))
    for triple in [("crossings", 0, 4), ("crossings", 4, 4), ("crossings", 4, 4),
                   ("faces", 1, 1), ("crossings", 2, 2)]:
        report(*triple)
    assert reports == [("crossings", 0, 4), ("crossings", 4, 4), ("faces", 1, 1),
                       ("crossings", 2, 2)]


def _three(x, y, z):
    return np.sqrt(x * x + y * y + z * z) - 0.5, None


def _with_default(points, scale=1.0):
    raise TypeError("the field's own TypeError")


@pytest.mark.parametrize("field, message", [
    (_three, r"takes three positional parameters, like f\(x, y, z\).* lambda p: "
             r"f\(p\[:, 0\], p\[:, 1\], p\[:, 2\]\)"),
    (lambda x, y, z: _three(x, y, z), r"takes three positional parameters"),
    (_with_default, r"^the field's own TypeError$"),
], ids=["function", "lambda", "other TypeError unchanged"])
def test_a_field_of_three_coordinates_gets_a_hint(field, message):
    with pytest.raises(TypeError, match=message):
        karvex.mesh(field, BOX, max_depth=3)
