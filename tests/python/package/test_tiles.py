"""Tiled meshing: the tiles stitched into the untiled run's mesh (uniform
mode, triangle for triangle, coordinates bit for bit), closed and valid
seams in adaptive mode, the PLY written tile by tile, and tiles as Dask
tasks."""
import os
import time
import warnings

import numpy as np
import pytest

import karvex
from karvex import sdf
from support.cluster import local_client
from support.fields import BOX
from support.mesh_check import closed_mesh


def triangle_set(mesh):
    """The triangles as sets of exact coordinates, each rotated to start at
    its least corner (orientation kept)."""
    rows = mesh.vertices[mesh.faces].view(np.dtype((np.void, 24))).reshape(-1, 3)
    keys = [tuple(bytes(c) for c in tri) for tri in rows]
    out = set()
    for tri in keys:
        first = tri.index(min(tri))
        out.add(tri[first:] + tri[:first])
    assert len(out) == len(keys), "a triangle occurs twice"
    return out


SHAPES = {
    "sphere off the lattice": (sdf.sphere(0.77, center=(0.05, -0.03, 0.02)), BOX),
    # Faces and edges at x, y, z = +-0.5 and 0: on the tiles' faces for k = 2 and 4.
    "box minus sphere, edges on seams": (sdf.box(1.0) - sdf.sphere(0.6), BOX),
    "rotated CSG, edges across seams": (
        (sdf.box(0.5) - sdf.sphere(0.6)).rotate(axis=(1, 2, 3), degrees=20)
        | sdf.torus(0.7, 0.1), BOX),
    "thin plate through every seam": (sdf.box((1.6, 0.03, 1.6)).rotate(axis=(1, 0, 1), degrees=7), BOX),
    "sphere cut by the box": (sdf.sphere(1.2), BOX),
    "box wider than tall": (sdf.sphere(0.4), ((-1.0, -0.5, -0.5), (1.0, 0.5, 0.5))),
}


@pytest.mark.parametrize("tiles", [2, 4])
@pytest.mark.parametrize("name", SHAPES)
def test_uniform_tiles_give_the_untiled_triangles(name, tiles):
    field, box = SHAPES[name]
    whole = karvex.mesh(field, box, max_depth=5)
    tiled = karvex.mesh(field, box, max_depth=5, tiles=tiles)
    assert len(tiled.vertices) == len(whole.vertices)
    assert triangle_set(tiled) == triangle_set(whole)


def seam_crossings(mesh, box, depth, tiles):
    """The vertices' distances, in finest cells, from the seam plane that
    each triangle straddles (empty when none straddles one)."""
    low = np.array(box[0], dtype=float)
    side = (np.array(box[1]) - low).max()  # the cube's side (boxes centred on it here)
    centre = (np.array(box[0]) + np.array(box[1])) / 2
    origin = centre - side / 2
    cell = side / 2**depth
    corners = (mesh.vertices[mesh.faces] - origin) / cell  # (F, 3, 3) in finest cells
    reach = []
    for plane in range(1, tiles):
        at = plane * 2**depth // tiles
        below, above = (corners < at).any(axis=1), (corners > at).any(axis=1)
        for axis in range(3):
            straddling = below[:, axis] & above[:, axis]
            reach.append(np.abs(corners[straddling, :, axis] - at).ravel())
    return np.concatenate(reach)


@pytest.mark.parametrize("mode, name, tiles", [
    *((mode, name, tiles) for mode in ("adaptive", "simplify") for name in SHAPES for tiles in (2, 4)),
    ("both", "rotated CSG, edges across seams", 4),
])
def test_tiles_in_every_mode_are_closed_and_valid_where_the_untiled_mesh_is(mode, name, tiles):
    # Adaptive: seams are refined to max_depth in every tile, so the mesh is
    # not the untiled one; simplify: no cell on a seam is merged. Either way
    # the tiled mesh must be a valid solid of the untiled mesh's topology.
    field, box = SHAPES[name]
    options = {"max_depth": 6, "adaptive": mode != "simplify",
               "simplify": None if mode == "adaptive" else 2e-3}
    whole = karvex.mesh(field, box, **options)
    tiled = karvex.mesh(field, box, **options, tiles=tiles)
    if options["simplify"] is not None:
        # Seams stay at full resolution: a triangle across one has its
        # corners in the finest cells near it (up to 1.5 cells away here,
        # where untiled runs merge cells of 4 to 16 cells across seams).
        assert seam_crossings(tiled, box, 6, tiles).max(initial=0.0) <= 2.0
        assert len(tiled.faces) < len(karvex.mesh(field, box, max_depth=6).faces)
    assert whole.check().is_valid
    assert tiled.check().is_valid
    assert tiled.is_closed == whole.is_closed
    assert tiled.euler_characteristic == whole.euler_characteristic
    assert len(tiled.components()) == len(whole.components())
    assert tiled.volume == pytest.approx(whole.volume, rel=1e-2)


