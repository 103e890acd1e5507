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

from karvex._mesh import _connected_labels

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
    >>> kept.faces.tolist() == tetra.tolist(), float(kept.vertices.max()), kept.dropped
    (True, 2.0, 1)
    """
    if len(faces) == 0:
        return Largest(vertices, faces, 0, 0.0)
    labels = _connected_labels(faces, len(vertices))
    # Each piece is labelled by its smallest vertex; number the pieces in
    # the order of those vertices.
    roots = labels == np.arange(len(vertices))
    piece_of_vertex = np.cumsum(roots) - 1
    piece_of_face = piece_of_vertex[labels[faces[:, 0]]]
    count = int(piece_of_face.max()) + 1 if len(faces) else 0
    if count == 1:
        return Largest(vertices, faces, 0, 0.0)
    corners = vertices[faces]
    c0 = corners[:, 0]
    e1, e2 = corners[:, 1] - c0, corners[:, 2] - c0
    n = np.stack(
        [
            e1[:, 1] * e2[:, 2] - e1[:, 2] * e2[:, 1],
            e1[:, 2] * e2[:, 0] - e1[:, 0] * e2[:, 2],
            e1[:, 0] * e2[:, 1] - e1[:, 1] * e2[:, 0],
        ],
        axis=1,
    )
    areas = 0.5 * np.sqrt(np.einsum("ij,ij->i", n, n))
    # c0 . (c1 x c2) == c0 . ((c1 - c0) x (c2 - c0)): the other terms are
    # perpendicular to c0.
    volumes = np.einsum("ij,ij->i", c0, n) / 6.0
    piece_area = np.bincount(piece_of_face, areas, minlength=count)
    piece_volume = np.bincount(piece_of_face, volumes, minlength=count)
    closed = _closed_pieces(faces, piece_of_face, count)
    if closed.any():
        score = np.where(closed, piece_volume, -np.inf)
    else:
        score = piece_area
    # Pieces are numbered by their smallest vertex, not their first face:
    # break ties by the first face of each piece.
    first_face = np.full(count, len(faces))
    np.minimum.at(first_face, piece_of_face, np.arange(len(faces)))
    best = int(np.lexsort((first_face, -score))[0])
    kept_faces = faces[piece_of_face == best]
    used = np.zeros(len(vertices), dtype=bool)
    used[kept_faces] = True
    renumber = np.cumsum(used) - 1  # keeps the vertex order
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
    ordered = np.sort(keys)
    starts = np.flatnonzero(np.concatenate(([True], ordered[1:] != ordered[:-1])))
    uses = np.diff(np.append(starts, len(ordered)))
    bad_keys = ordered[starts[uses != 2]]
    if len(bad_keys) == 0:
        return np.ones(count, dtype=bool)
    bad_face = np.isin(keys, bad_keys).reshape(-1, 3).any(axis=1)
    open_piece = np.bincount(piece_of_face[bad_face], minlength=count) > 0
    closed: NDArray[np.bool_] = ~open_piece
    return closed
