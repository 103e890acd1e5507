"""The module reads eval_fn's returned arrays where NumPy holds them and writes
the points it asks about straight into the array it passes. Whatever the
layout of the returned arrays, and even when eval_fn hands back the same
buffers call after call, the results must be those of plain fresh arrays."""
import numpy as np
import pytest

import _karvex_rs as k
from support import fields
from support.fields import BOX, OFF_CENTRE

sphere = fields.sphere(0.6, OFF_CENTRE)


def unaligned(values):
    """The values in a block that starts one byte past an aligned address."""
    raw = np.zeros(values.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, dtype=np.float64, count=len(values), offset=1)
    out[...] = values
    return out


def read_only(values):
    out = values.copy()
    out.flags.writeable = False
    return out


def reused(with_gradients):
    """eval_fn that returns views of the same two buffers every call,
    overwritten (grown when too short, never replaced otherwise)."""
    buffers = {"values": np.empty(0), "gradients": np.empty((0, 3))}

    def field(p):
        values, gradients = sphere(p)
        n = len(p)
        if len(buffers["values"]) < n:
            buffers.update(values=np.empty(2 * n), gradients=np.empty((2 * n, 3)))
        buffers["values"][:n] = values
        buffers["gradients"][:n] = gradients
        return buffers["values"][:n], buffers["gradients"][:n] if with_gradients else None
    return field


def layout(values_layout, with_gradients):
    def field(p):
        values, gradients = sphere(p)
        return values_layout(values), gradients if with_gradients else None
    return field


def plain(with_gradients):
    return layout(lambda v: v, with_gradients)


def run(field):
    stats = k.build_octree_adaptive(field, *BOX, 2, 5)
    meshes = [k.extract_mesh(field, *BOX, 2, 5, adaptive=a) for a in (False, True)]
    return stats, [(v.tobytes(), f.tobytes()) for v, f in meshes]


@pytest.mark.parametrize("with_gradients", [True, False], ids=["gradients", "differences"])
@pytest.mark.parametrize("make", [lambda g: layout(unaligned, g), lambda g: layout(read_only, g),
                                  reused],
                         ids=["unaligned-values", "read-only-values", "reused-buffers"])
def test_results_do_not_depend_on_how_eval_fn_returns_its_arrays(make, with_gradients):
    assert run(make(with_gradients)) == run(plain(with_gradients))


def test_points_arrive_in_fresh_arrays_the_module_owns_nothing_of():
    seen = []

    def field(p):
        seen.append((p.dtype, p.shape[1], p.flags.c_contiguous, p.flags.owndata, p.base))
        result = sphere(p.copy())
        p[...] = 7.0  # eval_fn may scribble on its argument
        return result
    assert k.extract_mesh(field, *BOX, 2, 4)[1].tobytes() == \
        k.extract_mesh(plain(True), *BOX, 2, 4)[1].tobytes()
    assert len(seen) > 10
    assert all(s == (np.float64, 3, True, True, None) for s in seen)