def test_keep_largest_chooses_across_tiles():
    # Two balls in different tiles; the larger is kept whichever tile meshed it.
    field = sdf.sphere(0.3, center=(-0.5, -0.5, -0.5)) | sdf.sphere(0.2, center=(0.5, 0.5, 0.5))
    with pytest.warns(karvex.DroppedPiecesWarning, match="1 "):
        kept = karvex.mesh(field, BOX, max_depth=5, tiles=2, keep="largest")
    alone = karvex.mesh(sdf.sphere(0.3, center=(-0.5, -0.5, -0.5)), BOX, max_depth=5)
    assert triangle_set(kept) == triangle_set(alone)


def test_progress_counts_tiles_and_a_field_outside_gives_the_empty_warning():
    seen = []
    with pytest.warns(karvex.EmptyMeshWarning):
        empty = karvex.mesh(sdf.sphere(0.2, center=(5, 5, 5)), BOX, max_depth=4, tiles=2,
                            progress=lambda *report: seen.append(report))
    assert len(empty.faces) == 0
    tiles = [done for stage, done, total in seen if stage == "tiles"]
    assert tiles == list(range(9)) and ("tiles", 8, 8) in seen


@pytest.mark.parametrize("arguments, error, message", [
    ({"tiles": 3}, ValueError, r"tiles must be a power of two .* got 3"),
    ({"tiles": 0}, ValueError, r"tiles must be a power of two"),
    ({"tiles": 2.0}, TypeError, r"tiles must be an int"),
    ({"tiles": True}, TypeError, r"tiles must be an int"),
    ({"tiles": 16, "max_depth": 3}, ValueError, r"at most 2\*\*max_depth = 8"),
])
def test_bad_tiles_are_refused_before_the_field_is_called(arguments, error, message):
    def never(points):
        raise AssertionError("the field was called")

    with pytest.raises(error, match=message):
        karvex.mesh(never, BOX, **arguments)


@pytest.mark.parametrize("tile", [(0, 0, 0, 4, 4), (0, 0, 0, 0, 4, 4), (-1, 0, 0, 4, 4, 4),
                                  (0, 0, 0, 2**31 + 1, 4, 4), "tile"])
def test_native_tile_argument_is_checked(tile):
    from karvex import _native

    with pytest.raises((TypeError, ValueError), match="argument 'tile'"):
        _native.extract_mesh(sdf.sphere(0.5), (-1,) * 3, (1,) * 3, max_depth=3, tile=tile)


def test_ply_written_tile_by_tile_is_the_in_memory_mesh(tmp_path, monkeypatch):
    trimesh = pytest.importorskip("trimesh")
    field = SHAPES["rotated CSG, edges across seams"][0]
    path = tmp_path / "tiled.ply"
    counts = karvex.mesh_to_ply(path, field, BOX, max_depth=5, tiles=4)
    # The streamed mesh is the stitched one, before the validity pass that
    # karvex.mesh ends with (it needs the whole mesh).
    from karvex import _mesher

    monkeypatch.setattr(_mesher, "_valid_solid", lambda arrays, *_: tuple(arrays))
    in_memory = karvex.mesh(field, BOX, max_depth=5, tiles=4)
    assert counts == (len(in_memory.vertices), len(in_memory.faces))
    read = trimesh.load(path, process=False)
    assert read.vertices.dtype == np.float64 and read.is_watertight
    np.testing.assert_array_equal(read.vertices, in_memory.vertices)
    np.testing.assert_array_equal(read.faces, in_memory.faces)
    assert sorted(os.listdir(tmp_path)) == ["tiled.ply"]  # no scratch files left


def test_mesh_to_ply_takes_the_run_keywords_of_mesh_with_its_defaults():
    import inspect

    from karvex._mesher import RUN_KEYWORDS

    def keywords(function):
        return {name: p.default for name, p in inspect.signature(function).parameters.items()
                if p.kind is p.KEYWORD_ONLY}

    of_mesh, of_ply = keywords(karvex.mesh), keywords(karvex.mesh_to_ply)
    assert list(of_mesh) == [*RUN_KEYWORDS, "tiles", "client"]
    streamed = set(RUN_KEYWORDS) - {"keep", "normals"}
    assert set(of_ply) == streamed | {"tiles", "client"}
    assert {name: of_ply[name] for name in streamed} == {name: of_mesh[name] for name in streamed}


