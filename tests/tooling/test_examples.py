"""The examples under examples/ run at small depths, and what they claim holds."""
import runpy
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from support.mesh_check import closed_mesh

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture
def example(monkeypatch):
    """Loads examples/<name>.py without running its main(); sibling modules
    (shapes, csg) are importable and dropped again afterwards."""
    monkeypatch.syspath_prepend(str(EXAMPLES))
    before = set(sys.modules)

    def load(name):
        return runpy.run_path(str(EXAMPLES / f"{name}.py"), run_name=f"example_{name}")

    yield load
    for name in set(sys.modules) - before:
        if getattr(sys.modules[name], "__file__", "") and str(EXAMPLES) in sys.modules[name].__file__:
            del sys.modules[name]


@pytest.mark.parametrize("flags", [[], ["--adaptive"], ["--no-gradients"]])
def test_sphere(example, flags, capsys):
    ns = example("sphere")
    m = ns["main"](["--max-depth", "4", *flags])
    vertices, faces = m.vertices, m.faces
    radius = ns["RADIUS"]
    # Projected onto the sphere, up to the bound of each vertex's cell (1/8).
    assert np.abs(np.linalg.norm(vertices, axis=1) - radius).max() < 0.01
    volume = closed_mesh(vertices, faces).volume
    assert volume == pytest.approx(4.0 / 3.0 * np.pi * radius**3, rel=0.05)
    assert f"{len(faces)} triangles" in capsys.readouterr().out


def test_csg_shapes_are_closed_with_sharp_corners(example):
    ns = example("csg")
    meshes = ns["main"](["--max-depth", "5"])
    assert set(meshes) == {"box-minus-sphere", "cylinders"}
    for m in meshes.values():
        assert closed_mesh(m.vertices, m.faces).volume > 0.0
    # The eight cube corners survive the cut and are reproduced, not bevelled:
    # far closer than the cell side of 1/16.
    assert ns["corner_error"](meshes["box-minus-sphere"].vertices) < 1e-3


def test_csg_gradients_match_finite_differences(example):
    """The analytic CSG gradients are what the examples' sharp edges rest on."""
    shapes = example("shapes")
    fields = [shapes["box"]((0.6, 0.5, 0.4)), shapes["cylinder"](0.3, 0.8, 1),
              shapes["torus"](0.6, 0.25), shapes["gyroid"](1.0, 0.15),
              shapes["rotated"](example("csg")["box_minus_sphere"](), (1.0, 2.0, 0.5), 25.0)]
    rng = np.random.default_rng(3)
    points = rng.uniform(-1.0, 1.0, size=(400, 3))
    step = 1e-6
    for field in fields:
        _, gradients = field(points)
        numeric = np.stack([(field(points + step * e)[0] - field(points - step * e)[0]) / (2 * step)
                            for e in np.eye(3)], axis=1)
        # Points on a crease (where min/max switch operand) have no gradient.
        agree = np.linalg.norm(gradients - numeric, axis=1) < 1e-4
        assert agree.mean() > 0.97


def test_gyroid_is_a_closed_surface_with_tunnels(example, capsys):
    ns = example("gyroid")
    m = ns["main"](["--min-depth", "3", "--max-depth", "5"])
    assert closed_mesh(m.vertices, m.faces).volume > 0.0
    genus = ns["genus"](m)
    assert genus == int(genus) and genus >= 10
    assert f"genus {genus:g}" in capsys.readouterr().out


def test_neural_field(example):
    ns = example("neural_field")
    m = ns["main"](["--max-depth", "4", "--chunk", "1000"])
    assert closed_mesh(m.vertices, m.faces).volume > 0.0
    assert np.abs(ns["torus_distance"](m.vertices)).mean() < 0.03


def test_neural_field_chunking_does_not_change_the_values(example):
    ns = example("neural_field")
    model = ns["trained_model"](samples=500, hidden=32)
    points = np.random.default_rng(0).uniform(-1.0, 1.0, size=(1001, 3))
    whole = ns["NeuralField"](model, chunk=4096)(points)
    chunked = ns["NeuralField"](model, chunk=7)(points)
    for a, b in zip(whole, chunked):
        assert a.dtype == np.float64
        np.testing.assert_allclose(a, b, rtol=1e-5, atol=1e-5)  # float32 model


def test_export_writes_loadable_files(example, tmp_path):
    trimesh = pytest.importorskip("trimesh")
    written = example("export")["main"](["--out-dir", str(tmp_path), "--max-depth", "4"])
    assert [p.suffix for p in written] == [".ply", ".obj", ".stl"]
    face_counts = {len(trimesh.load(p, force="mesh").faces) for p in written}
    assert len(face_counts) == 1 and face_counts.pop() > 0


def test_progress_counts_every_point(example, capsys):
    counter, observed = example("progress")["main"](["--max-depth", "4"])
    captured = capsys.readouterr()
    # The wrapper's count of points is the octree's own evaluation count.
    assert f"{counter.points} points; reported {counter.points}" in captured.out
    # Every stage of the mesh call ends once.
    stage_lines = [line for line in captured.out.splitlines() if line.startswith("  ")]
    assert len(stage_lines) == len(set(stage_lines)) > 5
    # One report line per call (stderr is not a terminal here).
    report_lines = [line for line in captured.err.splitlines() if line.startswith("call")]
    assert len(report_lines) == observed.calls >= 6


# Runs an example as a script; with KARVEX_MODULE_DIR the package comes from
# the source tree and its extension from the build, as in conftest.py.
SCRIPT_RUNNER = r"""
import os, runpy, sys
module_dir = os.environ.get("KARVEX_MODULE_DIR")
if module_dir:
    sys.path[:0] = [module_dir, sys.argv[1]]
    import karvex
    karvex.__path__.append(os.path.join(module_dir, "karvex"))
script = sys.argv[2]
sys.argv = sys.argv[2:]
sys.path.insert(0, os.path.dirname(script))
runpy.run_path(script, run_name="__main__")
"""


def test_an_example_runs_as_a_script():
    done = subprocess.run([sys.executable, "-c", SCRIPT_RUNNER, str(EXAMPLES.parent / "src"),
                           str(EXAMPLES / "csg.py"), "--max-depth", "3"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "box-minus-sphere:" in done.stdout and "cylinders:" in done.stdout


def test_zarr_volume_is_meshed_tile_by_tile_into_the_loaded_volumes_mesh(example, tmp_path):
    zarr = pytest.importorskip("zarr")
    pytest.importorskip("dask")
    trimesh = pytest.importorskip("trimesh")
    import karvex

    path, vertices, faces = example("zarr_volume")["main"](
        ["--out-dir", str(tmp_path), "--depth", "5", "--tiles", "2"])
    read = trimesh.load(path, process=False)
    assert read.is_watertight and (len(read.vertices), len(read.faces)) == (vertices, faces)
    loaded = zarr.open_array(str(tmp_path / "scan.zarr"), mode="r")[:]
    whole = karvex.mesh(karvex.grid_field(loaded, spacing=2 / 32, origin=(-1, -1, -1),
                                          inside="above"), max_depth=5, level=127.5)
    assert len(whole.faces) == faces
