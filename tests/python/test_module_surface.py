"""The module as Python sees it: import, function table, signatures, PanicException."""
import importlib
import inspect
import sys

import numpy as np
import pytest

import _karvex_rs

TABLE = [
    ("extract_mesh",
     "(eval_fn, bbox_min, bbox_max, min_depth=3, max_depth=7, angle_threshold_deg=30.0, "
     "iso_value=0.0, adaptive=False)",
     "Isosurface extraction entry point.\n\n"
     "Builds an adaptive octree, runs Dual Contouring, and returns a triangle mesh."),
    ("build_octree_uniform", "(eval_fn, bbox_min, bbox_max, depth, iso_value=0.0)",
     "Build a uniform octree and return statistics."),
    ("build_octree_adaptive", "(eval_fn, bbox_min, bbox_max, min_depth, max_depth, iso_value=0.0)",
     "Build an adaptive octree and return statistics."),
    ("test_batch_eval", "(eval_fn, points)",
     "Test function to verify the batch evaluation bridge works."),
    ("test_fd_gradients", "(eval_fn, points, step=1e-5)",
     "Test function for finite-difference gradient estimation."),
]


def test_module_attributes():
    assert _karvex_rs.__doc__ == ""
    assert _karvex_rs.__all__ == [name for name, _, _ in TABLE]
    assert not hasattr(_karvex_rs, "PanicException")


@pytest.mark.parametrize("name,signature,doc", TABLE, ids=[row[0] for row in TABLE])
def test_function_surface(name, signature, doc):
    fn = getattr(_karvex_rs, name)
    assert fn.__module__ == "_karvex_rs"
    assert fn.__doc__ == doc
    assert fn.__text_signature__ == signature
    parameters = inspect.signature(fn).parameters.values()
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)


def test_extract_mesh_defaults_from_signature():
    parameters = inspect.signature(_karvex_rs.extract_mesh).parameters.items()
    defaults = {name: p.default for name, p in parameters
                if p.default is not inspect.Parameter.empty}
    assert defaults == {"min_depth": 3, "max_depth": 7, "angle_threshold_deg": 30.0,
                        "iso_value": 0.0, "adaptive": False}


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("_karvex_rs")
    try:
        second = importlib.import_module("_karvex_rs")
        assert second is first
        assert importlib.reload(second) is first
        assert first.__all__ == [name for name, _, _ in TABLE]
    finally:
        sys.modules["_karvex_rs"] = first


def _panic():
    """Provokes an internal invariant failure: too few values for the stencil."""
    try:
        _karvex_rs.test_fd_gradients(lambda p: (np.zeros(1), None), [(0.0, 0.0, 0.0)])
    except BaseException as exc:  # noqa: BLE001 - the type is what is under test
        return exc
    pytest.fail("no exception raised")


def test_panic_exception_type():
    exc = _panic()
    cls = type(exc)
    assert cls.__name__ == cls.__qualname__ == "PanicException"
    assert cls.__module__ not in ("_karvex_rs", "builtins")
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert exc.args == ("index out of bounds: the len is 1 but the index is 1",)
    assert "BaseException" in cls.__doc__ and "SystemExit" in cls.__doc__
    for language in ("Rust", "C++", "rust"):
        assert language not in cls.__doc__
    # Created once per process: every failure raises the same class.
    assert type(_panic()) is cls


def test_import_from_a_subinterpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    module_dir = str(__import__("pathlib").Path(_karvex_rs.__file__).parent)
    # A legacy interpreter allows single-phase modules, so the module's own
    # refusal is what is seen (an isolated one is refused by CPython first).
    interp = interpreters.create("legacy")
    try:
        error = interpreters.exec(interp, f"import sys; sys.path.insert(0, {module_dir!r})\n"
                                          "import _karvex_rs")
    finally:
        interpreters.destroy(interp)
    assert error is not None
    assert error.type.__name__ == "ImportError"
    assert "subinterpreters" in error.msg and error.msg.startswith("_karvex_rs")
