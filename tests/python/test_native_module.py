"""karvex._native, the package's private extension, directly and through
karvex.mesh: every piece on request, a worker count per call, progress per
stage with known totals, arguments bound by keyword from one table, and clean
errors for bad arguments. Without keep_all, workers and progress it gives
what _karvex_rs gives, to the bit."""
import hashlib
import inspect
from collections import OrderedDict, defaultdict

import numpy as np
import pytest

import _karvex_rs
import karvex
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


def unequal_pair(points):
    """A larger ball at x = -0.45 and a smaller one at x = +0.5, apart."""
    a = np.linalg.norm(points - [-0.45, 0.0, 0.0], axis=1) - 0.4
    b = np.linalg.norm(points - [0.5, 0.0, 0.0], axis=1) - 0.3
    return np.minimum(a, b), None


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
    for workers in (2, 3, None):  # None: the process-wide pool
        result, sizes = run(TWO, workers=workers, **options)
        assert result == reference, workers
        assert sizes == batches, workers


@pytest.mark.parametrize("adaptive", [False, True])
def test_same_result_as_karvex_rs(adaptive):
    field = sphere(0.6)
    options = dict(min_depth=2, max_depth=6, adaptive=adaptive)
    ours = native.extract_mesh(field, *BOX, workers=2, progress=lambda *r: None, sharp_angle=25.0,
                               level=0.01, find_small=False, lean_sampling=False, **options)
    theirs = _karvex_rs.extract_mesh(field, *BOX, angle_threshold_deg=25.0, iso_value=0.01,
                                     **options)
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


def test_signature_is_made_from_the_keyword_table():
    parameters = list(inspect.signature(native.extract_mesh).parameters.values())
    # The field and the box by position only; every option by keyword only.
    assert [(p.name, p.kind.name) for p in parameters[:3]] == [
        ("field", "POSITIONAL_ONLY"), ("bbox_min", "POSITIONAL_ONLY"),
        ("bbox_max", "POSITIONAL_ONLY")]
    assert [str(p) for p in parameters[3:]] == [
        "min_depth=3", "max_depth=7", "level=0.0", "sharp_angle=30.0", "adaptive=False",
        "keep_all=False", "simplify=None", "find_small=True", "lean_sampling=True", "workers=None",
        "progress=None", "tile=None", "bounds=None", "volume=None"]
    assert {p.kind.name for p in parameters[3:]} == {"KEYWORD_ONLY"}
    # karvex.mesh's defaults are the table's, but for max_depth: None there
    # stands for the table's 7, or a volume's own depth.
    from karvex._default_depth import DEFAULT_MAX_DEPTH

    mesh_defaults = {name: p.default for name, p in
                     inspect.signature(karvex.mesh).parameters.items()}
    mesh_defaults["max_depth"] = DEFAULT_MAX_DEPTH
    for p in parameters[3:7]:
        assert repr(mesh_defaults[p.name]) == str(p).split("=")[1], p.name


def test_the_panic_class_is_exported_and_shared():
    def short(p):  # one value too few: an internal failure in both modules
        values, gradients = sphere(0.6)(p)
        return values[:-1], gradients

    raised = []
    for module in (_karvex_rs, native):
        with pytest.raises(BaseException) as caught:
            module.extract_mesh(short, *BOX, max_depth=4)
        raised.append(type(caught.value))
    assert raised[0] is raised[1] is native.PanicException
    assert raised[0].__name__ == "PanicException" and not issubclass(raised[0], Exception)
    assert not hasattr(_karvex_rs, "PanicException")


