"""karvex.mesh through its public surface: arguments, batching, normals and
the mapping of native failures."""

import inspect
import types

import numpy as np
import pytest

import karvex
from karvex import _engine
from support.fields import BALL as sphere
from support.fields import BALL_VALUES as sphere_values
from support.fields import BOX


def test_signature_is_the_documented_one():
    params = inspect.signature(karvex.mesh).parameters
    assert [(p.name, p.kind.name, p.default) for p in params.values()] == [
        ("field", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("bounds", "POSITIONAL_OR_KEYWORD", None),
        ("max_depth", "KEYWORD_ONLY", None), ("min_depth", "KEYWORD_ONLY", 3),
        ("level", "KEYWORD_ONLY", 0.0), ("sharp_angle", "KEYWORD_ONLY", 30.0),
        ("adaptive", "KEYWORD_ONLY", False), ("simplify", "KEYWORD_ONLY", None),
        ("keep", "KEYWORD_ONLY", "all"),
        ("batch_size", "KEYWORD_ONLY", 262144), ("normals", "KEYWORD_ONLY", False),
        ("progress", "KEYWORD_ONLY", None), ("workers", "KEYWORD_ONLY", None),
        ("tiles", "KEYWORD_ONLY", 1), ("client", "KEYWORD_ONLY", None),
    ]


def test_run_defaults_are_the_native_tables():
    """karvex.mesh shows the run's defaults in its signature; they are declared
    in karvex._native's keyword table, and the two must never drift apart."""
    from karvex import _native

    ours = inspect.signature(karvex.mesh).parameters
    table = inspect.signature(_native.extract_mesh).parameters
    shared = [name for name in ours if name in table and name not in ("field", "bounds")]
    assert shared == ["max_depth", "min_depth", "level", "sharp_angle", "adaptive", "simplify",
                      "progress", "workers"]
    # None for max_depth: the table's 7, or a volume's own depth.
    from karvex._default_depth import DEFAULT_MAX_DEPTH

    defaults = {name: ours[name].default for name in shared} | {"max_depth": DEFAULT_MAX_DEPTH}
    assert defaults == {name: table[name].default for name in shared}


BAD_ARGUMENTS = {
    "field not callable": ({"field": 3}, TypeError, r"field must be a callable .* got 3 \(int\)"),
    "bounds scalar pair": ({"bounds": (-1, 1)}, ValueError,
                           r"bounds must be two corners .* got \(-1, 1\) \(shape \(2,\)\)"),
    "bounds text": ({"bounds": "cube"}, TypeError, r"bounds must be two corners .* 'cube' \(str\)"),
    "bounds ragged": ({"bounds": ((0, 0), (1, 1, 1))}, TypeError, r"bounds must be two corners"),
    "bounds NaN": ({"bounds": ((0, 0, np.nan), (1, 1, 1))}, ValueError,
                   r"bounds must be finite numbers"),
    "bounds reversed": ({"bounds": ((0, 1, 0), (1, 0, 1))}, ValueError,
                        r"lower corner first .* whose y range is empty"),
    "bounds flat": ({"bounds": ((0, 0, 0), (1, 1, 0))}, ValueError, r"whose z range is empty"),
    "max_depth float": ({"max_depth": 5.0}, TypeError, r"max_depth must be an integer, got 5\.0"),
    "max_depth bool": ({"max_depth": True}, TypeError, r"max_depth must be an integer, got True"),
    "max_depth high": ({"max_depth": 32}, ValueError,
                       r"max_depth must be an integer from 0 to 31, got 32"),
    "min_depth negative": ({"min_depth": -1}, ValueError,
                           r"min_depth must be an integer from 0 to 31, got -1"),
    "min above max": ({"min_depth": 5, "max_depth": 4}, ValueError,
                      r"min_depth must not exceed max_depth, got min_depth=5 and max_depth=4"),
    "level text": ({"level": "0"}, TypeError, r"level must be a real number, got '0' \(str\)"),
    "level infinite": ({"level": np.inf}, ValueError, r"level must be finite, got inf"),
    "angle range": ({"sharp_angle": 200}, ValueError,
                    r"sharp_angle must be an angle in degrees from 0 to 180, got 200"),
    "angle NaN": ({"sharp_angle": float("nan")}, ValueError, r"sharp_angle must be finite, got nan"),
    "adaptive int": ({"adaptive": 1}, TypeError, r"adaptive must be True or False, got 1 \(int\)"),
    "keep unknown": ({"keep": "biggest"}, ValueError, r"keep must be \"largest\" .* got 'biggest'"),
    "keep array": ({"keep": np.array(["all"])}, ValueError, r"keep must be \"largest\""),
    "batch_size zero": ({"batch_size": 0}, ValueError,
                        r"batch_size must be an integer 1 or more, got 0"),
    "batch_size float": ({"batch_size": 1e5}, TypeError, r"batch_size must be an integer"),
    "normals None": ({"normals": None}, TypeError, r"normals must be True or False, got None"),
    "progress text": ({"progress": "yes"}, TypeError,
                      r"progress must be True .* or a callable .* got 'yes' \(str\)"),
    "workers zero": ({"workers": 0}, ValueError, r"workers must be an integer 1 or more, got 0"),
}


@pytest.mark.parametrize("changes, error, message", BAD_ARGUMENTS.values(),
                         ids=BAD_ARGUMENTS.keys())
def test_bad_arguments_are_named_before_the_field_is_called(changes, error, message):
    calls = []

    def field(p):
        calls.append(len(p))
        return sphere(p)

    arguments = {"field": field, "bounds": BOX, **changes}
    with pytest.raises(error, match=message):
        karvex.mesh(arguments.pop("field"), arguments.pop("bounds"), **arguments)
    assert calls == []


@pytest.mark.parametrize("changes", [
    {"max_depth": np.int64(3), "min_depth": np.uint8(2)},
    {"level": np.float32(0.1), "sharp_angle": 0, "adaptive": np.True_},
    {"bounds": np.array(BOX), "batch_size": None, "progress": False, "workers": 1},
])
def test_numpy_scalars_and_arrays_are_accepted(changes):
    arguments = {"bounds": BOX, "max_depth": 3, **changes}
    assert len(karvex.mesh(sphere, arguments.pop("bounds"), **arguments).faces) > 0


@pytest.mark.parametrize("field", [sphere, sphere_values], ids=["gradients", "values only"])
def test_split_calls_give_the_same_mesh_and_never_exceed_the_batch(field):
    sizes = []

    def counted(p):
        sizes.append(len(p))
        return field(p)

    whole = karvex.mesh(field, BOX, max_depth=5, normals=True, batch_size=None)
    split = karvex.mesh(counted, BOX, max_depth=5, normals=True, batch_size=1000)
    assert max(sizes) == 1000 and len(sizes) > 20
    for name in ("vertices", "faces", "normals"):
        a, b = getattr(whole, name), getattr(split, name)
        assert a.shape == b.shape and a.tobytes() == b.tobytes(), name


@pytest.mark.parametrize("field", [sphere, sphere_values], ids=["gradients", "values only"])
def test_normals_match_the_analytic_sphere(field):
    m = karvex.mesh(field, BOX, max_depth=5, normals=True)
    expected = m.vertices / np.linalg.norm(m.vertices, axis=1)[:, None]
    assert m.normals.shape == m.vertices.shape and m.normals.dtype == np.float64
    np.testing.assert_allclose(np.linalg.norm(m.normals, axis=1), 1.0, atol=1e-12)
    np.testing.assert_allclose(m.normals, expected, atol=1e-6)


def test_normals_fall_back_to_the_faces_where_the_gradient_vanishes():
    def flat_gradients(p):
        return sphere(p)[0], np.zeros((len(p), 3))

    m = karvex.mesh(flat_gradients, BOX, max_depth=4, normals=True)
    outward = np.einsum("ij,ij->i", m.normals, m.vertices / np.linalg.norm(m.vertices, axis=1)[:, None])
    assert outward.min() > 0.95


def test_no_surface_in_the_box_gives_an_empty_mesh():
    with pytest.warns(karvex.EmptyMeshWarning, match="run from 1 to 1 and never cross level=0.0"):
        m = karvex.mesh(lambda p: (np.ones(len(p)), None), BOX, max_depth=3, normals=True)
    assert m.vertices.shape == (0, 3) and m.faces.shape == (0, 3) and m.normals.shape == (0, 3)
    assert not m.is_closed and m.is_oriented and m.euler_characteristic == 0
    assert m.area == 0.0 and m.volume == 0.0 and m.components() == []


def test_level_offsets_the_surface():
    radii = [np.linalg.norm(karvex.mesh(sphere, BOX, max_depth=4, level=level).vertices,
                            axis=1) for level in (-0.2, 0.0, 0.2)]
    np.testing.assert_allclose([r.mean() for r in radii], [0.5, 0.7, 0.9], atol=1e-3)


def test_a_missing_extension_is_named(monkeypatch):
    def import_module(name):
        raise ModuleNotFoundError(f"No module named {name!r}", name=name)

    monkeypatch.setattr(_engine.importlib, "import_module", import_module)
    with pytest.raises(ImportError, match=r"karvex\._native is missing.*Reinstall karvex"):
        karvex.mesh(sphere, BOX, max_depth=3)


class PanicException(BaseException):
    """Stands in for the native module's internal-failure exception."""


def _fake_native(raised):
    def extract_mesh(*args, **options):
        raise raised

    return types.SimpleNamespace(extract_mesh=extract_mesh, PanicException=PanicException)


def test_native_panic_becomes_meshing_error(monkeypatch):
    panic = PanicException("index out of bounds: the len is 3 but the index is 3")
    monkeypatch.setattr(_engine, "_native_module", lambda: _fake_native(panic))
    try:
        karvex.mesh(sphere, BOX, max_depth=3)
    except Exception as error:  # a MeshingError is an Exception, the panic is not
        assert type(error) is karvex.MeshingError and isinstance(error, RuntimeError)
        assert str(error) == "index out of bounds: the len is 3 but the index is 3"
        assert error.__cause__ is panic
    else:
        pytest.fail("no error raised")


@pytest.mark.parametrize("raised", [KeyboardInterrupt(), MemoryError(), ValueError("x")])
def test_other_native_exceptions_pass_unchanged(monkeypatch, raised):
    monkeypatch.setattr(_engine, "_native_module", lambda: _fake_native(raised))
    with pytest.raises(type(raised)) as caught:
        karvex.mesh(sphere, BOX, max_depth=3)
    assert caught.value is raised


def test_a_subclass_named_otherwise_is_not_taken_for_a_panic(monkeypatch):
    class Derived(PanicException):
        pass

    monkeypatch.setattr(_engine, "_native_module", lambda: _fake_native(Derived("x")))
    with pytest.raises(Derived):
        karvex.mesh(sphere, BOX, max_depth=3)


def test_a_user_exception_named_panic_exception_passes_unchanged(monkeypatch):
    # Only the native module's own class is a panic, whatever another is named.
    lookalike = type("PanicException", (BaseException,), {})("from the field")
    monkeypatch.setattr(_engine, "_native_module", lambda: _fake_native(lookalike))
    with pytest.raises(BaseException) as caught:
        karvex.mesh(sphere, BOX, max_depth=3)
    assert caught.value is lookalike

    def field(points):
        raise lookalike

    with pytest.raises(BaseException) as caught:
        karvex.mesh(field, BOX, max_depth=3)
    assert caught.value is lookalike


def test_the_native_extension_receives_every_option_by_keyword(monkeypatch):
    """Only the field and the box go by position; every option by keyword,
    under the names of the native keyword table. This stand-in records them
    and meshes with the real module."""
    from karvex import _native

    received = []

    def extract_mesh(field, lo, hi, **options):
        received.append((lo, hi, options))
        return _native.extract_mesh(field, lo, hi, **options)

    monkeypatch.setattr(_engine, "_native_module", lambda: types.SimpleNamespace(
        extract_mesh=extract_mesh, PanicException=_native.PanicException))
    stages = []
    progress = lambda *r: stages.append(r[0])  # noqa: E731
    bounds = ((-1, -2, -3), (1, 2, 3))
    m = karvex.mesh(sphere, bounds, max_depth=4, min_depth=2, level=0.1, sharp_angle=45,
                    adaptive=True, keep="all", workers=3, simplify=0.01, progress=progress)
    lo, hi, options = received[0]
    assert (lo, hi) == ((-1.0, -2.0, -3.0), (1.0, 2.0, 3.0))
    table = list(inspect.signature(_native.extract_mesh).parameters)[3:]
    # volume= goes only with a grid_field, tile= only with tiles (below);
    # lean_sampling keeps the table's default.
    unsent = ("volume", "tile", "lean_sampling")
    assert sorted(options) == sorted(t for t in table if t not in unsent)
    assert {k: options[k] for k in table if k not in ("progress", *unsent)} == dict(
        min_depth=2, max_depth=4, level=0.1, sharp_angle=45, adaptive=True, keep_all=True,
        simplify=0.01, find_small=True, workers=3, bounds=bounds)
    assert callable(options["progress"]) and "initial grid" in stages and m.is_closed
    karvex.mesh(sphere, BOX, max_depth=3)
    # workers=None and simplify=None: the extension's defaults; small
    # features are always looked for.
    options = received[-1][2]
    assert (options["workers"], options["simplify"], options["find_small"]) == (None, None, True)
    # A grid field goes as volume=, its array itself, with no field to call.
    samples = np.linspace(-1.0, 1.0, 27, dtype=np.float32).reshape(3, 3, 3)
    karvex.mesh(karvex.grid_field(samples, inside="above"), max_depth=2, min_depth=1)
    lo, hi, options = received[-1]
    assert sorted(options) == sorted(t for t in table if t not in ("tile", "lean_sampling"))
    assert np.shares_memory(options["volume"][0], samples) and options["volume"][1:] == (
        (1.0, 1.0, 1.0), (0.0, 0.0, 0.0), True)
