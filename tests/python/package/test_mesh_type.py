"""karvex.Mesh: properties on known solids, pieces, export and construction."""

import sys

import numpy as np
import pytest

import karvex
from support.fields import BALL as sphere
from support.fields import BOX, torus

# The unit cube [0, 1]^3 with outward-facing triangles.
CUBE_VERTICES = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], float)
CUBE_FACES = np.array([
    [0, 1, 3], [0, 3, 2], [4, 6, 7], [4, 7, 5],  # x = 0, x = 1
    [0, 4, 5], [0, 5, 1], [2, 3, 7], [2, 7, 6],  # y = 0, y = 1
    [0, 2, 6], [0, 6, 4], [1, 5, 7], [1, 7, 3],  # z = 0, z = 1
])
TETRAHEDRON = (np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], float),
               np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]))


def cube(offset=(0.0, 0.0, 0.0), scale=1.0):
    return karvex.Mesh(CUBE_VERTICES * scale + offset, CUBE_FACES)


def test_unit_cube_measures_exactly():
    m = cube()
    assert (m.volume, m.area) == (1.0, 6.0)
    assert (m.is_closed, m.is_oriented, m.euler_characteristic) == (True, True, 2)
    assert cube(offset=(5.0, -3.0, 2.0), scale=2.0).volume == 8.0


def test_inside_out_cube_has_negative_volume():
    assert karvex.Mesh(CUBE_VERTICES, CUBE_FACES[:, ::-1]).volume == -1.0


@pytest.mark.parametrize("edit, closed, oriented, euler", [
    ("drop a face", False, True, 1),
    ("flip a face", True, False, 2),
    ("duplicate a face", False, False, 3),
], ids=lambda x: x if isinstance(x, str) else "")
def test_damaged_cube(edit, closed, oriented, euler):
    faces = CUBE_FACES.copy()
    if edit == "drop a face":
        faces = faces[1:]
    elif edit == "flip a face":
        faces[3] = faces[3, ::-1]
    else:
        faces = np.vstack([faces, faces[:1]])
    m = karvex.Mesh(CUBE_VERTICES, faces)
    assert (m.is_closed, m.is_oriented, m.euler_characteristic) == (closed, oriented, euler)


@pytest.mark.parametrize("field, euler", [(sphere, 2), (torus(), 0)], ids=["sphere", "torus"])
def test_meshed_surfaces_have_their_euler_characteristic(field, euler):
    m = karvex.mesh(field, BOX, max_depth=5)
    assert (m.is_closed, m.is_oriented, m.euler_characteristic) == (True, True, euler)


def test_meshed_sphere_measures_close_to_the_sphere():
    m = karvex.mesh(sphere, BOX, max_depth=5)
    assert m.volume == pytest.approx(4 / 3 * np.pi * 0.7**3, rel=5e-3)
    assert m.area == pytest.approx(4 * np.pi * 0.7**2, rel=5e-3)


def test_components_split_disjoint_solids_largest_first():
    """A tetrahedron, then two cubes; the pieces come largest first, ties in
    the order of their first face, each with its own vertices renumbered."""
    tet_v, tet_f = TETRAHEDRON
    vertices = np.vstack([tet_v + 10, CUBE_VERTICES + 3, CUBE_VERTICES, [[99.0, 99.0, 99.0]]])
    faces = np.vstack([tet_f, CUBE_FACES + 12, CUBE_FACES + 4])
    normals = np.arange(vertices.size, dtype=float).reshape(-1, 3)
    pieces = karvex.Mesh(vertices, faces, normals).components()
    assert [len(p.faces) for p in pieces] == [12, 12, 4]
    first, second, third = pieces
    np.testing.assert_array_equal(first.vertices, CUBE_VERTICES)  # its first face comes first
    np.testing.assert_array_equal(first.faces, CUBE_FACES)
    np.testing.assert_array_equal(first.normals, normals[12:20])
    np.testing.assert_array_equal(second.vertices, CUBE_VERTICES + 3)
    np.testing.assert_array_equal(third.faces, tet_f)
    assert [p.volume for p in pieces] == [1.0, 1.0, pytest.approx(1 / 6)]
    assert all(p.is_closed and p.euler_characteristic == 2 for p in pieces)


