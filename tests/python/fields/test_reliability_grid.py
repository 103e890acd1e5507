"""grid_field refuses volumes and spacings whose interpolation or gradients
overflow float64, before any meshing, with messages of its own."""

import numpy as np
import pytest

import karvex

_x, _y, _z = np.mgrid[-1:1:9j, -1:1:9j, -1:1:9j]
BALL = np.sqrt(_x**2 + _y**2 + _z**2) - 0.7
BIGGEST = np.finfo(np.float64).max


@pytest.mark.parametrize("volume, spacing, message", [
    (np.where(BALL > 0, BIGGEST, BALL), 0.25,
     r"volume holds values up to 1.8e\+308 in magnitude, too large to interpolate"),
    (np.where(BALL > 0, -BIGGEST / 4, BALL), 0.25, r"too large to interpolate .*np.clip"),
    (BALL, 5e-324, r"spacing must be at least 2.23e-308 .* got 4.94e-324"),
    (BALL, (1.0, 1.0, 1e-310), r"spacing must be at least 2.23e-308 .* got 1e-310"),
    (BALL * 1e300, 1e-10, r"gradients up to .*, which overflow float64"),
], ids=["max sentinel", "large negative", "denormal spacing", "one tiny axis", "steep"])
def test_overflowing_volumes_are_refused(volume, spacing, message):
    with pytest.raises(ValueError, match=message):
        karvex.grid_field(volume, spacing=spacing)


def test_large_but_safe_volumes_mesh():
    field = karvex.grid_field(BALL * 1e300, spacing=0.25, origin=(-1, -1, -1))
    mesh = karvex.mesh(field, field.bounds, max_depth=4)
    assert mesh.is_closed and mesh.volume == pytest.approx(4 / 3 * np.pi * 0.7**3, rel=0.1)
