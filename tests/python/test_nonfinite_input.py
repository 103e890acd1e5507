"""Non-finite and contradictory input: refused before eval_fn runs, or meshed soundly.

A NaN or infinite iso_value or angle_threshold_deg, and a box reversed on one
axis, are ValueErrors naming the argument and its value, raised before the
field is called. Gradients that are infinite, overflow or vanish, with finite
values, never put a NaN or an infinity into the mesh.
"""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _karvex_rs as k
from support.fields import BOX, Recorder, sphere

INF, NAN = math.inf, math.nan
LO, HI = BOX

# Each function with its required depths, so that a row can add one keyword.
CALLS = {
    "extract_mesh": lambda f, lo, hi, **kw: k.extract_mesh(f, lo, hi, 1, 3, **kw),
    "build_octree_uniform": lambda f, lo, hi, **kw: k.build_octree_uniform(f, lo, hi, 3, **kw),
    "build_octree_adaptive": lambda f, lo, hi, **kw: k.build_octree_adaptive(f, lo, hi, 1, 3,
                                                                             **kw),
}
ALL = tuple(CALLS)


class FloatOf:
    """Converts to the given float through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def _box_message(axis, lo, hi):
    return (f"bbox_max must not be below bbox_min on any axis, but it is on the {axis} axis "
            f"(got bbox_min=({', '.join(map(repr, lo))}), bbox_max=({', '.join(map(repr, hi))}))")


REVERSED_X = ((0.5, -1.0, -1.0), (-0.5, 1.0, 1.0))
REVERSED_Z = ((-1.0, -1.0, 2.0), (1.0, 1.0, 1.0))
# Reversed on two axes; the first is named.
REVERSED_YZ = ((-1.0, 1.0, 1.0), (1.0, -1.0, 0.0))

# (functions, keywords, box, message)
REFUSED = [
    (ALL, {"iso_value": NAN}, BOX, "iso_value must be a finite number (got nan)"),
    (ALL, {"iso_value": INF}, BOX, "iso_value must be a finite number (got inf)"),
    (ALL, {"iso_value": -INF}, BOX, "iso_value must be a finite number (got -inf)"),
    (("extract_mesh",), {"angle_threshold_deg": NAN}, BOX,
     "angle_threshold_deg must be a finite number (got nan)"),
    (("extract_mesh",), {"angle_threshold_deg": INF}, BOX,
     "angle_threshold_deg must be a finite number (got inf)"),
    (("extract_mesh",), {"angle_threshold_deg": -INF}, BOX,
     "angle_threshold_deg must be a finite number (got -inf)"),
    # A NumPy scalar and an object with __float__ convert first, then are checked.
    (ALL, {"iso_value": np.float64("nan")}, BOX, "iso_value must be a finite number (got nan)"),
    (ALL, {"iso_value": FloatOf(-INF)}, BOX, "iso_value must be a finite number (got -inf)"),
    (("extract_mesh",), {"angle_threshold_deg": FloatOf(NAN)}, BOX,
     "angle_threshold_deg must be a finite number (got nan)"),
    (ALL, {}, REVERSED_X, _box_message("x", *REVERSED_X)),
    (ALL, {}, REVERSED_Z, _box_message("z", *REVERSED_Z)),
    (ALL, {}, REVERSED_YZ, _box_message("y", *REVERSED_YZ)),
    # The box's own checks keep their messages and come first.
    (ALL, {"iso_value": NAN}, ((0.0, 0.0, 0.0), (-1.0, -1.0, -1.0)),
     "bbox_max must be greater than bbox_min on at least one axis "
     "(got bbox_min=(0.0, 0.0, 0.0), bbox_max=(-1.0, -1.0, -1.0))"),
    (ALL, {"iso_value": NAN}, ((0.0, 0.0, NAN), (1.0, 1.0, 1.0)),
     "bbox_min and bbox_max must be finite (got bbox_min=(0.0, 0.0, nan), "
     "bbox_max=(1.0, 1.0, 1.0))"),
]


@pytest.mark.parametrize("name, kwargs, box, message", [
    pytest.param(name, kwargs, box, message, id=f"{name}-{i}")
    for i, (names, kwargs, box, message) in enumerate(REFUSED) for name in names])
def test_refused_before_eval_fn_is_called(name, kwargs, box, message):
    field = Recorder(sphere())
    with pytest.raises(ValueError) as raised:
        CALLS[name](field, *box, **kwargs)
    assert str(raised.value) == message
    assert field.calls == 0


# Still accepted as before: a box flat on one axis (not below), finite extremes.
@pytest.mark.parametrize("kwargs, box", [
    ({}, ((-1.0, -1.0, 0.0), (1.0, 1.0, 0.0))),
    ({"iso_value": 1e308}, BOX),
    ({"iso_value": -0.0}, BOX),
], ids=["flat-box", "huge-iso", "negative-zero-iso"])
@pytest.mark.parametrize("name", ALL)
def test_finite_extremes_stay_accepted(name, kwargs, box):
    CALLS[name](sphere(), *box, **kwargs)


def test_angle_extremes_stay_accepted():
    for angle in (-1e308, 0.0, 1e308):
        vertices, faces = k.extract_mesh(sphere(), *BOX, 2, 3, angle_threshold_deg=angle,
                                         adaptive=True)
        assert len(faces) > 0


# --- gradients beyond the doubles ------------------------------------------

def test_infinite_slab_gradients_give_a_finite_mesh():
    """The case from the report: a slab whose gradients are all infinite."""
    def slab(p):
        return p[:, 2] - 0.1, np.full_like(p, np.inf)
    vertices, faces = k.extract_mesh(slab, *BOX, 3, 5)
    assert len(vertices) == 1024
    assert np.isfinite(vertices).all()
    # Every vertex sits on the slab within a bisection step of its edge.
    assert np.abs(vertices[:, 2] - 0.1).max() <= 2.0 / 32 / 256


GRADIENT_KINDS = ["exact", "zero", "inf", "-inf", "huge", "tiny", "nan"]


def _field(shape, value_scale, kinds):
    """A field with finite values and gradients chosen per point and component
    from `kinds` (None: no gradients at all)."""
    centre, radius, normal = shape

    def field(p):
        d = p - centre
        if radius is None:
            values = d @ normal
            exact = np.broadcast_to(normal, p.shape)
        else:
            r = np.sqrt(np.einsum("ij,ij->i", d, d))
            values = r - radius
            exact = d / np.maximum(r, 1e-300)[:, None]
        values = values * value_scale
        if kinds is None:
            return values, None
        # A kind for each point and component, fixed by the point's position.
        cell = np.floor(p * 7.0).astype(np.int64).sum(axis=1)
        gradients = np.empty_like(p)
        for c in range(3):
            which = (cell + c) % len(kinds)
            for i, kind in enumerate(kinds):
                rows = which == i
                g = exact[rows, c] * value_scale
                gradients[rows, c] = {
                    "exact": g, "zero": 0.0 * g, "inf": np.inf, "-inf": -np.inf,
                    "huge": 1e300 * np.sign(g), "tiny": 1e-300 * g, "nan": np.nan}[kind]
        return values, gradients
    return field


shapes = st.one_of(
    st.tuples(st.tuples(*[st.floats(-0.3, 0.3)] * 3).map(np.array), st.floats(0.2, 0.8),
              st.just(None)),
    st.tuples(st.tuples(*[st.floats(-0.5, 0.5)] * 3).map(np.array), st.none(),
              st.tuples(*[st.floats(-1, 1)] * 3).filter(lambda n: max(map(abs, n)) > 0.1)
              .map(np.array)))


@settings(max_examples=40, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(shape=shapes, value_scale=st.sampled_from([1.0, 1e-150, 1e300]),
       kinds=st.none() | st.lists(st.sampled_from(GRADIENT_KINDS), min_size=1, max_size=4),
       min_depth=st.integers(1, 2), extra=st.integers(0, 2), adaptive=st.booleans())
def test_finite_values_give_finite_vertices_whatever_the_gradients(
        shape, value_scale, kinds, min_depth, extra, adaptive):
    vertices, faces = k.extract_mesh(_field(shape, value_scale, kinds), *BOX, min_depth,
                                     min_depth + extra, adaptive=adaptive)
    assert vertices.dtype == np.float64 and vertices.shape[1:] == (3,)
    assert np.isfinite(vertices).all()
    assert faces.shape[1:] == (3,)
    if len(faces):
        assert faces.min() >= 0 and faces.max() < len(vertices)
