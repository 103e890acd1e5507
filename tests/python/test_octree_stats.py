"""build_octree_uniform / build_octree_adaptive: the six counts and the batches eval_fn sees."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _karvex_rs as k
from support import fields
from support.fields import Recorder

UNIT = ((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))
CENTRED = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


def lattice_and_stencils(field):
    """The recorded batches of ``field`` apart: lattice batches and, without
    gradients, the finite-difference call that follows each of them."""
    if field.gradients:
        return field.batches, []
    return field.batches[0::2], field.batches[1::2]


def sphere(centre=(0.0, 0.0, 0.0), radius=0.5, gradients=True):
    return Recorder(fields.sphere(radius, centre), gradients, keep=True)


def plane(normal, offset, gradients=True):
    n = np.asarray(normal, dtype=np.float64)
    return Recorder(lambda p: (p @ n - offset, np.tile(n, (len(p), 1))), gradients, keep=True)


def constant(c, gradients=True):
    return Recorder(lambda p: (np.full(len(p), float(c)), np.zeros((len(p), 3))), gradients,
                    keep=True)


def check_invariants(stats, field):
    leaf, internal, empty, full, max_leaf_depth, evaluations = stats
    assert all(p.dtype == np.float64 and p.ndim == 2 and p.shape[1] == 3 for p in field.batches)
    lattice, stencils = lattice_and_stencils(field)
    assert leaf + empty + full == 7 * internal + 1
    assert (max_leaf_depth == 0) or leaf > 0
    assert evaluations == sum(field.sizes)
    # Without gradients every lattice batch is followed by a stencil six times as large.
    expected_stencils = [] if field.gradients else [6 * len(b) for b in lattice]
    assert [len(s) for s in stencils] == expected_stencils
    assert all(len(b) > 0 for b in lattice)
    # No lattice point goes to eval_fn twice in one build.
    points = np.concatenate(lattice)
    assert len(np.unique(points, axis=0)) == len(points)


@pytest.mark.parametrize("gradients, count", [(True, 8), (False, 56)])
@pytest.mark.parametrize("sign, expected_kind", [(1.0, "empty"), (-1.0, "full")])
def test_depth_zero_without_surface(gradients, count, sign, expected_kind):
    field = constant(sign * 2.0, gradients)
    stats = k.build_octree_uniform(field, *UNIT, 0)
    empty, full = (1, 0) if expected_kind == "empty" else (0, 1)
    assert stats == (0, 0, empty, full, 0, count)
    lattice, stencils = lattice_and_stencils(field)
    assert [len(b) for b in lattice] == [8]
    assert [len(s) for s in stencils] == ([] if gradients else [48])


@pytest.mark.parametrize("gradients, count", [(True, 125), (False, 875)])
def test_uniform_depth_two_sphere(gradients, count):
    field = sphere((0.5, 0.5, 0.5), 0.3, gradients)
    stats = k.build_octree_uniform(field, *UNIT, 2)
    assert stats[4] == 2 and stats[5] == count
    assert [len(b) for b in lattice_and_stencils(field)[0]] == [125]
    check_invariants(stats, field)


def test_uniform_tree_of_a_centred_sphere_is_exact():
    # Only the centre lattice point is inside: its eight cells are leaves and
    # each octant keeps one leaf beside seven empty cells.
    field = sphere(radius=0.5, gradients=False)
    assert k.build_octree_uniform(field, *CENTRED, 2) == (8, 9, 56, 0, 2, 875)


def test_constant_field_collapses_to_the_root():
    field = constant(3.0)
    assert k.build_octree_adaptive(field, *CENTRED, 2, 6) == (0, 0, 1, 0, 0, 125)
    field = constant(-3.0, gradients=False)
    assert k.build_octree_adaptive(field, *CENTRED, 2, 6) == (0, 0, 0, 1, 0, 875)


def test_iso_value_given_as_int():
    def raised(p):  # the sphere of radius 0.5 raised by 1: it lies at level 1
        values, gradients = fields.sphere(0.5)(p)
        return values + 1.0, gradients

    def shifted():
        return Recorder(raised, keep=True)

    stats = k.build_octree_adaptive(shifted(), *CENTRED, 1, 3, iso_value=1)
    assert stats[0] > 0
    assert k.build_octree_adaptive(shifted(), *CENTRED, 1, 3, iso_value=1.0) == stats
    assert k.build_octree_adaptive(shifted(), *CENTRED, 1, 3, iso_value=np.float64(1)) == stats
    assert k.build_octree_adaptive(shifted(), *CENTRED, 1, 3) != stats  # the level matters


shapes = st.one_of(
    st.builds(lambda c, r: ("sphere", c, r),
              st.tuples(*[st.floats(-0.6, 0.6)] * 3), st.floats(0.05, 0.9)),
    st.builds(lambda n, o: ("plane", n, o),
              st.tuples(*[st.floats(-1, 1)] * 3).filter(lambda n: np.linalg.norm(n) > 0.1),
              st.floats(-0.8, 0.8)),
)


@settings(max_examples=40, deadline=None)
@given(shape=shapes, depths=st.tuples(st.integers(0, 3), st.integers(0, 2)),
       gradients=st.booleans(), iso=st.floats(-0.3, 0.3))
def test_count_invariant_over_fields(shape, depths, gradients, iso):
    kind, a, b = shape
    field = sphere(a, b, gradients) if kind == "sphere" else plane(a, b, gradients)
    min_depth, extra = depths
    stats = k.build_octree_adaptive(field, *CENTRED, min_depth, min_depth + extra, iso_value=iso)
    check_invariants(stats, field)
    assert len(lattice_and_stencils(field)[0][0]) == (2 ** min_depth + 1) ** 3
    if stats[0]:
        assert stats[4] == min_depth + extra
