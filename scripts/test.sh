#!/usr/bin/env bash
# Sets everything up, then runs every test: the C++ core tests (ctest) and the
# Python tests (pytest) against the extension built in build/tests.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
py="$root/.venv/bin/python"
cmake_bin="$root/.venv/bin/cmake"

echo "== building"
"$cmake_bin" -S . -B build/tests -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
  -DKARVEX_BUILD_TESTS=ON -DPython_EXECUTABLE="$py" >/dev/null
"$cmake_bin" --build build/tests -j "$(nproc)"
echo "== C++ tests"
(cd build/tests && "$root/.venv/bin/ctest" --output-on-failure -j "$(nproc)")

echo "== Python tests"
KARVEX_MODULE_DIR="$root/build/tests" "$py" -m pytest -q "$@"
