#!/usr/bin/env bash
# Sets everything up, then runs the main job: meshes built-in example fields,
# writes the meshes to out/ and prints a summary per shape.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh --install
"$root/.venv/bin/python" scripts/demo.py "$@"
