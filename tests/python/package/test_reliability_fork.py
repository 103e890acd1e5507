"""os.fork() inside a field or progress callback of karvex.mesh, with the
call's own pool (workers >= 2) and the process-wide one: the child finishes
the call or refuses it with a clear error, and can then mesh again."""

import os
import subprocess
import sys
import textwrap

import pytest
from support.sanitizer import under_address_sanitizer

# Runs in a fresh interpreter: forks at the `at`-th callback of the chosen
# kind; the child finishes (or is refused) the call it is in, meshes again
# with and without a pool of its own, and exits 0 when all went well.
CHILD = textwrap.dedent("""
    import os, sys, warnings
    import numpy as np
    import karvex
    from karvex.errors import MeshingError
    if os.environ.get("KARVEX_MODULE_DIR"):  # the extension from the build
        karvex.__path__.append(os.path.join(os.environ["KARVEX_MODULE_DIR"], "karvex"))
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a threaded process

    def sphere(p):
        r = np.linalg.norm(p, axis=1)
        return r - 0.7, p / np.maximum(r, 1e-12)[:, None]

    BOX = ((-1, -1, -1), (1, 1, 1))
    where, workers, at = sys.argv[1], int(sys.argv[2]) or None, sys.argv[3]
    options = dict(max_depth=6, workers=workers, normals=True)
    expected = karvex.mesh(sphere, BOX, **options)
    calls = []
    parent = os.getpid()

    def maybe_fork(tag):
        calls.append(tag)
        if tag == at and os.getpid() == parent and calls.count(tag) == 1:
            os.fork()

    def field(p):
        maybe_fork(f"field {len(calls)}")
        return sphere(p)

    def progress(stage, done, total):
        maybe_fork(stage if done > 0 else None)  # the first report of progress

    try:
        if where == "field":
            result = karvex.mesh(field, BOX, **options)
        else:
            result = karvex.mesh(sphere, BOX, progress=progress, **options)
        outcome = np.array_equal(result.vertices, expected.vertices)
    except MeshingError as error:
        outcome = os.getpid() != parent and "start a new call there" in str(error)
    if os.getpid() == parent:
        _, status = os.wait()
        sys.exit(0 if outcome and os.waitstatus_to_exitcode(status) == 0 else 1)
    for count in (2, None):
        again = karvex.mesh(sphere, BOX, max_depth=6, workers=count, normals=True)
        outcome = outcome and np.array_equal(again.vertices, expected.vertices)
    os._exit(0 if outcome else 3)
""")


def run(where, workers, at):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               OPENBLAS_NUM_THREADS="1", RAYON_NUM_THREADS="4")
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, where, str(workers), at], env=env,
                              capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail(f"a fork in the {where} callback at {at!r} hung")
    assert done.returncode == 0, done.stderr[-3000:]


# AddressSanitizer's runtime can deadlock in a child forked while other
# threads are inside it; the plain build keeps these checks.
_NOT_UNDER_ASAN = pytest.mark.skipif(
    under_address_sanitizer(), reason="fork with running threads is not reliable under the "
    "address sanitizer")


@_NOT_UNDER_ASAN
@pytest.mark.parametrize("workers", [2, 4, 0])
@pytest.mark.parametrize("at", ["field 0", "field 3", "field 6"])
def test_fork_in_the_field(workers, at):
    run("field", workers, at)


@_NOT_UNDER_ASAN
@pytest.mark.parametrize("workers", [2, 0])
@pytest.mark.parametrize("at", ["crossings", "faces", "vertices"])
def test_fork_in_a_progress_report(workers, at):
    run("progress", workers, at)
