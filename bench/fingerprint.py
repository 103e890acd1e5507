"""Bit-exact fingerprint of the module's results, for changes that must not alter them.

Runs a fixed set of fields (sphere, torus, rotated box, box minus sphere, gyroid,
two spheres), each with analytic gradients and without (finite differences), through
build_octree_uniform, build_octree_adaptive and extract_mesh (uniform and balanced) at
a few depths, and hashes with SHA-256:

  - every batch passed to eval_fn: its length and the exact bytes of its points, in
    call order (so the same points, order and batch sizes are required);
  - every result: the statistics tuple, or the vertex and face arrays (shape, dtype
    and bytes).

Prints one line per case and a total. Speed work compares the total (or the lines)
before and after a change; any difference means a result changed.

The fields below are frozen on purpose and are not the shapes of karvex.sdf or of
the tests: the hashes depend on the exact bits of every value and gradient, so
rewriting a field (even as an equal formula, or as the same shape from
karvex.sdf) would change the fingerprint without any change in the module.

    python bench/fingerprint.py [--module-dir DIR] [--quick] [--out FILE] [--results-only]

--results-only leaves the batches out of the hashes: for changes that may pass
different points to eval_fn (fewer, or in another order) but must not change a
result.
"""
import argparse
import hashlib
import math
import time

import numpy as np

from module_loader import add_module_dir_argument, import_module


# ---------------------------------------------------------------------------
# Fields: f(p) -> (values, gradients); p is (N, 3) float64. Frozen: see above.

def sphere(p, centre=(0.0, 0.0, 0.0), radius=0.6):
    d = p - np.asarray(centre)
    r = np.sqrt(np.einsum("ij,ij->i", d, d))
    return r - radius, d / np.maximum(r, 1e-300)[:, None]


def torus(p, big=0.5, small=0.2):
    xy = np.hypot(p[:, 0], p[:, 1])
    qx = xy - big
    q = np.hypot(qx, p[:, 2])
    safe_xy = np.maximum(xy, 1e-300)
    safe_q = np.maximum(q, 1e-300)
    g = np.empty_like(p)
    g[:, 0] = qx / safe_q * p[:, 0] / safe_xy
    g[:, 1] = qx / safe_q * p[:, 1] / safe_xy
    g[:, 2] = p[:, 2] / safe_q
    return q - small, g


def _rotation():
    a, b = 0.5, 0.3
    rz = np.array([[math.cos(a), -math.sin(a), 0.0], [math.sin(a), math.cos(a), 0.0],
                   [0.0, 0.0, 1.0]])
    rx = np.array([[1.0, 0.0, 0.0], [0.0, math.cos(b), -math.sin(b)],
                   [0.0, math.sin(b), math.cos(b)]])
    return rz @ rx


ROTATION = _rotation()
HALF = np.array([0.55, 0.4, 0.3])


def box_sdf(q, half):
    """Signed distance to an axis-aligned box at the origin, with its gradient."""
    d = np.abs(q) - half
    outside = np.maximum(d, 0.0)
    out_len = np.sqrt(np.einsum("ij,ij->i", outside, outside))
    inside = np.minimum(d.max(axis=1), 0.0)
    values = out_len + inside
    sign = np.where(q < 0.0, -1.0, 1.0)
    g = np.zeros_like(q)
    is_out = out_len > 0.0
    g[is_out] = outside[is_out] / out_len[is_out][:, None]
    axis = d.argmax(axis=1)
    rows = np.nonzero(~is_out)[0]
    g[rows, axis[rows]] = 1.0
    return values, g * sign


def rotated_box(p):
    q = p @ ROTATION  # rows: R^T p
    values, gq = box_sdf(q, HALF)
    return values, gq @ ROTATION.T


def box_minus_sphere(p):
    bv, bg = box_sdf(p, np.array([0.6, 0.6, 0.6]))
    sv, sg = sphere(p, (0.35, 0.3, 0.25), 0.5)
    use_box = bv >= -sv
    return np.where(use_box, bv, -sv), np.where(use_box[:, None], bg, -sg)


def gyroid(p, k=5.0):
    x, y, z = (k * p[:, i] for i in range(3))
    values = np.sin(x) * np.cos(y) + np.sin(y) * np.cos(z) + np.sin(z) * np.cos(x)
    g = np.empty_like(p)
    g[:, 0] = k * (np.cos(x) * np.cos(y) - np.sin(z) * np.sin(x))
    g[:, 1] = k * (-np.sin(x) * np.sin(y) + np.cos(y) * np.cos(z))
    g[:, 2] = k * (-np.sin(y) * np.sin(z) + np.cos(z) * np.cos(x))
    return values, g


def two_spheres(p):
    av, ag = sphere(p, (-0.4, 0.0, 0.1), 0.45)
    bv, bg = sphere(p, (0.5, 0.1, -0.2), 0.3)
    use_a = av <= bv
    return np.where(use_a, av, bv), np.where(use_a[:, None], ag, bg)


