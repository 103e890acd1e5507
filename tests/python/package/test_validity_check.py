"""The exact validity checker (Mesh.check, Mesh.self_intersections) on meshes
whose defects are known, and its predicates against rational arithmetic."""

from fractions import Fraction

import numpy as np
import pytest

import karvex
from karvex import _validity
from karvex._engine import _native_module
from support.coplanar_oracle import area_sign, meet_beyond_corner, triangles_meet
from support.exact_predicates import orient2d, orient3d

TET_V = [[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]]
TET_F = [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]


def _join(*parts):
    """One mesh from several (vertices, faces) parts, indices offset."""
    vertices, faces, base = [], [], 0
    for v, f in parts:
        vertices += [list(map(float, p)) for p in v]
        faces += [[i + base for i in face] for face in f]
        base += len(v)
    return karvex.Mesh(vertices, faces)


def _cube():
    v = [[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)]
    quads = [[0, 1, 3, 2], [4, 6, 7, 5], [0, 4, 5, 1], [2, 3, 7, 6], [0, 2, 6, 4], [1, 5, 7, 3]]
    return v, [t for a, b, c, d in quads for t in ([a, b, c], [a, c, d])]


def _shifted(vertices, offset):
    return (np.asarray(vertices, float) + offset).tolist()


# Each case: the mesh and the counts that differ from zero.
CASES = {
    "tetrahedron": (_join((TET_V, TET_F)), {}),
    "cube, coplanar neighbours": (_join(_cube()), {}),
    "two tetrahedra far apart": (_join((TET_V, TET_F), (_shifted(TET_V, 5), TET_F)), {}),
    "two overlapping tetrahedra": (
        _join((TET_V, TET_F), (_shifted(TET_V, 0.2), TET_F)),
        {"intersecting_pairs": 3, "intersecting_faces": 4},
    ),
    "tetrahedra touching at a point they do not share": (
        _join((TET_V, TET_F), ((-np.asarray(TET_V, float) + [0, 0, 0]).tolist(), [f[::-1] for f in TET_F])),
        {"intersecting_pairs": 9, "intersecting_faces": 6},
    ),
    "bowtie: two tetrahedra sharing one vertex": (
        karvex.Mesh(TET_V + [[-1, 0, 0], [0, -1, 0], [0, 0, -1]],
                    TET_F + [[0, 4, 5], [0, 6, 4], [0, 5, 6], [4, 6, 5]]),
        {"nonmanifold_vertices": 1},
    ),
    "two tetrahedra sharing an edge": (
        karvex.Mesh(TET_V + [[0, -1, 0], [-1, 0, 0]],
                    TET_F + [[0, 4, 5], [0, 5, 3], [0, 3, 4], [5, 4, 3]]),
        {"nonmanifold_edges": 1, "misoriented_edges": 2, "nonmanifold_vertices": 2},
    ),
    "one face turned over": (
        _join((TET_V, TET_F[:3] + [TET_F[3][::-1]])),
        {"misoriented_edges": 3, "nonmanifold_vertices": 3},  # fans join across well-wound edges
    ),
    "open: one triangle": (_join(([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])), {"boundary_edges": 3}),
    "repeated index": (_join((TET_V, TET_F + [[1, 1, 2]])), {"repeated_index_faces": 1}),
    "zero area, collinear corners": (
        _join((TET_V + [[0.5, 0.5, 0]], TET_F + [[1, 4, 2]])),
        {"zero_area_faces": 1, "nonmanifold_edges": 1, "misoriented_edges": 1},
    ),
    "coplanar, folded over a shared edge": (
        _join(([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]], [[0, 1, 2], [1, 0, 3]])),
        {"boundary_edges": 4, "intersecting_pairs": 1, "intersecting_faces": 2},
    ),
    "coplanar, overlapping wedges at a shared vertex": (
        _join(([[0, 0, 0], [2, 0, 0], [0, 2, 0], [2, 1, 0], [1, 2, 0]], [[0, 1, 2], [0, 3, 4]])),
        {"boundary_edges": 6, "intersecting_pairs": 1, "intersecting_faces": 2, "nonmanifold_vertices": 1},
    ),
    "coplanar, one inside the other": (
        _join(([[0, 0, 0], [4, 0, 0], [0, 4, 0], [1, 1, 0], [2, 1, 0], [1, 2, 0]], [[0, 1, 2], [3, 4, 5]])),
        {"boundary_edges": 6, "intersecting_pairs": 1, "intersecting_faces": 2},
    ),
    "non-coplanar fan round a shared vertex": (
        _join(([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], [[0, 1, 2], [0, 2, 3]])),
        {"boundary_edges": 4},
    ),
}


