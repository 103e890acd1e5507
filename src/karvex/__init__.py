"""karvex: meshes of implicit surfaces by Dual Contouring on an adaptive octree.

Give :func:`mesh` a field -- a callable that takes a float64 ``(N, 3)`` array of
points and returns ``(values, gradients)`` with ``gradients`` an ``(N, 3)`` array
or ``None`` -- and the box to look in, and get a :class:`Mesh` back::

    import karvex
    from karvex import sdf

    shape = sdf.box(0.5) - sdf.sphere(0.6)
    m = karvex.mesh(shape, max_depth=7)  # the box: the shape's bounds
    print(m.is_closed, m.volume)
    m.export("shape.stl")  # needs: pip install karvex[io]

The native module ``_karvex_rs`` stays importable on its own for callers of its
five functions; this package is the friendly layer on top of the same core.
"""

__version__ = "0.1.0"

from karvex import sdf
from karvex._warnings import DroppedPiecesWarning, EmptyMeshWarning
from karvex._cluster import dask_field
from karvex.errors import FieldError, MeshingError, ValidityWarning
from karvex._grid import grid_field
from karvex._mesh import Mesh, MeshCheck
from karvex._mesher import mesh
from karvex._ply_stream import mesh_to_ply

__all__ = [
    "DroppedPiecesWarning",
    "EmptyMeshWarning",
    "FieldError",
    "Mesh",
    "MeshCheck",
    "MeshingError",
    "ValidityWarning",
    "__version__",
    "dask_field",
    "grid_field",
    "mesh",
    "mesh_to_ply",
    "sdf",
]
