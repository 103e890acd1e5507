"""Each step of the repair on the smallest mesh that needs it."""

import numpy as np
import pytest

import karvex
from karvex import _repair, _validity
from karvex._engine import _native_module

TET_V = [[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]]
TET_F = [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]
OCTA_V = [[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]]
OCTA_F = [[0, 2, 4], [2, 1, 4], [1, 3, 4], [3, 0, 4], [2, 0, 5], [1, 2, 5], [3, 1, 5], [0, 3, 5]]


def _arrays(vertices, faces):
    return np.asarray(vertices, dtype=np.float64), np.asarray(faces, dtype=np.int64)


def _repaired_mesh(vertices, faces):
    result = _repair.repair(*_arrays(vertices, faces))
    return result, karvex.Mesh(result.vertices, result.faces)


@pytest.mark.parametrize("owned", [False, True])
def test_valid_mesh_is_left_as_it_is(owned):
    v, f = _arrays(OCTA_V, OCTA_F)
    result = _repair.repair(v, f, owned=owned)
    assert np.array_equal(result.vertices, v) and np.array_equal(result.faces, f)
    # The caller's array is not handed back to be changed, unless the caller
    # hands it over (the mesher: no copy of a large mesh's positions).
    assert (result.vertices is v) == owned
    assert (result.split_vertices, result.moved_vertices, result.unresolved_faces) == (0, 0, 0)


def test_repeated_index_face_is_dropped():
    result, mesh = _repaired_mesh(TET_V, TET_F + [[1, 1, 2]])
    assert mesh.check().is_valid and len(mesh.faces) == 4


@pytest.mark.parametrize(
    "name, vertices, faces",
    [
        ("bowtie: two tetrahedra sharing a vertex",
         TET_V + [[-1, 0, 0], [0, -1, 0], [0, 0, -1]],
         TET_F + [[0, 4, 5], [0, 6, 4], [0, 5, 6], [4, 6, 5]]),
        ("two tetrahedra sharing an edge",
         TET_V + [[0, -1, 0], [-1, 0, 0]],
         TET_F + [[0, 4, 5], [0, 5, 3], [0, 3, 4], [5, 4, 3]]),
    ],
)
def test_sheets_get_their_own_vertices_and_move_apart(name, vertices, faces):
    before = karvex.Mesh(vertices, faces).check()
    assert not before.is_valid
    result, mesh = _repaired_mesh(vertices, faces)
    assert result.split_vertices >= 1 and result.unresolved_faces == 0
    assert mesh.check().is_valid
    assert len(mesh.components()) == 2  # the two solids stay two
    assert mesh.volume == pytest.approx(2 / 6, rel=0.5)


def test_split_sheets_copies_the_shared_vertex_in_place():
    v, f = _arrays(TET_V + [[-1, 0, 0], [0, -1, 0], [0, 0, -1]],
                   TET_F + [[0, 4, 5], [0, 6, 4], [0, 5, 6], [4, 6, 5]])
    new_v, new_f, copies = _repair.split_sheets(v, f)
    assert copies == 1 and len(new_v) == 8
    assert np.array_equal(new_v[7], v[0])  # the copy starts where its original is
    assert (new_f[4:] == 7).any(axis=1).sum() == 3  # the second tetrahedron uses it
    assert not (new_f[:4] == 7).any()


def test_part_shared_edges_splits_an_extra_pair_at_the_midpoint():
    """Two tetrahedra on one edge, without the vertex split: the second
    pair of triangles round the edge gets its own midpoint vertex."""
    v, f = _arrays(TET_V + [[0, -1, 0], [-1, 0, 0]],
                   TET_F + [[0, 4, 5], [0, 5, 3], [0, 3, 4], [5, 4, 3]])
    new_v, new_f, added = _repair.part_shared_edges(v, f)
    assert added == 1 and len(new_f) == len(f) + 2
    assert np.allclose(new_v[-1], [0, 0, 0.5])
    mesh = karvex.Mesh(new_v, new_f)
    counts = mesh.check()
    assert counts.nonmanifold_edges == 0 and counts.misoriented_edges == 0
    assert counts.boundary_edges == 0 and mesh.volume == pytest.approx(2 / 6)


