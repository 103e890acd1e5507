"""The core's sheet split and parting of shared edges give, bit for bit, the
arrays of a NumPy model of the same rules, on meshes with many sheets."""

import weakref

import numpy as np
import pytest

import karvex
from karvex import _repair, sdf
from karvex._engine import _native_module
from karvex._validity import _repeated_index
from support import sheet_model
from support.meshing import before_validity_pass

TET_V = [[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]]
TET_F = [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]


def _blobs(seed):
    """Smoothed noise on a 33^3 grid: sheets touching at ambiguous cell faces."""
    volume = np.random.default_rng(seed).standard_normal((33, 33, 33))
    for axis in range(3):
        for _ in range(3):
            volume = (np.roll(volume, 1, axis) + volume + np.roll(volume, -1, axis)) / 3.0
    field = karvex.grid_field(volume, spacing=(2 / 32,) * 3, origin=(-1, -1, -1))
    return before_validity_pass(field, ((-1,) * 3, (1,) * 3), max_depth=5, keep="all")


def _thin_gyroid_ball():
    return before_validity_pass(sdf.gyroid(0.5, 0.05) & sdf.sphere(0.8), ((-1,) * 3, (1,) * 3), max_depth=6, keep="all")


def _hand_built(name):
    """Small meshes for the rules' corner cases."""
    if name == "three tetrahedra round one edge":  # six triangles on edge 0-3
        v = TET_V + [[0, -1, 0], [-1, 0, 0], [-1, -1, 0], [-1, 1, 0]]
        f = TET_F + [[0, 4, 5], [0, 5, 3], [0, 3, 4], [5, 4, 3], [0, 6, 7], [0, 7, 3], [0, 3, 6], [7, 6, 3]]
        # the third tetrahedron crosses the second: the windings do not alternate
    elif name == "shared edge of zero length":  # both ends at one place: no angle
        v = TET_V + [[0, -1, 0], [-1, 0, 0]]
        v[3] = v[0]
        f = TET_F + [[0, 4, 5], [0, 5, 3], [0, 3, 4], [5, 4, 3]]
    elif name == "edge used unevenly":  # three triangles on edge 0-1, two one way
        v = TET_V + [[0.5, -1, 0.2]]
        f = TET_F + [[0, 1, 4]]
    else:  # "no faces"
        v, f = TET_V, np.zeros((0, 3))
    return karvex.Mesh(np.asarray(v, dtype=np.float64), np.asarray(f, dtype=np.int64).reshape(-1, 3))


CASES = {
    **{f"noise volume {seed}": (lambda seed=seed: _blobs(seed)) for seed in (7, 8)},
    "thin gyroid shell in a ball": _thin_gyroid_ball,  # 1,464 edges in four triangles
    **{name: (lambda name=name: _hand_built(name)) for name in [
        "three tetrahedra round one edge", "shared edge of zero length", "edge used unevenly", "no faces"]},
}


@pytest.mark.parametrize("name", CASES)
def test_core_sheet_steps_match_the_numpy_model(name):
    mesh = CASES[name]()
    vertices, faces = mesh.vertices, mesh.faces[~_repeated_index(mesh.faces)]
    # split, then part what the split left, as the repair does; and the parting alone
    expected_split = sheet_model.split_sheets(vertices, faces)
    got_split = _repair.split_sheets(vertices, faces)
    steps = [(expected_split, got_split),
             (sheet_model.part_shared_edges(*expected_split[:2]), _repair.part_shared_edges(*got_split[:2])),
             (sheet_model.part_shared_edges(vertices, faces), _repair.part_shared_edges(vertices, faces))]
    for expected, got in steps:
        assert got[2] == expected[2]
        assert np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1].reshape(-1, 3))
    if name != "no faces":  # each has something to copy or part
        assert got_split[2] + steps[1][1][2] + steps[2][1][2] > 0
    # The repair's split looks round the broken stars alone, listed on the
    # mesh before its repeated-index faces were dropped: the same copies as
    # the split of the whole mesh.
    one_sheet, _, _, broken, _ = _native_module().clean_check(mesh.vertices, mesh.faces, True)
    assert one_sheet == (broken is None)
    whole = _native_module().sheet_copies(vertices, faces)
    for listed in ([] if broken is None else [broken, np.arange(len(vertices))]):
        around = _native_module().sheet_copies(vertices, faces, broken=listed)
        assert all(np.array_equal(a, w) for a, w in zip(around, whole, strict=True))
    # The repair parts shared edges over the triangles of the edges the split
    # says may be crowded, in place: the same arrays.
    split_faces = np.array(faces, dtype=np.int64)
    split_vertices, _, crowded = _repair._split_in_place(vertices, split_faces, broken)
    parted = (_repair._part_crowded(split_vertices, split_faces, crowded) if len(crowded)
              else (split_vertices, split_faces, 0))
    assert parted[2] == steps[1][1][2]
    assert np.array_equal(parted[0], steps[1][1][0]) and np.array_equal(parted[1], steps[1][1][1])


def _far(array, index, value):
    """A copy of ``array`` with one value set, far into it."""
    changed = array.copy()
    changed.flat[index] = value
    return changed


# Long enough that the checks scan them on the pool, one range at a time.
_LONG_VERTICES = np.zeros((40000, 3))
_LONG_FACES = np.zeros((40000, 3), dtype=np.int64)


