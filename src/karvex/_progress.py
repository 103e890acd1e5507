"""Progress reporting for :func:`karvex.mesh`.

Progress is reported as ``(stage, done, total)``: the name of a stage of the
work, how many of its items are done and how many there are in all. Within a
stage ``done`` only grows and never passes ``total``; a new name starts a new
stage. ``progress=True`` shows a tqdm bar per stage when tqdm is installed and
otherwise writes a line per stage to standard error; a callable receives the
triples itself.
"""

from __future__ import annotations

import importlib
import sys
import time
from collections.abc import Callable
from typing import Any, Protocol, TextIO

__all__ = ["ProgressCallback", "Reporter", "StderrReporter", "TqdmReporter", "make_reporter"]

#: What ``progress=`` accepts as a callable: ``(stage, done, total)``.
ProgressCallback = Callable[[str, int, int], None]


class Reporter(Protocol):
    """A progress callback that holds something to release at the end."""

    def __call__(self, stage: str, done: int, total: int, /) -> None: ...

    def close(self) -> None: ...


class TqdmReporter:
    """One tqdm bar per stage, with the stage's total.

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
    ...     report("evaluate", 0, 10); report("evaluate", 10, 10); report.close()
    """

    def __init__(self, tqdm_class: Callable[..., Any] | None = None) -> None:
        if tqdm_class is None:
            tqdm_class = importlib.import_module("tqdm.auto").tqdm
        self._tqdm_class: Callable[..., Any] = tqdm_class
        self._bar: Any = None
        self._stage: str | None = None
        self._done = 0

    def __call__(self, stage: str, done: int, total: int, /) -> None:
        if stage != self._stage:
            self.close()
            self._bar = self._tqdm_class(total=total, desc=stage, unit="pt", leave=False)
            self._stage = stage
            self._done = 0
        if done > self._done:
            self._bar.update(done - self._done)
            self._done = done

    def close(self) -> None:
        """Close the current bar, if any."""
        if self._bar is not None:
            self._bar.close()
        self._bar = None
        self._stage = None


class StderrReporter:
    """A line of text per stage with its percentage, written to standard error.

    A stage's line is written when the stage ends and, while it runs, at most
    once per ``interval`` seconds, so that many small calls do not flood the
    terminal.

    Parameters
    ----------
    interval : float
        The least time between two lines of one stage, in seconds.
    stream : text file, optional
        Where to write; ``sys.stderr`` at the time of each write by default.
    clock : callable, optional
        Seconds as a float; ``time.monotonic`` by default.

    Examples
    --------
    >>> import io
    >>> out = io.StringIO()
    >>> report = StderrReporter(stream=out)
    >>> report("evaluate", 250, 1000); report("evaluate", 1000, 1000)
    >>> print(out.getvalue(), end="")
    karvex: evaluate 25% (250/1000)
    karvex: evaluate 100% (1000/1000)
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
        self._last_line = float("-inf")
        self._finished = False

    def __call__(self, stage: str, done: int, total: int, /) -> None:
        if stage != self._stage:
            self._stage = stage
            self._last_line = float("-inf")
            self._finished = False
        if self._finished:
            return
        finished = done >= total
        now = self._clock()
        if not finished and now - self._last_line < self._interval:
            return
        if not finished and done == 0:
            return  # a line saying 0% tells nothing; the stage's end will follow
        self._last_line = now
        self._finished = finished
        percent = 100 if total <= 0 else 100 * done // total
        stream = self._stream if self._stream is not None else sys.stderr
        stream.write(f"karvex: {stage} {percent}% ({done}/{total})\n")
        stream.flush()

    def close(self) -> None:
        """Nothing to release; present so every reporter can be closed."""


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
        None or False: no reporting. True: a tqdm bar per stage, or lines on
        standard error when tqdm is not installed. A callable: called with
        ``(stage, done, total)``.

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
    if progress is True:
        try:
            return TqdmReporter()
        except ImportError:
            return StderrReporter()
    return _CallbackReporter(progress)
