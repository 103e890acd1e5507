"""karvex.dask_field on a local cluster of two worker processes: the same
mesh as local evaluation, to the bit, and the field's own errors."""
import os
import sys

import numpy as np
import pytest

import _karvex_rs
import karvex
from karvex import sdf
from karvex.errors import FieldError
from support.cluster import local_client

SHAPE = (sdf.box(0.5) - sdf.sphere(0.6)).rotate(axis=(1, 2, 3), degrees=20) | sdf.torus(0.7, 0.1)


def test_mesh_is_the_same_as_local_evaluation(client):
    remote = karvex.dask_field(SHAPE, client, chunk=3000)
    local = _karvex_rs.extract_mesh(SHAPE, (-1, -1, -1), (1, 1, 1), min_depth=3, max_depth=5)
    distributed_mesh = _karvex_rs.extract_mesh(remote, (-1, -1, -1), (1, 1, 1), min_depth=3,
                                               max_depth=5)
    for mine, theirs in zip(distributed_mesh, local):
        assert mine.dtype == theirs.dtype and mine.shape == theirs.shape
        assert mine.tobytes() == theirs.tobytes()


def test_chunks_run_on_both_workers_and_come_back_in_order(client):
    def where(points):
        return np.full(len(points), float(os.getpid())), None

    points = np.arange(30.0).reshape(10, 3)
    pids, gradients = karvex.dask_field(where, client, chunk=1)(points)
    assert gradients is None and len(set(pids.tolist())) == 2 and os.getpid() not in pids
    values, _ = karvex.dask_field(lambda p: (p[:, 0] * 1.0, None), client, chunk=3)(points)
    np.testing.assert_array_equal(values, points[:, 0])


def test_the_field_is_shipped_once(client):
    """Tasks refer to the scattered field: the field sits in worker memory under
    one key, and the task arguments hold no copy of it."""
    big = karvex.grid_field(np.random.default_rng(0).normal(size=(40, 40, 40)))
    remote = karvex.dask_field(big, client, chunk=500)
    assert remote._shipped.key in {key for keys in client.has_what().values() for key in keys}
    assert _holders(client, remote._shipped.key) == 2
    points = np.random.default_rng(1).uniform(0, 39, size=(5000, 3))
    for mine, theirs in zip(remote(points), big(points)):
        np.testing.assert_array_equal(mine, theirs)


def test_the_current_client_is_used_by_default(client):
    remote = karvex.dask_field(sdf.sphere(1.0))
    assert remote.client is client
    assert remote(np.zeros((0, 3)))[0].shape == (0,)


def test_an_error_in_a_chunk_reaches_the_caller(client):
    def failing(points):
        if (points[:, 0] > 5).any():
            raise ArithmeticError("chunk beyond x = 5")
        return points[:, 0].copy(), None

    with pytest.raises(ArithmeticError, match="chunk beyond x = 5"):
        karvex.dask_field(failing, client, chunk=2)(np.arange(30.0).reshape(10, 3))


@pytest.mark.parametrize("function, message", [
    (lambda p: (p[:-1, 0], None), r"values of shape \(\d+,\) for a chunk of \d+ points"),
    (lambda p: (p[:, 0].copy(), p[:, :2].copy()), r"gradients of shape \(\d+, 2\)"),
    (lambda p: (p[:, 0].copy(), None if p[0, 0] > 10 else p.copy()), r"gradients for 2 of 4 chunks"),
])
def test_inconsistent_chunks_are_reported(client, function, message):
    with pytest.raises(FieldError, match=message):
        karvex.dask_field(function, client, chunk=3)(np.arange(30.0).reshape(10, 3))


@pytest.mark.parametrize("kwargs, error, message", [
    ({"chunk": 0}, ValueError, r"chunk must be a positive number of points \(got 0\)"),
    ({"chunk": 2.5}, TypeError, r"chunk must be an integer \(got 2.5\)"),
    ({"chunk": True}, TypeError, r"chunk must be an integer \(got True\)"),
    ({"field": 3}, TypeError, r"field must be callable \(got int\)"),
])
def test_bad_arguments(client, kwargs, error, message):
    arguments = {"field": SHAPE, "client": client, **kwargs}
    with pytest.raises(error, match=message):
        karvex.dask_field(**arguments)


def test_without_distributed_the_error_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"pip install karvex\[dask\]"):
        karvex.dask_field(SHAPE)


def _holders(client, key, wait=30.0):
    """How many workers hold ``key``, once both do or after ``wait`` seconds
    (the scheduler may learn of a broadcast copy a moment after the scatter
    returns on a loaded machine)."""
    import time

    end = time.monotonic() + wait
    while True:
        count = sum(key in keys for keys in client.has_what().values())
        if count == 2 or time.monotonic() > end:
            return count
        time.sleep(0.1)
