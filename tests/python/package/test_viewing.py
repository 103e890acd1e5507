"""Looking at a Mesh and handing it to other libraries: plot() on the headless
backend, show()'s choice of viewer, the conversions against the Mesh's own
arrays, and the checks of arrays a caller brings (from_arrays, from_trimesh)."""

import sys
import types

import numpy as np
import pytest

import karvex
from support.fields import BOX, torus

matplotlib = pytest.importorskip("matplotlib", reason="Mesh.plot draws with matplotlib")


@pytest.fixture(scope="module")
def mesh():
    return karvex.mesh(torus(), BOX, max_depth=4, normals=True)


# -- arrays a caller brings ------------------------------------------------------

GOOD_VERTICES = np.eye(3)
GOOD_FACES = [[0, 1, 2]]


@pytest.mark.parametrize("vertices, faces, normals, error, message", [
    ([[0, 0, np.nan], [1, 0, 0], [0, 1, 0]], GOOD_FACES, None, ValueError,
     r"vertices must be finite: 1 rows hold NaN or infinity \(the first is row 0: \[0.0, 0.0, nan\]\)"),
    ([[0, 0, 0], [np.inf, 0, 0], [0, -np.inf, 0]], GOOD_FACES, None, ValueError,
     r"vertices must be finite: 2 rows .*the first is row 1"),
    (GOOD_VERTICES, GOOD_FACES, [[0, 0, 1], [0, 0, 1], [np.nan, 0, 1]], ValueError,
     r"normals must be finite: 1 rows .*row 2"),
    (GOOD_VERTICES.astype(complex), GOOD_FACES, None, TypeError,
     r"vertices must hold real numbers, got dtype complex128"),
    ([["a", "b", "c"]] * 3, GOOD_FACES, None, TypeError, r"vertices must hold real numbers, got dtype <U1"),
    (GOOD_VERTICES, GOOD_FACES, [["x"] * 3] * 3, TypeError, r"normals must hold real numbers"),
    (GOOD_VERTICES, [[0.0, 1.0, 2.0]], None, TypeError,
     r"faces must be integer indices, got dtype float64 \(convert whole numbers with faces.astype"),
    (GOOD_VERTICES, [[True, False, True]], None, TypeError, r"faces must be integer indices, got dtype bool"),
    (GOOD_VERTICES, [[0, 1, 2, 0]], None, ValueError, r"faces must have shape \(F, 3\), got \(1, 4\)"),
    (np.zeros((3, 2)), GOOD_FACES, None, ValueError, r"vertices must have shape \(V, 3\), got \(3, 2\)"),
    (GOOD_VERTICES, [[0, 1, 3]], None, ValueError,
     r"faces must index the 3 vertices \(0 to 2\), got indices from 0 to 3"),
    (GOOD_VERTICES, [[0, 1, 2]], np.zeros((2, 3)), ValueError,
     r"normals must have the shape of vertices \(3, 3\), got \(2, 3\)"),
])
def test_from_arrays_rejects_what_it_cannot_use(vertices, faces, normals, error, message):
    with pytest.raises(error, match=message):
        karvex.Mesh.from_arrays(vertices, faces, normals)


def test_from_arrays_copies_into_the_mesh_dtypes():
    vertices = np.eye(3, dtype=np.float32)
    faces = np.array([[0, 1, 2]], dtype=np.uint16)
    m = karvex.Mesh.from_arrays(vertices, faces)
    vertices[0, 0] = 9.0
    assert (m.vertices.dtype, m.faces.dtype) == (np.float64, np.int64)
    assert m.vertices[0, 0] == 1.0
    assert karvex.Mesh.from_arrays([], []).faces.shape == (0, 3)


def test_from_trimesh_keeps_the_arrays_and_checks_them():
    trimesh = pytest.importorskip("trimesh", reason="from_trimesh takes a trimesh.Trimesh")
    sphere_mesh = trimesh.creation.icosphere(subdivisions=2)
    m = karvex.Mesh.from_trimesh(sphere_mesh)
    np.testing.assert_array_equal(m.vertices, sphere_mesh.vertices)
    np.testing.assert_array_equal(m.faces, sphere_mesh.faces)
    assert m.is_closed and m.volume == pytest.approx(sphere_mesh.volume)
    with pytest.raises(TypeError, match=r"takes a trimesh.Trimesh, got Scene; .*scene.to_geometry\(\)"):
        karvex.Mesh.from_trimesh(trimesh.Scene(sphere_mesh))
    broken = trimesh.Trimesh(np.array([[0, 0, np.nan], [1, 0, 0], [0, 1, 0]]), [[0, 1, 2]], process=False)
    with pytest.raises(ValueError, match="vertices must be finite"):
        karvex.Mesh.from_trimesh(broken)


# -- conversions -------------------------------------------------------------------

def test_to_pyvista_matches_the_arrays(mesh):
    pytest.importorskip("pyvista", reason="PyVista is not installed (pip install karvex[view])")
    poly = mesh.to_pyvista()
    np.testing.assert_array_equal(poly.points, mesh.vertices)
    np.testing.assert_array_equal(poly.faces.reshape(-1, 4)[:, 1:], mesh.faces)
    assert (poly.faces.reshape(-1, 4)[:, 0] == 3).all()
    np.testing.assert_array_equal(poly.point_data["Normals"], mesh.normals)


