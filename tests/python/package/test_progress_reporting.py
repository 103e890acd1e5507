"""Progress of karvex.mesh: what a callable receives, the stderr lines and
the tqdm bars."""

import io
import sys
from collections import defaultdict

import pytest

import karvex
from karvex._progress import StderrReporter, TqdmReporter
from support.fields import BALL as sphere
from support.fields import BALL_VALUES as sphere_values
from support.fields import BOX


def _record(field, **options):
    reports = []
    karvex.mesh(field, BOX, max_depth=4, progress=lambda *r: reports.append(r), **options)
    return reports


@pytest.mark.parametrize("field", [sphere, sphere_values], ids=["gradients", "values only"])
def test_callable_sees_monotone_counts_within_known_totals(field):
    reports = _record(field, normals=True)
    by_stage = defaultdict(list)
    for stage, done, total in reports:
        assert isinstance(stage, str) and 0 <= done <= total
        by_stage[stage].append((done, total))
    for stage, counts in by_stage.items():
        dones = [d for d, _ in counts]
        assert dones == sorted(dones), stage
        assert len({t for _, t in counts}) == 1, f"{stage}: the total changed"
        assert dones[-1] == counts[-1][1], f"{stage} did not finish"
    assert list(by_stage)[-1] == "normals"
    assert len(by_stage) > 5


def test_an_exception_in_the_callback_ends_the_call():
    def callback(stage, done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        karvex.mesh(sphere, BOX, max_depth=3, progress=callback)


class FakeClock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def test_stderr_lines_are_rate_limited_but_every_stage_ends_with_one():
    out, clock = io.StringIO(), FakeClock()
    report = StderrReporter(interval=1.0, stream=out, clock=clock)
    report("evaluate 1", 0, 1000)
    for done in (100, 200, 300):  # within one second: only the first is written
        clock.now += 0.2
        report("evaluate 1", done, 1000)
    clock.now += 1.0
    report("evaluate 1", 400, 1000)
    report("evaluate 1", 1000, 1000)
    report("evaluate 1", 1000, 1000)  # repeated end: no second line
    report("evaluate 2", 0, 0)  # an empty stage is complete at once
    assert out.getvalue().splitlines() == [
        "karvex: evaluate 1 10% (100/1000)",
        "karvex: evaluate 1 40% (400/1000)",
        "karvex: evaluate 1 100% (1000/1000)",
        "karvex: evaluate 2 100% (0/0)",
    ]


class FakeBar:
    bars = []

    def __init__(self, total, desc, **options):
        self.total, self.desc, self.n, self.closed = total, desc, 0, False
        FakeBar.bars.append(self)

    def update(self, count):
        self.n += count

    def close(self):
        self.closed = True


def test_tqdm_reporter_makes_one_finished_bar_per_stage():
    FakeBar.bars = []
    report = TqdmReporter(FakeBar)
    for stage, total in (("a", 10), ("b", 4)):
        for done in range(total + 1):
            report(stage, done, total)
    report.close()
    assert [(b.desc, b.total, b.n, b.closed) for b in FakeBar.bars] == [
        ("a", 10, 10, True), ("b", 4, 4, True)]


# The first stage: the mesher's own with karvex._native, the first call of
# the field without it; both are the 729 points of the initial grid.
FIRST_STAGE = "initial grid"


def test_progress_true_uses_tqdm_when_installed(capsys):
    pytest.importorskip("tqdm")
    karvex.mesh(sphere, BOX, max_depth=3, progress=True)
    assert FIRST_STAGE in capsys.readouterr().err


def test_progress_true_without_tqdm_writes_lines(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    karvex.mesh(sphere, BOX, max_depth=3, normals=True, progress=True)
    lines = capsys.readouterr().err.splitlines()
    assert lines[0].startswith(f"karvex: {FIRST_STAGE} 100% (729/729)")
    assert lines[-1].startswith("karvex: normals 100% (")
