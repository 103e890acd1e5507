"""Bit-exact fingerprint of the meshers' results: fixed fields through the
low-level module's functions and through karvex.mesh, each result hashed with
SHA-256 (its shape, dtype and bytes, or the statistics tuple).

The fields are built from correctly rounded operations only (+ - * /, sqrt,
abs, min/max, comparisons): their values are then the same bits on every
x86-64 machine, which NumPy's vectorised sin, cos and exp and BLAS matrix
products do not promise. The rotation is rational (from a quaternion of small
integers) and applied component by component; the lattice is a polynomial
(the tanglecube) instead of a gyroid's sines.

tests/python/test_fingerprint.py checks the digests against the committed
ones; bench/fingerprint.py runs the same cases with deeper ones and can hash
the batches handed to the field too.
"""
import hashlib
from dataclasses import dataclass, field

import numpy as np

from support.fields import BOX, Recorder

# ---------------------------------------------------------------------------
# Fields: f(p) -> (values, gradients); p is (N, 3) float64. Changing one bit
# of any of them changes the digests: they are frozen.


def _length(x, y, z):
    return np.sqrt(x * x + y * y + z * z)


def sphere(p, centre=(0.0, 0.0, 0.0), radius=0.6):
    d = p - np.array(centre)
    r = _length(d[:, 0], d[:, 1], d[:, 2])
    return r - radius, d / np.maximum(r, 1e-300)[:, None]


def torus(p, big=0.5, small=0.2):
    x, y, z = p[:, 0], p[:, 1], p[:, 2]
    xy = np.sqrt(x * x + y * y)
    qx = xy - big
    q = np.sqrt(qx * qx + z * z)
    safe_xy = np.maximum(xy, 1e-300)
    safe_q = np.maximum(q, 1e-300)
    g = np.empty_like(p)
    g[:, 0] = qx / safe_q * x / safe_xy
    g[:, 1] = qx / safe_q * y / safe_xy
    g[:, 2] = z / safe_q
    return q - small, g


def _rotation(a, b, c, d):
    """The rotation of the quaternion (a, b, c, d), as nested tuples of floats."""
    n = float(a * a + b * b + c * c + d * d)
    return (
        ((a * a + b * b - c * c - d * d) / n, 2 * (b * c - a * d) / n, 2 * (b * d + a * c) / n),
        (2 * (b * c + a * d) / n, (a * a - b * b + c * c - d * d) / n, 2 * (c * d - a * b) / n),
        (2 * (b * d - a * c) / n, 2 * (c * d + a * b) / n, (a * a - b * b - c * c + d * d) / n),
    )


ROTATION = _rotation(5, 1, 2, 1)
HALF = np.array([0.55, 0.4, 0.3])


def _turn(p, rows):
    """Each point multiplied by the 3x3 ``rows``, written out (no BLAS)."""
    out = np.empty_like(p)
    for i, (r0, r1, r2) in enumerate(rows):
        out[:, i] = p[:, 0] * r0 + p[:, 1] * r1 + p[:, 2] * r2
    return out


def box_sdf(q, half):
    """Signed distance to an axis-aligned box at the origin, with its gradient."""
    d = np.abs(q) - half
    outside = np.maximum(d, 0.0)
    out_len = _length(outside[:, 0], outside[:, 1], outside[:, 2])
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
    transposed = tuple(zip(*ROTATION))
    values, gq = box_sdf(_turn(p, transposed), HALF)  # the box in its own frame: R^T p
    return values, _turn(gq, ROTATION)


def box_minus_sphere(p):
    bv, bg = box_sdf(p, np.array([0.6, 0.6, 0.6]))
    sv, sg = sphere(p, (0.35, 0.3, 0.25), 0.5)
    use_box = bv >= -sv
    return np.where(use_box, bv, -sv), np.where(use_box[:, None], bg, -sg)


def tanglecube(p, k=2.5):
    """x^4 - 5x^2 + y^4 - 5y^2 + z^4 - 5z^2 + 11.8 at k p: a closed surface of genus 5."""
    values = np.full(len(p), 11.8)
    g = np.empty_like(p)
    for i in range(3):
        x = k * p[:, i]
        x2 = x * x
        values = values + (x2 * x2 - 5.0 * x2)
        g[:, i] = k * (4.0 * x2 * x - 10.0 * x)
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
    "tanglecube": tanglecube,
    "two_spheres": two_spheres,
}

# ---------------------------------------------------------------------------


@dataclass(frozen=True)
class Case:
    """One call: ``function`` of the low-level module, or ``"karvex.mesh"``."""

    field: str
    gradients: bool
    function: str
    options: dict = field(default_factory=dict)
    box: tuple = BOX

    @property
    def label(self):
        settings = " ".join(f"{key}={value}" for key, value in sorted(self.options.items()))
        if self.box != BOX:
            settings += f" box={self.box}"
        grads = "grad" if self.gradients else "fd"
        return f"{self.field} {grads} {self.function} {settings}".rstrip()


