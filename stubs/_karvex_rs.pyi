"""Type information for the native module ``_karvex_rs``.

The module meshes the surface ``eval_fn(p) == iso_value`` inside a box by Dual
Contouring on an adaptive octree. The field is always sampled in batches: see
``EvalFn`` for the calling convention.

Names other than the five functions (``EvalFn``, ``FieldResult``, ``Vec3Like``,
``PointsLike``, ``OctreeStats``, ...) exist only for type checkers; import them
under ``if typing.TYPE_CHECKING:``.

Arguments are checked before ``eval_fn`` is first called: box corners must be
finite with ``bbox_max`` not below ``bbox_min`` on any axis, and ``iso_value``
and ``angle_threshold_deg`` finite numbers; otherwise ``ValueError`` names the
argument and its value. A request memory cannot meet raises ``MemoryError``
naming what was being built, at which depth, and the stage.

Internal invariant failures raise ``PanicException``. It is not an attribute of
the module; it derives from ``BaseException`` (not ``Exception``), so catch it
as ``BaseException`` and tell it apart by ``type(e).__name__``.
"""

from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "extract_mesh",
    "build_octree_uniform",
    "build_octree_adaptive",
    "test_batch_eval",
    "test_fd_gradients",
]

# A number as the module converts it: floats are read directly, anything else
# through the float protocol (``__float__``, or ``__index__`` for ints).
Real: TypeAlias = SupportsFloat | SupportsIndex

# Depth parameters are integers (or objects with ``__index__``) in 0..31.
Depth: TypeAlias = SupportsIndex

_NumericArray: TypeAlias = NDArray[np.floating[Any]] | NDArray[np.integer[Any]]

# A point or box corner: any sequence of exactly three numbers.
Vec3Like: TypeAlias = Sequence[Real] | _NumericArray

# A batch of points: a sequence (not a str) of 3-sequences, or an (N, 3) array.
PointsLike: TypeAlias = Sequence[Vec3Like] | _NumericArray

# What eval_fn returns: N float64 field values (one-dimensional, contiguous)
# and either None or an (N, 3) float64 array of gradients (extra columns are
# ignored). With None the module estimates gradients by central differences.
FieldResult: TypeAlias = tuple[NDArray[np.float64], NDArray[np.float64] | None]

# Mesh arrays returned by extract_mesh.
Vertices: TypeAlias = NDArray[np.float64]  # (V, 3)
Faces: TypeAlias = NDArray[np.int64]  # (F, 3), indices into the vertices

# (leaf_count, internal_count, empty_count, full_count, max_leaf_depth,
#  evaluation_count)
OctreeStats: TypeAlias = tuple[int, int, int, int, int, int]

class EvalFn(Protocol):
    """The field: called with one float64 array of shape (N, 3), one row per
    point, and returns ``(values, gradients_or_None)`` for the whole batch."""

    def __call__(self, points: NDArray[np.float64], /) -> FieldResult: ...

def extract_mesh(
    eval_fn: EvalFn,
    bbox_min: Vec3Like,
    bbox_max: Vec3Like,
    min_depth: Depth = 3,
    max_depth: Depth = 7,
    angle_threshold_deg: Real = 30.0,
    iso_value: Real = 0.0,
    adaptive: bool | np.bool_ = False,
) -> tuple[Vertices, Faces]:
    """Isosurface extraction entry point.

    Builds an adaptive octree, runs Dual Contouring, and returns a triangle mesh.

    The surface is ``eval_fn(p) == iso_value`` inside the cube that encloses
    the box (``bbox_min``, ``bbox_max``). ``min_depth`` is the depth of the
    uniform starting grid, ``max_depth`` the finest depth (the cube is split
    into up to 2**max_depth cells per side). ``angle_threshold_deg`` decides
    where normals vary enough to refine and to treat a vertex as a sharp
    feature. With ``adaptive`` True the tree stays coarse where the surface is
    flat; otherwise every surface cell is refined to ``max_depth``.

    Returns ``(vertices, faces)``: float64 of shape (V, 3) and int64 of shape
    (F, 3), the largest connected piece of the mesh, triangles facing the side
    where the field is at or above ``iso_value``. Both have shape (0, 3) when
    the surface does not cross the box.
    """

def build_octree_uniform(
    eval_fn: EvalFn,
    bbox_min: Vec3Like,
    bbox_max: Vec3Like,
    depth: Depth,
    iso_value: Real = 0.0,
) -> OctreeStats:
    """Build a uniform octree and return statistics.

    Returns ``(leaf_count, internal_count, empty_count, full_count,
    max_leaf_depth, evaluation_count)``.
    """

def build_octree_adaptive(
    eval_fn: EvalFn,
    bbox_min: Vec3Like,
    bbox_max: Vec3Like,
    min_depth: Depth,
    max_depth: Depth,
    iso_value: Real = 0.0,
) -> OctreeStats:
    """Build an adaptive octree and return statistics.

    Returns ``(leaf_count, internal_count, empty_count, full_count,
    max_leaf_depth, evaluation_count)``.
    """

def test_batch_eval(eval_fn: EvalFn, points: PointsLike) -> tuple[list[float], bool, int]:
    """Test function to verify the batch evaluation bridge works.

    Calls ``eval_fn`` once with all points and returns ``(values,
    gradients_returned, value_count)``.
    """

def test_fd_gradients(
    eval_fn: EvalFn, points: PointsLike, step: Real = 1e-5
) -> list[list[float]]:
    """Test function for finite-difference gradient estimation.

    Returns one central-difference gradient ``[gx, gy, gz]`` per point, from a
    single call of ``eval_fn`` with six points per input point.
    """
