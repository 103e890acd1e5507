"""Evaluation of a field on a Dask cluster.

The mesher hands the field one large batch of points per stage (all new
corners of an octree level, all crossings of a bisection step). For a field
that costs far more than the mesher itself -- a large network, a simulation,
a query against a remote store -- :func:`dask_field` splits each batch into
chunks, evaluates them on the workers of a Dask cluster in parallel and puts
the results back together in order. The field itself is sent to every worker
once, when the wrapper is made; each task carries only its chunk of points.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from karvex._checks import IN_PARENS, TYPE_IN_PARENS, check_callable, check_int
from karvex._conversions import import_optional
from karvex.errors import FieldError

__all__ = ["DaskField", "dask_field"]

Array = NDArray[np.float64]
FieldResult = tuple[Array, Array | None]

def _evaluate_chunk(points: Array, field: Callable[[Array], Any]) -> tuple[Array, Array | None]:
    """Runs on a worker: the field on one chunk, as float64 arrays."""
    values, gradients = field(points)
    values = np.ascontiguousarray(values, dtype=np.float64)
    if gradients is not None:
        gradients = np.ascontiguousarray(gradients, dtype=np.float64)
    return values, gradients


class DaskField:
    """A field evaluated chunk by chunk on a Dask cluster; made by :func:`dask_field`.

    Attributes
    ----------
    field : callable
        The wrapped field (the local copy).
    client : distributed.Client
    chunk : int
        Points per task.
    bounds : optional
        The wrapped field's ``bounds``, when it has them.
    """

    def __init__(self, field: Callable[[Array], Any], client: Any, chunk: int) -> None:
        self.field, self.client, self.chunk = field, client, chunk
        if hasattr(field, "bounds"):
            self.bounds = field.bounds
        self._shipped = self._ship()

    def _ship(self) -> Any:
        """One copy of the field on every worker, referred to by the tasks.

        A worker that cannot unpickle the field fails the scatter; that
        failure is raised here as a FieldError that says how to fix it.
        """
        try:
            return self.client.scatter(self.field, broadcast=True, hash=False)
        except Exception as error:
            # Dask reports a worker's failure as a bare Exception holding its repr.
            detail = str(error) if type(error) is Exception else repr(error)
            raise FieldError(
                f"the field could not be sent to the Dask workers: {detail}. A worker "
                "must be able to unpickle it: define it at the top level of a module the "
                "workers can import, or in __main__ or a notebook (then it travels by "
                "value), and give it only state that pickles"
            ) from error

    def __repr__(self) -> str:
        return f"dask_field({self.field!r}, chunk={self.chunk})"

    def __call__(self, points: Array) -> FieldResult:
        """Values (N,) and gradients (N, 3) or None, in the order of ``points``."""
        points = np.ascontiguousarray(points, dtype=np.float64)
        n = len(points)
        chunks = [points[start : start + self.chunk] for start in range(0, n, self.chunk)] or [points]
        for attempt in range(2):
            # The field's copies die with their workers: once every worker that
            # held one has gone (replaced one at a time, say), ship it again.
            if self._shipped.status != "finished":
                self._shipped = self._ship()
            futures = self.client.map(_evaluate_chunk, chunks, field=self._shipped, pure=False)
            try:
                results: list[tuple[Array, Array | None]] = self.client.gather(futures)
            except Exception:
                self.client.cancel(futures)
                if attempt == 0 and self._shipped.status != "finished":
                    continue  # lost during this call: run it once more
                raise
            except BaseException:
                self.client.cancel(futures)
                raise
            break
        return self._concatenate(results, chunks)

    def _concatenate(
        self, results: list[tuple[Array, Array | None]], chunks: list[Array]
    ) -> FieldResult:
        for (values, gradients), chunk in zip(results, chunks):
            if values.shape != (len(chunk),):
                raise FieldError(
                    f"the field returned values of shape {values.shape} for a chunk of"
                    f" {len(chunk)} points; expected ({len(chunk)},)"
                )
            if gradients is not None and gradients.shape != (len(chunk), 3):
                raise FieldError(
                    f"the field returned gradients of shape {gradients.shape} for a chunk of"
                    f" {len(chunk)} points; expected ({len(chunk)}, 3) or None"
                )
        values = np.concatenate([v for v, _ in results])
        given = [g for _, g in results if g is not None]
        if not given:
            return values, None
        if len(given) != len(results):
            raise FieldError(
                f"the field returned gradients for {len(given)} of {len(results)} chunks and None"
                " for the others; return gradients always or never"
            )
        return values, np.concatenate(given)


def dask_field(
    field: Callable[[Array], Any], client: Any = None, chunk: int = 8192
) -> DaskField:
    """Wraps ``field`` so that each batch is evaluated in chunks on a Dask cluster.

    Parameters
    ----------
    field : callable
        Any field: points (N, 3) float64 to ``(values, gradients or None)``.
        It must be picklable (by cloudpickle): a :mod:`karvex.sdf` field, a
        module-level function, or an object whose state pickles. It is sent to
        every worker now, once.
    client : distributed.Client, optional
        The cluster to use; by default the current client (the last one
        created in this process).
    chunk : int, default 8192
        Points per task. Each task costs a few milliseconds of scheduling and
        transfer; make a chunk take well over that to evaluate
        (see the user guide on when a cluster pays).

    Returns
    -------
    DaskField
        A callable taking points (N, 3) and returning the values and the
        gradients (or None) of all chunks, concatenated in order, as float64.
        Pass it to :func:`karvex.mesh` like the field itself. An exception in
        any chunk is raised here, with the field's own type and message.

    Raises
    ------
    ImportError
        When Dask's distributed scheduler is not installed (``pip install karvex[dask]``).
    ValueError
        For a ``chunk`` that is not a positive integer, or no client.
    FieldError
        When a worker cannot unpickle the field.

    Examples
    --------
    >>> from distributed import Client, LocalCluster  # doctest: +SKIP
    >>> import karvex
    >>> from karvex import sdf
    >>> client = Client(LocalCluster(n_workers=2))  # doctest: +SKIP
    >>> remote = karvex.dask_field(sdf.sphere(0.8), client, chunk=50_000)  # doctest: +SKIP
    >>> m = karvex.mesh(remote, ((-1, -1, -1), (1, 1, 1)), max_depth=7)  # doctest: +SKIP
    """
    distributed = import_optional("distributed", "karvex.dask_field")
    check_callable("field", field, TYPE_IN_PARENS)
    size = check_int("chunk", chunk, IN_PARENS, low=1, requirement="a positive number of points")
    if client is None:
        try:
            client = distributed.get_client()
        except ValueError:
            raise ValueError(
                "dask_field() found no Dask client in this process: create one"
                " (distributed.Client(...)) or pass client="
            ) from None
    return DaskField(field, client, size)
