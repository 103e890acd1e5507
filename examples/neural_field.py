"""Mesh a neural signed distance field, evaluated in batches.

A small multilayer perceptron written in NumPy stands in for a trained neural
SDF: one hidden layer of sine units on random Fourier features (Tancik et al.
2020; Sitzmann et al. 2020) and a linear output layer, fitted here by least
squares to the distance field of a torus so that the example needs no
training framework. The parts that carry over to a real network are:

* the model runs in float32, as networks usually do; the field converts the
  points in (karvex.mesh would also take float32 values and convert them);
* the points of one call, which can be hundreds of thousands, are pushed
  through the model in chunks of a fixed size, as one would to bound memory
  on a GPU;
* gradients come from the network itself by the chain rule (what autograd
  would give), so karvex needs no finite differences.

    python examples/neural_field.py [--max-depth 6] [--chunk 16384]
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

import karvex

F32 = NDArray[np.float32]
F64 = NDArray[np.float64]


def torus_distance(points: F64, major: float = 0.6, minor: float = 0.25) -> F64:
    """Exact distance to a torus about the z axis: the training target."""
    ring = np.hypot(points[:, 0], points[:, 1]) - major
    return np.hypot(ring, points[:, 2]) - minor


class SineMLP:
    """x -> sin(x W1^T + b1) w2 + b2, all in float32."""

    def __init__(self, hidden: int, frequency: float, seed: int) -> None:
        rng = np.random.default_rng(seed)
        self.w1: F32 = (rng.normal(size=(hidden, 3)) * frequency).astype(np.float32)
        self.b1: F32 = rng.uniform(-np.pi, np.pi, size=hidden).astype(np.float32)
        self.w2: F32 = np.zeros(hidden, dtype=np.float32)
        self.b2 = np.float32(0.0)

    def features(self, x: F32) -> F32:
        return np.sin(x @ self.w1.T + self.b1)

    def fit(self, x: F32, target: F32, ridge: float = 1e-4) -> None:
        """Fits the output layer by ridge regression (the 'training')."""
        h = np.concatenate([self.features(x), np.ones((len(x), 1), np.float32)], axis=1)
        h64 = h.astype(np.float64)
        a = h64.T @ h64 + ridge * np.eye(h.shape[1])
        w = np.linalg.solve(a, h64.T @ target.astype(np.float64))
        self.w2 = w[:-1].astype(np.float32)
        self.b2 = np.float32(w[-1])

    def forward(self, x: F32) -> tuple[F32, F32]:
        """Values (N,) and input gradients (N, 3), by the chain rule."""
        z = x @ self.w1.T + self.b1
        values = np.sin(z) @ self.w2 + self.b2
        gradients = (np.cos(z) * self.w2) @ self.w1
        return values, gradients


class NeuralField:
    """The field: runs the model over one batch of points, chunk by chunk."""

    def __init__(self, model: SineMLP, chunk: int) -> None:
        self.model = model
        self.chunk = chunk
        self.calls = 0
        self.points = 0

    def __call__(self, points: F64) -> tuple[F64, F64]:
        self.calls += 1
        self.points += len(points)
        values = np.empty(len(points), dtype=np.float64)
        gradients = np.empty((len(points), 3), dtype=np.float64)
        for start in range(0, len(points), self.chunk):
            stop = start + self.chunk
            v, g = self.model.forward(points[start:stop].astype(np.float32))
            values[start:stop] = v
            gradients[start:stop] = g
        return values, gradients


def trained_model(samples: int = 6000, hidden: int = 256, seed: int = 7) -> SineMLP:
    """A model fitted to the torus distance on points drawn near the surface."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, size=(samples, 3))
    model = SineMLP(hidden, frequency=3.0, seed=seed)
    model.fit(x.astype(np.float32), torus_distance(x).astype(np.float32))
    return model


def main(argv: Sequence[str] | None = None) -> karvex.Mesh:
    parser = argparse.ArgumentParser(description="Mesh a small neural SDF.")
    parser.add_argument("--min-depth", type=int, default=3)
    parser.add_argument("--max-depth", type=int, default=6)
    parser.add_argument("--chunk", type=int, default=16384, help="points per forward pass")
    args = parser.parse_args(argv)

    field = NeuralField(trained_model(), args.chunk)
    m = karvex.mesh(
        field, ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0)), min_depth=args.min_depth, max_depth=args.max_depth
    )
    error = np.abs(torus_distance(m.vertices))
    print(f"{len(m.vertices)} vertices, {len(m.faces)} triangles")
    print(f"{field.calls} calls of the field, {field.points} points, chunks of {args.chunk}")
    print(f"distance of the vertices from the true torus: mean {error.mean():.4f}, max {error.max():.4f}")
    return m


if __name__ == "__main__":
    main()
