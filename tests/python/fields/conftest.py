"""The field tests' fixtures: central differences, the smooth points of a field
and a Dask cluster."""
import pytest

from support.cluster import local_client
from support.gradients import central_differences, smooth_points


@pytest.fixture
def fd():
    return central_differences


@pytest.fixture
def smooth():
    return smooth_points


@pytest.fixture(scope="module")
def client():
    """Two worker processes on loopback (support.cluster), one per module."""
    with local_client() as connected:
        yield connected
