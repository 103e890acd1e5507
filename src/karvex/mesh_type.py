"""The Mesh type: the triangle mesh that :func:`karvex.mesh` returns."""

from __future__ import annotations

import importlib
import os
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from karvex import _validity
from karvex._validity import MeshCheck

__all__ = ["Mesh", "MeshCheck"]

_IO_EXTRA_HINT = "install it with: pip install karvex[io]"


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

    The arrays are copied.

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
        v = np.array(vertices, dtype=np.float64)
        if v.size == 0:
            v = v.reshape(0, 3)
        if v.ndim != 2 or v.shape[1] != 3:
            raise ValueError(f"vertices must have shape (V, 3), got {v.shape}")
        raw_faces = np.array(faces)
        if raw_faces.size == 0:
            raw_faces = raw_faces.reshape(0, 3).astype(np.int64)
        if raw_faces.dtype.kind not in "iu":
            raise TypeError(f"faces must be integer indices, got dtype {raw_faces.dtype}")
        f = raw_faces.astype(np.int64)
        if f.ndim != 2 or f.shape[1] != 3:
            raise ValueError(f"faces must have shape (F, 3), got {f.shape}")
        if f.size and (f.min() < 0 or f.max() >= len(v)):
            raise ValueError(
                f"faces must index the {len(v)} vertices (0 to {len(v) - 1}), "
                f"got indices from {f.min()} to {f.max()}"
            )
        n = None
        if normals is not None:
            n = np.array(normals, dtype=np.float64)
            if n.size == 0 and len(v) == 0:
                n = n.reshape(0, 3)
            if n.shape != v.shape:
                raise ValueError(
                    f"normals must have the shape of vertices {v.shape}, got {n.shape}"
                )
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
        usable = _validity.plane_axes(self.vertices, self.faces) >= 0
        usable &= ~_validity._repeated_index(self.faces)
        return _validity.intersecting_pairs(self.vertices, self.faces, usable=usable)

    # -- measures ---------------------------------------------------------

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
        that :attr:`is_closed`; for an open mesh the number depends on where
        the origin is.

        Examples
        --------
        >>> import karvex
        >>> m = karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]],
        ...                 [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])
        >>> round(m.volume, 12)
        0.166666666667
        """
        v0, v1, v2 = self._corners()
        return float(np.einsum("ij,ij->", v0, np.cross(v1, v2))) / 6.0

    def _corners(self) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
        corners = self.vertices[self.faces]
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
        pieces = []
        for root in roots[order]:
            faces = self.faces[face_labels == root]
            used = np.unique(faces)  # sorted: renumbering keeps the vertex order
            renumber = np.empty(len(self.vertices), dtype=np.int64)
            renumber[used] = np.arange(len(used), dtype=np.int64)
            normals = None if self.normals is None else self.normals[used]
            pieces.append(Mesh._adopt(self.vertices[used], renumber[faces], normals))
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
        trimesh = _import_trimesh("Mesh.to_trimesh()")
        return trimesh.Trimesh(
            vertices=self.vertices.copy(),
            faces=self.faces.copy(),
            vertex_normals=None if self.normals is None else self.normals.copy(),
            process=False,
        )

    def export(self, path: str | os.PathLike[str], file_type: str | None = None) -> None:
        """Write the mesh to a file (STL, PLY, OBJ, GLB, OFF, ...) through trimesh.

        Needs the optional dependency trimesh (``pip install karvex[io]``).

        Parameters
        ----------
        path : str or path-like
            The file to write.
        file_type : str, optional
            The format, such as ``"stl"`` or ``"ply"``; taken from the file
            name's extension when omitted.

        STL and PLY files written by trimesh hold single-precision (float32)
        coordinates; STL also stores every triangle's corners separately.

        Raises
        ------
        ImportError
            trimesh is not installed.

        Examples
        --------
        >>> import karvex
        >>> m = karvex.Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])
        >>> m.export("triangle.stl")  # doctest: +SKIP
        """
        _import_trimesh("Mesh.export()")
        self.to_trimesh().export(os.fspath(path), file_type=file_type)


def _import_trimesh(caller: str) -> Any:
    try:
        return importlib.import_module("trimesh")
    except ImportError as error:
        raise ImportError(f"{caller} needs trimesh, which is not installed; {_IO_EXTRA_HINT}") from error


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
    onto the smaller one, then flattens the trees. Rounds are few (about the
    logarithm of a piece's diameter), each linear in the number of edges.
    """
    parent = np.arange(vertex_count, dtype=np.int64)
    a = faces.reshape(-1)
    b = faces[:, [1, 2, 0]].reshape(-1)
    while True:
        ra, rb = parent[a], parent[b]
        differ = ra != rb
        if not differ.any():
            return parent
        lo = np.minimum(ra[differ], rb[differ])
        hi = np.maximum(ra[differ], rb[differ])
        np.minimum.at(parent, hi, lo)
        while True:
            jumped = parent[parent]
            if np.array_equal(jumped, parent):
                break
            parent = jumped
