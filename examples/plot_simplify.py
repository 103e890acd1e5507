"""
Fewer triangles where the surface is flat
=========================================

``simplify=`` merges cells while the merged vertex stays within a distance of
the surface's tangent planes, and only where merging keeps the topology: flat
faces take a few large triangles while corners and creases stay sharp.
"""

import matplotlib.pyplot as plt

import karvex
from karvex import sdf

shape = sdf.box((0.7, 0.5, 0.35)) - sdf.sphere(0.45, center=(0.7, 0.5, 0.35))
bounds = ((-1, -1, -1), (1, 1, 1))

figure = plt.figure(figsize=(9, 4.5))
for column, tolerance in enumerate((None, 1e-3), start=1):
    mesh = karvex.mesh(shape, bounds, max_depth=6, simplify=tolerance)
    axes = figure.add_subplot(1, 2, column, projection="3d")
    label = "every cell" if tolerance is None else f"simplify={tolerance:g}"
    mesh.plot(ax=axes, edges=True, title=f"{label}: {len(mesh.faces)} triangles")
    print(label, len(mesh.faces), "triangles, volume", round(mesh.volume, 4))
