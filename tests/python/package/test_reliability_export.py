"""Mesh.export: whole files or none, one file per export, clear refusals."""

import os
from pathlib import Path

import numpy as np
import pytest

import karvex
from support.fields import BOX
from support.fields import sphere as ball
from support.fields import torus as ring

sphere = ball(0.7)
torus = ring()

trimesh = pytest.importorskip("trimesh")


def test_gltf_exports_in_one_folder_keep_their_own_geometry(tmp_path):
    ball = karvex.mesh(sphere, BOX, max_depth=3)
    ring = karvex.mesh(torus, BOX, max_depth=4)
    ball.export(tmp_path / "ball.gltf")
    ring.export(tmp_path / "ring.gltf")
    assert sorted(os.listdir(tmp_path)) == ["ball.gltf", "ring.gltf"]
    for name, mesh in [("ball.gltf", ball), ("ring.gltf", ring)]:
        loaded = trimesh.load(tmp_path / name, force="mesh", process=False)
        np.testing.assert_allclose(loaded.vertices, mesh.vertices, rtol=1e-6, atol=1e-6)
        np.testing.assert_array_equal(loaded.faces, mesh.faces)


def test_a_failed_export_leaves_the_folder_as_it_was(tmp_path, monkeypatch):
    mesh = karvex.mesh(sphere, BOX, max_depth=3)
    kept = tmp_path / "kept.stl"
    kept.write_bytes(b"the previous file")

    def broken(*args, **kwargs):
        raise RuntimeError("encoder failed")

    monkeypatch.setitem(trimesh.exchange.export._mesh_exporters, "stl", broken)
    for target in (tmp_path / "new.stl", kept):
        with pytest.raises(RuntimeError, match="encoder failed"):
            mesh.export(target)
    assert os.listdir(tmp_path) == ["kept.stl"]
    assert kept.read_bytes() == b"the previous file"


@pytest.mark.parametrize("name, file_type, message", [
    ("mesh.x", None, r"cannot export to format 'x' \(from the extension of '.*mesh.x'\); "
                     r"the formats are: stl, stl_ascii, ply, obj, off, glb, gltf, 3mf, dae"),
    ("mesh.stl", "xyz", r"cannot export to format 'xyz' \(from file_type\); the formats are"),
    ("mesh", None, r"cannot tell the format of '.*mesh', which has no extension"),
])
def test_unknown_formats_are_refused_with_the_list(tmp_path, name, file_type, message):
    with pytest.raises(ValueError, match=message):
        karvex.mesh(sphere, BOX, max_depth=3).export(tmp_path / name, file_type=file_type)
    assert os.listdir(tmp_path) == []


class _Where(os.PathLike):
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("as_path", [os.fsencode, _Where, lambda p: _Where(os.fsencode(p))],
                         ids=["bytes", "PathLike of str", "PathLike of bytes"])
def test_bytes_and_path_like_names_are_accepted(tmp_path, as_path):
    mesh = karvex.mesh(sphere, BOX, max_depth=3)
    mesh.export(as_path(str(tmp_path / "mesh.PLY")))
    loaded = trimesh.load(Path(tmp_path / "mesh.PLY"), process=False)
    np.testing.assert_array_equal(loaded.faces, mesh.faces)
