"""Volumes whose samples are the finest lattice's points: construction reads
the signs straight from the array (the "volume cells" stage) instead of
sampling level by level, and gives the mesh that sampling gives."""

import numpy as np
import pytest

import karvex

DTYPES = [np.uint8, np.uint16, np.int16, np.float32, np.float64]


def mesh_and_stages(field, bounds=None, **options):
    stages = []
    mesh = karvex.mesh(field, bounds, progress=lambda stage, done, total: stages.append(stage),
                       **options)
    return mesh, set(stages)


def ball_scan(n, dtype, inside, order):
    """A ball of radius n / 4 off the centre, bright inside for "above",
    in integer units round 100 (level 100.5)."""
    x, y, z = np.ogrid[:n, :n, :n]
    r = np.sqrt((x - n / 2 + 0.3) ** 2 + (y - n / 2) ** 2 + (z - n / 2 - 0.4) ** 2)
    sign = 1.0 if inside == "above" else -1.0
    scan = np.clip(100.0 + sign * 9.0 * (n / 4 - r), 0, 200).round().astype(dtype)
    return np.asarray(scan, order=order)


@pytest.mark.parametrize("inside", ["below", "above"])
@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("dtype", DTYPES)
def test_reading_signs_from_the_samples_gives_the_sampled_mesh(dtype, order, inside):
    """To the bit: the mesh of the grid field (read from the samples) and of
    the same field called as a plain function (sampled level by level, every
    surface cell found on a smooth ball), plain and simplified. Simplified
    with the samples as far apart as their values differ across the surface
    (9 a voxel): the field is as steep as a distance, and the box's distance,
    which the native path counts in the field's units while simplifying,
    is the same in both."""
    scan = ball_scan(33, dtype, inside, order)
    plain_level = -100.5 if inside == "above" else 100.5  # the plain function is negated
    for simplify, spacing in ((None, 0.5), (0.6 * 9.0, 9.0)):
        field = karvex.grid_field(scan, spacing=spacing, origin=(1, 0, -2), inside=inside)
        dense, stages = mesh_and_stages(field, max_depth=5, level=100.5, simplify=simplify)
        assert "volume cells" in stages and "initial grid" not in stages
        plain = karvex.mesh(lambda p: field(p), field.bounds, max_depth=5, level=plain_level,
                            simplify=simplify)
        np.testing.assert_array_equal(dense.vertices, plain.vertices)
        np.testing.assert_array_equal(dense.faces, plain.faces)
        assert dense.is_closed and dense.volume > 0.0


@pytest.mark.parametrize("case", ["box off the samples", "adaptive", "box beyond the volume"])
def test_other_lattices_are_sampled(case):
    """Where the finest lattice is not the samples (or the tree is adaptive)
    construction samples as before, and the ball is still meshed closed."""
    field = karvex.grid_field(ball_scan(33, np.float32, "above", "C"), inside="above")
    options = dict(max_depth=5, level=100.5)
    bounds = None
    if case == "box off the samples":
        bounds = ((0.25, 0.25, 0.25), (31.75, 31.75, 31.75))
    elif case == "adaptive":
        options["adaptive"] = True
    else:
        bounds = ((-2, -2, -2), (34, 34, 34))
    mesh, stages = mesh_and_stages(field, bounds, **options)
    assert "volume cells" not in stages and "initial grid" in stages
    assert mesh.is_closed
    assert mesh.volume == pytest.approx(4 / 3 * np.pi * (33 / 4) ** 3, rel=0.05)


def test_a_single_bright_voxel_is_found():
    """A feature one sample wide, which the coarse levels of sampling may
    step over, is a sign-changing cell like any other: closed, as marching
    cubes meshes it, near the sample (the vertex solve may place a vertex of
    so small a piece beyond its cell: within the cells' neighbours)."""
    scan = np.zeros((33, 33, 33), dtype=np.uint8)
    scan[13, 17, 9] = 255
    mesh, stages = mesh_and_stages(karvex.grid_field(scan, inside="above"), max_depth=5, level=127.5)
    assert "volume cells" in stages
    assert len(mesh.faces) > 0 and mesh.is_closed
    assert np.all(np.abs(mesh.vertices - (13, 17, 9)) <= 2.0)