@pytest.mark.parametrize("name", list(CASES))
def test_counts_of_known_meshes(name):
    mesh, expected = CASES[name]
    result = mesh.check()
    for field, value in vars(result).items():
        if field in expected:
            assert value == expected[field], (field, value)
        elif name != "two tetrahedra sharing an edge" and name != "zero area, collinear corners":
            assert value == 0, (field, value)
    assert result.is_valid == (not any(expected.values()))
    assert len(mesh.self_intersections()) == result.intersecting_pairs
    assert _validity.is_one_sheet(mesh.vertices, mesh.faces) == _one_sheet(result)


def _one_sheet(result):
    return not (result.nonmanifold_edges or result.misoriented_edges or result.nonmanifold_vertices
                or result.repeated_index_faces)


def test_one_sheet_test_agrees_with_the_counts_on_random_soups():
    """The core's linear one-sheet test against the checker's NumPy counts,
    on small random triangle soups (closed fans, crowded edges, turned faces
    and repeated corners all come up); the repair's single first call says
    the same and, for one sheet, whether the checker finds any bad triangle."""
    rng = np.random.default_rng(3)
    seen = set()
    for _ in range(300):
        vertices = rng.random((6, 3))
        faces = rng.integers(0, 6, (int(rng.integers(1, 9)), 3))
        expected = _one_sheet(_validity.check(vertices, faces))
        assert _validity.is_one_sheet(vertices, faces) == expected, faces.tolist()
        one_sheet, bad = _native_module().clean_check(vertices, faces)
        assert one_sheet == expected, faces.tolist()
        if one_sheet:
            pairs, zero_area = _validity.geometry(vertices, faces)
            assert bad == (len(pairs) > 0 or zero_area.any()), faces.tolist()
        else:
            assert bad is False
        seen.add((expected, bad))
    assert seen >= {(True, False), (False, False)}


def test_self_intersections_are_the_crossing_pairs():
    mesh = _join((TET_V, TET_F), (_shifted(TET_V, 0.2), TET_F))
    pairs = mesh.self_intersections()
    assert pairs.tolist() == sorted(pairs.tolist())
    assert (pairs[:, 0] < 4).all() and (pairs[:, 1] >= 4).all()  # never within one tetrahedron
    assert set(pairs[:, 0]) == {3}  # the slanted face of the first meets the second


@pytest.mark.parametrize("offset, meets", [(0.0, True), (1, True), (-1, False)])
def test_touching_decided_exactly(offset, meets):
    """A triangle hanging from a vertex on the slanted plane x + y + z = 1
    (exactly, 0.5 + 0.25 + 0.25) touches the triangle there; one ulp higher it
    crosses it, one ulp lower it misses it."""
    z = 0.25 if offset == 0 else np.nextafter(0.25, 1.0 if offset > 0 else 0.0)
    apex = [0.5, 0.25, z]
    mesh = karvex.Mesh([[1, 0, 0], [0, 1, 0], [0, 0, 1], apex, [0.5, 0.25, -1], [0.4, 0.2, -1]],
                       [[0, 1, 2], [3, 4, 5]])
    assert (len(mesh.self_intersections()) == 1) == meets


def _exact3(a, b, c, d):
    rows = [[Fraction(x) - Fraction(y) for x, y in zip(p, d)] for p in (a, b, c)]
    (a1, a2, a3), (b1, b2, b3), (c1, c2, c3) = rows
    det = a3 * (b1 * c2 - c1 * b2) + b3 * (c1 * a2 - a1 * c2) + c3 * (a1 * b2 - b1 * a2)
    return (det > 0) - (det < 0)


def _exact2(a, b, c):
    det = (Fraction(a[0]) - Fraction(c[0])) * (Fraction(b[1]) - Fraction(c[1])) - (
        Fraction(a[1]) - Fraction(c[1])) * (Fraction(b[0]) - Fraction(c[0]))
    return (det > 0) - (det < 0)


