"""The fields the peer benchmark meshes, each in the three forms the tools want.

Every field lives in the cube [-5, 5]^3 and is negative inside. It comes as

* ``values(points)``: batched, values only. The dense marching-cubes pipeline
  uses it, and so does our module when it runs without gradients: both then
  pay only for the values, as a user who has no gradients would.
* ``with_gradients(points)``: batched ``(values, gradients)``, a ``karvex.sdf``
  field (exact gradients, CSG by min/max), as a user of the package builds it.
* ``inside(x, y, z)``: one point at a time in plain ``math``, the form that
  manifold3d's ``level_set`` calls, with its sign convention: positive inside
  (the negated value, computed directly so that no wrapper adds a call).

``latency`` is a fixed sleep per call that stands in for a remote or GPU
evaluator: it is paid once per batch by the batched tools and would be paid
once per point by a per-point tool.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from karvex import sdf

Array = NDArray[np.float64]
LOW, HIGH = -5.0, 5.0
SIDE = HIGH - LOW


@dataclass(frozen=True)
class Field:
    name: str
    title: str
    values: Callable[[Array], Array]
    with_gradients: Callable[[Array], tuple[Array, Array]]
    inside: Callable[[float, float, float], float]
    # True when |value| is the Euclidean distance to the surface.
    exact_sdf: bool
    # Draws n points on the true sharp edges (None for smooth shapes).
    edges: Callable[[int, np.random.Generator], Array] | None = None
    latency: float = 0.0


def _length(q: Array) -> Array:
    return np.sqrt(np.einsum("ij,ij->i", q, q))


def _box_values(d: Array, half: Array) -> Array:
    q = np.abs(d) - half
    return _length(np.maximum(q, 0.0)) + np.minimum(q.max(axis=1), 0.0)


def _box_point(qx: float, qy: float, qz: float) -> float:
    """Box distance from the three slab distances |p_i| - h_i."""
    ox, oy, oz = max(qx, 0.0), max(qy, 0.0), max(qz, 0.0)
    return math.sqrt(ox * ox + oy * oy + oz * oz) + min(max(qx, qy, qz), 0.0)


# --- sphere, radius 3 ------------------------------------------------------------------

RADIUS = 3.0


def _sphere() -> Field:
    def values(p: Array) -> Array:
        return _length(p) - RADIUS

    def inside(x: float, y: float, z: float) -> float:
        return RADIUS - math.sqrt(x * x + y * y + z * z)

    return Field("sphere", "Sphere, radius 3", values, sdf.sphere(RADIUS), inside, True)


# --- torus about z, radii 3 and 1 -------------------------------------------------------

MAJOR, MINOR = 3.0, 1.0


def _torus() -> Field:
    def values(p: Array) -> Array:
        return np.hypot(np.hypot(p[:, 0], p[:, 1]) - MAJOR, p[:, 2]) - MINOR

    def inside(x: float, y: float, z: float) -> float:
        return MINOR - math.hypot(math.hypot(x, y) - MAJOR, z)

    return Field("torus", "Torus, radii 3 and 1", values, sdf.torus(MAJOR, MINOR), inside, True)


# --- gyroid shell clipped to a ball ------------------------------------------------------

GYROID_SCALE, GYROID_THICKNESS = 0.5, 0.5
_K = 2.0 * np.pi * GYROID_SCALE


def _gyroid() -> Field:
    def values(p: Array) -> Array:
        x, y, z = (_K * p[:, i] for i in range(3))
        g = np.sin(x) * np.cos(y) + np.sin(y) * np.cos(z) + np.sin(z) * np.cos(x)
        return np.maximum(np.abs(g) / _K - 0.5 * GYROID_THICKNESS, _length(p) - RADIUS)

    def inside(x: float, y: float, z: float) -> float:
        sx, sy, sz = math.sin(_K * x), math.sin(_K * y), math.sin(_K * z)
        cx, cy, cz = math.cos(_K * x), math.cos(_K * y), math.cos(_K * z)
        shell = abs(sx * cy + sy * cz + sz * cx) / _K - 0.5 * GYROID_THICKNESS
        return min(-shell, RADIUS - math.sqrt(x * x + y * y + z * z))

    gradients = sdf.gyroid(1.0 / GYROID_SCALE, GYROID_THICKNESS) & sdf.sphere(RADIUS)
    return Field("gyroid", "Gyroid shell (scale 0.5, thickness 0.5) in a ball of radius 3",
                 values, gradients, inside, False)


# --- box turned 30 degrees about an oblique axis -----------------------------------------

ROT_HALF = np.array([2.5, 2.0, 1.5])
ROT_AXIS = (1.0, 2.0, 3.0)
ROT_DEGREES = 30.0


def _box_edges(half: Array, n: int, rng: np.random.Generator) -> Array:
    """n points uniform by length on the twelve edges of the box |p_i| <= half_i."""
    axes = np.repeat(np.arange(3), 4)  # four edges along each axis
    lengths = 2.0 * half[axes]
    edge = rng.choice(12, size=n, p=lengths / lengths.sum())
    out = np.empty((n, 3))
    for a in range(3):
        others = [b for b in range(3) if b != a]
        mask = axes[edge] == a
        corner = edge[mask] % 4
        out[mask, a] = rng.uniform(-half[a], half[a], mask.sum())
        out[mask, others[0]] = np.where(corner & 1, half[others[0]], -half[others[0]])
        out[mask, others[1]] = np.where(corner & 2, half[others[1]], -half[others[1]])
    return out


def _rotated_box() -> Field:
    rotation = sdf.axis_angle_matrix(ROT_AXIS, ROT_DEGREES)  # body coordinates: p @ R
    r = rotation.tolist()
    hx, hy, hz = ROT_HALF.tolist()  # plain floats: NumPy scalars are slow one at a time

    def values(p: Array) -> Array:
        return _box_values(p @ rotation, ROT_HALF)

    def inside(x: float, y: float, z: float) -> float:
        bx = x * r[0][0] + y * r[1][0] + z * r[2][0]
        by = x * r[0][1] + y * r[1][1] + z * r[2][1]
        bz = x * r[0][2] + y * r[1][2] + z * r[2][2]
        return -_box_point(abs(bx) - hx, abs(by) - hy, abs(bz) - hz)

    def edges(n: int, rng: np.random.Generator) -> Array:
        return _box_edges(ROT_HALF, n, rng) @ rotation.T  # body -> world

    gradients = sdf.rotate(sdf.box(ROT_HALF), rotation)
    return Field("rotated_box", "Box turned 30 degrees about (1, 2, 3)", values, gradients,
                 inside, True, edges)


# --- box with a cylindrical hole along z --------------------------------------------------

# Half sides chosen so that no face lies on a grid plane of any depth used here.
HOLE_BOX = np.array([3.1, 2.3, 1.7])
HOLE_RADIUS, HOLE_HALF_LENGTH = 1.2, 3.0


def _box_minus_cylinder() -> Field:
    hx, hy, hz = HOLE_BOX.tolist()

    def values(p: Array) -> Array:
        q = np.stack([np.hypot(p[:, 0], p[:, 1]) - HOLE_RADIUS,
                      np.abs(p[:, 2]) - HOLE_HALF_LENGTH], axis=1)
        cylinder = _length(np.maximum(q, 0.0)) + np.minimum(q.max(axis=1), 0.0)
        return np.maximum(_box_values(p, HOLE_BOX), -cylinder)

    def inside(x: float, y: float, z: float) -> float:
        box = _box_point(abs(x) - hx, abs(y) - hy, abs(z) - hz)
        qr, qz = math.hypot(x, y) - HOLE_RADIUS, abs(z) - HOLE_HALF_LENGTH
        cylinder = math.hypot(max(qr, 0.0), max(qz, 0.0)) + min(max(qr, qz), 0.0)
        return min(-box, cylinder)

    def edges(n: int, rng: np.random.Generator) -> Array:
        box_length = 8.0 * HOLE_BOX.sum()
        rim_length = 2.0 * 2.0 * np.pi * HOLE_RADIUS
        on_box = rng.random(n) < box_length / (box_length + rim_length)
        out = np.empty((n, 3))
        out[on_box] = _box_edges(HOLE_BOX, int(on_box.sum()), rng)
        m = int((~on_box).sum())
        t = rng.uniform(0.0, 2.0 * np.pi, m)
        out[~on_box] = np.column_stack([HOLE_RADIUS * np.cos(t), HOLE_RADIUS * np.sin(t),
                                        np.where(rng.random(m) < 0.5, -1.0, 1.0) * HOLE_BOX[2]])
        return out

    gradients = sdf.box(HOLE_BOX) - sdf.cylinder(HOLE_RADIUS, HOLE_HALF_LENGTH)
    return Field("box_hole", "Box (3.1, 2.3, 1.7) minus a cylinder of radius 1.2", values,
                 gradients, inside, False, edges)


# --- a small fixed-weight network on top of a sphere -------------------------------------

class MLP:
    """u -> tanh(W1 u + b1) -> tanh(W2 . + b2) -> w3 . + b3, with u = p / 5.

    Weights are drawn once from a fixed seed and the output layer is scaled so that
    the network's gradient stays below 0.25: added to the sphere's distance the sum
    keeps a gradient of length 0.75 to 1.25 and a closed, star-shaped zero set.
    Batches go through in chunks of ``chunk`` points, as a network on a GPU would.
    """

    def __init__(self, seed: int = 1, hidden: int = 64, chunk: int = 65536) -> None:
        rng = np.random.default_rng(seed)
        self.w1 = rng.normal(0.0, 1.5, (hidden, 3)) / 5.0  # the 1/5 folds in u = p / 5
        self.b1 = rng.uniform(-1.0, 1.0, hidden)
        self.w2 = rng.normal(0.0, 1.0 / np.sqrt(hidden), (hidden, hidden))
        self.b2 = rng.uniform(-0.5, 0.5, hidden)
        self.w3 = rng.normal(0.0, 1.0, hidden)
        self.b3 = 0.0
        self.chunk = chunk
        probe = rng.uniform(LOW, HIGH, (20000, 3))
        steepest = np.linalg.norm(self._forward(probe, True)[1], axis=1).max()
        self.w3 *= 0.25 / (1.2 * steepest)  # 20% margin over the sampled maximum
        self.w2_t = np.ascontiguousarray(self.w2.T)

    def _forward(self, p: Array, gradients: bool) -> tuple[Array, Array | None]:
        a1 = np.tanh(p @ self.w1.T + self.b1)
        a2 = np.tanh(a1 @ self.w2.T + self.b2)
        v = a2 @ self.w3 + self.b3
        if not gradients:
            return v, None
        d1 = (((1.0 - a2 * a2) * self.w3) @ self.w2) * (1.0 - a1 * a1)  # back-propagation
        return v, d1 @ self.w1

    def __call__(self, p: Array, gradients: bool) -> tuple[Array, Array | None]:
        if len(p) <= self.chunk:
            return self._forward(p, gradients)
        v = np.empty(len(p))
        g = np.empty((len(p), 3)) if gradients else None
        for start in range(0, len(p), self.chunk):
            cv, cg = self._forward(p[start:start + self.chunk], gradients)
            v[start:start + self.chunk] = cv
            if g is not None:
                g[start:start + self.chunk] = cg
        return v, g

    def at(self, x: float, y: float, z: float) -> float:
        a1 = np.tanh(self.w1 @ np.array((x, y, z)) + self.b1)
        return float(np.tanh(a1 @ self.w2_t + self.b2) @ self.w3 + self.b3)


def _mlp() -> Field:
    net = MLP()
    sphere = sdf.sphere(RADIUS)

    def values(p: Array) -> Array:
        return _length(p) - RADIUS + net(p, False)[0]

    def with_gradients(p: Array) -> tuple[Array, Array]:
        v, g = sphere(p)
        nv, ng = net(p, True)
        return v + nv, g + ng

    def inside(x: float, y: float, z: float) -> float:
        return RADIUS - math.sqrt(x * x + y * y + z * z) - net.at(x, y, z)

    return Field("mlp", "Sphere plus an MLP 3-64-64-1 (tanh)", values, with_gradients, inside,
                 False)


# --- the sphere behind a slow evaluator ---------------------------------------------------

LATENCY = 0.002


def _slow_sphere() -> Field:
    base = _sphere()
    return Field("slow_sphere", "Sphere with 2 ms per call", base.values, base.with_gradients,
                 base.inside, True, latency=LATENCY)


FIELDS: dict[str, Callable[[], Field]] = {
    "sphere": _sphere,
    "torus": _torus,
    "gyroid": _gyroid,
    "rotated_box": _rotated_box,
    "box_hole": _box_minus_cylinder,
    "mlp": _mlp,
    "slow_sphere": _slow_sphere,
}


def make(name: str) -> Field:
    return FIELDS[name]()
