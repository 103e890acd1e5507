"""karvex.mesh samples the field sparingly: points per stage on a closed
surface within stated bounds per crossing, no finite-difference stencils in
construction, vertices on the level set, and meshes as accurate as those of the
low-level module's form (bisection and central differences, asked for from the
engine with lean_sampling=False)."""

from collections import Counter

import numpy as np
import pytest

import karvex
from karvex import _engine
from support.fields import BOX, OFF_CENTRE, sphere, torus, values_only

STAGES = ("locating crossings", "crossing normals", "projection")


class Counting:
    """A field counting its points per stage (the last stage progress named;
    before the first contouring stage: construction)."""

    def __init__(self, field):
        self.field = field
        self.stage = "construction"
        self.points = Counter()

    def __call__(self, p):
        self.points[self.stage] += len(p)
        return self.field(p)

    def progress(self, stage, done, total):
        self.stage = stage if stage in STAGES else (
            "construction" if self.stage == "construction" and stage != "surface cells"
            else "contouring")


def mesh_counted(field, lean=True, monkeypatch=None, **options):
    counting = Counting(field)
    if not lean:
        original = _engine.run
        monkeypatch.setattr(_engine, "run",
                            lambda *a, **o: original(*a, **o, lean_sampling=False))
    result = karvex.mesh(counting, BOX, progress=counting.progress, **options)
    return result, counting.points


def ball(gradients):
    return sphere(0.61, centre=OFF_CENTRE, gradients=gradients)


def ball_distance(v):
    return np.abs(np.linalg.norm(v - np.asarray(OFF_CENTRE), axis=1) - 0.61)


@pytest.mark.parametrize("gradients", [False, True], ids=["values", "gradients"])
def test_points_per_stage_on_a_closed_surface(gradients):
    result, points = mesh_counted(ball(gradients), min_depth=3, max_depth=6)
    # A closed surface of one depth: one quad, two triangles, per distinct
    # crossing edge.
    quads = len(result.faces) / 2
    vertices = len(result.vertices)
    assert quads > 1000
    if gradients:
        assert points["locating crossings"] <= 2.5 * quads
        assert points["crossing normals"] == 0  # the last root-finding sample's gradient
        assert points["projection"] <= 2.5 * vertices
    else:
        assert points["locating crossings"] <= 4.0 * quads
        # Two points across the edge per crossing (its slope along the edge
        # from the root's final bracket); the tetrahedron's four only where
        # the bracket gave none.
        assert 2 * quads <= points["crossing normals"] <= 2.05 * quads
        assert points["projection"] <= 3.5 * vertices
    # On the level set, but for the few vertices whose box stops them short
    # (the low-level form leaves as many there).
    assert np.quantile(ball_distance(result.vertices), 0.999) <= 1e-8


def test_construction_needs_no_stencils():
    # Without gradients construction samples about what it samples with them:
    # its split tests read slopes from the cells' own values.
    _, without = mesh_counted(ball(False), min_depth=3, max_depth=6)
    _, with_gradients = mesh_counted(ball(True), min_depth=3, max_depth=6)
    assert without["construction"] <= 1.2 * with_gradients["construction"]


FIELDS = {
    "ball": (lambda: ball(True), ball_distance),
    "torus": (torus, lambda v: np.abs(
        np.hypot(np.hypot(v[:, 0], v[:, 1]) - 0.6, v[:, 2]) - 0.25)),
}


@pytest.mark.parametrize("name", sorted(FIELDS))
@pytest.mark.parametrize("gradients", [False, True], ids=["values", "gradients"])
def test_as_accurate_as_the_low_level_form_with_fewer_points(name, gradients, monkeypatch):
    make, distance = FIELDS[name]
    field = make() if gradients else values_only(make())
    lean, lean_points = mesh_counted(field, min_depth=3, max_depth=6)
    classic, classic_points = mesh_counted(field, lean=False, monkeypatch=monkeypatch,
                                           min_depth=3, max_depth=6)
    assert len(lean.faces) == len(classic.faces)
    rng = np.random.default_rng(0)

    def surface_error(m):
        w = rng.dirichlet((1, 1, 1), size=len(m.faces))
        on_mesh = np.einsum("fk,fkd->fd", w, m.vertices[m.faces])
        return distance(on_mesh)

    a, b = surface_error(lean), surface_error(classic)
    assert a.mean() <= 1.05 * b.mean()
    assert a.max() <= 1.05 * b.max()
    assert sum(lean_points.values()) < 0.7 * sum(classic_points.values())


class Rows:
    """A field keeping every point it is asked about once a stage in
    `stages` has begun (the collapse's checks run in "vertices", the edge
    collapse in "faces")."""

    def __init__(self, field, stages):
        self.field = field
        self.stages = stages
        self.taking = False
        self.rows = []

    def __call__(self, p):
        if self.taking:
            self.rows.append(np.array(p, dtype=np.float64))
        return self.field(p)

    def progress(self, stage, done, total):
        self.taking = self.taking or stage in self.stages


@pytest.mark.parametrize("field", [ball(True), ball(False), torus()],
                         ids=["ball", "ball-values", "torus"])
def test_simplification_asks_about_each_point_once(field):
    # The checks sample each vertex in every triangle round it, and every
    # cell again on each pass that refuses another: each point must reach
    # the field once, however often it is sampled.
    rows = Rows(field, ("vertices", "projection", "faces"))
    result = karvex.mesh(rows, BOX, max_depth=5, simplify=2e-3, progress=rows.progress)
    asked = np.concatenate(rows.rows)
    assert len(result.faces) > 0 and len(asked) > 1000
    assert len(np.unique(asked, axis=0)) == len(asked)