def test_to_open3d_matches_the_arrays(mesh):
    pytest.importorskip("open3d", reason="Open3D is not installed (pip install karvex[open3d])")
    converted = mesh.to_open3d()
    np.testing.assert_array_equal(np.asarray(converted.vertices), mesh.vertices)
    np.testing.assert_array_equal(np.asarray(converted.triangles), mesh.faces)
    np.testing.assert_array_equal(np.asarray(converted.vertex_normals), mesh.normals)


@pytest.mark.parametrize("package, call, extra", [
    ("pyvista", lambda m: m.to_pyvista(), "view"),
    ("open3d", lambda m: m.to_open3d(), "open3d"),
    ("matplotlib", lambda m: m.plot(), "plot"),
    ("trimesh", lambda m: m.to_trimesh(), "io"),
])
def test_missing_packages_name_their_extra(mesh, monkeypatch, package, call, extra):
    monkeypatch.setitem(sys.modules, package, None)  # makes `import package` fail
    with pytest.raises(ImportError, match=rf"needs {package}, .*pip install karvex\[{extra}\]"):
        call(mesh)


# -- plot ----------------------------------------------------------------------------

def test_plot_draws_without_pyplot_or_a_backend(mesh, monkeypatch, tmp_path):
    """Without pyplot in use the figure belongs to no backend and pyplot stays
    unimported; the picture shows a shaded surface, not a blank canvas."""
    from matplotlib.figure import Figure
    from matplotlib.image import imread

    monkeypatch.delitem(sys.modules, "matplotlib.pyplot", raising=False)
    backend = matplotlib.rcParams._get_backend_or_none()
    fig = mesh.plot(title="torus")
    assert type(fig) is Figure and "matplotlib.pyplot" not in sys.modules
    assert matplotlib.rcParams._get_backend_or_none() == backend
    (ax,) = fig.axes
    (polygons,) = ax.collections
    assert ax.get_title() == "torus"
    # Equal axes around the mesh: the longest extent (the torus's width) fits.
    spans = [np.subtract(*lim[::-1]) for lim in (ax.get_xlim(), ax.get_ylim(), ax.get_zlim())]
    assert spans == pytest.approx([spans[0]] * 3)
    assert spans[0] == pytest.approx(np.ptp(mesh.vertices, axis=0).max())
    fig.savefig(tmp_path / "torus.png", dpi=40)
    assert len(polygons.get_paths()) == len(mesh.faces)  # projected when drawn
    image = imread(tmp_path / "torus.png")[..., :3]
    shades = np.unique(image.reshape(-1, 3).round(2), axis=0)
    assert (image.mean(axis=2) < 0.6).mean() > 0.02 and len(shades) > 20


def test_plot_uses_pyplot_when_it_is_in_use(mesh):
    plt = pytest.importorskip("matplotlib.pyplot")
    before = set(plt.get_fignums())
    fig = mesh.plot()
    try:
        assert set(plt.get_fignums()) - before == {fig.number}
    finally:
        plt.close(fig)


def test_plot_into_given_axes(mesh):
    from matplotlib.figure import Figure

    fig = Figure()
    axes = [fig.add_subplot(1, 2, i, projection="3d") for i in (1, 2)]
    assert mesh.plot(ax=axes[1], edges=True) is fig
    assert not axes[0].collections and len(axes[1].collections) == 1
    empty = karvex.Mesh.from_arrays([], [])
    assert empty.plot(ax=axes[0]) is fig and not axes[0].collections
    with pytest.raises(TypeError, match=r"ax must be a 3-D Axes, got Axes; .*projection='3d'"):
        mesh.plot(ax=fig.add_subplot(2, 2, 3))


# -- show --------------------------------------------------------------------------

def test_show_without_a_display_says_what_to_use(mesh, monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    monkeypatch.delitem(sys.modules, "ipykernel", raising=False)
    with pytest.raises(RuntimeError, match=r"no display .* Mesh.plot\(\) .* Mesh.export\(\)"):
        mesh.show()


def test_show_prefers_pyvista_then_names_the_extra(mesh, monkeypatch):
    monkeypatch.setenv("DISPLAY", ":99")
    shown = []

    class PolyData:
        def __init__(self, points, cells):
            self.points, self.point_data = points, {}

        def plot(self, **kwargs):
            shown.append(("pyvista", len(self.points), kwargs))

    pyvista = types.ModuleType("pyvista")
    pyvista.PolyData = PolyData
    monkeypatch.setitem(sys.modules, "pyvista", pyvista)
    mesh.show(color="red")
    assert shown == [("pyvista", len(mesh.vertices), {"color": "red"})]

    for name in ("pyvista", "pyglet"):
        monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.delitem(sys.modules, "ipykernel", raising=False)
    with pytest.raises(ImportError, match=r"needs an interactive viewer.*pip install karvex\[view\]"):
        mesh.show()
