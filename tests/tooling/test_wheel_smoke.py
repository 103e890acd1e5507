"""Smoke test of an installed wheel: both modules import, the shipped files are
there, and a few closed shapes come out closed and facing outwards.

It needs only NumPy and pytest, so scripts/wheel.sh and cibuildwheel run it in
a fresh environment that holds nothing but the wheel; in the normal test run
it checks the build under test the same way.
"""
import importlib.metadata
import os
import subprocess
import sys

import numpy as np
import pytest

import _karvex_rs
import karvex

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


def sphere(points):
    r = np.linalg.norm(points, axis=1)
    return r - 0.8, points / np.maximum(r, 1e-12)[:, None]


def box_minus_sphere(points):
    """A cube of half-size 0.55 with a ball of radius 0.5 bitten out of one
    corner: flat faces, sharp edges and a concave spherical pocket."""
    q = np.abs(points) - 0.55
    outside = np.linalg.norm(np.maximum(q, 0.0), axis=1)
    cube = outside + np.minimum(np.max(q, axis=1), 0.0)
    ball = np.linalg.norm(points - 0.5, axis=1) - 0.5
    return np.ascontiguousarray(np.maximum(cube, -ball)), None


def torus(points):
    ring = np.hypot(points[:, 0], points[:, 1]) - 0.6
    return np.hypot(ring, points[:, 2]) - 0.25, None


# (field, Euler characteristic of its surface)
SHAPES = {"sphere": (sphere, 2), "box_minus_sphere": (box_minus_sphere, 2), "torus": (torus, 0)}


def check_closed_outward(vertices, faces, euler):
    assert vertices.dtype == np.float64 and vertices.ndim == 2 and vertices.shape[1] == 3
    assert faces.dtype == np.int64 and faces.ndim == 2 and faces.shape[1] == 3
    assert len(faces) > 0
    assert faces.min() >= 0 and faces.max() < len(vertices)
    directed = np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]])
    # Closed and consistently oriented: every directed edge occurs once and
    # its reverse occurs too.
    keys = directed[:, 0] * len(vertices) + directed[:, 1]
    reverse = directed[:, 1] * len(vertices) + directed[:, 0]
    assert len(np.unique(keys)) == len(keys), "an edge is walked twice in one direction"
    assert np.isin(reverse, keys).all(), "the mesh has a boundary"
    edges = len(keys) // 2
    assert len(np.unique(faces)) - edges + len(faces) == euler
    a, b, c = (vertices[faces[:, i]] for i in range(3))
    volume = np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6.0
    assert volume > 0.0, "faces point inwards"


@pytest.mark.parametrize("adaptive", [False, True])
@pytest.mark.parametrize("name", SHAPES)
def test_native_module_meshes_closed_shapes(name, adaptive):
    field, euler = SHAPES[name]
    vertices, faces = _karvex_rs.extract_mesh(field, *BOX, min_depth=3, max_depth=5,
                                              adaptive=adaptive)
    check_closed_outward(vertices, faces, euler)
    values, _ = field(vertices)
    assert np.abs(values).max() < 2.0 / 2**5  # within a cell of the surface


@pytest.mark.parametrize("name", SHAPES)
def test_package_meshes_closed_shapes(name):
    field, euler = SHAPES[name]
    result = karvex.mesh(field, BOX, max_depth=5)
    check_closed_outward(np.asarray(result.vertices), np.asarray(result.faces), euler)


def test_installed_distribution_ships_modules_stub_and_metadata():
    if os.environ.get("KARVEX_MODULE_DIR"):
        pytest.skip("testing a build directory, not an installed wheel")
    try:
        dist = importlib.metadata.distribution("karvex")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("karvex is not installed")
    assert dist.version == karvex.__version__
    shipped = {str(f) for f in dist.files or ()}
    assert {"_karvex_rs-stubs/__init__.pyi", "karvex/py.typed", "karvex/__init__.py"} <= shipped
    assert any(f.startswith("_karvex_rs.") and f.endswith(".so") for f in shipped), shipped
    # Both modules come from the installed distribution, not from a checkout.
    site = os.path.realpath(str(dist.locate_file("")))
    for module in (karvex, _karvex_rs):
        assert os.path.realpath(module.__file__).startswith(site), module.__file__
    requires = dist.requires or []
    assert any(r.startswith("numpy") for r in requires)
    assert {"io", "dask", "progress", "dev", "plot", "view", "volumes", "docs"} <= set(
        dist.metadata.get_all("Provides-Extra") or [])
    # The command line is installed as a console script beside the interpreter.
    (script,) = [ep for ep in dist.entry_points if ep.group == "console_scripts"]
    assert (script.name, script.value) == ("karvex", "karvex._cli:run")
    done = subprocess.run([os.path.join(os.path.dirname(sys.executable), "karvex"), "--version"],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.strip()) == (0, f"karvex {karvex.__version__}")
