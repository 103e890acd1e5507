"""Nothing small lost: karvex.mesh tests the cells of its starting grid for
surface hidden between their corners, so small shapes off the grid are found
whatever min_depth is; _karvex_rs keeps its own rule and misses them."""

import numpy as np
import pytest

import karvex
from karvex import sdf
from support.fields import BOX


_rng = np.random.default_rng(2024)
_BLOBS = _rng.uniform(-0.8, 0.8, size=(40, 3))

# Each case: the field and the number of pieces it has.
CASES = {
    "tiny sphere off the grid": (sdf.sphere(0.04, (0.3137, -0.4219, 0.1171)), 1),
    "forty small balls": (sdf.union(*[sdf.sphere(0.035, c) for c in _BLOBS]), None),
    "thin rod": (sdf.capsule((-0.5123, 0.1377, -0.2211), (0.5377, 0.1377, -0.2211), 0.02), 1),
}


def _values_only(field):
    return lambda points: (field(points)[0], None)


@pytest.mark.parametrize("name", list(CASES))
@pytest.mark.parametrize("min_depth", [2, 3])
def test_found_by_karvex_mesh_lost_by_the_fixed_module(name, min_depth):
    import _karvex_rs

    field, pieces = CASES[name]
    lo, hi = BOX
    v, _ = _karvex_rs.extract_mesh(field, lo, hi, min_depth, 7, 30.0, 0.0, False)
    assert len(v) == 0  # every sample of the starting grid is outside

    m = karvex.mesh(field, BOX, max_depth=7, min_depth=min_depth, keep="all")
    assert m.is_closed and m.is_oriented and m.volume > 0
    found = len(m.components())
    if pieces is not None:
        assert found == pieces
    else:
        # Overlapping balls merge; each ball is found: every centre is inside
        # the mesh's bounding boxes of some piece.
        assert found >= 1
        for centre in _BLOBS:
            assert np.linalg.norm(m.vertices - centre, axis=1).min() < 0.04


def test_found_with_estimated_gradients():
    field, _ = CASES["tiny sphere off the grid"]
    m = karvex.mesh(_values_only(field), BOX, max_depth=7)
    assert m.is_closed and len(m.faces) > 50
