"""Runs the karvex command line in a child process, as a user's shell would.

With KARVEX_MODULE_DIR set (the test build) the child takes the package from
the source tree and its extensions from the build, then runs the package's
``__main__`` exactly as ``python -m karvex`` does; otherwise it runs the
installed ``python -m karvex``.
"""
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[3]

_BOOT = """
import os, runpy, sys
module_dir = os.environ["KARVEX_MODULE_DIR"]
sys.path[:0] = [module_dir, sys.argv.pop(1)]
import karvex
karvex.__path__.append(os.path.join(module_dir, "karvex"))
sys.argv[0] = "karvex"
runpy.run_module("karvex", run_name="__main__", alter_sys=True)
"""


def karvex_command():
    """The argument list that starts the command line; arguments follow it."""
    if os.environ.get("KARVEX_MODULE_DIR"):
        return [sys.executable, "-c", _BOOT, str(ROOT / "src")]
    return [sys.executable, "-m", "karvex"]


def run_karvex(*args, cwd, timeout=120):
    """``karvex ARGS...`` in ``cwd``; returns the CompletedProcess (text)."""
    return subprocess.run([*karvex_command(), *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=timeout, stdin=subprocess.DEVNULL)
