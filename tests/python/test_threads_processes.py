"""Threads and processes: concurrent callers, fork at any moment, worker counts, signals.

The module holds the interpreter lock while it works, but eval_fn may release
it (NumPy does, and so does time.sleep), so calls from several Python threads
interleave at every field call. Worker counts come from RAYON_NUM_THREADS
when it is a positive integer and from the CPUs available otherwise; the
results never depend on them.
"""
import functools
import hashlib
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _karvex_rs as k
from support import fields
from support.fields import BOX
from support.sanitizer import under_address_sanitizer

FULL_SWEEP = bool(os.environ.get("KARVEX_FULL_SWEEP"))


def sphere(radius, yield_gil=False):
    field = fields.sphere(radius)
    return fields.slowed(field, 0.0002) if yield_gil else field  # the sleep lets others in


def digest(arrays):
    return hashlib.sha256(b"".join(np.ascontiguousarray(a).tobytes() for a in arrays)).hexdigest()


# name -> call with a field; each result is hashed for comparison.
CALLS = {
    "mesh": lambda f: k.extract_mesh(f, *BOX, 2, 5),
    "mesh-balanced": lambda f: k.extract_mesh(f, *BOX, 1, 5, adaptive=True),
    "stats": lambda f: np.array(k.build_octree_adaptive(f, *BOX, 1, 5)),
    "gradients": lambda f: np.array(k.test_fd_gradients(f, [(0.1 * i, 0.2, -0.3)
                                                            for i in range(50)])),
}


def run_call(name, radius, yield_gil):
    result = CALLS[name](sphere(radius, yield_gil))
    return digest(result if isinstance(result, tuple) else (result,))


