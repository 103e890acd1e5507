"""The Mesh type: the triangle mesh that :func:`karvex.mesh` returns."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from karvex import _conversions, _validity, _viewing
from karvex._conversions import checked_arrays, import_optional
from karvex._export import export_mesh
from karvex._validity import MeshCheck

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["Mesh", "MeshCheck"]


@dataclass(frozen=True)
class _EdgeData:
    """What the topological properties need, computed once per mesh."""

    edge_count: int  # distinct undirected edges
    every_edge_twice: bool  # each undirected edge is used by exactly two faces
    directed_unique: bool  # no directed edge (a, b) appears in two faces
    vertex_count: int  # vertices used by at least one face


class Mesh:
    """A triangle mesh: vertices, faces and optional vertex normals.

    The arrays are read-only, so that the properties derived from them (which
    are computed once and cached) stay true.

    Parameters
    ----------
    vertices : array_like, shape (V, 3)
        Vertex positions, converted to float64.
    faces : array_like of int, shape (F, 3)
        Indices into ``vertices``, converted to int64; each triangle is wound
        so that ``(v1 - v0) x (v2 - v0)`` points out of the solid.
    normals : array_like, shape (V, 3), optional
        Unit normals at the vertices, converted to float64.

    The arrays are copied and checked: shapes, real (faces: integer) dtypes,
    finite values and face indices in range, each failure raising
    ``ValueError`` or ``TypeError`` with what to change.
    :meth:`from_arrays` and :meth:`from_trimesh` make a Mesh of arrays from
    elsewhere, to measure or check them.

    Attributes
    ----------
    vertices : ndarray of float64, shape (V, 3)
    faces : ndarray of int64, shape (F, 3)
    normals : ndarray of float64, shape (V, 3), or None

    Meshes from :func:`karvex.mesh` are valid solids: where the surface is
    closed inside the box, a closed, oriented 2-manifold with no triangle of
    zero area and no two triangles meeting except at the vertices and edge
    they share; where the surface leaves the box, the same but for open edges
    there. :meth:`check` verifies this exactly for any mesh.

    Examples
    --------
    A unit tetrahedron:

    >>> import karvex
    >>> m = karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]],
    ...                 [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])
    >>> m
    <karvex.Mesh: 4 vertices, 4 faces>
    >>> m.is_closed, m.is_oriented, m.euler_characteristic
    (True, True, 2)
    >>> round(m.volume * 6, 12)
    1.0
    """

    __slots__ = ("_edge_data", "faces", "normals", "vertices")

    vertices: NDArray[np.float64]
    faces: NDArray[np.int64]
    normals: NDArray[np.float64] | None
    _edge_data: _EdgeData | None

    def __init__(
        self, vertices: ArrayLike, faces: ArrayLike, normals: ArrayLike | None = None
    ) -> None:
        v, f, n = checked_arrays(vertices, faces, normals)
        self._set(v, f, n)

    @classmethod
    def _adopt(
        cls,
        vertices: NDArray[np.float64],
        faces: NDArray[np.int64],
        normals: NDArray[np.float64] | None = None,
    ) -> Mesh:
        """Wrap arrays that are known to be valid and owned by no one else,
        without copying or checking them."""
        mesh = cls.__new__(cls)
        mesh._set(vertices, faces, normals)
        return mesh

    def _set(
        self,
        vertices: NDArray[np.float64],
        faces: NDArray[np.int64],
        normals: NDArray[np.float64] | None,
    ) -> None:
        for array in (vertices, faces, normals):
            if array is not None:
                array.flags.writeable = False
        self.vertices = vertices
        self.faces = faces
        self.normals = normals
        self._edge_data = None

    def __repr__(self) -> str:
        extra = ", with normals" if self.normals is not None else ""
        return f"<karvex.Mesh: {len(self.vertices)} vertices, {len(self.faces)} faces{extra}>"

    # -- topology ---------------------------------------------------------

    def _edges(self) -> _EdgeData:
        if self._edge_data is None:
            self._edge_data = _edge_data(self.faces, len(self.vertices))
        return self._edge_data

    @property
    def is_closed(self) -> bool:
        """True when every edge is shared by exactly two triangles.

        Such a mesh bounds a solid (it is watertight). A mesh without faces is
        not closed.

        Examples
        --------
        >>> import karvex
        >>> karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]]).is_closed
        False
        """
        return len(self.faces) > 0 and self._edges().every_edge_twice

    @property
    def is_oriented(self) -> bool:
        """True when neighbouring triangles are wound consistently.

        Two triangles that share an edge must run along it in opposite
        directions; equivalently no directed edge occurs twice.

        Examples
        --------
        >>> import karvex
        >>> karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]],
        ...             [[0, 1, 2], [2, 1, 3]]).is_oriented
        True
        """
        return self._edges().directed_unique

    @property
    def euler_characteristic(self) -> int:
        """V - E + F, counting the vertices that faces use.

        2 for a closed surface like a sphere, 0 for a torus, 2 - 2g for a
        closed surface with g handles; summed over the pieces of the mesh.

        Examples
        --------
        >>> import karvex
        >>> karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]]).euler_characteristic
        1
        """
        edges = self._edges()
        return edges.vertex_count - edges.edge_count + len(self.faces)

    # -- validity ---------------------------------------------------------

    def check(self) -> MeshCheck:
        """Count, exactly, everything that keeps the mesh from being a valid solid.

        A valid solid is a closed, oriented 2-manifold without
        self-intersections: every edge in exactly two triangles, each directed
        edge once, the triangles round every vertex one fan, no triangle with a
        repeated index or zero area, and no two triangles meeting except at the
        vertices and the edge they share. Intersections and zero areas are
        decided with exact orientation predicates, not a tolerance. Works on
        any mesh, also one built from your own arrays.

        Returns
        -------
        MeshCheck
            The count of each defect, with ``is_valid`` (all zero) and
            ``is_valid_with_boundary`` (all zero but open edges, as where a
            surface leaves the meshed box).

        Examples
        --------
        >>> import karvex
        >>> tet = karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]],
        ...                   [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])
        >>> tet.check().is_valid
        True
        >>> moved = karvex.Mesh(tet.vertices + 0.2, tet.faces)
        >>> both = karvex.Mesh(list(tet.vertices) + list(moved.vertices),
        ...                    list(tet.faces) + list(moved.faces + 4))
        >>> result = both.check()
        >>> result.is_valid, result.intersecting_pairs, result.intersecting_faces
        (False, 3, 4)
        """
        return _validity.check(self.vertices, self.faces)

    def self_intersections(self) -> NDArray[np.int64]:
        """The pairs of triangles that meet other than where they share vertices
        or an edge, decided exactly.

        Triangles with a repeated index or zero area are left out (see
        :meth:`check`, which counts them).

        Returns
        -------
        ndarray of int64, shape (K, 2)
            Face indices ``(i, j)`` with ``i < j``, sorted.

        Examples
        --------
        >>> import karvex
        >>> crossed = karvex.Mesh([[0, 0, 0], [2, 0, 0], [0, 2, 0],
        ...                        [0.5, 0.5, -1], [0.5, 0.5, 1], [3, 3, 0]],
        ...                       [[0, 1, 2], [3, 4, 5]])
        >>> crossed.self_intersections().tolist()
        [[0, 1]]
        """
        return _validity.intersecting_pairs(self.vertices, self.faces)

    # -- measures ---------------------------------------------------------

    @property
    def bounds(self) -> tuple[tuple[float, float, float], tuple[float, float, float]] | None:
        """The box around the vertices, ``((x0, y0, z0), (x1, y1, z1))``; None
        for a mesh without vertices.

        Examples
        --------
        >>> import karvex
        >>> karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 2, 0]], [[0, 1, 2]]).bounds
        ((0.0, 0.0, 0.0), (1.0, 2.0, 0.0))
        """
        if len(self.vertices) == 0:
            return None
        low, high = self.vertices.min(axis=0), self.vertices.max(axis=0)
        return (
            (float(low[0]), float(low[1]), float(low[2])),
            (float(high[0]), float(high[1]), float(high[2])),
        )

    @property
    def area(self) -> float:
        """The total area of the triangles.

        Examples
        --------
        >>> import karvex
        >>> karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]]).area
        0.5
        """
        v0, v1, v2 = self._corners()
        return 0.5 * float(np.linalg.norm(np.cross(v1 - v0, v2 - v0), axis=1).sum())

    @property
    def volume(self) -> float:
        """The volume enclosed, by the divergence theorem.

        Positive when the triangles face outwards. Meaningful only for a mesh
        that :attr:`is_closed`. The tetrahedra are taken about the centre of
        the vertices' bounding box rather than the origin, so that a mesh far
        from the origin keeps its digits (about the origin the terms of a
        mesh at 1e6 are 1e18 times larger than their sum); for an open mesh
        the number depends on that centre.

        Examples
        --------
        >>> import karvex
        >>> m = karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]],
        ...                 [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])
        >>> round(m.volume, 12)
        0.166666666667
        """
        if len(self.faces) == 0:
            return 0.0
        used = self.vertices[self.faces.reshape(-1)]
        centre = 0.5 * (used.min(axis=0) + used.max(axis=0))
        v0, v1, v2 = self._corners(centre)
        return float(np.einsum("ij,ij->", v0, np.cross(v1, v2))) / 6.0

    def _corners(
        self, about: NDArray[np.float64] | None = None
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
        """The three corners of every face, relative to ``about`` when given."""
        corners = self.vertices[self.faces]
        if about is not None:
            corners = corners - about
        return corners[:, 0], corners[:, 1], corners[:, 2]

    # -- pieces -----------------------------------------------------------

    def components(self) -> list[Mesh]:
        """Split the mesh into its connected pieces.

        Triangles are connected when they share a vertex. Each piece keeps its
        faces in their order and only its own vertices, renumbered in their
        order; normals are carried along.

        Returns
        -------
        list of Mesh
            Largest (most faces) first; pieces of equal size in the order of
            their first face. Unused vertices belong to no piece.

        Examples
        --------
        >>> import karvex
        >>> two = karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0], [5, 0, 0], [6, 0, 0], [5, 1, 0]],
        ...                   [[3, 4, 5], [0, 1, 2]])
        >>> [len(piece.faces) for piece in two.components()]
        [1, 1]
        >>> two.components()[0].vertices[0].tolist()
        [5.0, 0.0, 0.0]
        """
        if len(self.faces) == 0:
            return []
        labels = _connected_labels(self.faces, len(self.vertices))
        face_labels = labels[self.faces[:, 0]]
        roots, first_face, sizes = np.unique(face_labels, return_index=True, return_counts=True)
        order = np.lexsort((first_face, -sizes))
        # One stable sort groups the faces piece by piece (each keeping its
        # order) and one the used vertices, so that the split is linear in
        # the mesh however many pieces there are, not pieces x faces.
        piece_of_root = np.empty(len(roots), dtype=np.int64)
        piece_of_root[order] = np.arange(len(roots), dtype=np.int64)
        face_piece = piece_of_root[np.searchsorted(roots, face_labels)]
        face_order = np.argsort(face_piece, kind="stable")
        face_bounds = np.concatenate(([0], np.cumsum(sizes[order])))
        used = np.zeros(len(self.vertices), dtype=bool)
        used[self.faces.reshape(-1)] = True
        used_vertices = np.flatnonzero(used)  # ascending: renumbering keeps the vertex order
        vertex_piece = piece_of_root[np.searchsorted(roots, labels[used_vertices])]
        vertex_order = used_vertices[np.argsort(vertex_piece, kind="stable")]
        vertex_bounds = np.searchsorted(np.sort(vertex_piece), np.arange(len(roots) + 1))
        renumber = np.empty(len(self.vertices), dtype=np.int64)
        renumber[vertex_order] = np.arange(len(vertex_order)) - np.repeat(
            vertex_bounds[:-1], np.diff(vertex_bounds)
        )
        sorted_faces = renumber[self.faces[face_order]]
        pieces = []
        for k in range(len(roots)):
            vertices = vertex_order[vertex_bounds[k] : vertex_bounds[k + 1]]
            normals = None if self.normals is None else self.normals[vertices]
            faces = sorted_faces[face_bounds[k] : face_bounds[k + 1]]
            pieces.append(Mesh._adopt(self.vertices[vertices], faces, normals))
        return pieces

    # -- export -----------------------------------------------------------

    def to_trimesh(self) -> Any:
        """The mesh as a ``trimesh.Trimesh``, with the arrays as they are.

        Needs the optional dependency trimesh (``pip install karvex[io]``).
        Vertices are not merged and faces not reordered (``process=False``);
        the normals, when present, become its vertex normals.

        Returns
        -------
        trimesh.Trimesh

        Raises
        ------
        ImportError
            trimesh is not installed.

        Examples
        --------
        >>> import karvex
        >>> m = karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])
        >>> m.to_trimesh().faces.tolist()  # doctest: +SKIP
        [[0, 1, 2]]
        """
        trimesh = import_optional("trimesh", "Mesh.to_trimesh()")
        return trimesh.Trimesh(
            vertices=self.vertices.copy(),
            faces=self.faces.copy(),
            vertex_normals=None if self.normals is None else self.normals.copy(),
            process=False,
        )

    def export(
        self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], file_type: str | None = None
    ) -> None:
        """Write the mesh to a file (STL, PLY, OBJ, GLB, OFF, ...) through trimesh.

        Needs the optional dependency trimesh (``pip install karvex[io]``).

        Parameters
        ----------
        path : str, bytes or path-like
            The file to write.
        file_type : str, optional
            The format: ``"stl"``, ``"stl_ascii"``, ``"ply"``, ``"obj"``,
            ``"off"``, ``"glb"``, ``"gltf"``, ``"3mf"`` or ``"dae"`` (the last
            two need more packages); taken from the file name's extension
            when omitted.

        The file appears whole or not at all: it is written under a
        temporary name in the same folder and then moved into place. A
        ``.gltf`` file embeds its buffers (no side files); ``.glb`` is the
        more compact single file. STL and PLY files written by trimesh hold
        single-precision (float32) coordinates; STL also stores every
        triangle's corners separately.

        Raises
        ------
        ImportError
            trimesh is not installed.
        ValueError
            The format is none of the above.

        Examples
        --------
        >>> import karvex
        >>> m = karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])
        >>> m.export("triangle.stl")  # doctest: +SKIP
        """
        import_optional("trimesh", "Mesh.export()")
        export_mesh(self.to_trimesh(), path, file_type)

    # -- other libraries and viewing ---------------------------------------

    @classmethod
    def from_arrays(
        cls, vertices: ArrayLike, faces: ArrayLike, normals: ArrayLike | None = None
    ) -> Mesh:
        """A Mesh of your own arrays, to measure or check it like a mesh karvex made.

        Parameters
        ----------
        vertices : array_like of real numbers, shape (V, 3)
            Finite positions.
        faces : array_like of int, shape (F, 3)
            Indices into ``vertices``, from 0 to V - 1.
        normals : array_like, shape (V, 3), optional
            Finite vertex normals.

        Returns
        -------
        Mesh
            With float64 and int64 copies of the arrays.

        Raises
        ------
        TypeError
            An array is not of real numbers, or ``faces`` not of integers.
        ValueError
            A shape is wrong, an index is out of range, or a value is NaN or
            infinite; the message names the array and the first bad entry.

        Examples
        --------
        >>> import numpy as np
        >>> import karvex
        >>> m = karvex.Mesh.from_arrays(np.eye(3), [[0, 1, 2]])
        >>> m.is_closed, round(m.area, 6)
        (False, 0.866025)
        >>> karvex.Mesh.from_arrays([[0, 0, np.nan]], np.zeros((0, 3), int))
        Traceback (most recent call last):
        ...
        ValueError: vertices must be finite: 1 rows hold NaN or infinity (the first is row 0: [0.0, 0.0, nan])
        """
        return cls(vertices, faces, normals)

    @classmethod
    def from_trimesh(cls, tm: Any) -> Mesh:
        """A Mesh of a ``trimesh.Trimesh``'s vertices and faces, checked as
        :meth:`from_arrays` checks them.

        Vertex normals are not taken over (trimesh derives its own from the
        faces). Nothing is merged or reordered.

        Examples
        --------
        >>> import karvex, trimesh  # doctest: +SKIP
        >>> karvex.Mesh.from_trimesh(trimesh.creation.icosphere()).is_closed  # doctest: +SKIP
        True
        """
        vertices, faces = _conversions.trimesh_arrays(tm)
        return cls._adopt(vertices, faces)

    def to_pyvista(self) -> Any:
        """The mesh as a ``pyvista.PolyData`` of triangles (copies of the
        arrays; the normals, when present, as point data ``"Normals"``).

        Needs PyVista (``pip install karvex[view]``); raises ImportError
        naming that extra otherwise.
        """
        return _conversions.to_pyvista(self.vertices, self.faces, self.normals)

    def to_open3d(self) -> Any:
        """The mesh as an ``open3d.geometry.TriangleMesh`` (copies of the
        arrays, faces as int32; the normals, when present, as vertex normals).

        Needs Open3D (``pip install karvex[open3d]``); raises ImportError
        naming that extra otherwise.
        """
        return _conversions.to_open3d(self.vertices, self.faces, self.normals)

    def plot(
        self,
        ax: Axes | None = None,
        *,
        color: Any = "#7aa6d6",
        edges: bool = False,
        elevation: float = 25.0,
        azimuth: float = -60.0,
        title: str | None = None,
    ) -> Figure:
        """Draw the mesh with matplotlib and return the figure.

        Works without a display: no backend is selected and ``show()`` is
        never called. With ``ax`` None a new figure is made, through pyplot
        when pyplot is imported (notebooks and galleries then show it as
        usual), else a standalone figure to save with ``fig.savefig``.
        Triangles are shaded by a fixed light; matplotlib draws a few hundred
        thousand of them in seconds, more slowly.

        Parameters
        ----------
        ax : mpl_toolkits.mplot3d.Axes3D, optional
            Draw into this 3-D Axes instead of a new figure.
        color : matplotlib colour, default "#7aa6d6"
        edges : bool, default False
            Outline every triangle.
        elevation, azimuth : float
            The view direction in degrees, as ``Axes3D.view_init`` takes them.
        title : str, optional

        Returns
        -------
        matplotlib.figure.Figure

        Raises
        ------
        ImportError
            matplotlib is not installed (``pip install karvex[plot]``).

        Examples
        --------
        >>> import karvex
        >>> from karvex import sdf
        >>> m = karvex.mesh(sdf.torus(0.6, 0.25), ((-1, -1, -1), (1, 1, 1)), max_depth=4)
        >>> fig = m.plot(title="torus")
        >>> fig.savefig("torus.png")
        """
        return _viewing.plot(
            self.vertices,
            self.faces,
            ax=ax,
            color=color,
            edges=edges,
            elevation=elevation,
            azimuth=azimuth,
            title=title,
        )

    def show(self, **kwargs: Any) -> Any:
        """Open the mesh in an interactive viewer.

        PyVista's viewer when PyVista is installed, otherwise trimesh's (a
        window where pyglet is installed, embedded in a notebook). Keyword
        arguments go to the viewer's ``plot()`` or ``show()``.

        Raises
        ------
        RuntimeError
            There is no display to open a window on (and this is not a
            notebook): use :meth:`plot` or :meth:`export` instead.
        ImportError
            No viewer is installed (``pip install karvex[view]``).
        """
        return _viewing.show(self, **kwargs)


def _edge_data(faces: NDArray[np.int64], vertex_count: int) -> _EdgeData:
    """Count edges and check their use, all from one sort of the edges.

    Each directed edge (a, b) gets the key 2 * (undirected edge number) +
    (a > b); after sorting, equal neighbouring keys are a directed edge used
    twice, and runs of equal ``key >> 1`` are the uses of one undirected edge.
    """
    if len(faces) == 0:
        return _EdgeData(edge_count=0, every_edge_twice=True, directed_unique=True, vertex_count=0)
    heads = faces.reshape(-1)
    tails = faces[:, [1, 2, 0]].reshape(-1)
    base = max(vertex_count, 1)
    keys = np.minimum(heads, tails) * (2 * base) + np.maximum(heads, tails) * 2
    keys += heads > tails
    keys.sort()
    undirected = keys >> 1
    starts = np.flatnonzero(np.concatenate(([True], undirected[1:] != undirected[:-1])))
    counts = np.diff(np.append(starts, len(keys)))
    used = np.bincount(heads, minlength=vertex_count) > 0
    return _EdgeData(
        edge_count=len(starts),
        every_edge_twice=bool((counts == 2).all()),
        directed_unique=not bool((keys[1:] == keys[:-1]).any()),
        vertex_count=int(used.sum()),
    )


def _connected_labels(faces: NDArray[np.int64], vertex_count: int) -> NDArray[np.int64]:
    """Label each vertex with the smallest vertex index of its piece.

    Connected components by hooking and pointer jumping (Shiloach and Vishkin
    1982) in whole-array steps: each round hangs the larger root of every edge
    onto a smaller one (any, as concurrent writes would), then flattens the
    trees. Rounds are few (about the logarithm of a piece's diameter). Two
    edges per triangle connect its corners, and an edge whose ends share a
    root stays so, so each round looks only at the edges still apart.
    Hanging only onto smaller roots keeps each piece's smallest vertex its
    root.
    """
    parent = np.arange(vertex_count, dtype=np.int64)
    a = faces[:, :2].reshape(-1)
    b = faces[:, 1:].reshape(-1)
    while True:
        ra, rb = parent[a], parent[b]
        differ = ra != rb
        if not differ.any():
            return parent
        a, b, ra, rb = a[differ], b[differ], ra[differ], rb[differ]
        parent[np.maximum(ra, rb)] = np.minimum(ra, rb)
        while True:
            jumped = parent[parent]
            if np.array_equal(jumped, parent):
                break
            parent = jumped
