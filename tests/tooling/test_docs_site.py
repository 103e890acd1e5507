"""The documentation site's parts that run outside the Sphinx build (which CI
runs itself with scripts/docs.sh): its configuration loads, the gallery's
examples draw their figures, and the command line page's commands work."""
import os
import re
import runpy
import shlex
import subprocess
import sys
from pathlib import Path

import pytest
from support.cli import karvex_command

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
GALLERY = sorted((ROOT / "examples").glob("plot_*.py"))


def test_the_build_script_is_in_ci_and_the_configuration_loads(monkeypatch):
    assert "scripts/docs.sh" in (ROOT / ".ci" / "run").read_text()
    assert os.access(ROOT / "scripts" / "docs.sh", os.X_OK)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    monkeypatch.setattr(sys, "path", list(sys.path))
    conf = runpy.run_path(str(DOCS / "conf.py"))
    assert conf["release"] == __import__("karvex").__version__
    gallery = conf["sphinx_gallery_conf"]
    # Exactly the plot_ examples make up the gallery.
    examples = [p.name for p in (ROOT / "examples").glob("*.py")]
    shown = [name for name in examples if not re.search(gallery["ignore_pattern"], name)]
    assert sorted(shown) == [p.name for p in GALLERY] and GALLERY
    for page in ("user-guide", "looking-at-meshes", "command-line", "migration", "algorithm",
                 "benchmarks", "api/index", "low-level-module", "gallery/index"):
        assert page in (DOCS / "index.md").read_text(), f"{page} is not in the table of contents"


@pytest.mark.parametrize("example", GALLERY, ids=lambda p: p.stem)
def test_gallery_examples_draw_a_figure(example, monkeypatch, tmp_path):
    plt = pytest.importorskip("matplotlib.pyplot", reason="the gallery draws with matplotlib")
    monkeypatch.chdir(tmp_path)
    before = set(plt.get_fignums())
    runpy.run_path(str(example), run_name="__main__")
    new = set(plt.get_fignums()) - before
    try:
        assert len(new) == 1, "a gallery example draws one figure through pyplot"
        (number,) = new
        figure = plt.figure(number)
        assert figure.axes and all(ax.collections for ax in figure.axes)
    finally:
        for number in new:
            plt.close(number)


def test_command_line_page_runs(tmp_path):
    """The page's Python blocks run in order (a block starting ``# NAME.py`` is
    saved as that file), then each shell block, with ``karvex`` the command
    line of this checkout."""
    pytest.importorskip("trimesh", reason="the command line writes mesh files with trimesh")
    text = (DOCS / "command-line.md").read_text(encoding="utf-8")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    wrapper = bin_dir / "karvex"
    wrapper.write_text(f'#!/bin/sh\nexec {shlex.join(karvex_command())} "$@"\n')
    wrapper.chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    outputs = []
    for language, block in re.findall(r"```(python|bash)\n(.*?)```", text, flags=re.DOTALL):
        if language == "python":
            name = re.match(r"# (\w+\.py)\n", block)
            if name:
                (tmp_path / name.group(1)).write_text(block)
            else:
                subprocess.run([sys.executable, "-c", block], cwd=tmp_path, check=True, timeout=60)
            continue
        done = subprocess.run(["bash", "-e", "-c", block], cwd=tmp_path, env=env, text=True,
                              capture_output=True, timeout=300)
        assert done.returncode == 0, f"{block}\n{done.stderr}"
        outputs.append(done.stdout)
    assert len(outputs) == 3
    for name in ("ball.stl", "part.ply", "part.glb"):
        assert (tmp_path / name).stat().st_size > 0
    assert outputs[0].startswith("ball.stl: ") and "closed, volume" in outputs[0]
    assert outputs[2].strip() == "exit status 2"