def test_brick_tasks_do_not_change_the_mesh():
    """A 65^3 volume is read in 512 bricks, shared out in ranges: the mesh is
    the same for one worker and for three."""
    rng = np.random.default_rng(5)
    coarse = rng.normal(size=(9, 9, 9))
    volume = np.kron(coarse, np.ones((8, 8, 8)))[:65, :65, :65].astype(np.float32)
    volume = np.pad(volume[1:-1, 1:-1, 1:-1], 1, constant_values=5.0)
    field = karvex.grid_field(volume)
    (one, stages), (three, _) = (mesh_and_stages(field, max_depth=6, workers=w) for w in (1, 3))
    assert "volume cells" in stages
    np.testing.assert_array_equal(one.vertices, three.vertices)
    np.testing.assert_array_equal(one.faces, three.faces)


@pytest.mark.parametrize(("n", "centre", "radius"), [
    (3, (1.0, 1.0, 1.0), 0.8),      # depth 1: the whole tree is leaves under the root
    (5, (2.1, 1.9, 2.2), 1.3),      # depth 2: the subtrees assembled on the pool are leaves
    (17, (3.2, 12.6, 4.1), 2.4),    # a ball in one octant: whole subtrees above them empty
    (33, (16.2, 15.7, 16.4), 9.1),  # a ball across every octant
])
def test_the_octree_assembled_in_parts_is_the_sampled_one(n, centre, radius):
    """The volume's surface cells are read off the samples: without
    simplification the extraction takes them from the construction's list,
    with it the octree is assembled above them in subtrees on the pool and
    spliced together. Either way the mesh is the one sampling level by level
    gives, for one worker and for four, whether the surface reaches every
    subtree or few."""
    x, y, z = np.ogrid[:n, :n, :n]
    r = np.sqrt((x - centre[0]) ** 2 + (y - centre[1]) ** 2 + (z - centre[2]) ** 2)
    field = karvex.grid_field((r - radius).astype(np.float64))
    depth = (n - 1).bit_length() - 1
    for simplify, assembled in ((None, False), (1e-3, True)):
        plain = karvex.mesh(lambda p: field(p), field.bounds, max_depth=depth, min_depth=depth,
                            simplify=simplify)
        assert len(plain.faces) > 0
        for workers in (1, 4):
            dense, stages = mesh_and_stages(field, max_depth=depth, min_depth=depth, workers=workers,
                                            simplify=simplify)
            assert "volume cells" in stages
            assert ("volume octree" in stages) == assembled
            np.testing.assert_array_equal(dense.vertices, plain.vertices)
            np.testing.assert_array_equal(dense.faces, plain.faces)


@pytest.mark.parametrize(("shape", "spacing", "depth"), [
    ((33, 33, 33), 0.5, 5),            # 2**5 + 1 samples: the voxels themselves
    ((37, 30, 21), 0.5, 6),            # 36 spacings along the longest axis
    ((17, 9, 9), (0.25, 0.5, 0.5), 4),  # the smallest spacing sets the depth
    ((4, 4, 4), 1.0, 3),               # never coarser than min_depth
])
def test_a_volume_is_meshed_at_its_samples_depth_by_default(shape, spacing, depth):
    """Without max_depth a volume's finest cells are as small as its spacing,
    and with 2**k + 1 samples the voxels are read as cells."""
    n = max(shape)
    scan = ball_scan(n, np.float32, "above", "C")[: shape[0], : shape[1], : shape[2]]
    field = karvex.grid_field(scan, spacing=spacing, inside="above")
    default, stages = mesh_and_stages(field, level=100.5)
    named = karvex.mesh(field, level=100.5, max_depth=depth)
    np.testing.assert_array_equal(default.vertices, named.vertices)
    np.testing.assert_array_equal(default.faces, named.faces)
    assert ("volume cells" in stages) == (shape == (33, 33, 33))


def test_sample_depth_keeps_powers_of_two_through_rounding():
    from karvex._default_depth import sample_depth

    side = 2.0
    spacing = side / 256
    assert sample_depth(side * (1 + 1e-15), spacing) == 8
    assert [sample_depth(side, side / n) for n in (1, 2, 3, 256, 257, 1000)] == [1, 1, 2, 8, 9, 10]
