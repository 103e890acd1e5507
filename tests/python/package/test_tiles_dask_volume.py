"""Dask arrays as volumes: meshed in tiles, each tile reading its block and
a halo, with the mesh of the same samples held in a NumPy array."""
import numpy as np
import pytest

import karvex
from karvex import _dask_volume, _mesher
from support.mesh_check import closed_mesh

da = pytest.importorskip("dask.array")

SIDE = 17  # samples per axis: max_depth 4, one finest cell per voxel
DEPTH = 4


def blobs(dtype, shape=(SIDE,) * 3, inside="above"):
    """A few smooth overlapping blobs, one touching the array's border, as
    uint8 (level 127.5) or float32 (level 0.5), bright inside (or dark
    inside for inside="below")."""
    grid = np.indices(shape).transpose(1, 2, 3, 0) / (np.array(shape) - 1)
    bright = np.zeros(shape)
    for centre, radius in [((0.35, 0.4, 0.5), 0.22), ((0.66, 0.6, 0.45), 0.2), ((0.5, 0.5, 0.98), 0.15)]:
        bright += np.exp(-np.sum((grid - centre) ** 2, axis=-1) / radius**2)
    bright = bright / bright.max()
    if inside == "below":
        bright = 1.0 - bright
    if dtype == "uint8":
        return (bright * 255).round().astype(np.uint8), 127.5
    return bright.astype(np.float32), 0.5


def triangle_set(mesh):
    return {frozenset(map(tuple, corners)) for corners in mesh.vertices[mesh.faces].tolist()}


MODES = {"uniform": {}, "adaptive": {"adaptive": True}, "simplify": {"simplify": 0.5}}


@pytest.mark.parametrize("dtype", ["uint8", "float32"])
@pytest.mark.parametrize("tiles", [2, 4])
@pytest.mark.parametrize("mode", MODES)
def test_a_dask_volume_in_tiles_is_the_numpy_volumes_mesh(dtype, tiles, mode):
    samples, level = blobs(dtype)
    options = dict(max_depth=DEPTH, level=level, tiles=tiles, **MODES[mode])
    lazy = karvex.grid_field(da.from_array(samples, chunks=5), inside="above")
    from_dask = karvex.mesh(lazy, **options)
    from_numpy = karvex.mesh(karvex.grid_field(samples, inside="above"), **options)
    # The same samples give the same numbers: the same mesh in every mode.
    np.testing.assert_array_equal(from_dask.vertices, from_numpy.vertices)
    np.testing.assert_array_equal(from_dask.faces, from_numpy.faces)
    closed_mesh(from_dask.vertices, from_dask.faces)
    assert from_dask.check().is_valid
    assert all(kind == "window" or count > 0 for kind, count in lazy.reads)
    assert sum(kind == "window" for kind, _ in lazy.reads) == tiles**3


# A cube of samples, and a flat box whose cube reaches beyond it: tiles
# whose blocks lie outside the array (their windows its two nearest planes)
# and windows cut by its border.
SHAPES = {"cube": (SIDE,) * 3, "flat box": (17, 6, 13)}


@pytest.mark.parametrize("halo", [1, _dask_volume.HALO_CELLS])
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("inside", ["above", "below"])
@pytest.mark.parametrize("dtype", ["uint8", "float32"])
@pytest.mark.parametrize("tiles", [2, 4])
def test_uniform_tiles_of_a_dask_volume_contour_the_untiled_numpy_triangles(
    tiles, dtype, inside, shape, halo, monkeypatch
):
    # Compared as contoured, before the validity pass: that pass relaxes
    # folds in the order of the vertices, which tiles renumber.
    monkeypatch.setattr(_mesher, "_valid_solid", lambda arrays, *_: tuple(arrays))
    # A halo of one cell leaves most samples beyond the windows, read singly
    # for the native sampling; the default one holds the whole array here.
    monkeypatch.setattr(_dask_volume, "HALO_CELLS", halo)
    samples, level = blobs(dtype, SHAPES[shape], inside)
    whole = karvex.mesh(karvex.grid_field(samples, inside=inside), max_depth=DEPTH, level=level)
    lazy = karvex.grid_field(da.from_array(samples, chunks=8), inside=inside)
    tiled = karvex.mesh(lazy, max_depth=DEPTH, level=level, tiles=tiles)
    assert len(whole.faces) > 100
    assert len(tiled.vertices) == len(whole.vertices)
    assert triangle_set(tiled) == triangle_set(whole)
    singles = sum(count for kind, count in lazy.reads if kind == "samples")
    assert (singles > 0) == (halo == 1)


