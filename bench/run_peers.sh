#!/usr/bin/env bash
# Benchmarks extract_mesh against scikit-image's marching cubes and manifold3d's level
# set, and rewrites docs/benchmarks.md and docs/images/bench_*.png (about 35 minutes on
# 2 cores).
#
#   bash bench/run_peers.sh [options of python -m bench.peers, e.g. --depths 6 7]
#
# Sets up a virtual environment of its own (BENCH_VENV, default .venv-bench) from
# bench/requirements.txt, builds the module and the C++ stage timer in KARVEX_MODULE_DIR
# (default build/peers) against it, then runs the suite. It runs scripts/setup.sh first
# for the system packages (compiler, libgtest-dev for the stage timer).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/find_python.sh
# The system packages (compiler, C++ libraries) and the project's own set-up.
bash scripts/setup.sh

venv="${BENCH_VENV:-$root/.venv-bench}"
karvex_venv_base "$venv"
if [ -n "$KARVEX_PYTHON" ]; then karvex_create_venv "$venv"; fi
py="$venv/bin/python"
stamp="$venv/.bench-requirements.stamp"
if [ ! -f "$stamp" ] || [ bench/requirements.txt -nt "$stamp" ]; then
  echo "== installing bench/requirements.txt"
  "$py" -m pip install -q --upgrade pip
  "$py" -m pip install -q -r bench/requirements.txt
  touch "$stamp"
fi

build="${KARVEX_MODULE_DIR:-$root/build/peers}"
configure=("$venv/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja"
           -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py")
targets=(--target _karvex_rs)
mkdir -p "$build"
echo "== building the module in $build"
if "${configure[@]}" -DKARVEX_BUILD_TESTS=ON >"$build/configure.log" 2>&1; then
  targets+=(extract_stages)
else
  echo "   (no GoogleTest: building without the C++ stage timer)"
  "${configure[@]}" -DKARVEX_BUILD_TESTS=OFF >"$build/configure.log" 2>&1 || {
    cat "$build/configure.log" >&2
    echo "error: configuring failed; scripts/setup.sh installs the system packages" >&2
    exit 1
  }
fi
"$venv/bin/cmake" --build "$build" -j2 "${targets[@]}" >/dev/null

echo "== running the benchmark"
KARVEX_MODULE_DIR="$build" exec "$py" -m bench.peers --module-dir "$build" "$@"
