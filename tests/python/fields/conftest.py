"""The field tests' fixtures: central differences and the smooth points of a field."""
import pytest

from support.gradients import central_differences, smooth_points


@pytest.fixture
def fd():
    return central_differences


@pytest.fixture
def smooth():
    return smooth_points
