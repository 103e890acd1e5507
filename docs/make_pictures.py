"""Renders the pictures of the README and the user guide from real meshes.

    python docs/make_pictures.py                  # writes docs/images/*.png
    python docs/make_pictures.py --out-dir /tmp/p --small

Needs matplotlib, and scikit-image for the marching-cubes comparison
(``pip install -r docs/requirements.txt``); without scikit-image that one
picture is skipped. ``--small`` renders tiny, low-depth versions quickly (the
test suite uses it). Every mesh comes from ``_karvex_rs.extract_mesh`` with
the fields of examples/shapes.py, except the keep picture's: ``karvex.mesh``
with keep="all" needs the package's extension karvex._native.
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import _karvex_rs  # noqa: E402
import karvex  # noqa: E402
from csg import box_minus_sphere, three_cylinders  # noqa: E402
from karvex import sdf  # noqa: E402
from shapes import Field, rotated, torus  # noqa: E402

BOX = ((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))
ELEVATION, AZIMUTH = 24.0, -58.0
BASE_COLOUR = np.array([0.55, 0.68, 0.86])
Mesh = tuple[NDArray[np.float64], NDArray[np.int64]]


@dataclass
class Settings:
    """Image size and the depth cap; --small shrinks both."""

    dpi: int
    max_depth_cap: int
    width: float = 3.0  # inches per panel

    def depth(self, d: int) -> int:
        return min(d, self.max_depth_cap)

    @property
    def pixels(self) -> int:
        return int(self.width * self.dpi)


def mesh(field: Field, **options: Any) -> Mesh:
    return _karvex_rs.extract_mesh(field, *BOX, **options)


# --- drawing -----------------------------------------------------------------
# matplotlib's 3-D axes sort whole polygons by depth, which draws hidden parts
# of non-convex meshes on top; the meshes are therefore rasterised here with a
# depth buffer (orthographic camera, flat shading, 3x supersampling) and shown
# as images.

SUPERSAMPLE = 3
SPAN = 1.12  # half the side of the square of world space that a panel shows


@dataclass
class Camera:
    towards: NDArray[np.float64]  # unit vector from the scene towards the viewer
    right: NDArray[np.float64]
    up: NDArray[np.float64]
    light: NDArray[np.float64]


def camera(elevation: float = ELEVATION, azimuth: float = AZIMUTH) -> Camera:
    e, a = np.radians(elevation), np.radians(azimuth)
    towards = np.array([np.cos(e) * np.cos(a), np.cos(e) * np.sin(a), np.sin(e)])
    right = np.array([-np.sin(a), np.cos(a), 0.0])
    up = np.cross(towards, right)
    light = towards + 0.5 * up - 0.4 * right
    return Camera(towards, right, up, light / np.linalg.norm(light))


def rasterise(vertices: NDArray[np.float64], faces: NDArray[np.int64], size: int,
              cam: Camera) -> NDArray[np.float64]:
    """An RGB image (size, size, 3) of the mesh on white; triangle edges drawn
    faintly so that the tessellation shows."""
    n = size * SUPERSAMPLE
    triangles = vertices[faces]
    normals = np.cross(triangles[:, 1] - triangles[:, 0], triangles[:, 2] - triangles[:, 0])
    normals /= np.maximum(np.linalg.norm(normals, axis=1), 1e-300)[:, None]
    front = normals @ cam.towards > 0.0  # closed, outward-facing meshes: cull the back
    triangles, normals = triangles[front], normals[front]
    shade = 0.35 + 0.65 * np.clip(normals @ cam.light, 0.0, 1.0)

    x = (triangles @ cam.right + SPAN) / (2.0 * SPAN) * n  # (T, 3) pixel columns
    y = (SPAN - triangles @ cam.up) / (2.0 * SPAN) * n  # pixel rows, downwards
    depth = triangles @ cam.towards  # larger is nearer
    x0 = np.clip(np.floor(x.min(axis=1) - 0.5), 0, n - 1).astype(np.int64)
    x1 = np.clip(np.ceil(x.max(axis=1) - 0.5), 0, n - 1).astype(np.int64)
    y0 = np.clip(np.floor(y.min(axis=1) - 0.5), 0, n - 1).astype(np.int64)
    y1 = np.clip(np.ceil(y.max(axis=1) - 0.5), 0, n - 1).astype(np.int64)
    area = (x[:, 1] - x[:, 0]) * (y[:, 2] - y[:, 0]) - (x[:, 2] - x[:, 0]) * (y[:, 1] - y[:, 0])

    pixels, depths, owners = [], [], []
    widths = x1 - x0 + 1
    counts = widths * (y1 - y0 + 1)
    bounds = np.concatenate([[0], np.cumsum(counts)])
    step = 2_000_000  # candidate pixels per pass, to bound memory
    first = 0
    while first < len(counts):
        last = int(np.searchsorted(bounds, bounds[first] + step, side="right")) - 1
        last = max(last, first + 1)
        ids = np.repeat(np.arange(first, last), counts[first:last])
        local = np.arange(len(ids)) - np.repeat(bounds[first:last] - bounds[first], counts[first:last])
        cx = x0[ids] + local % widths[ids] + 0.5
        cy = y0[ids] + local // widths[ids] + 0.5
        xs, ys = x[ids], y[ids]
        # Barycentric weights from the edge functions; inside when all agree.
        w0 = (xs[:, 1] - cx) * (ys[:, 2] - cy) - (xs[:, 2] - cx) * (ys[:, 1] - cy)
        w1 = (xs[:, 2] - cx) * (ys[:, 0] - cy) - (xs[:, 0] - cx) * (ys[:, 2] - cy)
        w2 = (xs[:, 0] - cx) * (ys[:, 1] - cy) - (xs[:, 1] - cx) * (ys[:, 0] - cy)
        a = area[ids]
        with np.errstate(divide="ignore", invalid="ignore"):
            w0, w1, w2 = w0 / a, w1 / a, w2 / a
        inside = (w0 >= 0.0) & (w1 >= 0.0) & (w2 >= 0.0) & (a != 0.0)
        ids = ids[inside]
        d = depth[ids]
        pixels.append((cy[inside] - 0.5).astype(np.int64) * n + (cx[inside] - 0.5).astype(np.int64))
        depths.append(w0[inside] * d[:, 0] + w1[inside] * d[:, 1] + w2[inside] * d[:, 2])
        owners.append(ids)
        first = last

    flat_owner = np.full(n * n, -1, dtype=np.int64)  # visible triangle per pixel
    if pixels:
        pixel, z, tri = np.concatenate(pixels), np.concatenate(depths), np.concatenate(owners)
        order = np.lexsort((-z, pixel))  # nearest first within each pixel
        pixel, tri = pixel[order], tri[order]
        keep = np.concatenate([[True], pixel[1:] != pixel[:-1]])
        flat_owner[pixel[keep]] = tri[keep]
    owner = flat_owner.reshape(n, n)

    image = np.ones((n, n, 3))
    covered = owner >= 0
    image[covered] = BASE_COLOUR[None, :] * shade[owner[covered]][:, None]
    # Where the visible triangle changes, darken: faint inside, stronger at the outline.
    changes = np.zeros((n, n), dtype=bool)
    outline = np.zeros((n, n), dtype=bool)
    for a_, b_ in ((owner[:, 1:], owner[:, :-1]), (owner[1:, :], owner[:-1, :])):
        differ = a_ != b_
        edge = differ & (a_ >= 0) & (b_ >= 0)
        rim = differ & ((a_ < 0) | (b_ < 0))
        if a_.shape[0] == n:
            changes[:, 1:] |= edge
            outline[:, 1:] |= rim
            outline[:, :-1] |= rim
        else:
            changes[1:, :] |= edge
            outline[1:, :] |= rim
            outline[:-1, :] |= rim
    image[changes] *= 0.8
    image[outline] = (0.15, 0.2, 0.3)
    return image.reshape(size, SUPERSAMPLE, size, SUPERSAMPLE, 3).mean(axis=(1, 3))


def draw_mesh(ax: Any, vertices: NDArray[np.float64], faces: NDArray[np.int64], title: str,
              pixels: int = 300) -> None:
    """Shows the mesh (closed and facing outwards, as extract_mesh returns it)."""
    ax.set_axis_off()
    ax.set_title(title, fontsize=9)
    if len(faces) == 0:
        ax.text(0.5, 0.5, "empty mesh", ha="center", va="center", transform=ax.transAxes,
                fontsize=10, color="firebrick")
        return
    ax.imshow(rasterise(vertices, faces, pixels, camera()), interpolation="lanczos")


def new_figure(settings: Settings, panels: int) -> tuple[Any, list[Any]]:
    figure, axes = plt.subplots(1, panels, figsize=(settings.width * panels, settings.width * 1.08),
                                dpi=settings.dpi, squeeze=False)
    figure.subplots_adjust(left=0.01, right=0.99, bottom=0.01, top=0.86, wspace=0.04)
    return figure, list(axes[0])


def save(figure: Any, path: Path) -> None:
    figure.savefig(path, dpi=figure.dpi)
    plt.close(figure)
    print(f"wrote {path} ({path.stat().st_size // 1024} KB)")


def counts(m: Mesh) -> str:
    return f"{len(m[1])} triangles"


# --- the pictures ----------------------------------------------------------


def dc_vs_marching_cubes(settings: Settings, out: Path) -> None:
    """A shape with sharp edges: Dual Contouring beside marching cubes on the
    same grid of 2**depth cells per side."""
    try:
        from skimage.measure import marching_cubes
    except ImportError:
        print("skipped dc_vs_marching_cubes.png: scikit-image is not installed")
        return
    depth = settings.depth(4)
    # Turned so that no edge lies along the grid, where marching cubes would
    # happen to get it right.
    field = rotated(three_cylinders(), (1.0, 1.0, 0.0), 20.0)
    dc = mesh(field, min_depth=min(3, depth), max_depth=depth)

    n = 2**depth + 1
    axis = np.linspace(-1.0, 1.0, n)
    grid = np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), axis=-1).reshape(-1, 3)
    volume = field(grid)[0].reshape(n, n, n)
    spacing = axis[1] - axis[0]
    with warnings.catch_warnings():  # scikit-image's own deprecation notices
        warnings.simplefilter("ignore", DeprecationWarning)
        verts, faces, _, _ = marching_cubes(volume, level=0.0, spacing=(spacing,) * 3)
    mc_vertices = verts.astype(np.float64) - 1.0
    mc_faces = faces.astype(np.int64)
    # Make the marching-cubes triangles face outwards, as extract_mesh's do.
    a, b, c = (mc_vertices[mc_faces[:, i]] for i in range(3))
    if np.einsum("ij,ij->i", a, np.cross(b, c)).sum() < 0.0:
        mc_faces = mc_faces[:, ::-1]

    figure, (left, right) = new_figure(settings, 2)
    draw_mesh(left, *dc, f"Dual Contouring (karvex), {counts(dc)}", settings.pixels)
    draw_mesh(right, mc_vertices, mc_faces, f"marching cubes, {len(mc_faces)} triangles", settings.pixels)
    figure.suptitle(f"three cylinders, {2**depth} cells per side", fontsize=10)
    save(figure, out / "dc_vs_marching_cubes.png")


def voxelised_solid() -> sdf.Field:
    """A plate with a round hole, turned off the grid axes: flat faces, straight
    edges, eight corners and a cylindrical wall."""
    plate = sdf.box((0.62, 0.62, 0.3)) - sdf.cylinder(0.32, 1.0)
    return plate.rotate(axis=(1.0, 0.6, 0.2), degrees=28.0)


def corner_error(vertices: NDArray[np.float64]) -> float:
    """Largest distance from a corner of the plate of voxelised_solid() to the
    nearest vertex."""
    corners = np.array([(x, y, z) for x in (-0.62, 0.62) for y in (-0.62, 0.62) for z in (-0.3, 0.3)])
    corners = corners @ sdf.axis_angle_matrix((1.0, 0.6, 0.2), 28.0).T
    distances = np.linalg.norm(vertices[None, :, :] - corners[:, None, :], axis=2)
    return float(distances.min(axis=1).max())


def grid_field_vs_marching_cubes(settings: Settings, out: Path) -> None:
    """One volume of samples, meshed by karvex.grid_field + karvex.mesh and by
    scikit-image's marching cubes, beside the exact field meshed on the same
    grid; the numbers go to the user guide."""
    depth = settings.depth(6)
    n = 2**depth + 1
    axis = np.linspace(-1.0, 1.0, n)
    points = np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), axis=-1).reshape(-1, 3)
    volume = voxelised_solid()(points)[0].reshape(n, n, n)
    spacing = float(axis[1] - axis[0])

    field = karvex.grid_field(volume, spacing=spacing, origin=(-1.0, -1.0, -1.0))
    start = time.perf_counter()
    dc = karvex.mesh(field, field.bounds, max_depth=depth, min_depth=min(3, depth))
    dc_seconds = time.perf_counter() - start
    print(f"grid_field + mesh: {len(dc.faces)} triangles, {dc_seconds:.3f} s,"
          f" corner error {corner_error(dc.vertices):.4f} (sample spacing {spacing:.4f})")

    exact = karvex.mesh(voxelised_solid(), field.bounds, max_depth=depth, min_depth=min(3, depth))
    print(f"exact field: {len(exact.faces)} triangles, corner error {corner_error(exact.vertices):.4f}")

    figure, (left, middle, right) = new_figure(settings, 3)
    draw_mesh(left, exact.vertices, exact.faces,
              f"karvex.sdf field: {len(exact.faces)} triangles", settings.pixels)
    draw_mesh(middle, dc.vertices, dc.faces,
              f"grid_field: {len(dc.faces)} triangles, {dc_seconds:.2f} s", settings.pixels)
    try:
        from skimage.measure import marching_cubes
    except ImportError:
        right.set_axis_off()
        right.text(0.5, 0.5, "marching cubes:\nneeds scikit-image", ha="center", va="center",
                   transform=right.transAxes, fontsize=9)
    else:
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            verts, faces, _, _ = marching_cubes(volume, level=0.0, spacing=(spacing,) * 3)
        mc_seconds = time.perf_counter() - start
        mc_vertices = verts.astype(np.float64) - 1.0
        mc_faces = faces.astype(np.int64)
        a, b, c = (mc_vertices[mc_faces[:, i]] for i in range(3))
        if np.einsum("ij,ij->i", a, np.cross(b, c)).sum() < 0.0:
            mc_faces = mc_faces[:, ::-1]
        print(f"marching cubes: {len(mc_faces)} triangles, {mc_seconds:.3f} s,"
              f" corner error {corner_error(mc_vertices):.4f}")
        draw_mesh(right, mc_vertices, mc_faces,
                  f"marching cubes: {len(mc_faces)} triangles, {mc_seconds:.2f} s", settings.pixels)
    figure.suptitle(f"a plate with a hole: the exact field, and {n}x{n}x{n} samples of it meshed"
                    " by karvex.mesh and by marching cubes", fontsize=10)
    save(figure, out / "grid_field_vs_marching_cubes.png")


def max_depth(settings: Settings, out: Path) -> None:
    depths = sorted({settings.depth(d) for d in (3, 4, 5)})
    figure, axes = new_figure(settings, len(depths))
    for ax, depth in zip(axes, depths):
        m = mesh(three_cylinders(), min_depth=min(3, depth), max_depth=depth)
        draw_mesh(ax, *m, f"max_depth={depth}: {counts(m)}", settings.pixels)
    save(figure, out / "max_depth.png")


def min_depth(settings: Settings, out: Path) -> None:
    """The initial grid must hit the shape: slices of the field through the
    grid samples, and the meshes that result."""
    field = box_minus_sphere()
    depth = settings.depth(5)
    figure, axes = new_figure(settings, 4)
    for (slice_ax, mesh_ax), md in zip([(axes[0], axes[1]), (axes[2], axes[3])], (1, 2)):
        n = 2**md + 1
        samples = np.linspace(-1.0, 1.0, n)
        z = 0.0 if md == 1 else 0.5  # a grid plane through the inside samples, if any
        fine = np.linspace(-1.0, 1.0, 201)
        xx, yy = np.meshgrid(fine, fine, indexing="xy")
        plane = np.stack([xx.ravel(), yy.ravel(), np.full(xx.size, z)], axis=1)
        values = field(plane)[0].reshape(xx.shape)
        slice_ax.contourf(xx, yy, values, levels=[-10.0, 0.0], colors=[tuple(BASE_COLOUR)])
        slice_ax.contour(xx, yy, values, levels=[0.0], colors="k", linewidths=0.6)
        sx, sy = np.meshgrid(samples, samples, indexing="xy")
        points = np.stack([sx.ravel(), sy.ravel(), np.full(sx.size, z)], axis=1)
        inside = field(points)[0] < 0.0
        slice_ax.scatter(points[~inside, 0], points[~inside, 1], s=14, c="firebrick", marker="o")
        slice_ax.scatter(points[inside, 0], points[inside, 1], s=22, c="darkgreen", marker="s")
        slice_ax.plot([-1, 1, 1, -1, -1], [-1, -1, 1, 1, -1], color="0.6", linewidth=0.6)
        slice_ax.set_xlim(-1.12, 1.12)
        slice_ax.set_ylim(-1.12, 1.12)
        slice_ax.set_aspect("equal")
        slice_ax.set_axis_off()
        grid = np.stack(np.meshgrid(samples, samples, samples), axis=-1).reshape(-1, 3)
        hits = int((field(grid)[0] < 0.0).sum())
        slice_ax.set_title(f"min_depth={md}: {hits} of {n**3} samples inside\n(slice z={z:g})",
                           fontsize=8)
        m = mesh(field, min_depth=md, max_depth=depth)
        draw_mesh(mesh_ax, *m, f"min_depth={md}: {counts(m)}", settings.pixels)
    save(figure, out / "min_depth.png")


def angle_threshold(settings: Settings, out: Path) -> None:
    depth = settings.depth(6)
    figure, axes = new_figure(settings, 2)
    for ax, angle in zip(axes, (10.0, 30.0)):
        m = mesh(torus(0.6, 0.25), min_depth=min(2, depth), max_depth=depth,
                 angle_threshold_deg=angle, adaptive=True)
        draw_mesh(ax, *m, f"angle_threshold_deg={angle:g}: {counts(m)}", settings.pixels)
    figure.suptitle(f"torus, adaptive=True, max_depth={depth}", fontsize=10)
    save(figure, out / "angle_threshold.png")


def iso_value(settings: Settings, out: Path) -> None:
    depth = settings.depth(5)
    figure, axes = new_figure(settings, 3)
    for ax, iso in zip(axes, (-0.1, 0.0, 0.12)):
        m = mesh(three_cylinders(), min_depth=min(3, depth), max_depth=depth, iso_value=iso)
        draw_mesh(ax, *m, f"iso_value={iso:g}: {counts(m)}", settings.pixels)
    save(figure, out / "iso_value.png")


def adaptive(settings: Settings, out: Path) -> None:
    depth = settings.depth(6)
    figure, axes = new_figure(settings, 2)
    for ax, flag in zip(axes, (False, True)):
        m = mesh(torus(0.6, 0.25), min_depth=min(2, depth), max_depth=depth, adaptive=flag)
        draw_mesh(ax, *m, f"adaptive={flag}: {counts(m)}", settings.pixels)
    figure.suptitle(f"torus, max_depth={depth}", fontsize=10)
    save(figure, out / "adaptive.png")


def metaballs() -> sdf.Field:
    """Forty balls of random sizes, blended where they come close: a few
    blobs and some lone drops."""
    rng = np.random.default_rng(7)
    balls = [sdf.sphere(float(r), center=tuple(c))
             for c, r in zip(rng.uniform(-0.72, 0.72, (40, 3)), rng.uniform(0.09, 0.24, 40))]
    field: sdf.Field = balls[0]
    for ball in balls[1:]:
        field = sdf.smooth_union(field, ball, 0.06)
    return field


def keep(settings: Settings, out: Path) -> None:
    depth = settings.depth(6)
    field = metaballs()
    figure, axes = new_figure(settings, 2)
    for ax, which in zip(axes, ("largest", "all")):
        with warnings.catch_warnings():  # dropping pieces is what the picture shows
            warnings.simplefilter("ignore", karvex.DroppedPiecesWarning)
            m = karvex.mesh(field, BOX, min_depth=min(3, depth), max_depth=depth, keep=which)
        pieces = len(m.components())
        draw_mesh(ax, m.vertices, m.faces,
                  f'keep="{which}": {pieces} piece{"s" * (pieces != 1)}, {len(m.faces)} triangles',
                  settings.pixels)
    figure.suptitle(f"forty blended balls, max_depth={depth}", fontsize=10)
    save(figure, out / "keep.png")


PICTURES: dict[str, Callable[[Settings, Path], None]] = {
    "dc_vs_marching_cubes": dc_vs_marching_cubes,
    "max_depth": max_depth,
    "min_depth": min_depth,
    "angle_threshold": angle_threshold,
    "iso_value": iso_value,
    "adaptive": adaptive,
    "grid_field_vs_marching_cubes": grid_field_vs_marching_cubes,
    "keep": keep,
}


def main(argv: Sequence[str] | None = None) -> list[Path]:
    parser = argparse.ArgumentParser(description="Render the documentation pictures.")
    parser.add_argument("--out-dir", type=Path, default=ROOT / "docs" / "images")
    parser.add_argument("--small", action="store_true", help="tiny images at low depth")
    parser.add_argument("--only", choices=sorted(PICTURES), nargs="*", help="a subset")
    args = parser.parse_args(argv)

    settings = Settings(dpi=30, max_depth_cap=3, width=1.5) if args.small else Settings(dpi=100, max_depth_cap=31)
    args.out_dir.mkdir(parents=True, exist_ok=True)
    for name in args.only or PICTURES:
        PICTURES[name](settings, args.out_dir)
    return sorted(args.out_dir.glob("*.png"))


if __name__ == "__main__":
    main()
