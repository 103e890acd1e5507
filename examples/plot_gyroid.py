"""
A gyroid lattice inside a ball
==============================

A gyroid sheet thickened into a wall, cut to a ball: a surface of many tunnels.
The Euler characteristic of the closed mesh counts them (2 - 2 * genus).
"""

import karvex
from karvex import sdf

lattice = sdf.gyroid(1.0, 0.2) & sdf.sphere(0.9)
mesh = karvex.mesh(lattice, ((-1, -1, -1), (1, 1, 1)), max_depth=5, min_depth=4)
genus = (2 - mesh.euler_characteristic) // 2
print(mesh, "closed:", mesh.is_closed, "genus:", genus)
figure = mesh.plot(color="#d9a441", title=f"gyroid in a ball, genus {genus}")
