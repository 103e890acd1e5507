"""
A machined part with sharp edges
================================

A plate with a hole, a boss and rounded corners, built from :mod:`karvex.sdf`
shapes whose distances and gradients are exact. Dual Contouring places each
vertex where the tangent planes of its cell's surface crossings meet, so the
rims of the hole and the plate's edges come out sharp rather than bevelled.
"""

import karvex
from karvex import sdf

plate = sdf.rounded_box((0.8, 0.55, 0.12), 0.1)
boss = sdf.cylinder(0.3, 0.3, center=(0.3, 0.0, 0.15))
hole = sdf.cylinder(0.15, 1.0, center=(0.3, 0.0, 0.0))
slot = sdf.box((0.25, 0.06, 0.5), center=(-0.45, 0.0, 0.0))
part = (plate | boss) - hole - slot

mesh = karvex.mesh(part, ((-1, -1, -1), (1, 1, 1)), max_depth=6)
print(mesh, "closed:", mesh.is_closed, f"volume {mesh.volume:.4f}")
figure = mesh.plot(elevation=35, azimuth=-55, title="plate, boss, hole and slot")