@pytest.mark.parametrize(
    "options, error, text",
    [
        (dict(workers=-1), ValueError, "workers must be an integer 1 or more, got -1"),
        (dict(workers=0), ValueError, "workers must be an integer 1 or more, got 0"),
        (dict(workers=10**30), ValueError, f"workers must be at most 1024, got {10**30}; omit"),
        (dict(workers=1025), ValueError, "workers must be at most 1024, got 1025; omit it (or pass"),
        (dict(workers=1.5), TypeError, "workers must be an integer, got 1.5 (float)"),
        (dict(workers=True), TypeError, "workers must be an integer, got True (bool)"),
        (dict(workers="2"), TypeError, "workers must be an integer, got '2' (str)"),
        (dict(progress=3), TypeError, "argument 'progress': expected a callable"),
        (dict(keep_all="yes"), TypeError, "keep_all must be True or False, got 'yes' (str)"),
        (dict(max_depth=32), ValueError, "max_depth must be an integer from 0 to 31, got 32"),
        (dict(max_depth=10**30), ValueError, "from 0 to 31, got 1000000000000000000000000000000"),
        (dict(min_depth=5, max_depth=4), ValueError, "min_depth must not exceed max_depth"),
        (dict(colour=1), TypeError, "unexpected keyword argument 'colour'"),
        (dict(iso_value=0.0), TypeError, "unexpected keyword argument 'iso_value'"),
        (dict(field=sphere(0.6)), TypeError, "unexpected keyword argument 'field'"),
        (dict(level=float("nan")), ValueError, "level must be finite, got nan"),
        (dict(sharp_angle=-1), ValueError, "from 0 to 180, got -1; the default is 30"),
        (dict(simplify=0), ValueError, "simplify must be a positive finite distance, got 0.0"),
        (dict(bounds="the box", bbox_max=(1, -1, 1)), ValueError,
         "got 'the box', whose y range is empty"),
    ],
)
def test_bad_arguments_raise_clean_errors(options, error, text):
    calls = Recorder(sphere(0.6))
    box = dict(zip(("bbox_min", "bbox_max"), BOX))
    box.update((k, options.pop(k)) for k in list(options) if k in box)
    with pytest.raises(error) as caught:
        native.extract_mesh(calls, box["bbox_min"], box["bbox_max"], **options)
    assert text in str(caught.value), str(caught.value)
    assert calls.calls == 0


def test_index_and_numpy_arguments_are_accepted():
    v1, f1 = native.extract_mesh(sphere(0.6), *BOX, max_depth=np.int64(4), workers=np.int64(2),
                                 adaptive=np.False_, level=np.float32(0.0))
    v2, f2 = native.extract_mesh(sphere(0.6), *BOX, max_depth=4)
    assert v1.tobytes() == v2.tobytes() and f1.tobytes() == f2.tobytes()


# --- Through karvex.mesh -------------------------------------------------------


def test_mesh_keep_all_returns_every_piece():
    with pytest.warns(karvex.DroppedPiecesWarning, match="dropped 1 piece,"):
        largest = karvex.mesh(unequal_pair, BOX, max_depth=5, keep="largest")
    every = karvex.mesh(unequal_pair, BOX, max_depth=5)  # keep="all" is the default
    parts = every.components()
    assert len(largest.components()) == 1 and len(parts) == 2
    assert all(p.is_closed and p.is_oriented and p.euler_characteristic == 2 for p in parts)
    assert parts[0].faces.tobytes() == largest.faces.tobytes()
    assert parts[0].vertices.tobytes() == largest.vertices.tobytes()
    assert parts[0].volume > parts[1].volume


def test_mesh_progress_reports_stages_with_totals():
    reports = []
    karvex.mesh(sphere(0.6), BOX, max_depth=5, progress=lambda *r: reports.append(r))
    by_stage = defaultdict(list)
    for stage, done, total in reports:
        assert 0 <= done <= total
        by_stage[stage].append((done, total))
    assert len(by_stage) >= 3
    for stage, counts in by_stage.items():
        dones = [d for d, _ in counts]
        assert dones == sorted(dones) and dones[-1] == counts[-1][1], stage
        assert len({t for _, t in counts}) == 1, f"{stage}: the total changed"


def test_mesh_worker_count_does_not_change_the_mesh():
    one = karvex.mesh(sphere(0.6), BOX, max_depth=5, adaptive=True, workers=1)
    two = karvex.mesh(sphere(0.6), BOX, max_depth=5, adaptive=True, workers=2)
    assert one.vertices.tobytes() == two.vertices.tobytes()
    assert one.faces.tobytes() == two.faces.tobytes()


def test_mesh_an_exception_from_progress_interrupts_the_call():
    def stop(stage, done, total):
        if done:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        karvex.mesh(sphere(0.6), BOX, max_depth=6, progress=stop)
