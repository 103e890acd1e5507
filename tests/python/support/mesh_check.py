"""The one check of a mesh's topology that the Python tests use, through karvex.Mesh
(which the demo and the benchmarks use too)."""
import karvex


def closed_mesh(vertices, faces, euler=None):
    """Asserts that ``(vertices, faces)`` is a closed, consistently oriented triangle
    mesh, of Euler characteristic ``euler`` when given, and returns it as a
    ``karvex.Mesh`` (for its volume or its pieces).

    Closed: every edge is shared by exactly two triangles. Oriented: the two run
    along it in opposite directions. Together: each directed edge occurs once
    and so does its reverse.
    """
    mesh = karvex.Mesh(vertices, faces)
    assert len(mesh.faces) > 0, "the mesh has no triangles"
    assert mesh.is_closed, "an edge is not shared by exactly two triangles"
    assert mesh.is_oriented, "two triangles run along an edge in the same direction"
    if euler is not None:
        assert mesh.euler_characteristic == euler, (
            f"Euler characteristic {mesh.euler_characteristic}, expected {euler}")
    return mesh
