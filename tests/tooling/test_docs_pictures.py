"""The documentation: its pictures are rendered by docs/make_pictures.py, its links
resolve, and its code runs."""
import importlib.util
import re
import runpy
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = [ROOT / "README.md", DOCS / "user-guide.md", DOCS / "algorithm.md",
         DOCS / "benchmarks.md", DOCS / "index.md", DOCS / "looking-at-meshes.md",
         DOCS / "command-line.md", DOCS / "migration.md", DOCS / "low-level-module.md"]
# The pages whose ```python blocks run here (the command line page's blocks run
# with its shell blocks in test_docs_site.py).
CODE_PAGES = [ROOT / "README.md", DOCS / "user-guide.md", DOCS / "index.md",
              DOCS / "looking-at-meshes.md", DOCS / "low-level-module.md"]
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


@pytest.fixture
def make_pictures(monkeypatch):
    pytest.importorskip("matplotlib", reason="matplotlib renders the pictures")
    monkeypatch.setattr(sys, "path", list(sys.path))  # the script adds examples/
    return runpy.run_path(str(DOCS / "make_pictures.py"), run_name="make_pictures")


def test_pictures_render_from_real_meshes(make_pictures, tmp_path):
    from matplotlib.image import imread

    written = make_pictures["main"](["--out-dir", str(tmp_path), "--small"])
    expected = set(make_pictures["PICTURES"])
    if importlib.util.find_spec("skimage") is None:
        expected.discard("dc_vs_marching_cubes")  # needs scikit-image's marching cubes
    assert {p.stem for p in written} == expected
    for path in written:
        assert path.read_bytes()[:8] == PNG_MAGIC
        image = imread(path)
        assert min(image.shape[:2]) > 20
        assert (image[..., :3] < 0.9).mean() > 0.01, f"{path.name} is blank"


def test_rasteriser_hides_what_is_behind(make_pictures):
    """A square in front of a larger, tilted one: where they overlap only the
    front one (lit head-on, so brightest) is seen."""
    import numpy as np

    cam = make_pictures["camera"](elevation=90.0, azimuth=0.0)  # looking down -z
    cam.light = np.array([0.0, 0.0, 1.0])
    corners = np.array([[-1.0, -1.0], [1.0, -1.0], [1.0, 1.0], [-1.0, 1.0]])
    near = np.column_stack([0.5 * corners, np.full(4, 0.1)])
    far = np.column_stack([0.8 * corners, -0.3 + 0.3 * 0.8 * corners[:, 1]])  # tilted, behind
    vertices = np.concatenate([far, near])
    faces = np.array([[0, 1, 2], [0, 2, 3], [4, 5, 6], [4, 6, 7]])
    image = make_pictures["rasterise"](vertices, faces, 60, cam)
    front, behind, background = image[24, 36], image[30, 12], image[1, 1]
    np.testing.assert_allclose(front, make_pictures["BASE_COLOUR"])
    assert (behind < front).all()
    np.testing.assert_allclose(background, 1.0)


def test_checked_in_pictures_are_small_and_all_used():
    pictures = sorted((DOCS / "images").glob("*.png"))
    assert pictures
    text = "\n".join(page.read_text(encoding="utf-8") for page in PAGES)
    for picture in pictures:
        assert picture.stat().st_size < 300 * 1024, picture.name
        assert f"images/{picture.name}" in text, f"{picture.name} is not shown anywhere"


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_relative_links_resolve(page):
    text = page.read_text(encoding="utf-8")
    for target in re.findall(r"\]\(([^)#]+)(?:#[^)]*)?\)", text):
        if "://" in target:
            continue
        assert (page.parent / target).exists(), f"{page.name}: broken link {target}"
    for anchor in re.findall(r"\]\(#([^)]+)\)", text):
        headings = re.findall(r"^#+ (.+)$", text, flags=re.MULTILINE)
        slugs = {re.sub(r"[^\w\- ]", "", h).strip().lower().replace(" ", "-") for h in headings}
        assert anchor in slugs, f"{page.name}: no heading for #{anchor}"


@pytest.mark.parametrize("page", CODE_PAGES, ids=lambda p: p.name)
def test_code_blocks_run(page, capsys, tmp_path, monkeypatch):
    """Every ```python block of the page runs, in order, in one namespace (in a
    scratch directory: the snippets write mesh files where they run). A block
    that starts with ``# needs: PACKAGE`` runs where that package is installed."""
    monkeypatch.chdir(tmp_path)
    blocks = re.findall(r"```python\n(.*?)```", page.read_text(encoding="utf-8"), flags=re.DOTALL)
    assert blocks
    namespace = {"__name__": "docs_snippet"}
    for block in blocks:
        if "Not run here" in block:
            continue
        if "import trimesh" in block and importlib.util.find_spec("trimesh") is None:
            continue
        needs = re.match(r"# needs: (\w+)", block)
        if needs and importlib.util.find_spec(needs.group(1)) is None:
            continue
        exec(compile(block, f"{page.name} snippet", "exec"), namespace)
