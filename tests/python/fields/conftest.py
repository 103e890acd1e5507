"""The field tests' fixtures: central differences, the smooth points of a field
and a Dask cluster."""
import os
from pathlib import Path

import pytest

import _karvex_rs

from support.gradients import central_differences, smooth_points


@pytest.fixture
def fd():
    return central_differences


@pytest.fixture
def smooth():
    return smooth_points


@pytest.fixture(scope="module")
def client():
    """Two worker processes on loopback, no dashboard. The workers import the
    same karvex and native module as this process."""
    distributed = pytest.importorskip("distributed")
    import karvex as package

    paths = [str(Path(package.__file__).parents[1]), str(Path(_karvex_rs.__file__).parent)]
    old = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(paths + ([old] if old else []))
    try:
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=None, worker_dashboard_address=None, silence_logs=40)
    finally:
        if old is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = old
    with cluster, distributed.Client(cluster) as connected:
        yield connected
