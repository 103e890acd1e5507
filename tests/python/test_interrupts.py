"""Ctrl-C during a long native stage ends the call with KeyboardInterrupt at
once, in both modules.

A child process meshes a sphere at depth 9 with a cheap analytic field, so
that most of the time is native work. Its field recognises the last call of
the run (the third Newton projection, after the nine calls of bisection and
normals that share one length) and, as it returns, sets a 10 ms timer: what
follows is native work alone (faces, pieces, the result arrays), around a
hundred milliseconds at this depth. The timer's handler runs where the
native call checks for signals; it notes that the call is still running and
sends the process SIGINT, as Ctrl-C would, which the call must turn into
KeyboardInterrupt at its next check. The timer lives in the child, so a busy
machine delaying the parent cannot let the call finish first.
"""
import os
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")

CHILD = r"""
import importlib, os, signal, sys, time, traceback
module_dir = os.environ.get("KARVEX_MODULE_DIR")
if module_dir:
    sys.path[:0] = [module_dir, os.path.join(sys.argv[2], "src")]
    import karvex
    karvex.__path__.append(os.path.join(module_dir, "karvex"))
import numpy as np

module = importlib.import_module(sys.argv[1])
lengths = []
native = [False]
alarm = []  # when the timer was due
inside = []  # whether the native call was running when its handler ran


def field(p):
    r = np.sqrt(np.einsum("ij,ij->i", p, p))
    result = r - 0.6, p / np.maximum(r, 1e-300)[:, None]
    lengths.append(len(p))
    # The third call of a run of equal lengths right after a run of nine:
    # the last projection step, the run's last call.
    runs = []
    for n in lengths:
        if runs and runs[-1][0] == n:
            runs[-1][1] += 1
        else:
            runs.append([n, 1])
    if len(runs) >= 2 and runs[-1][1] == 3 and runs[-2][1] == 9:
        alarm.append(time.perf_counter() + 0.01)
        signal.setitimer(signal.ITIMER_REAL, 0.01)
    return result


def on_alarm(signum, frame):
    # Runs where the native call checks for signals: Ctrl-C from here on.
    inside.append(native[0])
    os.kill(os.getpid(), signal.SIGINT)


signal.signal(signal.SIGALRM, on_alarm)


def watch(frame, event, arg):
    # Whether the native call is running when the interrupt arrives.
    if getattr(arg, "__name__", None) == "extract_mesh":
        native[0] = event == "c_call"


sys.setprofile(watch)
try:
    # The trigger above counts the calls of eight bisection steps (nine with
    # the normals' call) and three Newton steps: the low-level form.
    form = {"lean_sampling": False} if sys.argv[1] == "karvex._native" else {}
    module.extract_mesh(field, (-1, -1, -1), (1, 1, 1), min_depth=3, max_depth=9, **form)
except KeyboardInterrupt:
    ended = time.perf_counter()
    sys.setprofile(None)
    print("inside the native call:", inside[:1] == [True], flush=True)
    print("latency:", ended - alarm[0] if alarm else -1.0, flush=True)
    print(traceback.format_exc().strip().splitlines()[-1], flush=True)
    sys.exit(3)
sys.setprofile(None)
print("finished", flush=True)
"""


@pytest.mark.parametrize("module", ["_karvex_rs", "karvex._native"])
def test_ctrl_c_ends_a_native_stage_quickly(module):
    child = subprocess.run(
        [sys.executable, "-c", CHILD, module, ROOT],
        capture_output=True,
        text=True,
        env=os.environ.copy(),
        timeout=120,
    )
    lines = child.stdout.strip().splitlines()
    print(f"{module}: {lines!r}")
    assert child.returncode == 3, child.stdout + child.stderr
    assert lines[0] == "inside the native call: True", child.stdout
    assert lines[-1] == "KeyboardInterrupt"
    # From the timer's due time to the end of the call. Generous: the
    # machine running the tests may be busy. Without checks for signals in
    # the native stages the call would run to its end first.
    latency = float(lines[1].split()[1])
    assert 0.0 <= latency < 1.0
