"""Choosing the largest connected piece of a mesh, for ``keep="largest"``.

The native call returns every piece; the choice is made here on the arrays,
so that "largest" can mean the largest solid: among closed pieces the one
that encloses the most volume, and only when no piece is closed the one of
largest area. Pieces are connected through shared vertices, as in
:meth:`karvex.Mesh.components`. Every step is a whole-array pass over the
faces (a sort of the edges, the pointer-jumping labelling of the pieces and
two ``bincount`` sums), so the choice costs about as much as measuring the
mesh's area and volume once.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

from karvex.mesh_type import _connected_labels

__all__ = ["Largest", "largest_piece"]


class Largest(NamedTuple):
    """The kept piece and what was dropped."""

    vertices: NDArray[np.float64]
    faces: NDArray[np.int64]
    dropped: int  # pieces dropped
    dropped_area_share: float  # their share of the whole area, 0 to 1


def largest_piece(vertices: NDArray[np.float64], faces: NDArray[np.int64]) -> Largest:
    """The piece of largest enclosed volume (of largest area when no piece is
    closed), with its vertices renumbered in their order.

    A mesh of one piece (or none) comes back as it is. Among pieces of equal
    measure the one with the first face is kept.

    Examples
    --------
    >>> import numpy as np
    >>> tetra = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])
    >>> v = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], dtype=float)
    >>> big = np.concatenate([v * 0.5, v * 2.0])
    >>> kept = largest_piece(big, np.concatenate([tetra, tetra + 4]))
    >>> kept.faces.tolist() == tetra.tolist(), kept.vertices.max(), kept.dropped
    (True, 2.0, 1)
    """
    if len(faces) == 0:
        return Largest(vertices, faces, 0, 0.0)
    labels = _connected_labels(faces, len(vertices))
    roots, piece_of_face = np.unique(labels[faces[:, 0]], return_inverse=True)
    count = len(roots)
    if count == 1:
        return Largest(vertices, faces, 0, 0.0)
    corners = vertices[faces]
    c0, c1, c2 = corners[:, 0], corners[:, 1], corners[:, 2]
    areas = 0.5 * np.linalg.norm(np.cross(c1 - c0, c2 - c0), axis=1)
    volumes = np.einsum("ij,ij->i", c0, np.cross(c1, c2)) / 6.0
    piece_area = np.bincount(piece_of_face, areas, minlength=count)
    piece_volume = np.bincount(piece_of_face, volumes, minlength=count)
    closed = _closed_pieces(faces, piece_of_face, count)
    if closed.any():
        score = np.where(closed, piece_volume, -np.inf)
    else:
        score = piece_area
    # np.unique sorts the roots (each piece's smallest vertex), not the first
    # faces: break ties by the first face of each piece.
    first_face = np.full(count, len(faces))
    np.minimum.at(first_face, piece_of_face, np.arange(len(faces)))
    best = int(np.lexsort((first_face, -score))[0])
    keep = piece_of_face == best
    kept_faces = faces[keep]
    used = np.unique(kept_faces)
    renumber = np.empty(len(vertices), dtype=np.int64)
    renumber[used] = np.arange(len(used), dtype=np.int64)
    total = float(piece_area.sum())
    share = 0.0 if total <= 0.0 else float(total - piece_area[best]) / total
    return Largest(vertices[used], renumber[kept_faces], count - 1, share)


def _closed_pieces(
    faces: NDArray[np.int64], piece_of_face: NDArray[np.intp], count: int
) -> NDArray[np.bool_]:
    """Per piece: every undirected edge of its faces is used by exactly two
    faces."""
    heads = faces.reshape(-1)
    tails = faces[:, [1, 2, 0]].reshape(-1)
    base = int(faces.max()) + 1
    keys = np.minimum(heads, tails) * base + np.maximum(heads, tails)
    _, inverse, uses = np.unique(keys, return_inverse=True, return_counts=True)
    bad_edge = uses[inverse] != 2  # per directed edge, i.e. per face corner
    bad_face = bad_edge.reshape(-1, 3).any(axis=1)
    open_piece = np.bincount(piece_of_face[bad_face], minlength=count) > 0
    closed: NDArray[np.bool_] = ~open_piece
    return closed
