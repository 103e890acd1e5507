"""Benchmark of extract_mesh against the tools our users would pick instead.

Modules: fields (the shapes, in batched and per-point form), tools (one meshing per
tool), metrics (accuracy and mesh quality against the true surface), runner (one case
in its own process), suite (the whole plan), tables and aims (the page's tables) and
report (fills the tables into docs/benchmarks.md, whose text is hand-written, and draws
the plots).
Run it with ``bash bench/run_peers.sh``.
"""

import sys
from pathlib import Path

# The karvex package of this source tree (its sdf fields and its Mesh), ahead of any
# installed copy; suite.child_env gives the child processes the same.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "src"))
