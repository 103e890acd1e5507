"""The eval_fn calling convention and every malformed return form."""
import numpy as np
import pytest

import _karvex_rs as k

POINTS = [(0.0, 0.0, 0.0), (1.0, 2.0, 3.0), (-4.0, 5.5, 6.25)]
ARRAY_MSG = "'{}' object cannot be converted to 'PyArray<T, D>'"


def returning(result):
    return lambda p: result(len(p))


def test_calling_convention():
    seen = []

    def field(*args, **kwargs):
        seen.append((args, kwargs))
        return np.arange(len(args[0]), dtype=np.float64), None

    assert k.test_batch_eval(field, POINTS) == ([0.0, 1.0, 2.0], False, 3)
    [(args, kwargs)] = seen
    assert kwargs == {} and len(args) == 1
    points = args[0]
    assert type(points) is np.ndarray and points.dtype == np.float64 and points.shape == (3, 3)
    assert points.flags.c_contiguous and points.flags.writeable and points.flags.owndata
    np.testing.assert_array_equal(points, POINTS)


def test_empty_batch_makes_no_call():
    def field(p):
        raise AssertionError("called")

    assert k.test_batch_eval(field, []) == ([], False, 0)


@pytest.mark.parametrize("result,expected", [
    (lambda n: (np.ones(n), None), ([1.0] * 3, False, 3)),
    (lambda n: [np.ones(n), None], ([1.0] * 3, False, 3)),
    (lambda n: (np.ones(n), np.zeros((n, 4))), ([1.0] * 3, True, 3)),
    (lambda n: (np.ones(n), np.zeros((0, 2))), ([1.0] * 3, True, 3)),
    (lambda n: (np.ones(n + 2), None), ([1.0] * 5, False, 5)),
    (lambda n: (np.ones(1), np.zeros((1, 3))), ([1.0], True, 1)),
    (lambda n: (np.ones(2 * n)[:n], None), ([1.0] * 3, False, 3)),
    (lambda n: (np.ones(1)[::-1], None), ([1.0], False, 1)),
    (lambda n: (np.ones(n).astype(np.dtype("=f8")), None), ([1.0] * 3, False, 3)),
], ids=["tuple", "list", "4-columns", "0-rows", "longer", "shorter", "prefix-view",
        "reversed-single", "native-order"])
def test_accepted_returns(result, expected):
    assert k.test_batch_eval(returning(result), POINTS) == expected


@pytest.mark.parametrize("result,exc_type,message", [
    (lambda n: np.ones(n), TypeError, ARRAY_MSG.format("float64")),
    (lambda n: np.ones(1), IndexError, None),
    (lambda n: (np.ones(n, dtype=np.float32), None), TypeError, ARRAY_MSG.format("ndarray")),
    (lambda n: (np.ones(n, dtype=np.int64), None), TypeError, ARRAY_MSG.format("ndarray")),
    (lambda n: (np.ones(n, dtype=">f8"), None), TypeError, ARRAY_MSG.format("ndarray")),
    (lambda n: (np.ones((n, 1)), None), TypeError, ARRAY_MSG.format("ndarray")),
    (lambda n: ([1.0] * n, None), TypeError, ARRAY_MSG.format("list")),
    (lambda n: (1.0, None), TypeError, ARRAY_MSG.format("float")),
    (lambda n: (np.ones(2 * n)[::2], None), TypeError, "The given array is not contiguous"),
    (lambda n: (np.ones(n)[::-1], None), TypeError, "The given array is not contiguous"),
    (lambda n: (np.ones(n), [[0.0] * 3] * n), TypeError, ARRAY_MSG.format("list")),
    (lambda n: (np.ones(n), np.zeros(3 * n)), TypeError, ARRAY_MSG.format("ndarray")),
    (lambda n: (np.ones(n), np.zeros((n, 3), dtype=np.float32)), TypeError,
     ARRAY_MSG.format("ndarray")),
    (lambda n: (np.ones(n),), IndexError, "tuple index out of range"),
    (lambda n: None, TypeError, "'NoneType' object is not subscriptable"),
], ids=["bare-array", "bare-single", "float32", "int64", "big-endian", "2d-values", "list",
        "scalar", "strided", "reversed", "grad-list", "grad-1d", "grad-float32", "one-item",
        "none"])
