"""Vertices the repair moved go back onto the surface, unless that folds the
mesh again."""

import numpy as np
import pytest

import karvex
from karvex._reproject import reproject_moved

OCTA_V = np.array([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]], dtype=np.float64)
OCTA_F = np.array([[0, 2, 4], [2, 1, 4], [1, 3, 4], [3, 0, 4], [2, 0, 5], [1, 2, 5], [3, 1, 5], [0, 3, 5]])


def _sphere(gradients):
    def field(points):
        lengths = np.linalg.norm(points, axis=1)
        return lengths - 1.0, (points / lengths[:, None] if gradients else None)

    return field


def _moved_top(z):
    repaired = OCTA_V.copy()
    repaired[4] = [0.0, 0.0, z]
    return repaired


@pytest.mark.parametrize("gradients", [True, False])
def test_moved_vertex_returns_to_the_surface(gradients):
    result, count = reproject_moved(_sphere(gradients), 0.0, OCTA_V, _moved_top(0.9), OCTA_F, cell=1.0)
    assert count == 1
    assert result[4] == pytest.approx([0, 0, 1], abs=1e-6)
    assert np.array_equal(result[:4], OCTA_V[:4]) and np.array_equal(result[5], OCTA_V[5])  # unmoved stay


def test_step_is_cut_to_a_quarter_cell():
    result, _ = reproject_moved(_sphere(True), 0.0, OCTA_V, _moved_top(0.5), OCTA_F, cell=0.8)
    assert result[4] == pytest.approx([0, 0, 0.7])


def test_projection_that_folds_the_mesh_is_undone():
    """A plane whose Newton step takes the top vertex to (0.3, 0.2, -0.9),
    through the bottom triangles: it stays where the repair left it."""
    target = np.array([0.3, 0.2, -0.9])
    normal = (np.array([0.0, 0.0, 0.9]) - target) / np.linalg.norm([0.3, 0.2, 1.8])
    plane = lambda p: ((p - target) @ normal, np.tile(normal, (len(p), 1)))  # noqa: E731
    folded = OCTA_V.copy()
    folded[4] = target
    assert not karvex.Mesh(folded, OCTA_F).check().is_valid  # where the step would go
    repaired = _moved_top(0.9)
    result, count = reproject_moved(plane, 0.0, OCTA_V, repaired, OCTA_F, cell=40.0)
    assert count == 0 and np.array_equal(result, repaired)


@pytest.mark.parametrize("max_move, projected", [(0.05, False), (0.15, True)])
def test_bound_holds_unless_the_repair_went_farther(max_move, projected):
    """The repair moved the top vertex by 0.02 (inside both bounds); back on
    the sphere it is 0.1 from where it started (1.1)."""
    before = OCTA_V.copy()
    before[4] = [0.0, 0.0, 1.1]
    result, count = reproject_moved(_sphere(True), 0.0, before, _moved_top(1.08), OCTA_F, 1.0, max_move)
    assert count == int(projected)
    assert result[4][2] == pytest.approx(1.0 if projected else 1.08)
    # As the mesher calls it: the repair's array stepped in place, with only
    # the changed rows' starting places (the given positions relaxed in place).
    repaired = _moved_top(1.08)
    changed = np.array([4])
    same, same_count = reproject_moved(_sphere(True), 0.0, repaired, repaired, OCTA_F, 1.0, max_move,
                                       changed=changed, starts=before[changed], owned=True)
    assert same is repaired and same_count == count and np.array_equal(same, result)


@pytest.mark.parametrize("top, projected", [(1.0, True), (0.95, False)])
def test_steps_leaving_the_box_are_not_taken(top, projected):
    box = (np.array([-1.0, -1.0, -1.0]), np.array([1.0, 1.0, top]))
    result, count = reproject_moved(_sphere(True), 0.0, OCTA_V, _moved_top(0.9), OCTA_F, 1.0, box=box)
    assert count == int(projected) and result[4][2] == pytest.approx(1.0 if projected else 0.9)


def _folded_sphere(seed):
    """A depth-5 unit sphere with a few vertices thrown by up to three cells, and
    one triangle made flat (its first corner onto its second)."""
    mesh = karvex.mesh(_sphere(False), ((-1, -1, -1), (1, 1, 1)), max_depth=5)
    rng = np.random.default_rng(seed)
    vertices = mesh.vertices.copy()
    thrown = rng.choice(len(vertices), 40, replace=False)
    vertices[thrown] += rng.uniform(-0.2, 0.2, (40, 3))
    faces = mesh.faces
    vertices[faces[7, 0]] = vertices[faces[7, 1]]
    return vertices, faces


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("which", ["round some folds", "random", "all"])
def test_bad_faces_near_are_those_of_the_subset_test(seed, which):
    """The re-test after projecting looks only near the named triangles; it
    finds what the whole-mesh test limited to them finds."""
    from karvex._engine import _native_module
    from karvex._validity import geometry

    vertices, faces = _folded_sphere(seed)
    rng = np.random.default_rng(seed)
    if which == "round some folds":
        folded = np.unique(faces[geometry(vertices, faces)[0][::3].reshape(-1)])
        subset = np.isin(faces, folded).any(axis=1)
    elif which == "random":
        subset = rng.random(len(faces)) < 0.05
    else:
        subset = np.ones(len(faces), dtype=bool)
    subset[7] = True
    pairs, zero_area = geometry(vertices, faces, subset)
    expected = zero_area & subset
    expected[pairs.reshape(-1)] = True
    assert expected.sum() > 1 and not expected.all()
    found = _native_module().bad_faces_near(vertices, faces, np.flatnonzero(subset))
    assert found.tolist() == np.flatnonzero(expected).tolist()


@pytest.mark.parametrize("named", [[3, 2], [0, 0], [-1], [8]])
def test_bad_faces_near_names_a_bad_argument(named):
    from karvex._engine import _native_module

    with pytest.raises(ValueError, match="named must hold face numbers in increasing order"):
        _native_module().bad_faces_near(OCTA_V, OCTA_F, np.array(named, dtype=np.int64))


@pytest.mark.parametrize(
    "stepped, repaired, message",
    [
        ([0, 1], OCTA_V[:1], "repaired must hold one row per stepped vertex"),
        ([1, 0], OCTA_V[:2], "stepped must hold vertex numbers in increasing order"),
        ([2, 2], OCTA_V[:2], "stepped must hold vertex numbers in increasing order"),
        ([6], OCTA_V[:1], "stepped must hold vertex numbers in increasing order"),
        ([-1], OCTA_V[:1], "stepped must hold vertex numbers in increasing order"),
        ([0], np.full((1, 3), np.nan), "repaired must be finite"),
        ([0], OCTA_V[:1, :2], "repaired must have shape"),
    ],
)
def test_undone_steps_names_a_bad_argument(stepped, repaired, message):
    from karvex._engine import _native_module

    with pytest.raises(ValueError, match=message):
        _native_module().undone_steps(OCTA_V, OCTA_F, np.array(stepped, dtype=np.int64), repaired)
