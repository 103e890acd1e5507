"""Progress reporting for :func:`karvex.mesh`.

Progress is reported as ``(stage, done, total)``: the name of a stage of the
work, how many of its items are done and how many there are in all. Within a
stage ``done`` only grows and never passes ``total``; a new name starts a new
stage, which ends with exactly one report of ``done == total``.
``progress=True`` shows one tqdm bar for the whole call when tqdm is installed
and otherwise writes a few lines to standard error; a callable receives the
triples itself.
"""

from __future__ import annotations

import importlib
import sys
import time
from collections.abc import Callable
from typing import Any, Protocol, TextIO

from karvex._wording import count_of

__all__ = [
    "ProgressCallback",
    "Reporter",
    "StderrReporter",
    "TqdmReporter",
    "make_reporter",
    "unit_of",
]

#: What ``progress=`` accepts as a callable: ``(stage, done, total)``.
ProgressCallback = Callable[[str, int, int], None]


class Reporter(Protocol):
    """A progress callback that holds something to release at the end."""

    def __call__(self, stage: str, done: int, total: int, /) -> None: ...

    def close(self) -> None: ...


# The unit of the stages whose totals count things; the other stages count
# internal steps (two per cell, say) and are shown as a percentage.
_UNITS = {
    "initial grid": "points",
    "surface cells": "cells",
    "locating crossings": "crossings",
    "crossing normals": "crossings",
    "faces": "cells",
    "normals": "vertices",
    "tiles": "tiles",
}
_PERCENT_FORMAT = "{desc}: {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]"


def unit_of(stage: str) -> str | None:
    """What a stage's ``done`` and ``total`` count, or None when they count
    internal steps.

    Examples
    --------
    >>> unit_of("initial grid"), unit_of("octree level 4")
    ('points', None)
    """
    return _UNITS.get(stage)


class TqdmReporter:
    """One tqdm bar for the whole call.

    The bar shows the current stage as its description; a new stage resets
    it to the stage's total. Stages that count things (points, cells,
    crossings, vertices) show their count in that unit, the others a
    percentage.

    Parameters
    ----------
    tqdm_class : callable, optional
        The bar class; ``tqdm.auto.tqdm`` by default (imported here, so tqdm
        is needed only when this reporter is made).

    Examples
    --------
    >>> import importlib.util
    >>> if importlib.util.find_spec("tqdm"):
    ...     report = TqdmReporter()
    ...     report("initial grid", 0, 10); report("initial grid", 10, 10); report.close()
    """

    def __init__(self, tqdm_class: Callable[..., Any] | None = None) -> None:
        if tqdm_class is None:
            tqdm_class = importlib.import_module("tqdm.auto").tqdm
        self._tqdm_class: Callable[..., Any] = tqdm_class
        self._bar: Any = None
        self._stage: str | None = None
        self._scale = 1.0  # bar steps per reported step
        self._shown = 0

    def __call__(self, stage: str, done: int, total: int, /) -> None:
        if stage != self._stage:
            self._start(stage, total)
        shown = int(done * self._scale)
        if shown > self._shown:
            self._bar.update(shown - self._shown)
            self._shown = shown

    def _start(self, stage: str, total: int) -> None:
        unit = unit_of(stage)
        bar_total = total if unit is not None else 100
        self._scale = 1.0 if unit is not None else (100.0 / total if total > 0 else 0.0)
        if self._bar is None:
            self._bar = self._tqdm_class(total=bar_total, desc=stage, unit=unit or "%", leave=False)
        else:
            self._bar.reset(total=bar_total)
            self._bar.unit = unit or "%"
            self._bar.set_description(stage, refresh=False)
        self._bar.bar_format = None if unit is not None else _PERCENT_FORMAT
        self._stage = stage
        self._shown = 0

    def close(self) -> None:
        """Close the bar, if any."""
        if self._bar is not None:
            self._bar.close()
        self._bar = None
        self._stage = None


