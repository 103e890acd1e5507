"""Progress of karvex.mesh: what a callable receives, the stderr lines and
the tqdm bars."""

import io
import sys
from collections import defaultdict

import pytest

import karvex
from karvex._progress import StderrReporter, TqdmReporter, _StageEnds as make_reporter_for
from support.fields import BALL as sphere
from support.fields import BALL_VALUES as sphere_values
from support.fields import BOX


def _record(field, max_depth=4, **options):
    reports = []
    karvex.mesh(field, BOX, max_depth=max_depth, progress=lambda *r: reports.append(r), **options)
    return reports


@pytest.mark.parametrize("field, options", [
    (sphere, dict(normals=True)),
    (sphere_values, dict(normals=True)),
    (sphere, dict(normals=True, simplify=1e-3, max_depth=6)),
], ids=["gradients", "values only", "simplified"])
def test_callable_sees_monotone_counts_within_known_totals(field, options):
    reports = _record(field, **options)
    by_stage = defaultdict(list)
    for stage, done, total in reports:
        assert isinstance(stage, str) and 0 <= done <= total
        by_stage[stage].append((done, total))
    for stage, counts in by_stage.items():
        dones = [d for d, _ in counts]
        assert dones == sorted(dones), stage
        assert len({t for _, t in counts}) == 1, f"{stage}: the total changed"
        assert dones[-1] == counts[-1][1], f"{stage} did not finish"
        assert dones.count(counts[-1][1]) == 1, f"{stage} ended more than once"
    assert list(by_stage)[-1] == "normals"
    assert len(by_stage) > 5
    if "simplify" in options:
        # The single collapses report as they work through their candidates.
        assert len({d for d, _ in by_stage["faces"]}) > 2, by_stage["faces"]


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


def test_stderr_lines_are_rate_limited_and_the_call_ends_with_one():
    out, clock = io.StringIO(), FakeClock()
    report = make_reporter_for(StderrReporter(interval=1.0, stream=out, clock=clock))
    report("initial grid", 0, 1000)
    for done in (100, 200, 300):  # within the first second: no line
        clock.now += 0.2
        report("initial grid", done, 1000)
    clock.now += 0.5
    report("initial grid", 400, 1000)
    report("initial grid", 1000, 1000)
    report("initial grid", 1000, 1000)  # repeated end: dropped
    report("octree level 3", 0, 0)  # an empty stage is complete at once
    clock.now += 1.5
    report("faces", 5, 10)
    report("faces", 10, 10)
    report.close()
    report.close()  # closing twice writes nothing more
    assert out.getvalue().splitlines() == [
        "karvex: initial grid 40%",
        "karvex: faces 50%",
        "karvex: done, 3 stages in 2.6 s",
    ]


def test_stderr_names_the_stage_a_call_stopped_in():
    out, clock = io.StringIO(), FakeClock()
    report = StderrReporter(stream=out, clock=clock)
    report("crossings", 30, 120)
    clock.now += 0.25
    report.close()
    assert out.getvalue() == "karvex: stopped in crossings at 25% after 0.2 s\n"


class FakeBar:
    bars = []

    def __init__(self, total, desc, unit, **options):
        self.total, self.desc, self.unit, self.n, self.closed = total, desc, unit, 0, False
        self.shown = []  # (desc, unit, total, n, counted) at each reset and at close
        FakeBar.bars.append(self)

    def _note(self):
        self.shown.append((self.desc, self.unit, self.total, self.n, self.bar_format is None))

    def update(self, count):
        self.n += count

    def reset(self, total):
        self._note()
        self.total, self.n = total, 0

    def set_description(self, desc, refresh):
        self.desc = desc

    def close(self):
        self._note()
        self.closed = True


def test_tqdm_reporter_shows_one_bar_with_the_stage_and_its_unit():
    FakeBar.bars = []
    report = make_reporter_for(TqdmReporter(FakeBar))
    for stage, total in (("initial grid", 10), ("octree level 3", 4), ("crossing normals", 0)):
        for done in range(total + 1):
            report(stage, done, total)
        report(stage, total, total)
    report.close()
    [bar] = FakeBar.bars
    assert bar.closed
    assert bar.shown == [
        ("initial grid", "points", 10, 10, True),
        ("octree level 3", "%", 100, 100, False),  # internal steps: a percentage
        ("crossing normals", "crossings", 0, 0, True),
    ]


# The first stage: the mesher's own with karvex._native, the first call of
# the field without it; both are the 729 points of the initial grid.
FIRST_STAGE = "initial grid"


def test_progress_true_uses_tqdm_when_installed(capsys):
    pytest.importorskip("tqdm")
    karvex.mesh(sphere, BOX, max_depth=3, progress=True)
    assert FIRST_STAGE in capsys.readouterr().err


def test_progress_true_without_tqdm_writes_a_few_lines(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    karvex.mesh(sphere, BOX, max_depth=3, normals=True, progress=True)
    lines = capsys.readouterr().err.splitlines()
    assert 1 <= len(lines) <= 3
    assert lines[-1].startswith("karvex: done, ") and " stages in " in lines[-1]
