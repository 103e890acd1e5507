"""Fields over 3-D arrays of samples: trilinear values and their exact gradients.

A volume of samples -- a CT scan, a simulation's level set, a voxelised
solid, a distance transform -- becomes a field that the mesher takes like any
other. Between samples the field is the trilinear interpolant, and the
gradient is the interpolant's exact gradient (piecewise bilinear, so it jumps
across cell faces), not a finite-difference estimate of the samples.

The samples stay where the caller keeps them, in their own dtype: the field
holds a read-only view, and :func:`karvex.mesh` samples it natively (on the
worker pool, with the same numbers as :meth:`GridField.evaluate` to the bit).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from karvex.sdf._arguments import as_half_sizes, as_vector
from karvex.sdf._base import Field, Sample

if TYPE_CHECKING:
    from karvex._dask_volume import DaskGridField
    from karvex.sdf._vectors import Array

__all__ = ["GridField", "grid_field", "interpolate"]

Bounds = tuple[tuple[float, float, float], tuple[float, float, float]]

# Corner (a, b, c) of a cell, a, b, c in {0, 1}, in this order: index 4a + 2b + c.
_CORNERS = np.array([(a, b, c) for a in (0, 1) for b in (0, 1) for c in (0, 1)])


def _lerp(low: Array, high: Array, t: Array) -> Array:
    result: Array = low * (1.0 - t) + high * t
    return result


class GridField(Field):
    """A field sampled on a regular grid; made by :func:`grid_field`.

    Attributes
    ----------
    volume : ndarray, shape (nx, ny, nz)
        A read-only view of the caller's samples (a converted copy only for
        the dtypes and byte orders :func:`grid_field` names).
    spacing, origin : ndarray, shape (3,)
    inside : {"below", "above"}
        Which side of the level is inside; "above" makes the field the
        samples negated.
    bounds : ((x0, y0, z0), (x1, y1, z1))
        The box the samples span, for :func:`karvex.mesh`.
    """

    def __init__(self, volume: NDArray[Any], spacing: Array, origin: Array, inside: str = "below") -> None:
        self.volume, self.spacing, self.origin, self.inside = volume, spacing, origin, inside
        self._top = np.array(volume.shape, dtype=np.float64) - 1.0
        far = origin + self._top * spacing
        self._bounds: Bounds = (
            (float(origin[0]), float(origin[1]), float(origin[2])),
            (float(far[0]), float(far[1]), float(far[2])),
        )
        # Element strides, read through one flat view of the memory the
        # samples span from its lowest address: any layout (C or Fortran
        # order, a crop, a step, a reversed axis) without a copy.
        self._strides = np.array(volume.strides) // volume.itemsize
        last = np.array(volume.shape) - 1
        lowest = int(np.minimum(self._strides, 0) @ last)  # element (0, 0, 0)'s place below it
        span = int(np.abs(self._strides) @ last) + 1
        first = volume[tuple(slice(-1, None) if s < 0 else slice(0, 1) for s in self._strides)]
        self._flat = np.lib.stride_tricks.as_strided(
            first.reshape(-1), shape=(span,), strides=(volume.itemsize,), writeable=False
        )
        self._corner_offsets = _CORNERS @ self._strides - lowest

    @property
    def bounds(self) -> Bounds:
        return self._bounds

    def __repr__(self) -> str:
        what = f"volume {self.volume.shape} {self.volume.dtype}"
        return grid_repr(what, self.spacing, self.origin, self.inside)

    def native_volume(self) -> tuple[NDArray[Any], tuple[float, ...], tuple[float, ...], bool]:
        """The volume as ``karvex._native.extract_mesh`` takes it:
        ``(array, spacing, origin, inside_above)``."""
        return (
            self.volume,
            tuple(float(s) for s in self.spacing),
            tuple(float(o) for o in self.origin),
            self.inside == "above",
        )

    def evaluate(self, points: Array) -> Sample:
        return interpolate(points, self.origin, self.spacing, self._top, self._corner_values, self.inside)

    def _corner_values(self, cells: NDArray[np.intp]) -> Array:
        """The eight corner samples (in ``_CORNERS`` order) of each cell, as float64."""
        base = cells @ self._strides
        corners: Array = self._flat[base[:, None] + self._corner_offsets[None, :]].astype(np.float64)
        return corners


def grid_repr(what: str, spacing: Array, origin: Array, inside: str) -> str:
    """How a sampled field shows itself: ``what`` names the samples."""
    above = ", inside='above'" if inside == "above" else ""
    return f"grid_field(<{what}>, spacing={tuple(spacing.tolist())}, origin={tuple(origin.tolist())}{above})"


def interpolate(
    points: Array,
    origin: Array,
    spacing: Array,
    top: Array,
    corner_values: Callable[[NDArray[np.intp]], Array],
    inside: str,
) -> Sample:
    """The trilinear interpolant of a volume and its exact gradient at
    ``points``; ``corner_values(cells)`` gives the eight samples of each cell
    (``(N, 3)`` sample indices of its lowest corner) as float64.

    Every volume field evaluates through this one sequence of operations,
    whatever holds its samples, so that all give the same numbers to the bit
    (and the native form repeats it).
    """
    u = (points - origin) / spacing  # in units of samples
    outside = (u < 0.0) | (u > top)
    undefined = np.isnan(u).any(axis=1)
    u = np.clip(u, 0.0, top)
    u[undefined] = 0.0
    # The cell is the one below u, except on the last sample plane, which
    # belongs to the cell before it.
    cell = np.minimum(np.floor(u), top - 1.0)
    t = u - cell
    tx, ty, tz = t[:, 0], t[:, 1], t[:, 2]
    # Corners as float64 (exact for every dtype kept), so that every
    # difference below is taken in float64, as the native form does.
    c = corner_values(cell.astype(np.intp))

    # Reduce along z, then y, then x; each derivative takes the difference
    # along its own axis and the same weights along the other two.
    along_z = _lerp(c[:, 0::2], c[:, 1::2], tz[:, None])  # (a, b) = 00, 01, 10, 11
    dz = c[:, 1::2] - c[:, 0::2]
    along_y = _lerp(along_z[:, 0::2], along_z[:, 1::2], ty[:, None])  # a = 0, 1
    dy = along_z[:, 1::2] - along_z[:, 0::2]
    dz_y = _lerp(dz[:, 0::2], dz[:, 1::2], ty[:, None])
    values = _lerp(along_y[:, 0], along_y[:, 1], tx)
    gradients = np.empty_like(points)
    gradients[:, 0] = (along_y[:, 1] - along_y[:, 0]) / spacing[0]
    gradients[:, 1] = _lerp(dy[:, 0], dy[:, 1], tx) / spacing[1]
    gradients[:, 2] = _lerp(dz_y[:, 0], dz_y[:, 1], tx) / spacing[2]

    # Beyond the border the field is constant along the crossed axes.
    gradients[outside] = 0.0
    values[undefined] = np.nan
    gradients[undefined] = np.nan
    if inside == "above":
        np.negative(values, out=values)
        np.negative(gradients, out=gradients)
    return values, gradients


# Kept as they are; every other real dtype is converted to float64 once.
_NATIVE_DTYPES = tuple(np.dtype(t) for t in ("uint8", "uint16", "int16", "float32", "float64"))
# Slabs of at most this many samples are checked for finiteness at a time,
# so that the check's mask stays small beside a large volume.
_CHECK_SLAB = 1 << 22


def grid_field(
    volume: ArrayLike,
    spacing: ArrayLike = (1, 1, 1),
    origin: ArrayLike = (0, 0, 0),
    *,
    inside: str = "below",
) -> GridField | DaskGridField:
    """A field over a 3-D array of samples, interpolated trilinearly.

    ``volume[i, j, k]`` is the value at ``origin + (i, j, k) * spacing``.
    Between samples the value is the trilinear interpolant of the eight
    surrounding samples and the gradient is that interpolant's exact
    gradient. A point outside the grid takes the value at the nearest point of
    the grid's box (its coordinates clamped), and its gradient is zero along
    the axes on which it lies outside.

    The field keeps the caller's array as it is, as a read-only view: uint8,
    uint16, int16, float32 and float64 arrays are never copied, whatever
    their layout (C or Fortran order, or a view such as a crop
    ``volume[40:200, :, 10:]``, a step ``volume[::2]`` or a reversed axis),
    and :func:`karvex.mesh` reads them in their own dtype. Other real dtypes
    (int32, float16, ...) and byte-swapped or misaligned arrays are
    converted once to a float64 C-ordered copy. Later changes to a kept
    array show in the field.

    A Dask array (from a Zarr store, say) is never computed whole: the
    result is a ``DaskGridField``, the same field, which :func:`karvex.mesh`
    and :func:`karvex.mesh_to_ply` mesh only in tiles (``tiles=k``), each
    tile computing the samples near its block; its samples are checked for
    NaN and infinity as they are read.

    Parameters
    ----------
    volume : array_like or dask.array.Array, shape (nx, ny, nz)
        Samples of any real dtype, at least 2 along each axis, all finite.
    spacing : float or three floats, default (1, 1, 1)
        The distance between neighbouring samples along x, y and z; positive.
    origin : three floats, default (0, 0, 0)
        The position of ``volume[0, 0, 0]``.
    inside : {"below", "above"}, default "below"
        Which samples are inside the solid: those below the level (a signed
        distance, negative inside) or those above it (a scan whose material
        is bright: bone, metal, a stained cell). With "above" the field's
        values are the samples negated, so that inside is negative as for
        every field; :func:`karvex.mesh` takes ``level`` in the samples'
        own units either way (``level=127.5`` on a uint8 scan).

    Returns
    -------
    GridField
        A :class:`karvex.sdf.Field`, with ``bounds`` the box the samples span
        (the box :func:`karvex.mesh` meshes by default); it combines with
        other fields.

    Notes
    -----
    A solid that touches the border of the grid is closed there by
    :func:`karvex.mesh`, along the faces of the box it meshes. A boolean mask
    becomes a field with ``np.where(mask, -1.0, 1.0)``; smoothing it first, or
    meshing a distance transform of it, gives a smoother surface. Without a
    ``max_depth``, :func:`karvex.mesh` meshes at the depth whose finest cells
    are as small as the spacing: with ``2**k + 1`` samples along the longest
    axis that is ``k``, and the finest cells are the voxels themselves.

    Examples
    --------
    >>> import numpy as np
    >>> import karvex
    >>> x, y, z = np.mgrid[-1:1:33j, -1:1:33j, -1:1:33j]
    >>> ball = karvex.grid_field(np.sqrt(x**2 + y**2 + z**2) - 0.7, spacing=2 / 32, origin=(-1, -1, -1))
    >>> ball.bounds
    ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
    >>> round(float(ball([[0.7, 0.0, 0.0]])[0][0]), 4)
    0.0
    """
    from karvex._dask_volume import DaskGridField, check_volume_array, is_dask_array  # noqa: PLC0415

    if isinstance(volume, (str, bytes)):
        raise TypeError(f"volume must be a 3-D array of real numbers (got {type(volume).__name__})")
    if inside not in ("below", "above"):
        raise ValueError(
            f"inside must be 'below' (samples below the level are inside) or 'above' (bright"
            f" inside, as in most scans), got {inside!r}"
        )
    if is_dask_array(volume):
        # Never computed whole: karvex.mesh reads it tile by tile.
        check_volume_array(volume)
        return DaskGridField(
            volume, as_half_sizes("spacing", spacing), as_vector("origin", origin), inside
        )
    samples = np.asarray(volume)
    if samples.dtype == np.bool_:
        raise TypeError(
            "volume must hold real numbers, negative inside (got a bool array);"
            " convert a mask with np.where(mask, -1.0, 1.0)"
        )
    if samples.dtype.kind not in "iuf":
        raise TypeError(f"volume must hold real numbers (got dtype {samples.dtype})")
    if samples.ndim != 3:
        raise ValueError(f"volume must be a 3-D array (got {samples.ndim} dimensions, shape {samples.shape})")
    if min(samples.shape) < 2:
        raise ValueError(
            f"volume must have at least 2 samples along each axis to interpolate between"
            f" (got shape {samples.shape})"
        )
    kept = (samples.dtype in _NATIVE_DTYPES and samples.dtype.isnative and samples.flags.aligned
            and all(stride % samples.itemsize == 0 for stride in samples.strides))
    view = samples.view() if kept else np.array(samples, dtype=np.float64, order="C")
    if view.dtype.kind == "f":
        _check_finite(view)
    steps = as_half_sizes("spacing", spacing)
    _check_range(view, steps)
    view.flags.writeable = False
    return GridField(view, steps, as_vector("origin", origin), inside)


def _check_finite(volume: NDArray[Any]) -> None:
    """Raise ValueError naming the first NaN or infinite sample, checking a
    slab along the slowest axis at a time."""
    axis = int(np.argmax(np.abs(volume.strides)))  # the slowest in memory
    step = max(1, _CHECK_SLAB // (volume.size // volume.shape[axis]))
    for start in range(0, volume.shape[axis], step):
        slab = volume[(slice(None),) * axis + (slice(start, start + step),)]
        if not np.isfinite(slab).all():
            bad = ~np.isfinite(volume)  # the error path only: the whole mask
            first = tuple(int(i) for i in np.argwhere(bad)[0])
            raise ValueError(
                f"volume must be finite: {int(bad.sum())} samples are NaN or infinite"
                f" (the first at index {first}, value {volume[first]})"
            )


# The largest magnitude of values and gradients the interpolation may reach:
# a sixteenth of float64's largest number leaves room for the sums and
# differences it forms (and for the mesher's own arithmetic on them).
_LARGEST = float(np.finfo(np.float64).max) / 16.0


def _check_range(samples: NDArray[Any], spacing: Array) -> None:
    """Refuse samples and spacings whose interpolated values or gradients
    overflow float64.

    Between two samples a and b the gradient is (b - a) / spacing, at most
    twice the largest sample magnitude over the smallest spacing; the
    spacing must also be a normal float64 so that dividing by it is exact
    enough to place points in their cells.
    """
    largest = max(float(samples.max()), -float(samples.min()))
    if largest > _LARGEST:
        raise ValueError(
            f"volume holds values up to {largest:.3g} in magnitude, too large to "
            f"interpolate in float64 (at most {_LARGEST:.3g}); mark the outside with a "
            "moderate value, for example np.clip(volume, -1e6, 1e6), or scale the volume"
        )
    smallest = float(spacing.min())
    tiny = float(np.finfo(np.float64).tiny)
    if smallest < tiny:
        raise ValueError(
            f"spacing must be at least {tiny:.3g} (the smallest normal float64), got "
            f"{smallest:.3g}; give the spacing in larger units and scale the bounds"
        )
    steepest = 2.0 * largest / smallest
    if steepest > _LARGEST:
        raise ValueError(
            f"volume values up to {largest:.3g} over a spacing of {smallest:.3g} give "
            f"gradients up to {steepest:.3g}, which overflow float64 (at most "
            f"{_LARGEST:.3g}); scale the volume down or give the spacing in larger units"
        )