@pytest.mark.parametrize("scale", [1.0, 1e-30, 1e30])
def test_predicates_agree_with_rational_arithmetic(scale):
    """Near-degenerate points (on a plane or line, then nudged by a few ulps,
    with tiny and huge coordinates) against exact rationals."""
    rng = np.random.default_rng(11)
    n = 400
    a, b, c = (rng.uniform(-1, 1, (n, 3)) * scale for _ in range(3))
    s, t = rng.uniform(-1, 2, (2, n, 1))
    d = a + s * (b - a) + t * (c - a)  # on the plane up to rounding
    d = np.nextafter(d, d + rng.integers(-1, 2, (n, 3)))
    expected3 = [_exact3(*rows) for rows in zip(a, b, c, d, strict=True)]
    assert orient3d(a, b, c, d).tolist() == expected3
    p, q = a[:, :2], b[:, :2]
    r = p + s * (q - p)
    r = np.nextafter(r, r + rng.integers(-1, 2, (n, 2)))
    expected2 = [_exact2(*rows) for rows in zip(p, q, r, strict=True)]
    assert orient2d(p, q, r).tolist() == expected2


def test_check_of_a_users_arrays_agrees_with_pymeshlab():
    """An independent checker agrees on which faces intersect."""
    pymeshlab = pytest.importorskip("pymeshlab")
    rng = np.random.default_rng(5)
    vertices = rng.uniform(-1, 1, (60, 3))
    faces = rng.integers(0, 60, (40, 3))
    faces = faces[(faces[:, 0] != faces[:, 1]) & (faces[:, 1] != faces[:, 2]) & (faces[:, 0] != faces[:, 2])]
    mesh = karvex.Mesh(vertices, faces)
    ms = pymeshlab.MeshSet()
    ms.add_mesh(pymeshlab.Mesh(vertices, faces))
    ms.compute_selection_by_self_intersections_per_face()
    selected = np.flatnonzero(ms.current_mesh().face_selection_array())
    assert np.unique(mesh.self_intersections()).tolist() == selected.tolist()


@pytest.mark.parametrize("shared", [0, 1])
def test_coplanar_pairs_agree_with_integer_oracle(shared):
    """Pairs of triangles in the slanted plane z = x + 2y (exact in floats),
    on a small grid so that touching corners, edges along edges and
    containment are frequent; with a shared first corner or none."""
    rng = np.random.default_rng(shared)
    seen = set()
    for _ in range(400):
        xy = [tuple(int(c) for c in rng.integers(0, 5, 2)) for _ in range(6)]
        if shared:
            xy[3] = xy[0]
        a, b = tuple(xy[:3]), tuple(xy[3:])
        if not area_sign(a) or not area_sign(b) or len(set(xy)) != 6 - shared:
            continue
        expected = meet_beyond_corner(a, b) if shared else triangles_meet(a, b)
        points = xy[:3] + xy[4:] if shared else xy
        faces = [[0, 1, 2], [0, 3, 4]] if shared else [[0, 1, 2], [3, 4, 5]]
        mesh = karvex.Mesh([[x, y, x + 2 * y] for x, y in points], faces)
        found = len(mesh.self_intersections()) == 1
        assert found == expected, (a, b)
        seen.add(expected)
    assert seen == {True, False}


@pytest.mark.parametrize("distance", [3.0, 1e5])
def test_far_apart_parts_keep_their_pairs(distance):
    """Two copies of intersecting tetrahedra: side by side (a dense grid of
    candidate cells) and far apart along the diagonal (a sparse one); each
    copy has the pairs of one alone."""
    one = _join((TET_V, TET_F), (_shifted(TET_V, 0.2), TET_F))
    alone = one.self_intersections()
    both = _join((one.vertices, one.faces), (one.vertices + distance, one.faces))
    expected = np.concatenate([alone, alone + len(one.faces)])
    assert both.self_intersections().tolist() == expected.tolist()


@pytest.mark.parametrize("seed", [0, 1])
def test_subset_pairs_are_the_full_pairs_with_a_marked_face(seed):
    """The pass re-tests only the triangles round moved vertices; the pairs
    it finds are exactly those of the full test that have a marked face."""
    rng = np.random.default_rng(seed)
    vertices = rng.random((60, 3))
    faces = rng.integers(0, 60, (80, 3))
    subset = rng.random(80) < 0.1
    full = _validity.intersecting_pairs(vertices, faces)
    expected = full[subset[full].any(axis=1)]
    assert len(full) > len(expected) > 0
    assert _validity.intersecting_pairs(vertices, faces, subset).tolist() == expected.tolist()
