"""Whether two triangles in one plane meet, on small integer coordinates: an
oracle for the checker's coplanar cases, by edges and corners in exact
integer arithmetic (independent of its separating-edge and wedge tests)."""

from __future__ import annotations

Point = tuple[int, int]


def _turn(a: Point, b: Point, c: Point) -> int:
    det = (a[0] - c[0]) * (b[1] - c[1]) - (a[1] - c[1]) * (b[0] - c[0])
    return (det > 0) - (det < 0)


def _on_segment(p: Point, a: Point, b: Point) -> bool:
    return _turn(a, b, p) == 0 and min(a[0], b[0]) <= p[0] <= max(a[0], b[0]) and \
        min(a[1], b[1]) <= p[1] <= max(a[1], b[1])


def _segments_meet(p: Point, q: Point, a: Point, b: Point) -> bool:
    o1, o2, o3, o4 = _turn(p, q, a), _turn(p, q, b), _turn(a, b, p), _turn(a, b, q)
    if o1 * o2 < 0 and o3 * o4 < 0:
        return True
    return _on_segment(a, p, q) or _on_segment(b, p, q) or _on_segment(p, a, b) or _on_segment(q, a, b)


def _inside(p: Point, t: tuple[Point, Point, Point]) -> bool:
    s = [_turn(t[k], t[(k + 1) % 3], p) for k in range(3)]
    return all(x >= 0 for x in s) or all(x <= 0 for x in s)


def segment_meets_triangle(p: Point, q: Point, t: tuple[Point, Point, Point]) -> bool:
    """The closed segment pq and the closed triangle t (nonzero area)."""
    return _inside(p, t) or _inside(q, t) or any(_segments_meet(p, q, t[k], t[(k + 1) % 3]) for k in range(3))


def triangles_meet(a: tuple[Point, Point, Point], b: tuple[Point, Point, Point]) -> bool:
    """Two closed triangles of nonzero area with no corner in common."""
    return any(segment_meets_triangle(a[k], a[(k + 1) % 3], b) for k in range(3)) or _inside(a[0], b)


def meet_beyond_corner(a: tuple[Point, Point, Point], b: tuple[Point, Point, Point]) -> bool:
    """Two triangles sharing exactly their first corner: whether they meet
    anywhere else (then an edge opposite the corner meets the other one)."""
    return segment_meets_triangle(a[1], a[2], b) or segment_meets_triangle(b[1], b[2], a)


def area_sign(t: tuple[Point, Point, Point]) -> int:
    return _turn(*t)
