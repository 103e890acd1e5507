"""Fields over 3-D arrays of samples: trilinear values and their exact gradients.

A volume of samples -- a CT scan, a simulation's level set, a voxelised
solid, a distance transform -- becomes a field that the mesher takes like any
other. Between samples the field is the trilinear interpolant, and the
gradient is the interpolant's exact gradient (piecewise bilinear, so it jumps
across cell faces), not a finite-difference estimate of the samples.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike, NDArray

from karvex.sdf._arguments import as_half_sizes, as_vector
from karvex.sdf._base import Field, Sample

if TYPE_CHECKING:
    from karvex.sdf._vectors import Array

__all__ = ["GridField", "grid_field"]

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
        A read-only float64 copy of the samples.
    spacing, origin : ndarray, shape (3,)
    bounds : ((x0, y0, z0), (x1, y1, z1))
        The box the samples span, for :func:`karvex.mesh`.
    """

    def __init__(self, volume: NDArray[np.float64], spacing: Array, origin: Array) -> None:
        self.volume, self.spacing, self.origin = volume, spacing, origin
        self._top = np.array(volume.shape, dtype=np.float64) - 1.0
        far = origin + self._top * spacing
        self._bounds: Bounds = (
            (float(origin[0]), float(origin[1]), float(origin[2])),
            (float(far[0]), float(far[1]), float(far[2])),
        )
        strides = np.array(volume.strides) // volume.itemsize
        self._corner_offsets = _CORNERS @ strides

    @property
    def bounds(self) -> Bounds:
        return self._bounds

    def __repr__(self) -> str:
        return (
            f"grid_field(<volume {self.volume.shape}>, spacing={tuple(self.spacing.tolist())},"
            f" origin={tuple(self.origin.tolist())})"
        )

    def evaluate(self, points: Array) -> Sample:
        u = (points - self.origin) / self.spacing  # in units of samples
        outside = (u < 0.0) | (u > self._top)
        undefined = np.isnan(u).any(axis=1)
        u = np.clip(u, 0.0, self._top)
        u[undefined] = 0.0
        # The cell is the one below u, except on the last sample plane, which
        # belongs to the cell before it.
        cell = np.minimum(np.floor(u), self._top - 1.0)
        t = u - cell
        tx, ty, tz = t[:, 0], t[:, 1], t[:, 2]
        base = cell.astype(np.intp) @ (np.array(self.volume.strides) // self.volume.itemsize)
        c = self.volume.ravel()[base[:, None] + self._corner_offsets[None, :]]

        # Reduce along z, then y, then x; each derivative takes the difference
        # along its own axis and the same weights along the other two.
        along_z = _lerp(c[:, 0::2], c[:, 1::2], tz[:, None])  # (a, b) = 00, 01, 10, 11
        dz = c[:, 1::2] - c[:, 0::2]
        along_y = _lerp(along_z[:, 0::2], along_z[:, 1::2], ty[:, None])  # a = 0, 1
        dy = along_z[:, 1::2] - along_z[:, 0::2]
        dz_y = _lerp(dz[:, 0::2], dz[:, 1::2], ty[:, None])
        values = _lerp(along_y[:, 0], along_y[:, 1], tx)
        gradients = np.empty_like(points)
        gradients[:, 0] = (along_y[:, 1] - along_y[:, 0]) / self.spacing[0]
        gradients[:, 1] = _lerp(dy[:, 0], dy[:, 1], tx) / self.spacing[1]
        gradients[:, 2] = _lerp(dz_y[:, 0], dz_y[:, 1], tx) / self.spacing[2]

        # Beyond the border the field is constant along the crossed axes.
        gradients[outside] = 0.0
        values[undefined] = np.nan
        gradients[undefined] = np.nan
        return values, gradients


def grid_field(
    volume: ArrayLike, spacing: ArrayLike = (1, 1, 1), origin: ArrayLike = (0, 0, 0)
) -> GridField:
    """A field over a 3-D array of samples, interpolated trilinearly.

    ``volume[i, j, k]`` is the value at ``origin + (i, j, k) * spacing``.
    Between samples the value is the trilinear interpolant of the eight
    surrounding samples and the gradient is that interpolant's exact
    gradient. A point outside the grid takes the value at the nearest point of
    the grid's box (its coordinates clamped), and its gradient is zero along
    the axes on which it lies outside. The field keeps a float64 copy of the
    samples, so later changes to ``volume`` do not affect it.

    Parameters
    ----------
    volume : array_like, shape (nx, ny, nz)
        Samples of any real dtype, at least 2 along each axis, all finite;
        negative inside, as for every field.
    spacing : float or three floats, default (1, 1, 1)
        The distance between neighbouring samples along x, y and z; positive.
    origin : three floats, default (0, 0, 0)
        The position of ``volume[0, 0, 0]``.

    Returns
    -------
    GridField
        A :class:`karvex.sdf.Field`, with ``bounds`` the box the samples span
        (pass it to :func:`karvex.mesh`); it combines with other fields.

    Notes
    -----
    A solid that touches the border of the grid is closed there by
    :func:`karvex.mesh`, along the faces of the box it meshes. A boolean mask
    becomes a field with ``np.where(mask, -1.0, 1.0)``; smoothing it first, or
    meshing a distance transform of it, gives a smoother surface.

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
    if isinstance(volume, (str, bytes)):
        raise TypeError(f"volume must be a 3-D array of real numbers (got {type(volume).__name__})")
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
    copy = np.array(samples, dtype=np.float64, order="C", copy=True)
    finite = np.isfinite(copy)
    if not finite.all():
        first = tuple(int(i) for i in np.argwhere(~finite)[0])
        raise ValueError(
            f"volume must be finite: {int((~finite).sum())} samples are NaN or infinite"
            f" (the first at index {first}, value {copy[first]})"
        )
    copy.flags.writeable = False
    steps = as_half_sizes("spacing", spacing)
    _check_range(copy, steps)
    return GridField(copy, steps, as_vector("origin", origin))


# The largest magnitude of values and gradients the interpolation may reach:
# a sixteenth of float64's largest number leaves room for the sums and
# differences it forms (and for the mesher's own arithmetic on them).
_LARGEST = float(np.finfo(np.float64).max) / 16.0


def _check_range(samples: NDArray[np.float64], spacing: Array) -> None:
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
