"""The three meshing pipelines the peer benchmark compares, at one finest cell size.

All of them mesh the cube [LOW, HIGH]^3 of side L at depth d, that is with finest cell
side h = L / 2^d:

* ``karvex``: our ``extract_mesh(max_depth=d)``, with or without analytic gradients;
* ``skimage``: the field on the dense grid of 2^d + 1 samples per axis, one batched call
  per x-slab into a float32 volume, then scikit-image's marching cubes (Lewiner);
* ``manifold``: manifold3d's ``Manifold.level_set`` with edge length h, calling the field
  one point at a time.

Each ``run_*`` performs one complete meshing and returns a ``Run``: the mesh and what the
field saw. Imports of the peers happen inside, so a process that meshes with one tool
carries only that tool's libraries (its peak RSS is compared with the others').
"""

from __future__ import annotations

import time
from dataclasses import dataclass

import numpy as np

from .fields import HIGH, LOW, SIDE, Array, Field

TOOLS = ("karvex", "skimage", "manifold")


@dataclass
class Run:
    vertices: Array
    faces: np.ndarray
    calls: int
    points: int
    # Seconds spent inside the field (None where timing each call would distort the run).
    field_seconds: float | None


class Counted:
    """A batched field that counts calls and points, times itself and sleeps the
    field's latency once per call."""

    def __init__(self, fn, latency: float) -> None:
        self.fn, self.latency = fn, latency
        self.calls = self.points = 0
        self.seconds = 0.0

    def __call__(self, points: Array):
        start = time.perf_counter()
        if self.latency:
            time.sleep(self.latency)
        result = self.fn(points)
        self.seconds += time.perf_counter() - start
        self.calls += 1
        self.points += len(points)
        return result


def cell_size(depth: int) -> float:
    return SIDE / 2**depth


def run_karvex(field: Field, depth: int, gradients: bool, min_depth: int = 4) -> Run:
    import _karvex_rs

    if gradients:
        fn = field.with_gradients
    else:
        values = field.values
        fn = lambda p: (values(p), None)  # noqa: E731
    counted = Counted(fn, field.latency)
    vertices, faces = _karvex_rs.extract_mesh(counted, (LOW,) * 3, (HIGH,) * 3,
                                              min_depth=min(min_depth, depth),
                                              max_depth=depth)
    return Run(vertices, faces, counted.calls, counted.points, counted.seconds)


def run_skimage(field: Field, depth: int, low: float = LOW, high: float = HIGH) -> Run:
    """The dense pipeline in the cube [low, high]^3 (the benchmark's by default)."""
    from skimage.measure import marching_cubes

    n = 2**depth + 1
    h = (high - low) / 2**depth
    axis = low + h * np.arange(n)
    counted = Counted(field.values, field.latency)
    # float32 because marching_cubes converts to it anyway: a float64 volume would
    # only add a second, larger copy.
    volume = np.empty((n, n, n), dtype=np.float32)
    slab = np.empty((n * n, 3))
    slab[:, 1] = np.repeat(axis, n)
    slab[:, 2] = np.tile(axis, n)
    for i in range(n):
        slab[:, 0] = axis[i]
        volume[i] = counted(slab).reshape(n, n)
    # With (x, y, z) indexing, "descent" winds the triangles to face the positive side.
    vertices, faces, _, _ = marching_cubes(volume, 0.0, spacing=(h, h, h),
                                           gradient_direction="descent")
    del volume
    vertices = vertices.astype(np.float64) + low
    return Run(vertices, faces.astype(np.int64), counted.calls, counted.points, counted.seconds)


def timer_cost(pairs: int = 20000, rounds: int = 5) -> float:
    """Seconds that one ``end - start`` interval of ``time.perf_counter`` reads when
    nothing runs between the two reads (the least mean of ``rounds`` rounds)."""
    clock = time.perf_counter
    best = float("inf")
    for _ in range(rounds):
        total = 0.0
        for _ in range(pairs):
            start = clock()
            total += clock() - start
        best = min(best, total / pairs)
    return best


class _PointCounter:
    """The per-point field, counting points and timing each call."""

    def __init__(self, inside) -> None:
        self.inside = inside
        self.calls = 0
        self.seconds = 0.0

    def __call__(self, x: float, y: float, z: float) -> float:
        start = time.perf_counter()
        value = self.inside(x, y, z)
        self.seconds += time.perf_counter() - start
        self.calls += 1
        return value


def run_manifold(field: Field, depth: int, count: bool = True) -> Run:
    """manifold3d's level set. Counting and timing every point makes a run slower than
    the field alone would, so timed runs pass ``count=False`` and take the count and the
    time inside the field from an earlier counted run (both depend only on the grid and
    the field). The counted time is the sum of the calls' intervals less the timer's own
    cost per interval."""
    from manifold3d import Manifold

    if field.latency:
        raise ValueError("a per-point evaluator would pay the latency once per point")
    counter = _PointCounter(field.inside)
    fn = counter if count else field.inside
    solid = Manifold.level_set(fn, [LOW, LOW, LOW, HIGH, HIGH, HIGH], cell_size(depth))
    mesh = solid.to_mesh64()
    vertices = np.asarray(mesh.vert_properties, dtype=np.float64)[:, :3]
    faces = np.asarray(mesh.tri_verts, dtype=np.int64)
    if not count:
        return Run(vertices, faces, -1, -1, None)
    inside = max(counter.seconds - counter.calls * timer_cost(), 0.0)
    return Run(vertices, faces, counter.calls, counter.calls, inside)


def run(tool: str, field: Field, depth: int, gradients: bool = False, count: bool = True,
        min_depth: int = 4) -> Run:
    if tool == "karvex":
        return run_karvex(field, depth, gradients, min_depth)
    if tool == "skimage":
        return run_skimage(field, depth)
    if tool == "manifold":
        return run_manifold(field, depth, count)
    raise ValueError(f"unknown tool {tool!r}; expected one of {TOOLS}")