class RecordingArray:
    """An array that records every region Dask asks of it."""

    def __init__(self, samples):
        self.samples, self.asked = samples, []
        self.shape, self.dtype, self.ndim = samples.shape, samples.dtype, samples.ndim

    def __getitem__(self, index):
        self.asked.append(index)
        return self.samples[index]


def test_each_tile_computes_its_block_and_halo_and_never_the_whole_array(monkeypatch):
    monkeypatch.setattr(_dask_volume, "HALO_CELLS", 2)
    samples, level = blobs("float32")
    store = RecordingArray(samples)
    chunk = 4
    array = da.from_array(store, chunks=chunk, asarray=False)
    store.asked.clear()  # Dask's probe of an empty region
    lazy = karvex.grid_field(array)
    assert not store.asked  # made without computing anything
    karvex.mesh(lazy, max_depth=DEPTH, level=level, tiles=4)
    windows = [slices for kind, slices in lazy.reads if kind == "window"]
    side = (SIDE - 1) // 4
    for slices in windows:
        for s in slices:
            assert s.stop - s.start <= side + 2 * _dask_volume.HALO_CELLS + 1
    # Chunks are read whole: a window's compute asks only for the chunks it
    # meets, never for the whole array.
    assert all(np.prod([s.stop - s.start for s in index]) <= chunk**3 for index in store.asked)
    # The coarse samples beyond the windows are read once each, whichever
    # tiles need them (here, at 17^3, nearly every sample is such a one).
    singles = sum(count for kind, count in lazy.reads if kind == "samples")
    assert 0 < singles <= samples.size


def test_mesh_to_ply_of_a_dask_volume_writes_the_numpy_volumes_file(tmp_path):
    samples, level = blobs("uint8")
    for name, volume in [("numpy.ply", samples), ("dask.ply", da.from_array(samples, chunks=6))]:
        karvex.mesh_to_ply(tmp_path / name, karvex.grid_field(volume, inside="above"),
                           max_depth=DEPTH, level=level, tiles=2)
    assert (tmp_path / "dask.ply").read_bytes() == (tmp_path / "numpy.ply").read_bytes()


def test_a_dask_volume_is_never_computed_whole_and_faults_are_named():
    samples, level = blobs("float32")
    lazy = karvex.grid_field(da.from_array(samples, chunks=8))
    with pytest.raises(ValueError, match=r"meshed in tiles.*tiles=2"):
        karvex.mesh(lazy, max_depth=DEPTH, level=level)
    with pytest.raises(TypeError, match="bool Dask array"):
        karvex.grid_field(da.from_array(samples > 0.5, chunks=8))
    with pytest.raises(ValueError, match="3-D"):
        karvex.grid_field(da.zeros((4, 4), chunks=2))
    broken = samples.copy()
    broken[15, 2, 3] = np.nan
    with pytest.raises(ValueError, match=r"finite.*\(15, 2, 3\)"):
        karvex.mesh(karvex.grid_field(da.from_array(broken, chunks=8)), max_depth=DEPTH,
                    level=level, tiles=2)
    # A direct call reads single samples: the NumPy volume's numbers.
    points = np.random.default_rng(1).uniform(-1, SIDE, (50, 3))
    for got, expected in zip(lazy(points), karvex.grid_field(samples)(points), strict=True):
        np.testing.assert_array_equal(got, expected)
