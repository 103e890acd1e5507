"""extract_mesh results: NumPy arrays over native buffers held by PySliceContainer."""
import gc

import numpy as np
import pytest

import _karvex_rs as k
from support import fields
from support.fields import BOX

sphere = fields.sphere(0.6)


def constant(p):
    return np.ones(len(p)), None


def check_array(array, dtype):
    assert type(array) is np.ndarray
    assert array.dtype == dtype and array.ndim == 2 and array.shape[1] == 3
    assert type(array.base).__name__ == "PySliceContainer"
    assert array.flags.c_contiguous and array.flags.writeable and not array.flags.owndata
    assert array.strides == ((24, 8) if len(array) else (0, 0))


@pytest.mark.parametrize("field", [sphere, constant], ids=["sphere", "constant"])
@pytest.mark.parametrize("adaptive", [False, True])
def test_result_arrays(field, adaptive):
    result = k.extract_mesh(field, *BOX, min_depth=2, max_depth=4, adaptive=adaptive)
    assert type(result) is tuple and len(result) == 2
    vertices, faces = result
    check_array(vertices, np.float64)
    check_array(faces, np.int64)
    assert type(vertices.base) is type(faces.base)
    assert vertices.base is not faces.base
    if len(faces):
        assert faces.min() >= 0 and faces.max() < len(vertices)
    if field is constant:
        assert vertices.shape == faces.shape == (0, 3)


def test_views_outlive_the_result():
    vertices, faces = k.extract_mesh(sphere, *BOX, min_depth=2, max_depth=4)
    expected_v, expected_f = vertices.copy(), faces.copy()
    view_v, view_f = vertices[::-1], faces.T
    del vertices, faces
    gc.collect()
    # Churn the allocator so that a freed buffer would likely be reused.
    junk = [np.full((64, 3), 7.0) for _ in range(64)]
    np.testing.assert_array_equal(view_v[::-1], expected_v)
    np.testing.assert_array_equal(view_f.T, expected_f)
    del junk


def test_holder_type_is_not_instantiable_nor_a_module_attribute():
    vertices, _ = k.extract_mesh(constant, *BOX, min_depth=1, max_depth=1)
    with pytest.raises(TypeError):
        type(vertices.base)()
    assert not hasattr(k, "PySliceContainer")


def test_defaults_start_from_depth_3():
    sizes = []

    def field(p):
        sizes.append(len(p))
        return constant(p)

    k.extract_mesh(field, *BOX)
    assert sizes[0] == 9 ** 3  # the initial grid of min_depth 3
    assert sizes[1] == 6 * 9 ** 3  # its finite-difference batch


def test_field_error_gives_no_mesh():
    calls = []

    def field(p):
        calls.append(len(p))
        if len(calls) > 1:
            raise ValueError("second batch")
        return sphere(p)[0], None

    with pytest.raises(ValueError, match="^second batch$"):
        k.extract_mesh(field, *BOX, min_depth=2, max_depth=4)
