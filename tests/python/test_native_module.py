"""karvex._native, the package's private extension: every piece on request,
a worker count per call, progress per stage with known totals, and clean
errors for bad arguments. Without keep_all, workers and progress it gives
what _karvex_rs gives, to the bit."""
import hashlib
import inspect
from collections import OrderedDict

import numpy as np
import pytest

import _karvex_rs
from support.fields import BOX, Recorder, sphere

native = pytest.importorskip("karvex._native")


def balls(centres, radius):
    """The union of equal balls: min of the distances, its gradient."""
    centres = np.asarray(centres, dtype=np.float64)

    def field(p):
        d = np.linalg.norm(p[:, None, :] - centres[None, :, :], axis=2)
        nearest = np.argmin(d, axis=1)
        rows = np.arange(len(p))
        offset = p - centres[nearest]
        r = d[rows, nearest]
        return r - radius, offset / np.maximum(r, 1e-300)[:, None]

    return field


TWO = balls([(-0.45, 0.0, 0.0), (0.5, 0.1, 0.0)], 0.3)
def grid_of_balls(xs, ys, zs, radius):
    """Separate equal balls centred on a grid: the nearest centre is the
    nearest grid value on each axis, found without comparing every ball."""
    axes = [np.asarray(a, dtype=np.float64) for a in (xs, ys, zs)]

    def field(p):
        nearest = np.stack(
            [a[np.abs(p[:, k, None] - a[None, :]).argmin(axis=1)] for k, a in enumerate(axes)],
            axis=1)
        offset = p - nearest
        r = np.sqrt(np.einsum("ij,ij->i", offset, offset))
        return r - radius, offset / np.maximum(r, 1e-300)[:, None]

    return field


# Forty separate balls on a 5 x 4 x 2 grid.
FORTY = grid_of_balls(np.linspace(-0.8, 0.8, 5), np.linspace(-0.6, 0.6, 4), (-0.4, 0.4), 0.12)


def pieces(faces):
    """Number of connected pieces of a triangle list (shared vertices join)."""
    parent = list(range(int(faces.max()) + 1 if len(faces) else 0))

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for a, b, c in faces.tolist():
        parent[find(b)] = find(a)
        parent[find(c)] = find(a)
    return len({find(v) for v in np.unique(faces)})


@pytest.mark.parametrize("field, count", [(TWO, 2), (FORTY, 40)], ids=["two", "forty"])
def test_keep_all_returns_every_piece(field, count):
    v_all, f_all = native.extract_mesh(field, *BOX, max_depth=6, keep_all=True)
    v_one, f_one = native.extract_mesh(field, *BOX, max_depth=6)
    assert pieces(f_all) == count and pieces(f_one) == 1
    # Only used vertices remain, numbered in order.
    assert np.array_equal(np.unique(f_all), np.arange(len(v_all)))
    assert len(f_all) > len(f_one)


def run(field, **options):
    recorder = Recorder(field)
    vertices, faces = native.extract_mesh(recorder, *BOX, **options)
    return vertices.tobytes() + faces.tobytes(), recorder.sizes


@pytest.mark.parametrize("adaptive", [False, True])
def test_worker_counts_give_the_same_bytes_and_batches(adaptive):
    options = dict(max_depth=6, adaptive=adaptive, keep_all=True)
    reference, batches = run(TWO, workers=1, **options)
    for workers in (2, 3, 0):
        result, sizes = run(TWO, workers=workers, **options)
        assert result == reference, workers
        assert sizes == batches, workers


@pytest.mark.parametrize("adaptive", [False, True])
def test_same_result_as_karvex_rs(adaptive):
    field = sphere(0.6)
    options = dict(min_depth=2, max_depth=6, angle_threshold_deg=25.0, iso_value=0.01,
                   adaptive=adaptive)
    ours = native.extract_mesh(field, *BOX, workers=2, progress=lambda *r: None, **options)
    theirs = _karvex_rs.extract_mesh(field, *BOX, **options)
    digest = [hashlib.sha256(a.tobytes()).hexdigest() for a in ours]
    assert digest == [hashlib.sha256(a.tobytes()).hexdigest() for a in theirs]


