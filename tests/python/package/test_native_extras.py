"""What karvex.mesh gains from the extension karvex._native: every piece on
request, progress with the mesher's own stage totals, and a worker count per
call. Skipped where only _karvex_rs is present."""

from collections import defaultdict

import pytest

import karvex
from package_fields import BOX, sphere, two_spheres



def test_keep_all_returns_every_piece():
    with pytest.warns(karvex.DroppedPiecesWarning, match="dropped 1 piece,"):
        largest = karvex.mesh(two_spheres, BOX, max_depth=5, keep="largest")
    every = karvex.mesh(two_spheres, BOX, max_depth=5)  # keep="all" is the default
    pieces = every.components()
    assert len(largest.components()) == 1 and len(pieces) == 2
    assert all(p.is_closed and p.is_oriented and p.euler_characteristic == 2 for p in pieces)
    assert pieces[0].faces.tobytes() == largest.faces.tobytes()
    assert pieces[0].vertices.tobytes() == largest.vertices.tobytes()
    assert pieces[0].volume > pieces[1].volume


def test_native_progress_reports_stages_with_totals():
    reports = []
    karvex.mesh(sphere, BOX, max_depth=5, progress=lambda *r: reports.append(r))
    by_stage = defaultdict(list)
    for stage, done, total in reports:
        assert 0 <= done <= total
        by_stage[stage].append((done, total))
    assert len(by_stage) >= 3
    for stage, counts in by_stage.items():
        dones = [d for d, _ in counts]
        assert dones == sorted(dones) and dones[-1] == counts[-1][1], stage
        assert len({t for _, t in counts}) == 1, f"{stage}: the total changed"


def test_worker_count_does_not_change_the_mesh():
    one = karvex.mesh(sphere, BOX, max_depth=5, adaptive=True, workers=1)
    two = karvex.mesh(sphere, BOX, max_depth=5, adaptive=True, workers=2)
    assert one.vertices.tobytes() == two.vertices.tobytes()
    assert one.faces.tobytes() == two.faces.tobytes()


def test_an_exception_from_progress_interrupts_the_call():
    def stop(stage, done, total):
        if done:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        karvex.mesh(sphere, BOX, max_depth=6, progress=stop)
