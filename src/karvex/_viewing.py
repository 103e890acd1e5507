"""Looking at a :class:`~karvex.Mesh`: a matplotlib figure for scripts,
notebooks and documents, and an interactive window where a viewer is
installed.

Neither function changes global state: no matplotlib backend is selected and
``pyplot.show()`` is never called.
"""

from __future__ import annotations

import importlib
import os
import sys
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from karvex._conversions import import_optional, installed

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["plot", "show"]

# Light from the upper front left of the default view, in world axes.
_LIGHT = np.array([-0.4, -0.6, 1.0]) / np.linalg.norm([-0.4, -0.6, 1.0])
# Faces turned away from the light keep this much of their colour.
_AMBIENT = 0.35


def plot(
    vertices: NDArray[np.float64],
    faces: NDArray[np.int64],
    *,
    ax: Axes | None,
    color: Any,
    edges: bool,
    elevation: float,
    azimuth: float,
    title: str | None,
) -> Figure:
    """Draw triangles, shaded by a fixed light, into a 3-D matplotlib Axes
    (:meth:`karvex.Mesh.plot` documents the options and their defaults).

    With ``ax`` None a new figure is made: through pyplot when pyplot is in
    use (imported), so that notebooks and galleries show it as usual, and
    otherwise as a standalone :class:`matplotlib.figure.Figure` bound to no
    backend (it renders with ``fig.savefig``). Returns the figure.
    """
    import_optional("matplotlib", "Mesh.plot()")
    from matplotlib.colors import to_rgba

    art3d = importlib.import_module("mpl_toolkits.mplot3d.art3d")
    # An Axes3D; matplotlib's annotations know only the 2-D Axes.
    axes: Any = ax
    if axes is None:
        axes = _new_figure().add_subplot(projection="3d")
    elif not hasattr(axes, "add_collection3d"):
        raise TypeError(
            f"ax must be a 3-D Axes, got {type(axes).__name__};"
            " make one with fig.add_subplot(projection='3d')"
        )
    if len(faces):
        corners = vertices[faces]
        normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
        lengths = np.linalg.norm(normals, axis=1)
        lit = np.divide(normals @ _LIGHT, lengths, out=np.zeros(len(faces)), where=lengths > 0)
        shade = _AMBIENT + (1.0 - _AMBIENT) * np.clip(lit, 0.0, 1.0)
        rgba = np.tile(np.asarray(to_rgba(color)), (len(faces), 1))
        rgba[:, :3] *= shade[:, None]
        collection = art3d.Poly3DCollection(
            corners,
            facecolors=rgba,
            edgecolors=(0.1, 0.1, 0.1, 0.4) if edges else "none",
            linewidths=0.2 if edges else 0.0,
        )
        axes.add_collection3d(collection)
        low, high = vertices[np.unique(faces)].min(axis=0), vertices[np.unique(faces)].max(axis=0)
    else:
        low, high = np.full(3, -1.0), np.full(3, 1.0)
    # Equal scale on the three axes: a cube around the mesh.
    centre, half = (low + high) / 2.0, max(float((high - low).max()) / 2.0, 1e-12)
    axes.set_xlim(centre[0] - half, centre[0] + half)
    axes.set_ylim(centre[1] - half, centre[1] + half)
    axes.set_zlim(centre[2] - half, centre[2] + half)
    axes.set_box_aspect((1.0, 1.0, 1.0))
    axes.view_init(elev=elevation, azim=azimuth)
    axes.set_xlabel("x")
    axes.set_ylabel("y")
    axes.set_zlabel("z")
    if title is not None:
        axes.set_title(title)
    figure: Figure = axes.get_figure()
    return figure


def _new_figure() -> Figure:
    size = (5.0, 5.0)
    if "matplotlib.pyplot" in sys.modules:
        return sys.modules["matplotlib.pyplot"].figure(figsize=size)  # type: ignore[no-any-return]
    from matplotlib.figure import Figure

    return Figure(figsize=size)


def show(mesh: Any, **kwargs: Any) -> Any:
    """Open the mesh in an interactive viewer: PyVista's when PyVista is
    installed, otherwise trimesh's (a window where pyglet is installed, an
    embedded viewer in a notebook). Keyword arguments go to the viewer.

    Raises RuntimeError when no window can open (no display and not in a
    notebook) and ImportError naming what to install when no viewer is.
    """
    in_notebook = "ipykernel" in sys.modules
    if (
        not in_notebook
        and sys.platform.startswith("linux")
        and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
    ):
        raise RuntimeError(
            "Mesh.show() opens a window and there is no display here (DISPLAY is not set);"
            " draw a figure with Mesh.plot() or write a file with Mesh.export() instead"
        )
    if installed("pyvista"):
        return mesh.to_pyvista().plot(**kwargs)
    if installed("trimesh") and (in_notebook or installed("pyglet")):
        return mesh.to_trimesh().show(**kwargs)
    raise ImportError(
        "Mesh.show() needs an interactive viewer, and none is installed;"
        " install PyVista with: pip install karvex[view]"
        " (or draw a figure with Mesh.plot())"
    )