def test_components_of_a_long_strip_stay_one_piece():
    """A strip of 2000 triangles whose vertex numbers alternate between the
    ends: connectivity must not depend on the vertex order."""
    n = 1001
    order = np.empty(2 * n, dtype=np.int64)
    order[0::2], order[1::2] = np.arange(n), np.arange(2 * n - 1, n - 1, -1)
    faces = np.array([[order[i], order[i + 1], order[i + 2]] for i in range(2 * n - 2)])
    vertices = np.random.default_rng(0).random((2 * n, 3))
    (piece,) = karvex.Mesh(vertices, faces).components()
    assert len(piece.faces) == 2 * n - 2


def test_arrays_are_read_only_and_copied():
    vertices = CUBE_VERTICES.copy()
    m = karvex.Mesh(vertices, CUBE_FACES)
    vertices[0] = 7.0
    assert m.vertices[0].tolist() == [0.0, 0.0, 0.0]
    with pytest.raises(ValueError, match="read-only"):
        m.vertices[0] = 1.0
    assert karvex.mesh(sphere, BOX, max_depth=3).faces.flags.writeable is False


@pytest.mark.parametrize("vertices, faces, normals, error, message", [
    (np.zeros((4, 2)), [[0, 1, 2]], None, ValueError, r"vertices must have shape \(V, 3\)"),
    (np.zeros((4, 3)), [[0, 1, 2, 3]], None, ValueError, r"faces must have shape \(F, 3\)"),
    (np.zeros((4, 3)), [[0.0, 1.0, 2.0]], None, TypeError, r"faces must be integer indices"),
    (np.zeros((4, 3)), [[0, 1, 4]], None, ValueError,
     r"faces must index the 4 vertices \(0 to 3\), got indices from 0 to 4"),
    (np.zeros((4, 3)), [[0, -1, 2]], None, ValueError, r"got indices from -1 to 2"),
    (np.zeros((4, 3)), [[0, 1, 2]], np.zeros((3, 3)), ValueError,
     r"normals must have the shape of vertices \(4, 3\), got \(3, 3\)"),
])
def test_constructor_rejects_inconsistent_arrays(vertices, faces, normals, error, message):
    with pytest.raises(error, match=message):
        karvex.Mesh(vertices, faces, normals)


def test_repr_is_short():
    assert repr(cube()) == "<karvex.Mesh: 8 vertices, 12 faces>"
    assert repr(karvex.Mesh([], [], [])) == "<karvex.Mesh: 0 vertices, 0 faces, with normals>"


@pytest.mark.parametrize("suffix", ["stl", "ply"])
def test_export_round_trip(tmp_path, suffix):
    trimesh = pytest.importorskip("trimesh")
    m = karvex.mesh(sphere, BOX, max_depth=4)
    path = tmp_path / f"sphere.{suffix}"
    m.export(path)
    loaded = trimesh.load(path, process=False)
    # Both formats store float32 coordinates; STL stores each triangle's
    # corners on their own, PLY the shared vertices and the faces.
    expected = m.vertices.astype(np.float32)
    if suffix == "stl":
        np.testing.assert_array_equal(loaded.vertices[loaded.faces], expected[m.faces])
    else:
        np.testing.assert_array_equal(loaded.vertices, expected)
        np.testing.assert_array_equal(loaded.faces, m.faces)


def test_to_trimesh_keeps_arrays_and_normals():
    pytest.importorskip("trimesh")
    m = karvex.mesh(sphere, BOX, max_depth=4, normals=True)
    t = m.to_trimesh()
    np.testing.assert_array_equal(t.vertices, m.vertices)
    np.testing.assert_array_equal(t.faces, m.faces)
    np.testing.assert_allclose(t.vertex_normals, m.normals)
    assert t.is_watertight and t.volume == pytest.approx(m.volume)


@pytest.mark.parametrize("call", ["to_trimesh", "export"])
def test_missing_trimesh_names_the_extra(monkeypatch, tmp_path, call):
    monkeypatch.setitem(sys.modules, "trimesh", None)  # makes `import trimesh` fail
    m = cube()
    method = m.to_trimesh if call == "to_trimesh" else lambda: m.export(tmp_path / "c.stl")
    with pytest.raises(ImportError, match=r"needs trimesh, .*pip install karvex\[io\]"):
        method()
    assert not (tmp_path / "c.stl").exists()