def test_ply_of_a_field_outside_the_box_is_empty_and_a_failed_run_writes_nothing(tmp_path):
    path = tmp_path / "empty.ply"
    assert karvex.mesh_to_ply(path, sdf.sphere(0.2, center=(5, 5, 5)), BOX,
                              max_depth=4, tiles=2) == (0, 0)
    assert b"element vertex 0\n" in path.read_bytes()

    def failing(points):
        if (points[:, 0] > 0.5).any():
            raise ZeroDivisionError("field failed")
        return np.linalg.norm(points, axis=1) - 0.8, None

    with pytest.raises(ZeroDivisionError, match="field failed"):
        karvex.mesh_to_ply(tmp_path / "failed.ply", failing, BOX, max_depth=4, tiles=2)
    assert sorted(os.listdir(tmp_path)) == ["empty.ply"]


@pytest.fixture(scope="module")
def client():
    with local_client() as connected:
        yield connected


def _dies_once(marker):
    """A ball whose first evaluation, in whichever worker, kills that worker."""
    ball = sdf.sphere(0.7)

    def field(points):
        if not os.path.exists(marker):
            with open(marker, "w"):
                pass
            os._exit(1)
        return ball(points)

    return field


def _survives_a_worker_dying(client, tmp_path):
    """The tiles of a ball whose first evaluation kills its worker: the same
    mesh as in process."""
    survivor = karvex.mesh(_dies_once(str(tmp_path / "died")), BOX, max_depth=4, tiles=2,
                           client=client)
    assert os.path.exists(tmp_path / "died")
    expected = karvex.mesh(sdf.sphere(0.7), BOX, max_depth=4, tiles=2)
    np.testing.assert_array_equal(survivor.faces, expected.faces)
    np.testing.assert_array_equal(survivor.vertices, expected.vertices)


def test_tiles_on_a_cluster_give_the_in_process_mesh_even_when_a_worker_dies(client, tmp_path):
    field = SHAPES["rotated CSG, edges across seams"][0]
    local = karvex.mesh(field, BOX, max_depth=5, tiles=2)
    seen = []
    remote = karvex.mesh(field, BOX, max_depth=5, tiles=2, client=client,
                         progress=lambda *report: seen.append(report))
    np.testing.assert_array_equal(remote.vertices, local.vertices)
    np.testing.assert_array_equal(remote.faces, local.faces)
    assert ("tiles", 8, 8) in seen
    _survives_a_worker_dying(client, tmp_path)


def test_tiles_rerun_when_the_worker_holding_the_only_copy_of_the_field_dies(tmp_path):
    """One worker: the shipped field's only copy dies with it, the waiting
    tiles are forgotten by the scheduler; the field is shipped again to the
    restarted worker and the tiles rerun."""
    with local_client(workers=1) as single:
        _survives_a_worker_dying(single, tmp_path)


def test_a_field_error_on_a_cluster_is_raised_and_the_other_tiles_cancelled(client):
    def failing(points):
        if (points[:, 0] > 0.5).any():
            raise ZeroDivisionError("field failed at x > 0.5")
        return np.linalg.norm(points, axis=1) - 0.8, None

    with warnings.catch_warnings(), pytest.raises(ZeroDivisionError, match="x > 0.5"):
        warnings.simplefilter("ignore")
        karvex.mesh(failing, BOX, max_depth=4, tiles=4, client=client)
    # Cancelling is asynchronous: wait (at most a minute) for the scheduler to drop the tiles.
    for _ in range(600):
        if not client.run_on_scheduler(_tiles_held):
            break
        time.sleep(0.1)
    assert not client.run_on_scheduler(_tiles_held)


def _tiles_held(dask_scheduler):
    return [str(key) for key in dask_scheduler.tasks if "_run_tile" in str(key)]


