"""The karvex command line: each input and output kind end to end in a child
process (files read back with trimesh), and its errors as one line with an exit
status that says whether the command line or the run was at fault."""
import re
import sys

import numpy as np
import pytest
from support.cli import run_karvex

import karvex
from karvex._cli import main

trimesh = pytest.importorskip("trimesh", reason="the command line writes mesh files with trimesh")

# An ellipsoid with a different extent and sample count on each axis, so that
# a transposed or misplaced volume shows in the mesh's bounds.
SEMI_AXES = np.array([0.7, 0.5, 0.35])
SHAPE = (24, 28, 32)
SPACING = 2.0 / (np.array(SHAPE) - 1.0)
ORIGIN = (-1.0, -1.0, -1.0)
DEPTH = 5

FIELDS_MODULE = """
import numpy as np
import karvex
from karvex import sdf

part = sdf.box((0.6, 0.4, 0.3)) - sdf.cylinder(0.2, 1.0)
x, y, z = np.mgrid[-1:1:17j, -1:1:17j, -1:1:17j]
ball = karvex.grid_field(np.sqrt(x**2 + y**2 + z**2) - 0.6, spacing=2 / 16, origin=(-1, -1, -1))

def bare_values(points):
    return np.linalg.norm(points, axis=1) - 0.5

def raises(points):
    raise ValueError("my field broke")

def interrupted(points):
    raise KeyboardInterrupt

far_away = sdf.sphere(0.1, center=(5, 5, 5))
not_callable = 42
"""
NEEDS_MISSING_PACKAGE = "import a_package_that_is_not_installed\n"


def ellipsoid_samples():
    axes = [ORIGIN[i] + SPACING[i] * np.arange(SHAPE[i]) for i in range(3)]
    x, y, z = np.meshgrid(*axes, indexing="ij")
    return np.sqrt((x / SEMI_AXES[0]) ** 2 + (y / SEMI_AXES[1]) ** 2 + (z / SEMI_AXES[2]) ** 2) - 1.0


def write_volume(kind, folder):
    """Writes the ellipsoid's samples as ``kind``; returns the path, the extra
    arguments that place the samples, and the vertex transform from the
    sample grid (spacing 1, origin 0) to where the file puts them, if any."""
    samples = ellipsoid_samples()
    placed = ["--spacing", *SPACING, "--origin", *ORIGIN]
    if kind == "npy":
        path = folder / "volume.npy"
        np.save(path, samples)
        return path, placed, None
    if kind == "tif":
        tifffile = pytest.importorskip("tifffile", reason="reading TIFF stacks needs tifffile")
        path = folder / "volume.tif"
        tifffile.imwrite(path, samples.transpose(2, 1, 0).astype(np.float32))  # pages are z
        return path, placed, None
    nibabel = pytest.importorskip("nibabel", reason="reading NIfTI images needs nibabel")
    # Mirrored along x: the file's triangles must be rewound to face out.
    affine = np.diag([-SPACING[0], SPACING[1], SPACING[2], 1.0])
    affine[:3, 3] = (4.0, -2.0, 3.0)
    path = folder / f"volume.{kind}"
    nibabel.save(nibabel.Nifti1Image(samples.astype(np.float32), affine), path)
    return path, [], affine


