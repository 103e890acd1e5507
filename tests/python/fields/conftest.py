"""Shared helpers of the field tests: central differences, a mesh checker and
a Dask cluster."""
import os
from pathlib import Path

import numpy as np
import pytest

import _karvex_rs


def central_differences(field, points, step):
    """The gradient of the field's values by central differences, per point."""
    columns = []
    for axis in np.eye(3):
        ahead = field(points + step * axis)[0]
        behind = field(points - step * axis)[0]
        columns.append((ahead - behind) / (2.0 * step))
    return np.stack(columns, axis=1)


def smooth_points(field, points, step=1e-4):
    """The points where the field is smooth at the scale ``step``: forward and
    backward differences agree on every axis (they differ by about step times
    the curvature where it is smooth, by order one across a kink). Points near
    a crease of min/max, a box's medial sheets or an axis drop out."""
    values = field(points)[0]
    keep = np.ones(len(points), dtype=bool)
    for axis in np.eye(3):
        forward = (field(points + step * axis)[0] - values) / step
        backward = (values - field(points - step * axis)[0]) / step
        keep &= np.abs(forward - backward) < 1e-2
    return points[keep]


def closed_and_outward(vertices, faces):
    """Asserts every directed edge has exactly one reverse partner; returns the
    signed volume (positive when the faces point outwards)."""
    assert len(faces) > 0
    directed = np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]])
    keys = directed[:, 0] * len(vertices) + directed[:, 1]
    reverse = directed[:, 1] * len(vertices) + directed[:, 0]
    assert len(np.unique(keys)) == len(keys), "a directed edge is used twice"
    assert np.isin(reverse, keys).all(), "an edge has no partner"
    a, b, c = (vertices[faces[:, i]] for i in range(3))
    return float(np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6.0)


@pytest.fixture
def fd():
    return central_differences


@pytest.fixture
def smooth():
    return smooth_points


@pytest.fixture
def closed_volume():
    return closed_and_outward


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