def test_a_dask_volume_on_a_cluster_gives_the_in_process_mesh(client):
    # Each tile task reads its own window on its worker.
    da = pytest.importorskip("dask.array")
    grid = np.mgrid[-1:1:17j, -1:1:17j, -1:1:17j]
    samples = (np.sqrt((grid**2).sum(axis=0)) - 0.6).astype(np.float32)
    field = karvex.grid_field(da.from_array(samples, chunks=8), spacing=2 / 16, origin=(-1, -1, -1))
    local = karvex.mesh(field, max_depth=4, tiles=2)
    read_here = len(field.reads)
    remote = karvex.mesh(field, max_depth=4, tiles=2, client=client)
    np.testing.assert_array_equal(remote.vertices, local.vertices)
    np.testing.assert_array_equal(remote.faces, local.faces)
    assert len(field.reads) == read_here  # every window was read on a worker


def test_seam_vertices_at_one_point_are_told_apart_by_their_keys():
    """Two vertices of a tile at one point (two sheets in one cell) have
    different keys: a later tile's copies are each joined to their own
    vertex, and a plain shared vertex is matched by its key."""
    from karvex._tiles import Stitcher

    stitcher = Stitcher()
    point = [0.5, 0.5, 0.0]
    first = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], point, point])
    first_keys = np.array([[1, 0], [2, 0], [3, 0], [3, 1 << 40]], dtype=np.uint64)
    near = np.ones(4, dtype=bool)
    stitcher.add(first, np.array([[0, 1, 2], [0, 3, 1]]), near, first_keys)
    later = np.array([point, point, [0.0, 0.0, 0.0], [2.0, 2.0, 2.0]])
    later_keys = np.array([[3, 1 << 40], [3, 0], [1, 0], [9, 0]], dtype=np.uint64)
    new_vertices, faces = stitcher.add(later, np.array([[0, 2, 3], [1, 3, 2]]), near, later_keys)
    assert faces.tolist() == [[3, 0, 4], [2, 4, 0]]
    np.testing.assert_array_equal(new_vertices, [[2.0, 2.0, 2.0]])
    assert stitcher.vertex_count == 5
    with pytest.raises(ValueError, match=r"keys must have one row of two per vertex"):
        stitcher.add(later, np.array([[0, 2, 3]]), near, later_keys[:3])


@pytest.mark.parametrize("tiles", [2, 4])
def test_a_shell_thinner_than_a_cell_stitches_closed_as_untiled(tiles):
    """A shell thinner than a cell has cells holding two vertices at one
    point near the seams; matched by their cells, every copy finds its own
    vertex: the stitched mesh is closed, without a warning, and has the
    untiled mesh's vertices and triangles."""
    shape = sdf.gyroid(period=0.25, thickness=0.03) & sdf.sphere(0.9)
    untiled = karvex.mesh(shape, BOX, max_depth=6)
    with warnings.catch_warnings():
        warnings.simplefilter("error", karvex.ValidityWarning)
        tiled = karvex.mesh(shape, BOX, max_depth=6, tiles=tiles)
    assert untiled.is_closed and tiled.is_closed
    assert (len(tiled.vertices), len(tiled.faces)) == (len(untiled.vertices), len(untiled.faces))
    assert triangle_set(tiled) == triangle_set(untiled)


@pytest.mark.parametrize("sizes", [[], [0], [3, 0, 4], [4], [1, 6, 2, 7], [9]])
def test_pieces_are_stitched_in_order_across_storage_blocks(monkeypatch, sizes):
    """The stitched rows keep the tiles' order and content where parts
    straddle, fill or exceed the blocks they are kept in (blocks of 4 rows
    here), as one concatenation would give them."""
    from karvex import _tiles

    monkeypatch.setattr(_tiles, "_BLOCK_ROWS", 4)
    rng = np.random.default_rng(7)
    pieces, vertex_parts, face_parts, start = [], [], [], 0
    for tile, size in enumerate(sizes):
        vertices = rng.random((size, 3))
        faces = rng.integers(0, max(size, 1), (size, 3))
        # Keys unique across tiles: nothing is shared, every vertex is new.
        keys = np.stack([np.arange(size, dtype=np.uint64), np.full(size, tile, dtype=np.uint64)], axis=1)
        pieces.append((vertices, faces, np.ones(size, dtype=bool), keys))
        vertex_parts.append(vertices)
        face_parts.append(faces + start)
        start += size
    vertices, faces = _tiles.stitch_all(iter(pieces))
    assert vertices.dtype == np.float64 and faces.dtype == np.int64
    assert vertices.shape == faces.shape == (sum(sizes), 3)
    if sizes:
        np.testing.assert_array_equal(vertices, np.concatenate(vertex_parts))
        np.testing.assert_array_equal(faces, np.concatenate(face_parts))