@pytest.mark.parametrize("kind", ["npy", "tif", "nii", "nii.gz"])
def test_volume_files_mesh_where_the_samples_are(kind, tmp_path):
    path, placement, affine = write_volume(kind, tmp_path)
    out = tmp_path / "out.stl"
    done = run_karvex("volume", path, "--level", 0, "--depth", DEPTH, *placement, "-o", out,
                      cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    written = trimesh.load(out, force="mesh")
    assert written.is_watertight and written.volume > 0

    # The same mesh in process, placed as the file says.
    samples = ellipsoid_samples()
    if affine is None:
        grid = karvex.grid_field(samples, SPACING, ORIGIN)
    else:
        grid = karvex.grid_field(samples)
    expected = karvex.mesh(grid, grid.bounds, max_depth=DEPTH)
    vertices = expected.vertices if affine is None else expected.vertices @ affine[:3, :3].T + affine[:3, 3]
    assert len(written.faces) == len(expected.faces)
    np.testing.assert_allclose(written.bounds, [vertices.min(axis=0), vertices.max(axis=0)], atol=1e-5)
    if affine is None:  # an ellipsoid of these semi-axes, to within a cell
        np.testing.assert_allclose(written.bounds[1], SEMI_AXES, atol=SPACING.max())
    summary = done.stdout.strip()
    assert summary == f"{out}: {len(expected.faces):,} triangles, 1 piece, closed, volume {written.volume:.6g}"
    assert "faces" in done.stderr  # the progress report names the stages


@pytest.mark.parametrize("suffix", [".stl", ".ply", ".obj", ".glb"])
def test_each_output_kind_reads_back(suffix, tmp_path):
    (tmp_path / "fields.py").write_text(FIELDS_MODULE)
    out = tmp_path / f"part{suffix}"
    done = run_karvex("field", "fields.py:part", "--bounds", -1, -1, -1, 1, 1, 1, "--depth", 5,
                      "-o", out, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    triangles, volume = re.fullmatch(r".*: ([\d,]+) triangles, 1 piece, closed, volume (\S+)\n",
                                     done.stdout).groups()
    written = trimesh.load(out, force="mesh")
    assert len(written.faces) == int(triangles.replace(",", ""))
    assert written.is_watertight
    assert written.volume == pytest.approx(float(volume), rel=1e-5)
    assert written.volume == pytest.approx(0.6 * 0.4 * 0.3 * 8 - np.pi * 0.04 * 0.6, rel=0.02)


def test_field_from_an_importable_module_with_its_own_bounds(tmp_path):
    (tmp_path / "fields.py").write_text(FIELDS_MODULE)
    done = run_karvex("field", "fields:ball", "--depth", 4, "-q", "-o", "ball.ply", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # --quiet: no progress
    written = trimesh.load(tmp_path / "ball.ply")
    assert written.is_watertight
    assert written.volume == pytest.approx(4 / 3 * np.pi * 0.6**3, rel=0.05)


@pytest.mark.parametrize("args, code, message", [
    (["volume", "missing.npy", "--level", "0", "-o", "x.stl"], 2, "no such file: missing.npy"),
    (["volume", "v.npy", "--level", "abc", "-o", "x.stl"], 2, "argument --level: invalid float value"),
    (["field", "fields.py:raises", "--bounds", "-1", "-1", "-1", "1", "1", "1", "--depth", "3",
      "-o", "x.stl"], 1, "ValueError: my field broke (rerun with --traceback"),
])
def test_errors_are_one_line_with_an_exit_status(args, code, message, tmp_path):
    (tmp_path / "fields.py").write_text(FIELDS_MODULE)
    np.save(tmp_path / "v.npy", ellipsoid_samples())
    done = run_karvex(*args, "-q", cwd=tmp_path)
    assert done.returncode == code
    assert done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("karvex: error: "), done.stderr
    assert message in done.stderr
    assert not (tmp_path / "x.stl").exists()


# -- the same in process, for every error the command line names ----------------

@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A scratch folder with a volume and a fields module, as the working
    directory; sys.path and the imported module are restored afterwards."""
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "path", list(sys.path))
    for name in ("fields", "needs"):
        monkeypatch.delitem(sys.modules, name, raising=False)
    (tmp_path / "fields.py").write_text(FIELDS_MODULE)
    np.save(tmp_path / "v.npy", ellipsoid_samples())
    np.save(tmp_path / "flat.npy", np.zeros((4, 4)))
    (tmp_path / "broken.npy").write_bytes(b"not a numpy file")
    (tmp_path / "v.csv").write_text("1,2,3\n")
    (tmp_path / "broken.tif").write_bytes(b"not a TIFF file")
    (tmp_path / "needs.py").write_text(NEEDS_MISSING_PACKAGE)
    yield tmp_path
    for name in ("fields", "needs"):
        sys.modules.pop(name, None)


BOX = ["--bounds", "-1", "-1", "-1", "1", "1", "1"]


@pytest.mark.parametrize("args, code, message", [
    ([], 2, "the following arguments are required: COMMAND (see karvex --help)"),
    (["mesh"], 2, "invalid choice: 'mesh'"),
    (["volume", "v.npy", "-o", "x.stl"], 2, "the following arguments are required: --level"),
    (["volume", "v.npy", "--level", "0"], 2, "the following arguments are required: -o/--output"),
    (["volume", "v.npy", "--level", "0", "--spacing", "1", "1", "-o", "x.stl"], 2,
     "argument --spacing: expected 3 arguments"),
    (["volume", "v.csv", "--level", "0", "-o", "x.stl"], 2,
     "cannot read 'v.csv': volumes are .npy, .tif, .tiff, .nii, .nii.gz files"),
    (["volume", "v.npy", "--level", "0", "-o", "x.xyz"], 2,
     "cannot write 'x.xyz': name the output with one of .stl, .ply, .obj, .glb"),
    (["volume", "v.npy", "--level", "0", "-o", "nowhere/x.stl"], 2,
     "the output folder nowhere does not exist"),
    (["volume", "v.npy", "--level", "9", "-o", "x.stl"], 2,
     "--level 9 is outside the samples' range -0.866436 to 2.76883; pick a level between them"),
    (["volume", "v.npy", "--level", "0", "--depth", "40", "-o", "x.stl"], 2,
     "--depth must be an integer from 0 to 31, got 40"),
    (["volume", "v.npy", "--level", "0", "--depth", "-1", "-o", "x.stl"], 2,
     "--depth must be 0 or more, got -1"),
    (["volume", "v.npy", "--level", "0", "--depth", "4", "--min-depth", "5", "-o", "x.stl"], 2,
     "--min-depth must not exceed --depth"),
    (["volume", "v.npy", "--level", "0", "--spacing", "0", "1", "1", "-o", "x.stl"], 2,
     "--spacing must be three positive distances, got 0.0 1.0 1.0"),
    (["volume", "v.npy", "--level", "0", "--origin", "0", "nan", "1", "-o", "x.stl"], 2,
     "--origin must be three finite numbers, got 0.0 nan 1.0"),
    (["volume", "flat.npy", "--level", "0", "-o", "x.stl"], 1,
     "flat.npy holds an array of shape (4, 4); a volume must be 3-D"),
    (["volume", "broken.npy", "--level", "0", "-o", "x.stl"], 1, "cannot read broken.npy"),
    (["field", "part", *BOX, "--depth", "3", "-o", "x.stl"], 2,
     "the field must be given as MODULE:NAME or FILE.py:NAME, got 'part'"),
    (["field", "nomodule:part", *BOX, "--depth", "3", "-o", "x.stl"], 2,
     "cannot import 'nomodule'"),
    (["field", "missing.py:part", *BOX, "--depth", "3", "-o", "x.stl"], 2, "no such file: missing.py"),
    (["field", "needs:part", *BOX, "--depth", "3", "-o", "x.stl"], 1,
     "needs cannot be imported: No module named 'a_package_that_is_not_installed'"),
    (["volume", "broken.tif", "--level", "0", "-o", "x.stl"], 1, "cannot read broken.tif"),
    (["field", "fields:nothing", *BOX, "--depth", "3", "-o", "x.stl"], 2,
     "fields has no name 'nothing'"),
    (["field", "fields:not_callable", *BOX, "--depth", "3", "-o", "x.stl"], 2,
     "fields:not_callable is a int, not a field"),
    (["field", "fields:raises", "--depth", "3", "-o", "x.stl"], 2,
     "fields:raises has no bounds attribute: give the box with --bounds X0 Y0 Z0 X1 Y1 Z1"),
    (["field", "fields:part", "--bounds", "1", "-1", "-1", "-1", "1", "1", "--depth", "3",
      "-o", "x.stl"], 2, "--bounds must have the lower corner first"),
    (["field", "fields:part", *BOX, "--depth", "3", "--simplify", "-1", "-o", "x.stl"], 2,
     "--simplify must be a positive finite distance"),
    (["field", "fields:bare_values", *BOX, "--depth", "3", "-o", "x.stl"], 1,
     "the field returned something unusable"),
    (["field", "fields:far_away", *BOX, "--depth", "3", "-o", "x.stl"], 1,
     "the surface at level 0 does not cross the box: nothing written"),
    (["field", "fields:interrupted", *BOX, "--depth", "3", "-o", "x.stl"], 130, "interrupted"),
])
def test_error_messages_and_statuses(workdir, capsys, args, code, message):
    assert main([*args, "-q"] if args[:1] in (["volume"], ["field"]) else args) == code
    out, err = capsys.readouterr()
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("karvex: "), err
    assert message in err
    assert not (workdir / "x.stl").exists()


@pytest.mark.parametrize("blocked, args, extra", [
    ("tifffile", ["volume", "v.tif", "--level", "0"], "karvex[volumes]"),
    ("nibabel", ["volume", "v.nii.gz", "--level", "0"], "karvex[volumes]"),
    ("trimesh", ["volume", "v.npy", "--level", "0"], "karvex[io]"),
])
def test_missing_packages_name_their_extra(workdir, capsys, monkeypatch, blocked, args, extra):
    for name in ("v.tif", "v.nii.gz"):
        (workdir / name).write_bytes(b"")
    monkeypatch.setitem(sys.modules, blocked, None)
    assert main([*args, "-o", "x.stl", "-q"]) == 1
    err = capsys.readouterr().err
    assert f"pip install {extra}" in err and err.count("\n") == 1


def test_inside_says_which_way_the_triangles_face(workdir, capsys):
    density = -ellipsoid_samples()  # high inside, as a CT scan
    np.save("density.npy", density)
    assert main(["volume", "density.npy", "--level", "0", "--depth", "4", "-q", "-o", "below.stl"]) == 0
    out = capsys.readouterr().out
    assert "carved out" in out and "try --inside above" in out
    assert main(["volume", "density.npy", "--level", "0", "--inside", "above", "--depth", "4", "-q",
                 "-o", "above.stl"]) == 0
    out = capsys.readouterr().out
    assert re.search(r"closed, volume [0-9.]+$", out.strip())
    # Read the wrong way round the scan gives the box minus the object.
    assert 0 < trimesh.load("above.stl").volume < trimesh.load("below.stl").volume


def test_traceback_option_lets_the_exception_through(workdir):
    with pytest.raises(ValueError, match="my field broke"):
        main(["field", "fields:raises", *BOX, "--depth", "3", "-q", "--traceback", "-o", "x.stl"])


def test_help_documents_the_exit_statuses(capsys):
    assert main(["volume", "--help"]) == 0
    out = capsys.readouterr().out
    for line in ("0  the mesh was written", "1  the run failed", "2  the command line is wrong",
                 "130  interrupted"):
        assert line in out


@pytest.mark.parametrize("inside", ["below", "above"])
def test_a_volume_goes_to_the_mesher_in_its_own_dtype(workdir, monkeypatch, inside):
    """A uint8 scan is handed to karvex.mesh as a grid field over the samples
    read (no float64 negated copy), with --inside and --level as given."""
    scan = np.zeros((17, 17, 17), dtype=np.uint8)
    scan[4:13, 5:12, 6:11] = 200 if inside == "above" else 0
    if inside == "below":
        scan[:] = 200 - scan
        scan[4:13, 5:12, 6:11] = 0
    np.save("scan.npy", scan)
    seen = []
    real_mesh = karvex.mesh

    def spy(field, bounds=None, **options):
        seen.append((field, options["level"]))
        return real_mesh(field, bounds, **options)

    monkeypatch.setattr(karvex, "mesh", spy)
    assert main(["volume", "scan.npy", "--level", "100", "--inside", inside, "-q", "-o", "s.stl"]) == 0
    (field, level), = seen
    assert isinstance(field, karvex.sdf.Field) and field.volume.dtype == np.uint8
    assert field.inside == inside and level == 100
    assert trimesh.load("s.stl").volume == pytest.approx(9 * 7 * 5, rel=0.3)
