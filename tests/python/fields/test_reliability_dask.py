"""karvex.dask_field when the cluster misbehaves: workers replaced under it,
a field the workers cannot load, arguments of the wrong kind."""

import os

import numpy as np
import pytest

import karvex
from karvex import sdf
from karvex.errors import FieldError
from support.dask_workers import replace_worker

distributed = pytest.importorskip("distributed")


def _load_in(pid):
    if os.getpid() != pid:
        raise ModuleNotFoundError("No module named 'client_only'")
    return HereOnly()


class HereOnly:
    """Loads only in the process that made it, as a field whose class lives
    in a module the workers do not have."""

    def __call__(self, points):
        return points[:, 0].copy(), None

    def __reduce__(self):
        return _load_in, (os.getpid(),)


@pytest.fixture
def local_cluster():
    """Two in-process workers: cheap to start, and closing one loses its data."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=":0", worker_dashboard_address=None,
                                  silence_logs=50) as cluster:
        with distributed.Client(cluster) as client:
            yield cluster, client


def test_the_field_survives_every_worker_being_replaced(local_cluster):
    cluster, client = local_cluster
    field = sdf.sphere(0.5)
    remote = karvex.dask_field(field, client, chunk=10)
    points = np.random.default_rng(3).uniform(-1, 1, size=(45, 3))
    for address in [worker.address for worker in cluster.workers.values()]:
        replace_worker(cluster, client, address)
    for mine, theirs in zip(remote(points), field(points)):
        np.testing.assert_array_equal(mine, theirs)
    mesh = karvex.mesh(remote, ((-1, -1, -1), (1, 1, 1)), max_depth=4)
    assert mesh.is_closed


def test_a_field_the_workers_cannot_unpickle_is_named_when_wrapped(client):
    with pytest.raises(FieldError, match=r"could not be sent to the Dask workers: "
                                         r"ModuleNotFoundError.*must be able to unpickle it"):
        karvex.dask_field(HereOnly(), client)


@pytest.mark.parametrize("chunk", [True, np.True_])
def test_a_bool_chunk_is_refused(chunk):
    with pytest.raises(TypeError, match=r"chunk must be an integer \(got (np.)?True_?\)"):
        karvex.dask_field(sdf.sphere(1.0), chunk=chunk)
