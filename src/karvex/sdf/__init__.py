"""Signed distance fields with exact gradients: primitives, boolean operations
and transforms.

Every field is a callable that takes points (N, 3) and returns
``(values, gradients)`` as C-contiguous float64 arrays of shapes (N,) and
(N, 3), negative inside, so :func:`karvex.mesh` and ``_karvex_rs.extract_mesh``
take it as it is. Fields combine with ``|`` (union), ``&`` (intersection) and
``-`` (difference).

Examples
--------
>>> import numpy as np
>>> from karvex import sdf
>>> part = (sdf.box((0.6, 0.6, 0.2)) - sdf.cylinder(0.25, 1.0)) | sdf.sphere(0.3, center=(0, 0, 0.3))
>>> values, gradients = part(np.array([[0.0, 0.0, 0.3]]))
>>> values.tolist(), gradients.tolist()
([-0.3], [[1.0, 0.0, 0.0]])

Everything public is imported here: the Field type, the primitives, the
lattices, the boolean operations, the transforms and :func:`from_function`.
"""

from karvex.sdf._base import Field, Sample
from karvex.sdf._booleans import (
    complement,
    difference,
    intersection,
    smooth_difference,
    smooth_intersection,
    smooth_union,
    union,
)
from karvex.sdf._functions import from_function
from karvex.sdf._lattices import gyroid
from karvex.sdf._primitives import box, capsule, cylinder, plane, rounded_box, sphere, torus
from karvex.sdf._transforms import axis_angle_matrix, rotate, scale, translate

__all__ = [
    "Field",
    "Sample",
    "axis_angle_matrix",
    "box",
    "capsule",
    "complement",
    "cylinder",
    "difference",
    "from_function",
    "gyroid",
    "intersection",
    "plane",
    "rotate",
    "rounded_box",
    "scale",
    "smooth_difference",
    "smooth_intersection",
    "smooth_union",
    "sphere",
    "torus",
    "translate",
    "union",
]
