"""The Field type: a batched signed distance with its gradient, and the operators
that combine fields.

A field maps a batch of points to a value and a gradient per point. Values are
negative inside the solid and positive outside; for the primitives of this
package they are the exact Euclidean distance to the surface (signed), and
the gradient is the exact gradient of that value, a unit vector wherever the
distance is differentiable. Calling a field follows the ``eval_fn`` convention
of the mesher, so a field is passed to :func:`karvex.mesh` or
``_karvex_rs.extract_mesh`` as it is.
"""

from __future__ import annotations

import abc
from typing import TYPE_CHECKING, TypeAlias

import numpy as np
from numpy.typing import ArrayLike

from karvex.sdf._bounds import Bounds
from karvex.sdf._vectors import Array

if TYPE_CHECKING:
    from karvex.sdf._transforms import Rotate, Scale, Translate

__all__ = ["Field", "Sample", "as_points"]

Sample: TypeAlias = tuple[Array, Array]
"""``(values, gradients)``: float64 arrays of shapes (N,) and (N, 3)."""


def as_points(points: ArrayLike) -> Array:
    """``points`` as a C-contiguous float64 array of shape (N, 3).

    Raises ``ValueError`` for any other shape, naming the shape it got.
    """
    array = np.ascontiguousarray(points, dtype=np.float64)
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(
            f"points must be an array of shape (N, 3), one point per row (got shape {array.shape})"
        )
    return array


class Field(abc.ABC):
    """A signed distance field evaluated on batches of points.

    Subclasses implement :meth:`evaluate`. Calling a field converts the points,
    evaluates them and returns C-contiguous float64 arrays, the form the mesher
    takes. Fields combine with ``a | b`` (union), ``a & b`` (intersection) and
    ``a - b`` (difference) and move with :meth:`translate`, :meth:`rotate` and
    :meth:`scale`; each returns a new field and leaves its operands unchanged.

    Examples
    --------
    >>> import numpy as np
    >>> from karvex import sdf
    >>> shape = sdf.box(0.5) - sdf.sphere(0.6)
    >>> values, gradients = shape(np.array([[0.0, 0.0, 0.0], [0.5, 0.5, 0.5]]))
    >>> values.round(3).tolist()
    [0.6, 0.0]
    """

    __slots__ = ()

    def __call__(self, points: ArrayLike) -> Sample:
        """Values (N,) and gradients (N, 3) at ``points`` (N, 3), both C-contiguous
        float64.

        Parameters
        ----------
        points : array_like, shape (N, 3)
            One point per row; converted to float64.

        Returns
        -------
        values : ndarray, shape (N,)
            Signed distance, negative inside.
        gradients : ndarray, shape (N, 3)
            The gradient of ``values`` at each point.
        """
        values, gradients = self.evaluate(as_points(points))
        return (
            np.ascontiguousarray(values, dtype=np.float64),
            np.ascontiguousarray(gradients, dtype=np.float64),
        )

    @abc.abstractmethod
    def evaluate(self, points: Array) -> Sample:
        """Values and gradients at ``points``, a C-contiguous float64 (N, 3) array.

        Composite fields call their operands' ``evaluate`` directly, so the
        points are checked once, at the outermost call. Implementations must
        not modify ``points``.
        """

    @property
    def bounds(self) -> Bounds | None:
        """A box ``((x0, y0, z0), (x1, y1, z1))`` containing the solid, or None
        when the solid reaches infinity (a plane, a lattice, a complement).

        :func:`karvex.mesh` meshes this box, padded by a cell, when it is given
        none. It need not be tight; see :mod:`karvex.sdf._bounds` for how
        operations combine their operands' boxes.
        """
        return None

    # Operators. The operand modules import this one, so they are imported
    # at the call.

    def __or__(self, other: object) -> Field:
        if not isinstance(other, Field):
            return NotImplemented
        from karvex.sdf._booleans import union

        return union(self, other)

    def __and__(self, other: object) -> Field:
        if not isinstance(other, Field):
            return NotImplemented
        from karvex.sdf._booleans import intersection

        return intersection(self, other)

    def __sub__(self, other: object) -> Field:
        if not isinstance(other, Field):
            return NotImplemented
        from karvex.sdf._booleans import difference

        return difference(self, other)

    def __neg__(self) -> Field:
        from karvex.sdf._booleans import complement

        return complement(self)

    def translate(self, offset: ArrayLike) -> Translate:
        """This field moved by ``offset`` (three numbers); see :func:`karvex.sdf.translate`."""
        from karvex.sdf._transforms import translate

        return translate(self, offset)

    def rotate(
        self,
        matrix: ArrayLike | None = None,
        *,
        axis: ArrayLike | str | None = None,
        degrees: float | None = None,
    ) -> Rotate:
        """This field turned about the origin; see :func:`karvex.sdf.rotate`."""
        from karvex.sdf._transforms import rotate

        return rotate(self, matrix, axis=axis, degrees=degrees)

    def scale(self, factor: float) -> Scale:
        """This field scaled about the origin by ``factor``; see :func:`karvex.sdf.scale`."""
        from karvex.sdf._transforms import scale

        return scale(self, factor)
