"""Ctrl-C during a long native stage ends the call with KeyboardInterrupt at
once, in both modules.

A child process meshes a sphere at depth 9 with a cheap analytic field, so
that most of the time is native work. Its field recognises the last call of
the run (the third Newton projection, after the nine calls of bisection and
normals that share one length) and prints a marker when it returns: what
follows is native work alone (faces, pieces, the result arrays), a few
hundred milliseconds at this depth. The parent sends SIGINT on the marker
and measures the time until the child has exited with KeyboardInterrupt.
"""
import os
import signal
import subprocess
import sys
import time

import pytest

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")

CHILD = r"""
import importlib, os, signal, sys, traceback
module_dir = os.environ.get("KARVEX_MODULE_DIR")
if module_dir:
    sys.path[:0] = [module_dir, os.path.join(sys.argv[2], "src")]
    import karvex
    karvex.__path__.append(os.path.join(module_dir, "karvex"))
import numpy as np

module = importlib.import_module(sys.argv[1])
lengths = []
native = [False]


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
        print("marker", flush=True)
    return result


def watch(frame, event, arg):
    # Whether the native call is running when the interrupt arrives.
    if getattr(arg, "__name__", None) == "extract_mesh":
        native[0] = event == "c_call"


sys.setprofile(watch)
try:
    module.extract_mesh(field, (-1, -1, -1), (1, 1, 1), min_depth=3, max_depth=9)
except KeyboardInterrupt:
    sys.setprofile(None)
    print("inside the native call:", native[0], flush=True)
    print(traceback.format_exc().strip().splitlines()[-1], flush=True)
    sys.exit(3)
sys.setprofile(None)
print("finished", flush=True)
"""


@pytest.mark.parametrize("module", ["_karvex_rs", "karvex._native"])
def test_ctrl_c_ends_a_native_stage_quickly(module):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, module, ROOT],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=os.environ.copy(),
    )
    try:
        line = child.stdout.readline()
        assert line.strip() == "marker", line + child.stderr.read()
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        rest, errors = child.communicate(timeout=60)
        latency = time.perf_counter() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    print(f"{module}: KeyboardInterrupt {latency * 1000:.0f} ms after SIGINT; {rest.strip()!r}")
    assert child.returncode == 3, rest + errors
    assert rest.strip().splitlines()[-1] == "KeyboardInterrupt"
    # Generous: the machine running the tests may be busy. Without polling
    # the call would run to its end first.
    assert latency < 1.0
