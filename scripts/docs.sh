#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html, with every Sphinx
# warning an error. The gallery's examples run during the build and draw their
# figures with matplotlib on the headless Agg backend.
#
#   bash scripts/docs.sh                                  # installs karvex into .venv first
#   KARVEX_MODULE_DIR=build/tests bash scripts/docs.sh    # documents the test build instead
#
# Extra arguments go to sphinx-build (for example -E to rebuild every page).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
if [ -n "${KARVEX_MODULE_DIR:-}" ]; then
  bash scripts/setup.sh
else
  bash scripts/setup.sh --install
fi
py="$root/.venv/bin/python"

requirements="$root/docs/requirements.txt"
stamp="$root/.venv/.docs-requirements.stamp"
if [ ! -f "$stamp" ] || [ "$requirements" -nt "$stamp" ]; then
  echo "== installing the site's Python packages from docs/requirements.txt into .venv"
  "$py" -m pip install -q -r "$requirements"
  touch "$stamp"
fi

echo "== building the documentation site"
MPLBACKEND=Agg "$py" -m sphinx -W --keep-going -q -b html docs docs/_build/html "$@"
echo "== docs/_build/html/index.html"