class StderrReporter:
    """A few lines of text on standard error for the whole call.

    While the call runs a line with the current stage and its percentage is
    written at most once per ``interval`` seconds (none in the first
    ``interval``), and :meth:`close` writes one line at the end: how many
    stages ran in how long, or in which stage the call stopped. A call of a
    tenth of a second writes that one line.

    Parameters
    ----------
    interval : float
        The least time between two lines, in seconds.
    stream : text file, optional
        Where to write; ``sys.stderr`` at the time of each write by default.
    clock : callable, optional
        Seconds as a float; ``time.monotonic`` by default.

    Examples
    --------
    >>> import io
    >>> out = io.StringIO()
    >>> report = StderrReporter(stream=out, clock=lambda: 0.0)
    >>> report("initial grid", 250, 1000); report("initial grid", 1000, 1000)
    >>> report.close()
    >>> print(out.getvalue(), end="")
    karvex: done, 1 stage in 0.0 s
    """

    def __init__(
        self,
        interval: float = 0.5,
        stream: TextIO | None = None,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self._interval = interval
        self._stream = stream
        self._clock = clock
        self._stage: str | None = None
        self._stages = 0
        self._finished = False
        self._percent = 0
        self._start: float | None = None
        self._last_line = 0.0

    def __call__(self, stage: str, done: int, total: int, /) -> None:
        now = self._clock()
        if self._start is None:
            self._start = self._last_line = now
        if stage != self._stage:
            self._stage = stage
            self._stages += 1
        self._finished = done >= total
        self._percent = 100 if total <= 0 else 100 * done // total
        if now - self._last_line >= self._interval:
            self._last_line = now
            self._write(f"karvex: {stage} {self._percent}%")

    def close(self) -> None:
        """Write the closing line, once, if anything was reported."""
        if self._start is None:
            return
        seconds = self._clock() - self._start
        if self._finished:
            self._write(f"karvex: done, {count_of(self._stages, 'stage')} in {seconds:.1f} s")
        else:
            self._write(f"karvex: stopped in {self._stage} at {self._percent}% after {seconds:.1f} s")
        self._start = None

    def _write(self, line: str) -> None:
        stream = self._stream if self._stream is not None else sys.stderr
        stream.write(line + "\n")
        stream.flush()


class _StageEnds:
    """Passes reports on, except any report of a stage after the one that
    ended it (``done == total``), so that each stage ends once."""

    def __init__(self, reporter: Reporter) -> None:
        self._reporter = reporter
        self._stage: str | None = None
        self._ended = False

    def __call__(self, stage: str, done: int, total: int, /) -> None:
        if stage != self._stage:
            self._stage, self._ended = stage, False
        elif self._ended:
            return
        self._ended = done >= total
        self._reporter(stage, done, total)

    def close(self) -> None:
        self._reporter.close()


class _CallbackReporter:
    """Adapts a user's callable to the reporter interface."""

    def __init__(self, callback: ProgressCallback) -> None:
        self._callback = callback

    def __call__(self, stage: str, done: int, total: int, /) -> None:
        self._callback(stage, done, total)

    def close(self) -> None:
        pass


def make_reporter(progress: bool | ProgressCallback | None) -> Reporter | None:
    """The reporter for a value of ``progress=``.

    Parameters
    ----------
    progress : bool, callable or None
        None or False: no reporting. True: one tqdm bar for the call, or a
        few lines on standard error when tqdm is not installed. A callable:
        called with ``(stage, done, total)``, each stage ending once.

    Returns
    -------
    Reporter or None
        Call it with ``(stage, done, total)``; call ``close()`` when done.

    Examples
    --------
    >>> make_reporter(None) is None
    True
    """
    if progress is None or progress is False:
        return None
    reporter: Reporter
    if progress is True:
        try:
            reporter = TqdmReporter()
        except ImportError:
            reporter = StderrReporter()
    else:
        reporter = _CallbackReporter(progress)
    return _StageEnds(reporter)
