"""Boxes far from the origin: refused up front when float64 cannot resolve
their finest cells, with the depth that would work."""

import numpy as np
import pytest

import karvex
from karvex import sdf


def far_sphere(offset):
    centre = np.full(3, offset)
    return sdf.sphere(0.7, centre), (tuple(centre - 1), tuple(centre + 1))


@pytest.mark.parametrize("offset, depth, fix", [
    (1e12, 5, r"use max_depth=4 or less, or move the shape nearer the origin"),
    (2e12, 5, r"use max_depth=3 or less, or"),
    (1e13, 3, r"use max_depth=0 \(and min_depth no higher\), or"),
    (1e15, 6, r"no depth resolves a box this small so far out"),
])
def test_cells_finer_than_float64_resolves_are_refused(offset, depth, fix):
    field, bounds = far_sphere(offset)
    with pytest.raises(ValueError, match=rf"max_depth={depth} give finest cells of .*; {fix}"):
        karvex.mesh(field, bounds, max_depth=depth, min_depth=min(3, depth))


def test_the_suggested_depth_meshes_without_degenerate_faces():
    field, bounds = far_sphere(1e12)
    mesh = karvex.mesh(field, bounds, max_depth=4)
    corners = mesh.vertices[mesh.faces] - mesh.vertices[0]
    areas = np.linalg.norm(np.cross(corners[:, 1] - corners[:, 0],
                                    corners[:, 2] - corners[:, 0]), axis=1)
    assert mesh.is_closed and (areas > 0).all()
    assert len(np.unique(mesh.vertices, axis=0)) == len(mesh.vertices)