def test_folded_vertex_is_relaxed_out_of_the_fold():
    """An octahedron whose top vertex is pushed down through two of the
    bottom triangles."""
    vertices = [list(p) for p in OCTA_V]
    vertices[4] = [0.3, 0.2, -0.9]
    assert karvex.Mesh(vertices, OCTA_F).check().intersecting_pairs > 0
    result, mesh = _repaired_mesh(vertices, OCTA_F)
    assert result.unresolved_faces == 0 and result.moved_vertices >= 1
    assert mesh.check().is_valid
    assert np.array_equal(mesh.vertices[1], OCTA_V[1])  # a corner of fewer bad triangles stays


@pytest.mark.parametrize("max_move, within", [(0.5, True), (0.2, False)])
def test_moves_stay_within_their_bound_where_that_repairs(max_move, within):
    """The folded octahedron needs moves of about 0.37: within a bound of 0.5
    it is repaired inside the bound; a bound of 0.2 cannot repair it, and
    validity comes first."""
    vertices = np.array(OCTA_V, dtype=np.float64)
    vertices[4] = [0.3, 0.2, -0.9]
    bounded = _repair.relax_folds(vertices, np.asarray(OCTA_F, dtype=np.int64), 80, max_move=max_move)[0]
    assert np.linalg.norm(bounded - vertices, axis=1).max() <= max_move * (1 + 1e-12)
    result = _repair.repair(vertices, np.asarray(OCTA_F, dtype=np.int64), max_move=max_move)
    assert result.unresolved_faces == 0 and karvex.Mesh(result.vertices, result.faces).check().is_valid
    moves = np.linalg.norm(result.vertices - vertices, axis=1).max()
    assert (moves <= max_move * (1 + 1e-12)) == within


def test_zero_area_triangle_is_opened():
    """A vertex of the octahedron on the segment between two others."""
    vertices = [list(p) for p in OCTA_V]
    vertices[4] = [0.5, 0.5, 0.0]  # on the edge from +x to +y: (0, 2, 4) has no area
    before = karvex.Mesh(vertices, OCTA_F).check()
    assert before.zero_area_faces == 1
    result, mesh = _repaired_mesh(vertices, OCTA_F)
    assert result.unresolved_faces == 0 and mesh.check().is_valid


@pytest.mark.parametrize("top", [[0.3, 0.2, -0.9], [0.5, 0.5, 0.0], [0.0, 0.0, 1.0]])
def test_listed_bad_triangles_relax_as_the_whole_test_would(top):
    """The repair's first call lists the bad triangles of a one-sheet mesh
    (a fold, a zero-area triangle, none) and the relaxation starting from
    that list moves the vertices exactly as one that tests the mesh itself."""
    vertices = np.array(OCTA_V, dtype=np.float64)
    vertices[4] = top
    faces = np.asarray(OCTA_F, dtype=np.int64)
    one_sheet, bad, listed, broken, certified = _native_module().clean_check(vertices, faces, True)
    pairs, zero_area = _validity.geometry(vertices, faces)
    expected = sorted(set(pairs.ravel().tolist()) | set(np.flatnonzero(zero_area).tolist()))
    assert one_sheet and broken is None and certified is None and bad == bool(expected) and listed.tolist() == expected
    relaxed = _repair.relax_folds(vertices, faces, 80)
    from_list = _repair.relax_folds(vertices, faces, 80, bad=listed)
    assert np.array_equal(relaxed[0], from_list[0]) and relaxed[1:] == from_list[1:]


@pytest.mark.parametrize("max_move", [None, 0.05, 1.0])
@pytest.mark.parametrize("top", [[0.3, 0.2, -0.9], [0.0, 0.0, 1.0]])
def test_repair_lists_the_vertices_it_changed(top, max_move):
    """The repair's list of changed vertices (which spares the projection a
    comparison of every vertex) is exactly the rows that differ, or None
    when a bounded relaxation had to be followed by an unbounded one."""
    vertices = np.array(OCTA_V, dtype=np.float64)
    vertices[4] = top
    result = _repair.repair(vertices, np.asarray(OCTA_F, dtype=np.int64), max_move=max_move)
    differing = np.flatnonzero((result.vertices[: len(vertices)] != vertices).any(axis=1))
    if result.changed is not None:
        assert result.changed.tolist() == differing.tolist()
    elif result.moved_vertices:
        assert max_move is not None
    else:
        assert len(differing) == 0


