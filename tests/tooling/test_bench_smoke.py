"""The peer benchmark (bench/peers) at tiny resolution: its fields, its measurements and
our side of the pipeline, so that a full run (bash bench/run_peers.sh) does not fail half
an hour in. The peers' own cases are skipped when they are not installed."""
import importlib.util
import math
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT))

from bench.peers import aims, fields, metrics, report, runner, suite, tables, tools  # noqa: E402,E501

needs_scipy = pytest.mark.skipif(importlib.util.find_spec("scipy") is None,
                                 reason="scipy (bench/requirements.txt) measures distances "
                                        "to the mesh")


@pytest.mark.parametrize("name", list(fields.FIELDS))
def test_the_three_forms_of_a_field_agree(name):
    """Values-only, with-gradients and per-point forms are one field: the same values
    (per point negated, manifold's sign), gradients matching central differences, and
    sharp-edge samples on the surface."""
    field = fields.make(name)
    p = np.random.default_rng(3).uniform(fields.LOW, fields.HIGH, (300, 3))
    values = field.values(p)
    with_values, gradients = field.with_gradients(p)
    np.testing.assert_allclose(with_values, values, atol=1e-12)
    np.testing.assert_allclose([-field.inside(*q) for q in p], values, atol=1e-12)
    step = 1e-6
    central = np.stack([(field.values(p + step * e) - field.values(p - step * e)) / (2 * step)
                        for e in np.eye(3)], axis=1)
    # Points within a step of a kink (CSG, |g|) may disagree; the bulk must not.
    assert np.mean(np.linalg.norm(central - gradients, axis=1) < 1e-5) > 0.97
    if field.edges is not None:
        edges = field.edges(500, np.random.default_rng(4))
        assert np.abs(field.values(edges)).max() < 1e-12


def test_reference_sampling_is_on_the_surface_and_uniform():
    field = fields.make("sphere")
    points, normals = metrics.reference_surface(field, 16000, np.random.default_rng(5))
    radius = np.linalg.norm(points, axis=1)
    np.testing.assert_allclose(radius, fields.RADIUS, atol=1e-9)
    np.testing.assert_allclose(normals, points / radius[:, None], atol=1e-9)
    # Uniform by area: each octant holds an eighth, within five standard deviations.
    octant = (points > 0) @ np.array([1, 2, 4])
    counts = np.bincount(octant, minlength=8)
    assert np.abs(counts - 2000).max() < 5 * math.sqrt(2000 * 7 / 8)


def _octahedron():
    vertices = np.array([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]],
                        dtype=float)
    faces = np.array([[0, 2, 4], [2, 1, 4], [1, 3, 4], [3, 0, 4],
                      [2, 0, 5], [1, 2, 5], [3, 1, 5], [0, 3, 5]])
    return vertices, faces


def test_topology_sees_holes_flips_and_fins():
    vertices, faces = _octahedron()
    assert metrics.topology(vertices, faces) == {"closed": True, "oriented": True,
                                                 "outward": True}
    assert not metrics.topology(vertices, faces[1:])["closed"]
    flipped = faces.copy()
    flipped[0] = flipped[0, ::-1]
    assert metrics.topology(vertices, flipped)["closed"]
    assert not metrics.topology(vertices, flipped)["oriented"]
    assert not metrics.topology(vertices, faces[:, ::-1])["outward"]
    # A fin on an edge: four triangles share it.
    fin = np.vstack([vertices, [[0.5, 0.5, 0.5]]])
    assert not metrics.topology(fin, np.vstack([faces, [[0, 2, 6], [2, 0, 6]]]))["closed"]
    # A triangle repeating an index is left out rather than counted as a hole.
    assert metrics.topology(vertices, np.vstack([faces, [[0, 0, 1]]]))["oriented"]


def test_min_angles():
    """Equilateral, a needle, a flat triangle and a point all get their smallest angle."""
    vertices = np.array([[0, 0, 0], [1, 0, 0], [0.5, math.sqrt(3) / 2, 0], [0, 0.01, 0],
                         [3, 0, 0]], dtype=float)
    faces = np.array([[0, 1, 2], [0, 1, 3], [0, 1, 4], [2, 2, 2]])
    np.testing.assert_allclose(metrics.min_angles_deg(vertices, faces),
                               [60.0, math.degrees(math.atan(0.01)), 0.0, 0.0], atol=1e-9)