def test_concurrent_threads_get_their_own_results():
    jobs = [(name, 0.35 + 0.05 * i) for i, name in enumerate(list(CALLS) * 2)]
    expected = {job: run_call(*job, False) for job in jobs}
    barrier = threading.Barrier(len(jobs))
    results, errors = {}, []

    def worker(job):
        try:
            barrier.wait()
            for _ in range(3):
                got = run_call(*job, True)
                results.setdefault(job, set()).add(got)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append((job, error))

    threads = [threading.Thread(target=worker, args=(job,)) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert errors == []
    assert results == {job: {expected[job]} for job in jobs}


def test_a_thread_failing_does_not_disturb_the_others():
    expected = run_call("mesh", 0.6, False)
    barrier = threading.Barrier(4)
    outcomes = []

    def failing(p):
        time.sleep(0.001)
        raise KeyError("own failure")

    def worker(fail):
        barrier.wait()
        for _ in range(3):
            if fail:
                try:
                    k.extract_mesh(failing, *BOX, 2, 5)
                except KeyError as error:
                    outcomes.append(str(error))
            else:
                outcomes.append(run_call("mesh", 0.6, True))

    threads = [threading.Thread(target=worker, args=(i % 2 == 0,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert sorted(outcomes) == sorted([expected] * 6 + ["'own failure'"] * 6)


# --- fork ---------------------------------------------------------------------------

def wait_for(pid, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the forked child hung")


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() of a threaded process
@pytest.mark.parametrize("stage", ["first", "bisection", "normals", "last"])
def test_fork_inside_eval_fn_and_finish_in_both_processes(stage):
    # The pool has just run the crossing loops when the first bisection call
    # comes, and the child continues the very call the parent is in.
    field = sphere(0.6)
    expected = k.extract_mesh(field, *BOX, 2, 5)
    count = []
    k.extract_mesh(lambda p: count.append(1) or field(p), *BOX, 2, 5)
    at = {"first": 0, "bisection": len(count) - 12, "normals": len(count) - 4,
          "last": len(count) - 1}[stage]
    parent, calls, children = os.getpid(), [], []

    def forking(p):
        calls.append(len(p))
        if len(calls) - 1 == at:
            children.append(os.fork())
        return field(p)

    result = k.extract_mesh(forking, *BOX, 2, 5)
    same = all(np.array_equal(a, b) for a, b in zip(result, expected))
    if os.getpid() != parent:
        # A second call in the child starts a pool of its own.
        again = k.extract_mesh(field, *BOX, 2, 5)
        same = same and all(np.array_equal(a, b) for a, b in zip(again, expected))
        os._exit(0 if same else 1)
    assert same
    assert wait_for(children[0]) == 0


FORK_RACE = textwrap.dedent("""
    import os, signal, sys, time, warnings
    import numpy as np, _karvex_rs as k
    from support import fields
    from support.fields import BOX
    warnings.simplefilter("ignore", DeprecationWarning)
    sphere = fields.sphere(0.6)
    expected = k.extract_mesh(sphere, *BOX, 2, 5)
    count = []
    k.extract_mesh(lambda p: count.append(1) or sphere(p), *BOX, 2, 5)
    parent, hung, wrong = os.getpid(), 0, 0
    for trial in range({trials}):
        # Right after a loop of the pool: its workers are still waking up or
        # going back to sleep when the process forks.
        at = [len(count) - 12, len(count) - 3, len(count) - 2][trial % 3]
        calls, children = [], []
        def field(p):
            calls.append(1)
            if len(calls) - 1 == at:
                children.append(os.fork())
            return sphere(p)
        result = k.extract_mesh(field, *BOX, 2, 5)
        if os.getpid() != parent:
            os._exit(0 if all(np.array_equal(a, b) for a, b in zip(result, expected)) else 1)
        deadline = time.monotonic() + 20
        while True:
            pid, status = os.waitpid(children[0], os.WNOHANG)
            if pid:
                wrong += os.waitstatus_to_exitcode(status) != 0
                break
            if time.monotonic() > deadline:
                hung += 1
                os.kill(children[0], signal.SIGKILL)
                os.waitpid(children[0], 0)
                break
            time.sleep(0.001)
    print(hung, wrong)
""")


def test_forks_racing_the_worker_pool():
    # A fork can freeze the pool's condition variable in a state only the
    # (vanished) workers could leave; the child must not wait for them. The
    # race is rare: the full sweep forks hundreds of times (but not under the
    # sanitizer, where each fork copies its shadow memory).
    trials = 450 if FULL_SWEEP and not under_address_sanitizer() else 30
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               RAYON_NUM_THREADS="8", OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", FORK_RACE.format(trials=trials)], env=env,
                          capture_output=True, text=True, timeout=30 * trials)
    assert done.returncode == 0, done.stderr[-2000:]
    hung, wrong = map(int, done.stdout.split())
    assert (hung, wrong) == (0, 0), f"of {trials} forked children, {hung} hung, {wrong} failed"


# --- worker counts, in child processes ------------------------------------------------

CHILD = """
import hashlib, os, signal, sys
import numpy as np, _karvex_rs as k
from support import fields
{setup}
field = fields.sphere(0.6, gradients=False)
threads = len(os.listdir("/proc/self/task"))
v, f = k.extract_mesh(field, (-1, -1, -1), (1, 1, 1), 2, 6, adaptive=True)
added = len(os.listdir("/proc/self/task")) - threads
blocked = signal.pthread_sigmask(signal.SIG_BLOCK, [])
print(hashlib.sha256(v.tobytes() + f.tobytes()).hexdigest(), len(f), added, len(blocked))
"""


@functools.cache
def run_child(workers, setup=""):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
               OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    env.pop("RAYON_NUM_THREADS", None)
    if workers is not None:
        env["RAYON_NUM_THREADS"] = workers
    done = subprocess.run([sys.executable, "-c", CHILD.format(setup=setup)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    mesh_digest, faces, added, blocked = done.stdout.split()
    assert int(faces) > 2000 and int(blocked) == 0  # the caller's signal mask is untouched
    return mesh_digest, int(added)


ONE_CPU = "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})"


@pytest.mark.parametrize("workers,added", [
    ("1", 0), ("2", 1), ("3", 2), ("8", 7), ("+4", 3),
    # Anything but a positive integer falls back to the CPUs available.
    ("0", 0), ("-1", 0), ("abc", 0), ("", 0), (" 4", 0), ("4 ", 0), ("18446744073709551616", 0),
    (None, 0)])
def test_worker_count_and_identical_arrays(workers, added):
    # One CPU available: the fallback is a single worker (the caller).
    reference, _ = run_child("1", ONE_CPU)
    assert run_child(workers, ONE_CPU) == (reference, added)


# A user may configure more workers than the system runs; the pool keeps the
# threads it could create. RLIMIT_NPROC counts the tasks of the real user and
# does not bind root, so a root child turns into nobody first (after its
# imports: the interpreter's files need not be readable by nobody).
LIMIT_THREADS = textwrap.dedent("""
    import resource
    limit = 8
    if os.getuid() == 0:
        os.setgid(65534)
        os.setuid(65534)
    else:
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.stat(f"/proc/{pid}").st_uid == os.getuid():
                    limit += len(os.listdir(f"/proc/{pid}/task"))
            except OSError:
                pass
    resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit))
""")


@pytest.mark.parametrize("workers", ["1000", "99999999999", str(2**64 - 1)])
def test_more_workers_than_the_system_allows(workers):
    reference, _ = run_child("1")
    got, added = run_child(workers, LIMIT_THREADS)
    assert got == reference
    assert 0 <= added < 1000


def test_interrupt_reaches_the_caller_during_a_long_call():
    # Workers block every signal, so SIGINT lands on the calling thread and
    # is raised from inside eval_fn at its next call.
    source = textwrap.dedent("""
        import os, signal, sys, time
        import numpy as np, _karvex_rs as k
        from support import fields
        slow = fields.slowed(fields.sphere(0.6, gradients=False), 0.05)
        print("ready", flush=True)
        try:
            for _ in range(1000):
                k.extract_mesh(slow, (-1, -1, -1), (1, 1, 1), 2, 6)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", source], env=env, stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    assert out.strip() == "interrupted" and child.returncode == 0