@pytest.mark.parametrize("max_move", [None, 0.05, 1.0])
@pytest.mark.parametrize("top", [[0.3, 0.2, -0.9], [0.0, 0.0, 1.0]])
def test_owned_repair_moves_the_given_positions_alike(top, max_move):
    """Handed over, the positions are relaxed in place (no copy of a large
    mesh's), to the same bits, and the result says which rows changed and
    where they were, also after a bounded relaxation followed by an
    unbounded one; not handed over, the caller's array is left alone."""
    vertices = np.array(OCTA_V, dtype=np.float64)
    vertices[4] = top
    faces = np.asarray(OCTA_F, dtype=np.int64)
    kept = vertices.copy()
    copied = _repair.repair(vertices, faces.copy(), max_move=max_move)
    assert np.array_equal(vertices, kept)
    given = vertices.copy()
    owned = _repair.repair(given, faces.copy(), max_move=max_move, owned=True)
    assert np.array_equal(owned.vertices, copied.vertices)
    assert (owned.moved_vertices, owned.unresolved_faces) == (copied.moved_vertices, copied.unresolved_faces)
    assert (owned.unbounded is None) == (copied.unbounded is None)
    if owned.unbounded is not None:
        assert np.array_equal(owned.unbounded, copied.unbounded)
    differing = np.flatnonzero((copied.vertices != kept).any(axis=1))
    if owned.moved_vertices:
        assert owned.vertices is given or max_move == 0.05  # the unbounded pass makes its own array
        assert owned.changed.tolist() == differing.tolist()
        assert np.array_equal(owned.starts, kept[differing])


def test_unresolved_repair_is_reported_not_hidden(monkeypatch):
    vertices = [list(p) for p in OCTA_V]
    vertices[4] = [0.3, 0.2, -0.9]
    result = _repair.repair(*_arrays(vertices, OCTA_F), rounds=0)
    assert result.unresolved_faces > 0

    from karvex import _mesher

    # The step of karvex.mesh after the engine, on a mesh the engine could
    # have returned: the failure is reported, not hidden.
    repair = _repair.repair_handed
    monkeypatch.setattr(_mesher._repair, "repair_handed", lambda arrays, **options: repair(arrays, rounds=0))
    with pytest.warns(karvex.ValidityWarning, match="intersect"):
        mesh = karvex.Mesh(*_mesher._valid_solid(list(_arrays(vertices, OCTA_F))))
    assert not mesh.check().is_valid


@pytest.mark.parametrize(
    "arguments, error, words",
    [
        ({"rounds": 80, "first": np.zeros(2, dtype=bool)}, ValueError, "first must hold one flag per vertex"),
        ({"rounds": 80, "max_move": -1.0}, ValueError, "max_move"),
        ({"rounds": 80, "max_move": float("nan")}, ValueError, "max_move"),
        ({}, TypeError, "rounds"),
        ({"rounds": 80, "speed": 2}, TypeError, "speed"),
        ({"rounds": 80, "bad": np.array([3, 3])}, ValueError, "bad must hold face numbers in increasing order"),
        ({"rounds": 80, "bad": np.array([8])}, ValueError, "bad must hold face numbers"),
        ({"rounds": 80, "bad": np.array([-1])}, ValueError, "bad must hold face numbers"),
        ({"rounds": 80, "certified": np.zeros(2, dtype=bool)}, ValueError, "certified must hold one flag per vertex"),
        ({"rounds": 80, "in_place": True, "vertices": np.asarray(OCTA_V, dtype=np.float32)}, ValueError,
         "in_place needs vertices as a writable"),
        ({"rounds": 80, "in_place": True, "vertices": np.asarray(OCTA_V * 2, dtype=np.float64)[::2]}, ValueError,
         "in_place needs vertices as a writable"),
    ],
)
def test_native_relaxation_names_the_bad_argument(arguments, error, words):
    v, f = _arrays(OCTA_V, OCTA_F)
    arguments = dict(arguments)
    v = arguments.pop("vertices", v)
    with pytest.raises(error, match=words):
        _native_module().relax_folds(v, f, **arguments)
