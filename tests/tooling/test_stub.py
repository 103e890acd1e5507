"""The type stub agrees with the module, installs with it, and type-checks the examples."""
import ast
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _karvex_rs

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "_karvex_rs.pyi"


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_functions():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.FunctionDef)}


def stub_signature(node):
    """The runtime-visible part of a stub signature: names, kinds, defaults."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    kinds = ([inspect.Parameter.POSITIONAL_ONLY] * len(args.posonlyargs)
             + [inspect.Parameter.POSITIONAL_OR_KEYWORD] * len(args.args))
    params = [inspect.Parameter(a.arg, kind, default=default)
              for a, kind, default in zip(positional, kinds, defaults)]
    assert not (args.vararg or args.kwarg or args.kwonlyargs), "the module has no such parameters"
    return inspect.Signature(params)


def test_stub_lists_exactly_the_module_functions():
    public = {name for name in stub_functions() if not name.startswith("_")}
    assert public == set(_karvex_rs.__all__)
    stub_all = next(node.value for node in stub_tree().body
                    if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    assert ast.literal_eval(stub_all) == _karvex_rs.__all__


@pytest.mark.parametrize("name", _karvex_rs.__all__)
def test_stub_signature_and_docstring_match_the_module(name):
    node = stub_functions()[name]
    runtime = getattr(_karvex_rs, name)
    expected = inspect.signature(runtime)
    actual = stub_signature(node)
    assert actual == expected
    # Defaults compare equal across types (False == 0); check the types too.
    for p in expected.parameters.values():
        assert type(actual.parameters[p.name].default) is type(p.default)
    # The stub may say more, but starts with exactly what help() shows at run time.
    assert ast.get_docstring(node).startswith(runtime.__doc__)


def test_install_puts_the_stub_package_beside_the_module(tmp_path):
    """`cmake --install` (what a wheel contains) ships the PEP 561 stub package."""
    build_dir = os.environ.get("KARVEX_MODULE_DIR")
    if not build_dir or not (Path(build_dir) / "cmake_install.cmake").exists():
        pytest.skip("needs KARVEX_MODULE_DIR pointing at a CMake build directory")
    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake not found")
    subprocess.run([cmake, "--install", build_dir, "--prefix", str(tmp_path)], check=True,
                   capture_output=True)
    installed = tmp_path / "_karvex_rs-stubs" / "__init__.pyi"
    assert installed.read_bytes() == STUB.read_bytes()
    assert list(tmp_path.glob("_karvex_rs.*.so"))


# Lines that must each be reported as an error: the stub is precise enough to
# catch the common mistakes with the eval_fn contract and the arguments.
MISUSE = textwrap.dedent("""\
    import numpy as np
    from numpy.typing import NDArray
    import _karvex_rs

    def f32(p: NDArray[np.float64]) -> tuple[NDArray[np.float32], None]:
        return p[:, 0].astype(np.float32), None

    def no_pair(p: NDArray[np.float64]) -> NDArray[np.float64]:
        return p[:, 0]

    def ok(p: NDArray[np.float64]) -> tuple[NDArray[np.float64], None]:
        return p[:, 0] - 0.5, None

    _karvex_rs.extract_mesh(f32, (0, 0, 0), (1, 1, 1))  # E
    _karvex_rs.extract_mesh(no_pair, (0, 0, 0), (1, 1, 1))  # E
    _karvex_rs.extract_mesh(ok, "abc", (1, 1, 1))  # E
    _karvex_rs.extract_mesh(ok, (0, 0, 0), (1, 1, 1), max_depth=6.0)  # E
    _karvex_rs.extract_mesh(ok, (0, 0, 0), (1, 1, 1), depth=6)  # E
    _karvex_rs.test_batch_eval(ok, "abc")  # E
    vertices, faces = _karvex_rs.extract_mesh(ok, (0, 0, 0), (1, 1, 1), adaptive=np.True_)
    stats = _karvex_rs.build_octree_uniform(ok, np.zeros(3), [1.0, 1, 1.5], 3, iso_value=1)
    reveal_type(vertices)
    reveal_type(faces)
    reveal_type(stats)
    """)


def test_mypy_strict_on_the_examples_and_on_misuse(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (it is in scripts/requirements-dev.txt)")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE, encoding="utf-8")
    cache = Path(os.environ.get("KARVEX_MODULE_DIR") or tmp_path) / "mypy_cache"
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache),
         "--hide-error-context", "--no-error-summary", str(ROOT / "examples"), str(misuse)],
        cwd=ROOT, env={**os.environ, "MYPYPATH": str(STUB.parent)},
        capture_output=True, text=True, timeout=300)
    lines = done.stdout.splitlines()
    assert not [line for line in lines if "examples" in line], done.stdout
    reported = {int(line.split(":")[1]) for line in lines if ": error:" in line}
    expected = {n for n, text in enumerate(MISUSE.splitlines(), 1) if text.endswith("# E")}
    assert reported == expected, done.stdout
    notes = [line.split("Revealed type is ")[1].replace("builtins.", "")
             for line in lines if "Revealed type" in line]
    assert len(notes) == 3, done.stdout
    vertices, faces, stats = notes
    assert vertices.startswith('"numpy.ndarray[') and "numpy.dtype[numpy.float64]]" in vertices
    assert faces.startswith('"numpy.ndarray[') and ("int64]" in faces or "_64Bit]]]" in faces)
    assert stats == '"tuple[int, int, int, int, int, int]"'
