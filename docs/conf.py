"""Sphinx configuration of the karvex documentation site.

Build it with ``bash scripts/docs.sh`` (into docs/_build/html, warnings as
errors). The Markdown pages are read by myst-parser, the API reference comes
from the docstrings (autodoc + numpydoc), and the gallery is made by
sphinx-gallery from examples/plot_*.py, whose figures are drawn at build time
with matplotlib on the headless Agg backend.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

# The build runs without a display: matplotlib draws with Agg unless told otherwise.
os.environ.setdefault("MPLBACKEND", "Agg")

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent

# With KARVEX_MODULE_DIR (a CMake build directory, as the tests use) the
# package comes from the source tree and its extensions from that build;
# otherwise the installed karvex is documented.
_module_dir = os.environ.get("KARVEX_MODULE_DIR")
if _module_dir:
    _module_dir = os.path.abspath(_module_dir)
    sys.path[:0] = [_module_dir, str(ROOT / "src")]
    import karvex

    karvex.__path__.append(os.path.join(_module_dir, "karvex"))
import karvex  # noqa: E402

project = "karvex"
author = "The karvex authors"
copyright = "the karvex authors, MIT licence"  # noqa: A001 (Sphinx's name)
release = version = karvex.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "requirements.txt", "gallery/*.ipynb", "gallery/*.py",
                    "gallery/*.zip", "gallery/*.md5", "gallery/*.codeobj.json"]

# Markdown: links to "#the-heading" anchors, as on a repository page.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]
# The pages link to files of the repository outside docs/ (requirements, the
# README); those links stay plain links on the site.
suppress_warnings = ["myst.xref_missing"]

# API reference: numpydoc renders the docstrings; members are listed by the
# pages themselves, not as autosummary tables.
autodoc_member_order = "bysource"
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_validation_checks: set[str] = set()
numpydoc_xref_param_type = False


sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples"),
    "gallery_dirs": "gallery",
    # Only the plot_ examples form the gallery; the others are command-line
    # scripts (see examples/ in the repository).
    "filename_pattern": r"/plot_",
    "ignore_pattern": r"(^|/)(?!plot_)[^/]*\.py$",
    "write_computation_times": False,
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "show_memory": False,
    "plot_gallery": "True",
}

html_theme = "furo"
html_title = f"karvex {release}"
html_static_path: list[str] = []
html_show_sourcelink = False
