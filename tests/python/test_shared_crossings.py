"""Each distinct sign-changing edge is located, and its normal taken, once.

An edge belongs to up to four surface cells; contouring evaluates one point per
distinct edge in each bisection step and in the normal call, not one per cell
and edge. In uniform mode every distinct sign-changing edge of a closed surface
gives one quad of the mesh, so each of those calls carries as many points as
the mesh has quads.
"""
import pytest

import _karvex_rs as k
from support.fields import BOX, OFF_CENTRE, Recorder, sphere


@pytest.mark.parametrize("depth", [4, 6])
@pytest.mark.parametrize("gradients", [True, False], ids=["gradients", "differences"])
def test_contouring_calls_carry_one_point_per_distinct_edge(gradients, depth):
    field = Recorder(sphere(0.6, centre=OFF_CENTRE, gradients=gradients))
    vertices, faces = k.extract_mesh(field, *BOX, 2, depth)
    quads, count = len(faces) // 2, len(vertices)
    assert len(faces) == 2 * quads > 0
    # Eight bisection steps, the normal call (and its central differences:
    # six points each), then the projection's calls on the vertices.
    if gradients:
        contouring = [quads] * 9 + [count] * 3
    else:
        contouring = [quads] * 9 + [6 * quads, count, 6 * count]
    assert field.sizes[-len(contouring):] == contouring