@pytest.mark.parametrize("adaptive", [False, True])
def test_progress_has_fixed_totals_and_rising_counts(adaptive):
    reports = []
    native.extract_mesh(FORTY, *BOX, max_depth=6, adaptive=adaptive, keep_all=True,
                        progress=lambda *r: reports.append(r))
    stages = OrderedDict()
    for stage, done, total in reports:
        assert isinstance(stage, str) and type(done) is int and type(total) is int
        stages.setdefault(stage, []).append((done, total))
    # Each stage's reports come together, in running order.
    assert len(stages) == len([r for i, r in enumerate(reports)
                               if i == 0 or reports[i - 1][0] != r[0]])
    names = list(stages)
    assert names[0] == "initial grid" and names[-1] == "pieces"
    for expected in ("octree level 3", "surface cells", "crossings", "vertices", "projection",
                     "faces"):
        assert expected in names
    for stage, counts in stages.items():
        dones = [d for d, _ in counts]
        assert dones[0] == 0 and dones == sorted(dones), stage
        assert {t for _, t in counts} == {counts[0][1]}, stage
        assert dones[-1] == counts[0][1], stage


def test_an_exception_from_progress_propagates_and_stops_the_work():
    failure = RuntimeError("stop here")
    recorder = Recorder(sphere(0.6))

    def progress(stage, done, total):
        if stage == "crossings" and done > 0:
            raise failure

    with pytest.raises(RuntimeError) as caught:
        native.extract_mesh(recorder, *BOX, max_depth=6, workers=2, progress=progress)
    assert caught.value is failure
    calls = recorder.calls
    # The call stopped before bisection, which would have called the field.
    reference = Recorder(sphere(0.6))
    native.extract_mesh(reference, *BOX, max_depth=6)
    assert calls < reference.calls


def test_signature_and_panic_class():
    parameters = list(inspect.signature(native.extract_mesh).parameters.values())
    # The parameters of _karvex_rs.extract_mesh, in order, then those of the package.
    assert [str(p) for p in parameters[:11]] == [
        "eval_fn", "bbox_min", "bbox_max", "min_depth=3", "max_depth=7",
        "angle_threshold_deg=30.0", "iso_value=0.0", "adaptive=False", "keep_all=False",
        "workers=0", "progress=None",
    ]

    def short(p):  # one value too few: an internal failure in both modules
        values, gradients = sphere(0.6)(p)
        return values[:-1], gradients

    raised = []
    for module in (_karvex_rs, native):
        with pytest.raises(BaseException) as caught:
            module.extract_mesh(short, *BOX, max_depth=4)
        raised.append(type(caught.value))
    assert raised[0] is raised[1]
    assert raised[0].__name__ == "PanicException" and not issubclass(raised[0], Exception)


@pytest.mark.parametrize(
    "options, error, text",
    [
        (dict(workers=-1), ValueError, "workers must be between 0 and 1024 (got -1)"),
        (dict(workers=10**30), ValueError, "workers must be between 0 and 1024"),
        (dict(workers=1025), ValueError, "(got 1025)"),
        (dict(workers=1.5), TypeError, "argument 'workers': expected an int"),
        (dict(workers=True), TypeError, "got 'bool'"),
        (dict(workers="2"), TypeError, "got 'str'"),
        (dict(progress=3), TypeError, "argument 'progress': expected a callable"),
        (dict(keep_all="yes"), TypeError, "argument 'keep_all'"),
        (dict(max_depth=32), ValueError, "max_depth must be at most 31"),
        (dict(min_depth=5, max_depth=4), ValueError, "min_depth must not exceed max_depth"),
        (dict(colour=1), TypeError, "unexpected keyword argument 'colour'"),
    ],
)
def test_bad_arguments_raise_clean_errors(options, error, text):
    calls = Recorder(sphere(0.6))
    with pytest.raises(error) as caught:
        native.extract_mesh(calls, *BOX, **options)
    assert text in str(caught.value)
    assert calls.calls == 0


def test_workers_accepts_index_objects():
    v1, f1 = native.extract_mesh(sphere(0.6), *BOX, max_depth=4, workers=np.int64(2))
    v2, f2 = native.extract_mesh(sphere(0.6), *BOX, max_depth=4)
    assert v1.tobytes() == v2.tobytes() and f1.tobytes() == f2.tobytes()