@needs_scipy
def test_distance_to_mesh_is_exact_among_slivers():
    """A fan of 400 slivers: the nearest centroids mislead, the answer must not."""
    t = np.linspace(0.0, 2.0 * np.pi, 401)[:-1]
    rim = np.column_stack([np.cos(t), np.sin(t), np.zeros_like(t)])
    vertices = np.vstack([[0.0, 0.0, 0.0], rim])
    faces = np.array([[0, 1 + i, 1 + (i + 1) % 400] for i in range(400)])
    p = np.random.default_rng(6).normal(size=(500, 3)) * [1.0, 1.0, 0.05]
    found = metrics.distance_to_mesh(p, vertices, faces)
    a, b, c = (vertices[faces[:, i]] for i in range(3))
    brute = np.fmin.reduce(
        metrics.point_triangle_distance(p[:, None, :], a[None], b[None], c[None]), axis=1)
    np.testing.assert_allclose(found, brute, atol=1e-12)


def test_our_case_runs_and_measures():
    pytest.importorskip("_karvex_rs")
    case = runner.Case("karvex", "sphere", depth=4, gradients=True, repeats=1,
                       warmup_depth=3)
    out = runner.run_case(case)
    assert out["triangles"] > 100 and out["calls"] > 5 and out["points"] > 1000
    assert 0 < out["field_seconds"] <= out["wall"]
    assert out["peak_rss_mb"] >= out["baseline_rss_mb"] > 0
    assert out["closed"] and out["oriented"] and out["outward"]
    assert out["vertex_f_over_h_max"] < 1e-6  # projected onto the surface
    assert out["normal_consistency"] > 0.99
    if "chamfer" in out:
        assert out["chamfer"] < 0.1 * out["h"] and out["fscore"] > 0.0


def _prose(page):
    """The page without the content of its generated blocks."""
    return report.BLOCK.sub(lambda m: m.group(1) + m.group(4), page)


def test_suite_and_report_for_our_module_alone(tmp_path):
    """The driver in child processes, one case skipped by the cap, and the tables filled
    into a copy of the real page, whose hand-written text stays as it was."""
    pytest.importorskip("_karvex_rs")
    pytest.importorskip("matplotlib")
    import os

    results = suite.run_suite(["sphere"], [3, 4], os.environ.get("KARVEX_MODULE_DIR", ""),
                              tmp_path / "work", cap=1e-6, tool_names=("karvex",),
                              probe=False, log=lambda s: None)
    rows = results["rows"]
    assert [(r["gradients"], r["depth"], "skipped" in r) for r in rows] == [
        (True, 3, False), (True, 4, True), (False, 3, False), (False, 4, True)]
    docs = tmp_path / "docs"
    docs.mkdir()
    page = ROOT / "docs" / "benchmarks.md"  # left out of the sdist: then a bare page
    original = page.read_text(encoding="utf-8") if page.exists() else None
    if original is not None:
        (docs / "benchmarks.md").write_text(original, encoding="utf-8")
    text = report.write(results, docs).read_text(encoding="utf-8")
    if original is not None:
        assert _prose(text) == _prose(original)
    assert "| karvex, gradients | 3 |" in text and "skipped: predicted" in text
    generated = "".join(m.group(0) for m in report.BLOCK.finditer(text))
    assert "| torus |" not in generated  # the old run's rows are gone
    assert (docs / "images" / "bench_sphere.png").stat().st_size > 1000
    # A second write changes nothing: the blocks keep their place and their spacing.
    assert report.write(results, docs).read_text(encoding="utf-8") == text


def test_report_fill_leaves_other_blocks_and_names_missing_ones():
    page = ("intro\n<!-- generated: aims -->\nold\n<!-- end generated -->\nmiddle\n"
            "<!-- generated: elsewhere -->\nkept\n<!-- end generated -->\nend\n")
    filled = report.fill(page, {"aims": ["| a |", "|---|"]})
    assert filled == page.replace("old\n", "\n| a |\n|---|\n\n")
    with pytest.raises(ValueError, match="no block for stages: add a line "
                                         "'<!-- generated: stages -->'"):
        report.fill(page, {"aims": [], "stages": []})


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # raised inside the peers
@pytest.mark.parametrize("tool", ["skimage", "manifold"])
def test_peer_meshes_face_outwards(tool):
    """Each peer's sign and winding conventions, as the harness sets them up."""
    pytest.importorskip({"skimage": "skimage", "manifold": "manifold3d"}[tool],
                        reason=f"{tool} is a benchmark-only dependency (bench/requirements.txt)")
    run = tools.run(tool, fields.make("torus"), 4)
    assert len(run.faces) > 100 and run.points > 4000
    # Both peers report their time inside the field (manifold3d's less the timer's cost).
    assert run.field_seconds is not None and run.field_seconds > 0
    assert metrics.topology(run.vertices, run.faces) == {"closed": True, "oriented": True,
                                                         "outward": True}


