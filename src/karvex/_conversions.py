"""Arrays in and out of a :class:`~karvex.Mesh`: checking arrays a caller
hands over, and the conversions to and from trimesh, PyVista and Open3D.

Each optional package (these, and Dask's distributed for the cluster
features) is imported where it is used; a missing one raises
:class:`ImportError` naming the extra that installs it.
"""

from __future__ import annotations

import importlib
import importlib.util
import sys
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["checked_arrays", "import_optional", "installed", "to_open3d", "to_pyvista", "trimesh_arrays"]

# The extra of pyproject.toml that installs each optional package.
_EXTRAS = {
    "trimesh": "io",
    "pyvista": "view",
    "open3d": "open3d",
    "matplotlib": "plot",
    "distributed": "dask",
}


def installed(name: str) -> bool:
    """Whether the package ``name`` can be imported, without importing it.

    A name already in ``sys.modules`` counts as installed unless its entry is
    None (which is how an import is blocked)."""
    if name in sys.modules:
        return sys.modules[name] is not None
    return importlib.util.find_spec(name) is not None


def import_optional(name: str, caller: str) -> Any:
    """Import the optional package ``name`` for ``caller`` (as in
    ``"Mesh.to_pyvista()"``), or raise ImportError naming its extra."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        extra = _EXTRAS[name]
        raise ImportError(
            f"{caller} needs {name}, which is not installed; "
            f"install it with: pip install karvex[{extra}]"
        ) from error


def checked_arrays(
    vertices: ArrayLike, faces: ArrayLike, normals: ArrayLike | None = None
) -> tuple[NDArray[np.float64], NDArray[np.int64], NDArray[np.float64] | None]:
    """Copies of a mesh's arrays as float64, int64 and float64, checked.

    Vertices must be real numbers of shape (V, 3), all finite; faces integers
    of shape (F, 3) indexing the vertices; normals, when given, finite and of
    the vertices' shape. Empty arrays of any shape stand for no vertices or
    no faces.

    Raises
    ------
    TypeError
        An array is not of numbers (faces: not of integers).
    ValueError
        A shape is wrong, a face index is out of range or a value is not
        finite. Every message names the array and what to change.
    """
    v = _real_array("vertices", vertices)
    if v.size == 0:
        v = v.reshape(0, 3)
    if v.ndim != 2 or v.shape[1] != 3:
        raise ValueError(f"vertices must have shape (V, 3), got {v.shape}")
    _require_finite("vertices", v)

    raw_faces = np.array(faces)
    if raw_faces.size == 0:
        raw_faces = raw_faces.reshape(0, 3).astype(np.int64)
    if raw_faces.dtype.kind not in "iu":
        raise TypeError(
            f"faces must be integer indices, got dtype {raw_faces.dtype}"
            " (convert whole numbers with faces.astype(np.int64))"
        )
    f = raw_faces.astype(np.int64)
    if f.ndim != 2 or f.shape[1] != 3:
        raise ValueError(f"faces must have shape (F, 3), got {f.shape}")
    if f.size and (f.min() < 0 or f.max() >= len(v)):
        raise ValueError(
            f"faces must index the {len(v)} vertices (0 to {len(v) - 1}), "
            f"got indices from {f.min()} to {f.max()}"
        )

    n = None
    if normals is not None:
        n = _real_array("normals", normals)
        if n.size == 0 and len(v) == 0:
            n = n.reshape(0, 3)
        if n.shape != v.shape:
            raise ValueError(f"normals must have the shape of vertices {v.shape}, got {n.shape}")
        _require_finite("normals", n)
    return v, f, n


def _real_array(name: str, values: ArrayLike) -> NDArray[np.float64]:
    raw = np.array(values)
    if raw.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {raw.dtype}")
    return raw.astype(np.float64)


def _require_finite(name: str, array: NDArray[np.float64]) -> None:
    finite = np.isfinite(array).all(axis=1)
    if not finite.all():
        bad = np.flatnonzero(~finite)
        raise ValueError(
            f"{name} must be finite: {len(bad)} rows hold NaN or infinity"
            f" (the first is row {bad[0]}: {array[bad[0]].tolist()})"
        )


def trimesh_arrays(tm: Any) -> tuple[NDArray[np.float64], NDArray[np.int64]]:
    """The vertices and faces of a ``trimesh.Trimesh``, checked like any
    other arrays. Its vertex normals are not taken: trimesh makes them up
    from the faces on demand, where a Mesh's normals come from its field."""
    if not (hasattr(tm, "vertices") and hasattr(tm, "faces")):
        raise TypeError(
            f"from_trimesh() takes a trimesh.Trimesh, got {type(tm).__name__};"
            " join a trimesh.Scene into one mesh first with scene.to_geometry()"
        )
    vertices, faces, _ = checked_arrays(np.asarray(tm.vertices), np.asarray(tm.faces))
    return vertices, faces


def to_pyvista(
    vertices: NDArray[np.float64], faces: NDArray[np.int64], normals: NDArray[np.float64] | None
) -> Any:
    """A ``pyvista.PolyData`` of triangles with copies of the arrays; the
    normals, when present, become its point data ``"Normals"``."""
    pv = import_optional("pyvista", "Mesh.to_pyvista()")
    # VTK's cell array: each triangle as (3, i, j, k).
    cells = np.column_stack([np.full(len(faces), 3, dtype=np.int64), faces]).ravel()
    poly = pv.PolyData(vertices.copy(), cells)
    if normals is not None:
        poly.point_data["Normals"] = normals.copy()
    return poly


def to_open3d(
    vertices: NDArray[np.float64], faces: NDArray[np.int64], normals: NDArray[np.float64] | None
) -> Any:
    """An ``open3d.geometry.TriangleMesh`` with copies of the arrays (faces
    as int32, which is what Open3D stores) and the normals, when present,
    as its vertex normals."""
    o3d = import_optional("open3d", "Mesh.to_open3d()")
    if len(vertices) > np.iinfo(np.int32).max:
        raise ValueError(f"Open3D indexes vertices with int32; this mesh has {len(vertices)}")
    result = o3d.geometry.TriangleMesh(
        o3d.utility.Vector3dVector(np.ascontiguousarray(vertices)),
        o3d.utility.Vector3iVector(faces.astype(np.int32)),
    )
    if normals is not None:
        result.vertex_normals = o3d.utility.Vector3dVector(np.ascontiguousarray(normals))
    return result