def test_malformed_returns(result, exc_type, message):
    with pytest.raises(BaseException) as info:
        k.test_batch_eval(returning(result), POINTS)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message


def test_gradients_with_fewer_than_three_columns_panic():
    with pytest.raises(BaseException) as info:
        k.test_batch_eval(returning(lambda n: (np.ones(n), np.zeros((n, 2)))), POINTS)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "ndarray: index out of bounds"


def test_both_items_are_fetched_before_either_is_checked():
    keys = []

    class Result:
        def __getitem__(self, key):
            keys.append(key)
            if key == 1:
                raise KeyError("second")
            return "not an array"

    with pytest.raises(KeyError):
        k.test_batch_eval(lambda p: Result(), POINTS)
    assert keys == [0, 1] and all(type(key) is int for key in keys)


def test_exception_from_eval_fn_is_passed_on_unchanged():
    raised = []

    def field(p):
        error = ValueError("from the field")
        error.__cause__ = KeyError("cause")
        raised.append(error)
        raise error

    for call in (lambda: k.test_batch_eval(field, POINTS),
                 lambda: k.test_fd_gradients(field, POINTS),
                 lambda: k.build_octree_uniform(field, (0, 0, 0), (1, 1, 1), 1),
                 lambda: k.extract_mesh(field, (0, 0, 0), (1, 1, 1))):
        with pytest.raises(ValueError) as info:
            call()
        assert info.value is raised[-1]
        assert isinstance(info.value.__cause__, KeyError)
        frames = [tb.tb_frame.f_code.co_name for tb in _walk(info.value.__traceback__)]
        assert "field" in frames


def test_non_callable_eval_fn_raises_pythons_type_error():
    with pytest.raises(TypeError, match="^'int' object is not callable$"):
        k.test_batch_eval(3, POINTS)


def test_panic_inside_eval_fn_is_passed_on(capsys):
    def field(p):
        # Too few values for the stencil: an internal failure inside the field.
        k.test_fd_gradients(lambda q: (np.zeros(1), None), [(0.0, 0.0, 0.0)])

    with pytest.raises(BaseException) as info:
        k.test_batch_eval(field, POINTS)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "index out of bounds: the len is 1 but the index is 1"
    err = capsys.readouterr().err
    assert "PanicException" in err and "Traceback" in err and "in field" in err


def test_gradient_strides_do_not_change_the_build():
    # The same analytic gradients in different memory layouts must give the
    # same adaptive tree (the refinement tests read every gradient). An
    # off-centre ellipsoid, so that misplaced gradients do change the tree.
    centre, scale = np.array([0.13, -0.21, 0.07]), np.array([1.0, 4.0, 9.0])

    def ellipsoid(layout):
        def field(p):
            q = p - centre
            r = np.sqrt((scale * q * q).sum(axis=1))
            return r - 0.6, layout(np.ascontiguousarray(scale * q / r[:, None]))
        return field

    def stats(layout):
        return k.build_octree_adaptive(ellipsoid(layout), (-1, -1, -1), (1, 1, 1), 1, 4)

    layouts = [np.asfortranarray,
               lambda g: np.ascontiguousarray(g[::-1])[::-1],
               lambda g: np.ascontiguousarray(g.T).T,
               lambda g: np.hstack([g, np.full((len(g), 2), 9.0)])[:, :3],
               lambda g: np.repeat(g, 2, axis=0)[::2]]
    expected = stats(lambda g: g)
    assert all(stats(layout) == expected for layout in layouts)
    assert stats(lambda g: g[::-1]) != expected


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next