FIELDS = {
    "sphere": sphere,
    "torus": torus,
    "rotated_box": rotated_box,
    "box_minus_sphere": box_minus_sphere,
    "gyroid": gyroid,
    "two_spheres": two_spheres,
}

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))


# ---------------------------------------------------------------------------

class Recorder:
    """Wraps a field; hashes every batch (size and point bytes) in call order."""

    def __init__(self, field, gradients):
        self.field = field
        self.gradients = gradients
        self.digest = hashlib.sha256()
        self.calls = 0
        self.points = 0

    def __call__(self, p):
        self.calls += 1
        self.points += len(p)
        self.digest.update(len(p).to_bytes(8, "little"))
        self.digest.update(np.ascontiguousarray(p, dtype=np.float64).tobytes())
        values, gradients = self.field(p)
        values = np.ascontiguousarray(values, dtype=np.float64)
        if not self.gradients:
            return values, None
        return values, np.ascontiguousarray(gradients, dtype=np.float64)


def hash_result(digest, result):
    if isinstance(result, tuple) and len(result) == 2 and isinstance(result[0], np.ndarray):
        for a in result:
            digest.update(repr((a.shape, a.dtype.str)).encode())
            digest.update(np.ascontiguousarray(a).tobytes())
    else:
        digest.update(repr(result).encode())


def cases(quick):
    """(name, field name, gradients, function name, kwargs)."""
    out = []
    for name in FIELDS:
        for grads in (True, False):
            out.append((name, grads, "build_octree_uniform", dict(depth=4)))
            out.append((name, grads, "build_octree_adaptive", dict(min_depth=3, max_depth=7)))
            out.append((name, grads, "extract_mesh", dict(min_depth=2, max_depth=6)))
            out.append((name, grads, "extract_mesh",
                        dict(min_depth=2, max_depth=6, adaptive=True)))
            if not quick:
                out.append((name, grads, "extract_mesh", dict(min_depth=3, max_depth=7)))
                out.append((name, grads, "extract_mesh",
                            dict(min_depth=3, max_depth=7, adaptive=True)))
    # Other settings: level, threshold, a box that is not a cube, equal depths.
    out.append(("sphere", True, "extract_mesh",
                dict(min_depth=3, max_depth=6, iso_value=0.1, angle_threshold_deg=10.0)))
    out.append(("rotated_box", True, "extract_mesh",
                dict(min_depth=2, max_depth=6, angle_threshold_deg=60.0, adaptive=True)))
    out.append(("torus", True, "extract_mesh",
                dict(min_depth=4, max_depth=4, adaptive=True)))
    out.append(("gyroid", False, "build_octree_adaptive",
                dict(min_depth=2, max_depth=6, iso_value=0.3)))
    out.append(("two_spheres", True, "extract_mesh",
                dict(min_depth=1, max_depth=6, adaptive=True,
                     bbox=((-1.0, -0.6, -0.7), (1.0, 0.6, 0.5)))))
    if not quick:
        out.append(("sphere", True, "build_octree_adaptive", dict(min_depth=4, max_depth=8)))
        out.append(("sphere", True, "extract_mesh", dict(min_depth=3, max_depth=8)))
        out.append(("sphere", True, "extract_mesh",
                    dict(min_depth=3, max_depth=8, adaptive=True)))
        out.append(("box_minus_sphere", True, "extract_mesh",
                    dict(min_depth=3, max_depth=8, adaptive=True)))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_module_dir_argument(parser)
    parser.add_argument("--quick", action="store_true", help="skip the deeper cases")
    parser.add_argument("--out", help="also write the lines to this file")
    parser.add_argument("--results-only", action="store_true",
                        help="hash only the results, not the batches passed to eval_fn")
    args = parser.parse_args()
    k = import_module(args.module_dir)

    total = hashlib.sha256()
    lines = []
    start = time.perf_counter()
    for field_name, grads, function, kwargs in cases(args.quick):
        kwargs = dict(kwargs)
        box = kwargs.pop("bbox", BOX)
        recorder = Recorder(FIELDS[field_name], grads)
        result = getattr(k, function)(recorder, *box, **kwargs)
        digest = hashlib.sha256() if args.results_only else recorder.digest.copy()
        hash_result(digest, result)
        settings = " ".join(f"{key}={value}" for key, value in sorted(kwargs.items()))
        size = (f"V={len(result[0])} F={len(result[1])}" if function == "extract_mesh"
                else f"stats={result}")
        line = (f"{digest.hexdigest()[:16]}  {field_name:16s} {'grad' if grads else 'fd  '} "
                f"{function:22s} {settings}  calls={recorder.calls} points={recorder.points} "
                f"{size}")
        print(line, flush=True)
        lines.append(line)
        total.update(digest.digest())
    summary = f"TOTAL {total.hexdigest()}  ({len(lines)} cases, {time.perf_counter() - start:.1f} s)"
    print(summary)
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(lines + [summary]) + "\n")


if __name__ == "__main__":
    main()