def _row(tool, field, depth, gradients=False, **numbers):
    return {"tool": tool, "field": field, "depth": depth, "gradients": gradients, "h": 0.1,
            **numbers}


@pytest.mark.parametrize("ours, verdict", [
    ({"points": 10, "wall": 1.0, "chamfer": 1e-5}, (True, [])),
    ({"points": 10, "wall": 1.0, "chamfer": 2e-5}, (True, [])),  # an equal error is enough
    ({"points": 30, "wall": 2.0, "chamfer": 1e-5}, (False, ["points 1.50x"])),
    ({"points": 10, "wall": 1.0, "chamfer": 3e-5}, (False, ["error 1.50x"])),
    ({"points": 20, "wall": 1.0, "mesh_to_surface_mean": 4e-5},
     (False, ["points 1.00x", "error 2.00x"])),
    ({"points": 10, "wall": 1.0}, None),  # no error measured
    ({"points": -1, "wall": 1.0, "chamfer": 1e-5}, None),  # points not counted
])
def test_dominance_needs_fewer_points_and_no_larger_error(ours, verdict):
    dense = {"points": 20, "wall": 2.0, "chamfer": 2e-5, "mesh_to_surface_mean": 2e-5}
    assert tables.dominance(ours, dense, "points") == verdict


def test_aims_measure_verdicts_and_say_what_did_not_run():
    rows = [_row("karvex", "sphere", 8, True, points=1_500_000, calls=21, wall=0.4),
            _row("karvex", "sphere", 8, False, points=7_320_000, calls=30, wall=0.3),
            _row("karvex", "sphere", 9, True, wall=2.0, field_seconds=1.5, triangles=1_000_000,
                 peak_rss_mb=400.0),
            _row("skimage", "sphere", 9, wall=4.0, field_seconds=1.0, peak_rss_mb=600.0),
            _row("karvex", "gyroid", 9, True, wall=30.0, field_seconds=25.0,
                 triangles=3_000_000, peak_rss_mb=900.0),
            _row("skimage", "gyroid", 9, wall=20.0, field_seconds=15.0, peak_rss_mb=600.0),
            _row("karvex", "mlp", 8, False, skipped="predicted 900 s per run")]
    got = aims.aims({"rows": rows, "workers": 2})
    assert [verdict for _, _, verdict in got] == [
        "met", "**missed**", "–", "–", "**missed**", "**missed** on gyroid 1.50x"]
    assert "1.50 M points in 21 calls: 0.79 of the aim" in got[0][1]
    assert "1.20 of the aim" in got[1][1]
    assert got[2][1] == ("not measured: karvex, gradients not run; scikit-image MC not run")
    assert "karvex, no gradients skipped: predicted 900 s per run" in got[3][1]
    assert got[4][1].startswith("500 ns per triangle") and "1.25 of the aim" in got[4][1]
    assert "sphere 400 vs 600 MB (0.67)" in got[5][1]


@pytest.mark.parametrize("argv, expected", [
    (["build", "--repeat", "1"], "evaluation count:     3040135"),
    (["balance", "--repeat", "1"], "12 extraction batches, 197624 vertices, 395244 faces"),
    (["extract", "--depths", "4"], "| 4 | True | 2 |"),
], ids=["build", "balance", "extract"])
def test_sphere_benchmarks_run(argv, expected):
    """Each subcommand of bench/sphere.py runs and reports the sphere's counts."""
    pytest.importorskip("_karvex_rs")
    import os
    import subprocess

    done = subprocess.run([sys.executable, str(ROOT / "bench" / "sphere.py"), *argv],
                          capture_output=True, text=True, env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    assert expected in done.stdout


def test_tiles_benchmark_runs_and_checks_the_seams():
    """bench/tiles.py at depth 4: every in-process way runs in its own process
    and the tiled meshes are checked against the untiled one."""
    pytest.importorskip("_karvex_rs")
    import os
    import subprocess

    done = subprocess.run([sys.executable, str(ROOT / "bench" / "tiles.py"), "--depth", "4",
                           "--tiles", "2", "--ways", "untiled,tiles,ply"],
                          capture_output=True, text=True, env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    # The table's rows; each is followed by that way's highest sampled resident set.
    rows = [line for line in done.stdout.splitlines()[2:] if line.startswith("| ")]
    assert [row.split(" | ")[1] for row in rows] == ["untiled", "tiles", "ply"]
    assert "highest sampled resident set" in done.stdout
    assert rows[1].endswith("| closed, = untiled |") and rows[2].endswith("| = untiled |")