def cases(deep=False):
    """The cases of the test; ``deep`` adds the slower ones the benchmark tool runs."""
    out = []
    for name in FIELDS:
        for grads in (True, False):
            out.append(Case(name, grads, "build_octree_uniform", dict(depth=4)))
            out.append(Case(name, grads, "build_octree_adaptive", dict(min_depth=3, max_depth=6)))
            out.append(Case(name, grads, "extract_mesh", dict(min_depth=2, max_depth=6)))
            out.append(Case(name, grads, "extract_mesh",
                            dict(min_depth=2, max_depth=6, adaptive=True)))
            if deep:
                out.append(Case(name, grads, "extract_mesh", dict(min_depth=3, max_depth=7)))
                out.append(Case(name, grads, "extract_mesh",
                                dict(min_depth=3, max_depth=7, adaptive=True)))
    # Other settings: level, threshold, a box that is not a cube, equal depths.
    out += [
        Case("sphere", True, "extract_mesh",
             dict(min_depth=3, max_depth=6, iso_value=0.1, angle_threshold_deg=10.0)),
        Case("rotated_box", True, "extract_mesh",
             dict(min_depth=2, max_depth=6, angle_threshold_deg=60.0, adaptive=True)),
        Case("torus", True, "extract_mesh", dict(min_depth=4, max_depth=4, adaptive=True)),
        Case("tanglecube", False, "build_octree_adaptive",
             dict(min_depth=2, max_depth=6, iso_value=0.3)),
        Case("two_spheres", True, "extract_mesh", dict(min_depth=1, max_depth=6, adaptive=True),
             box=((-1.0, -0.6, -0.7), (1.0, 0.6, 0.5))),
    ]
    # The package's call: its own options on top of the same core.
    out += [
        Case("sphere", True, "karvex.mesh", dict(max_depth=6, workers=1)),
        Case("torus", False, "karvex.mesh", dict(max_depth=6, adaptive=True, normals=True)),
        Case("rotated_box", True, "karvex.mesh", dict(max_depth=6, sharp_angle=10.0)),
        Case("box_minus_sphere", True, "karvex.mesh", dict(max_depth=7, simplify=1e-3)),
        Case("tanglecube", True, "karvex.mesh", dict(max_depth=6, level=0.5, normals=True)),
        Case("two_spheres", True, "karvex.mesh", dict(max_depth=6, keep="all", min_depth=2)),
    ]
    if deep:
        out += [
            Case("sphere", True, "build_octree_adaptive", dict(min_depth=4, max_depth=8)),
            Case("sphere", True, "extract_mesh", dict(min_depth=3, max_depth=8)),
            Case("sphere", True, "extract_mesh", dict(min_depth=3, max_depth=8, adaptive=True)),
            Case("box_minus_sphere", True, "extract_mesh",
                 dict(min_depth=3, max_depth=8, adaptive=True)),
        ]
    return out


class BatchHasher(Recorder):
    """A ``Recorder`` that also hashes every batch (its length and point bytes) in
    call order."""

    def __init__(self, field, gradients):
        super().__init__(field, gradients)
        self.digest = hashlib.sha256()
        self.points = 0

    def __call__(self, p):
        self.points += len(p)
        self.digest.update(len(p).to_bytes(8, "little"))
        self.digest.update(np.ascontiguousarray(p, dtype=np.float64).tobytes())
        return super().__call__(p)


def hash_arrays(digest, arrays):
    for a in arrays:
        digest.update(repr((a.shape, a.dtype.str)).encode())
        digest.update(np.ascontiguousarray(a).tobytes())


@dataclass
class Outcome:
    case: Case
    digest: str  # of the result alone, or of the batches and the result
    calls: int
    points: int
    size: str  # "V=.. F=.." or "stats=(..)"


def run(case, module, batches=False):
    """Runs ``case`` with ``module`` (the low-level module) and hashes its result,
    after the batches handed to the field when ``batches``."""
    recorder = BatchHasher(FIELDS[case.field], case.gradients)
    if case.function == "karvex.mesh":
        import karvex

        mesh = karvex.mesh(recorder, case.box, **case.options)
        arrays = [mesh.vertices, mesh.faces] + ([] if mesh.normals is None else [mesh.normals])
        size = f"V={len(mesh.vertices)} F={len(mesh.faces)}"
    else:
        result = getattr(module, case.function)(recorder, *case.box, **case.options)
        arrays = list(result) if case.function == "extract_mesh" else []
        size = f"V={len(result[0])} F={len(result[1])}" if arrays else f"stats={result}"
    digest = recorder.digest.copy() if batches else hashlib.sha256()
    if arrays:
        hash_arrays(digest, arrays)
    else:
        digest.update(repr(result).encode())
    return Outcome(case, digest.hexdigest(), recorder.calls, recorder.points, size)


def total(outcomes):
    """One digest of all outcomes, in order."""
    digest = hashlib.sha256()
    for outcome in outcomes:
        digest.update(bytes.fromhex(outcome.digest))
    return digest.hexdigest()


def read_digests(path):
    """``{label: digest}`` from a file of ``digest  label`` lines (``#`` starts a comment)."""
    digests = {}
    for line in path.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            digest, label = line.split("  ", 1)
            digests[label] = digest
    return digests


def write_digests(path, header, outcomes):
    lines = [f"# {text}" for text in header]
    lines += [f"{o.digest[:32]}  {o.case.label}" for o in outcomes]
    path.write_text("\n".join(lines) + "\n")
