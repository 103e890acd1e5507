"""karvex.mesh and karvex.Mesh under hostile use: shapes far from the origin,
fields that change their input or return odd arrays, many pieces."""

import numpy as np
import pytest

import karvex
from karvex import sdf
from karvex.errors import FieldError
from support.fields import BOX
from support.fields import sphere as ball

sphere = ball(0.7)


@pytest.mark.parametrize("offset", [1e4, 1e5, 1e6])
def test_volume_and_area_do_not_depend_on_where_the_mesh_lies(offset):
    centre = np.full(3, offset)
    far = karvex.mesh(sdf.sphere(0.7, centre), (tuple(centre - 1), tuple(centre + 1)),
                      max_depth=6)
    # The same triangles moved to the origin (exactly: the offset is a power
    # of ten far above the coordinates' fraction bits lost to it).
    near = karvex.Mesh(far.vertices - centre, far.faces)
    assert far.is_closed
    assert far.volume == pytest.approx(near.volume, rel=1e-9)
    assert far.area == pytest.approx(near.area, rel=1e-9)
    assert near.volume == pytest.approx(4 / 3 * np.pi * 0.7**3, rel=2e-3)


def test_a_field_that_changes_its_points_does_not_move_the_vertices():
    def shifting(points):
        result = sphere(points)
        points -= (0.1, 0.0, 0.0)  # the field's own array, to keep or change
        return result

    plain = karvex.mesh(sphere, BOX, max_depth=4)
    changed = karvex.mesh(shifting, BOX, max_depth=4, normals=True, batch_size=100)
    np.testing.assert_array_equal(changed.vertices, plain.vertices)
    np.testing.assert_array_equal(changed.faces, plain.faces)
    np.testing.assert_allclose(changed.normals, plain.vertices / 0.7, atol=0.05)


@pytest.mark.parametrize("values, message", [
    (lambda p: (np.round(100 * sphere(p)[0] + 100).astype(np.uint16), None),
     r"values are unsigned integers \(uint16\).*astype\(np.float64\)"),
    (lambda p: (np.ma.masked_array(sphere(p)[0], mask=p[:, 0] > 0.9), None),
     r"values are a masked array.*filled\(value\)"),
    (lambda p: (sphere(p)[0], np.ma.masked_invalid(sphere(p)[1])),
     r"gradients are a masked array"),
], ids=["unsigned", "masked values", "masked gradients"])
def test_values_the_mesher_cannot_honour_are_refused(values, message):
    with pytest.raises(FieldError, match=message):
        karvex.mesh(values, BOX, max_depth=3)


def test_the_workers_limit_is_named_by_karvex_mesh():
    with pytest.raises(ValueError, match=r"^workers must be at most 1024, got 1000000; omit it"):
        karvex.mesh(sphere, BOX, max_depth=3, workers=10**6)


def test_many_pieces_keep_their_order_and_numbering():
    """Pieces sorted by size then first face, each with its faces in order and
    its vertices renumbered in order, for pieces interleaved in the arrays."""
    rng = np.random.default_rng(7)
    tet_v = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], float)
    tet_f = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])
    count = 300
    faces_per = rng.integers(1, 5, size=count)  # open pieces of 1 to 4 faces
    vertices = (tet_v[None] + 3.0 * np.arange(count)[:, None, None]).reshape(-1, 3)
    faces = np.concatenate([tet_f[:k] + 4 * i for i, k in enumerate(faces_per)])
    faces = faces[rng.permutation(len(faces))]
    order = rng.permutation(len(vertices))  # shuffle the vertex numbering too
    inverse = np.argsort(order)
    mesh = karvex.Mesh(vertices[order], inverse[faces], normals=vertices[order] * 2)

    pieces = mesh.components()
    piece_of_face = faces[:, 0] // 4
    first = {p: int(np.flatnonzero(piece_of_face == p)[0]) for p in range(count)}
    keys = sorted(range(count), key=lambda p: (-faces_per[p], first[p]))
    assert [len(p.faces) for p in pieces] == [int(faces_per[k]) for k in keys]
    for piece, k in zip(pieces, keys):
        own = mesh.faces[piece_of_face == k]
        used = np.unique(own)
        np.testing.assert_array_equal(piece.vertices, mesh.vertices[used])
        np.testing.assert_array_equal(piece.normals, mesh.normals[used])
        np.testing.assert_array_equal(used[piece.faces], own)


def test_a_wrapped_function_that_changes_its_points_leaves_the_others_theirs():
    def shifting(points):
        values = np.linalg.norm(points, axis=1) - 0.5
        points += 10.0
        return values, None

    shape = sdf.from_function(shifting) | sdf.sphere(0.3, (0.6, 0.0, 0.0))
    points = np.array([[0.6, 0.0, 0.0], [0.0, 0.0, 0.0]])
    values, gradients = shape(points)
    np.testing.assert_allclose(values, [-0.3, -0.5])
    np.testing.assert_allclose(gradients[1], [0.0, 0.0, 0.0], atol=1e-6)
    np.testing.assert_array_equal(points, [[0.6, 0.0, 0.0], [0.0, 0.0, 0.0]])


def test_a_field_exception_named_like_the_native_panic_passes_through():
    class PanicException(Exception):
        pass

    def field(points):
        raise PanicException("the field's own failure")

    with pytest.raises(PanicException, match="the field's own failure"):
        karvex.mesh(field, BOX, max_depth=3)