@pytest.mark.parametrize("step", ["split_sheets", "part_shared_edges"])
@pytest.mark.parametrize(
    "vertices, faces, message",
    [
        (_far(_LONG_VERTICES, 100000, np.nan), _LONG_FACES, "vertices must be finite"),
        (_far(_LONG_VERTICES, 5, -np.inf), _LONG_FACES, "vertices must be finite"),
        (_LONG_VERTICES, _far(_LONG_FACES, 119999, 40000), "from 0 to 39999; found 40000"),
        (_LONG_VERTICES, _far(_LONG_FACES, 70001, -5), "from 0 to 39999; found -5"),
        (np.zeros((3, 3)), np.array([[0, 1, 3]]), "faces must hold vertex numbers from 0 to 2; found 3"),
        (np.zeros((3, 3)), np.array([[0, 1, 2], [2, -1, 0]]), "from 0 to 2; found -1"),
        (np.zeros((3, 3)), np.array([[0, 1, 2], [2, 2**62, 0]]), f"found {2**62}"),
        (np.zeros((3, 3)), np.array([[np.iinfo(np.int64).min, 1, 2]]), f"found {np.iinfo(np.int64).min}"),
        (np.zeros((0, 3)), np.array([[0, 0, 0]]), "found 0"),
        (np.array([[0, 0, 0], [1, 0, 0], [0, -np.inf, 0]]), np.array([[0, 1, 2]]), "vertices must be finite"),
        (np.full((3, 3), np.nan), np.array([[0, 1, 2]]), "vertices must be finite"),
        (np.array([[0, 0, 0], [1, 0, 0], [0, np.inf, 0]]), np.array([[0, 1, 2]]), "vertices must be finite"),
        (np.zeros((3, 2)), np.array([[0, 1, 2]]), "vertices must have shape"),
    ],
)
def test_bad_arrays_are_refused_by_name(step, vertices, faces, message):
    with pytest.raises(ValueError, match=message):
        getattr(_repair, step)(vertices, faces)


@pytest.mark.parametrize("step", ["split_sheets", "part_shared_edges"])
def test_extreme_finite_arrays_are_accepted(step):
    # The largest and smallest magnitudes, either sign, and the last index.
    tiny, huge = np.finfo(np.float64).smallest_subnormal, np.finfo(np.float64).max
    vertices = np.array([[huge, -huge, 0.0], [tiny, -tiny, -0.0], [1.0, 0.0, 0.0]])
    getattr(_repair, step)(vertices, np.array([[0, 1, 2], [2, 1, 0]]))


@pytest.mark.parametrize("name", [name for name in CASES if name != "no faces"])
def test_repair_of_many_sheets_with_the_first_checks_certificates(name, monkeypatch):
    """The repair hands the relaxation the stars its first check certified,
    less those the split changed: the same mesh as testing the split mesh
    from scratch."""
    mesh = CASES[name]()
    reused = _repair.repair(mesh.vertices, mesh.faces)
    relax = _repair._relax_native
    handed = []

    def from_scratch(*args):
        handed.append(args[-1])
        return relax(*args[:-1], None)

    monkeypatch.setattr(_repair, "_relax_native", from_scratch)
    scratch = _repair.repair(mesh.vertices, mesh.faces)
    assert handed[0] is not None and len(handed[0]) == len(scratch.vertices)
    if name.startswith(("noise", "thin")):
        assert handed[0].any()
    assert np.array_equal(reused.vertices, scratch.vertices) and np.array_equal(reused.faces, scratch.faces)
    assert (reused.split_vertices, reused.moved_vertices, reused.unresolved_faces) == (
        scratch.split_vertices, scratch.moved_vertices, scratch.unresolved_faces)


@pytest.mark.parametrize("name", ["noise volume 7", "thin gyroid shell in a ball", "edge used unevenly"])
def test_handed_arrays_are_let_go_once_the_repair_has_its_own(name, monkeypatch):
    """Handed over, the mesh's arrays are dropped once the sheet split and
    the parting have made new ones, before the relaxation builds its tables
    (the input and the result are not both held at the peak); the repair is
    the one of arrays not handed over."""
    mesh = CASES[name]()
    expected = _repair.repair(mesh.vertices, mesh.faces)
    vertices, faces = mesh.vertices.copy(), mesh.faces.copy()
    held = [weakref.ref(vertices), weakref.ref(faces)]
    alive_at_relax = []
    relax = _repair._relax_native

    def watched(*args):
        alive_at_relax.append([ref() is not None for ref in held])
        return relax(*args)

    monkeypatch.setattr(_repair, "_relax_native", watched)
    arrays = [vertices, faces]
    del vertices, faces
    result = _repair.repair_handed(arrays)
    assert arrays == []
    assert np.array_equal(result.vertices, expected.vertices) and np.array_equal(result.faces, expected.faces)
    assert result.split_vertices == expected.split_vertices > 0
    # The positions gain copies, so the relaxation's are a new array; the
    # faces are split in place unless triangles are parted (then appended).
    assert alive_at_relax and not alive_at_relax[0][0]
    assert alive_at_relax[0][1] == (len(result.faces) == len(mesh.faces))


@pytest.mark.parametrize("broken", [[1, 1], [2, 0], [-1], [4], [[0, 1]]])
def test_a_bad_list_of_broken_stars_is_refused(broken):
    vertices, faces = np.asarray(TET_V, dtype=np.float64), np.asarray(TET_F, dtype=np.int64)
    with pytest.raises(ValueError, match="broken must"):
        _native_module().sheet_copies(vertices, faces, broken=np.asarray(broken))
