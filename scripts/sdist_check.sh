#!/usr/bin/env bash
# Proves that the sdist builds with nothing but a C++20 compiler and that its
# tests pass against what it installs:
#
#   bash scripts/sdist_check.sh [karvex-*.tar.gz]
#
# With no argument it builds the sdist first (build/sdist-check). pip then
# builds and installs it into a fresh virtual environment, fetching the build
# requirements (scikit-build-core, NumPy, CMake, Ninja) from PyPI. CMake is told
# not to find the system's robin-map and GoogleTest, and the build's own
# record of included headers is checked for any header outside the sdist, the
# C++ standard library and the Python and NumPy headers. A quick subset of the
# sdist's Python tests then runs against the installed package.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/find_python.sh

work="$root/build/sdist-check"
fail() { echo "error: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"

karvex_find_python
base_python="$KARVEX_PYTHON"

if [ $# -ge 1 ]; then
  sdist="$(readlink -f "$1")"
  [ -f "$sdist" ] || fail "no sdist at '$1'; give the path of a karvex-*.tar.gz or no argument"
else
  echo "== building the sdist"
  "$base_python" -m venv "$work/tools"
  "$work/tools/bin/python" -m pip install -q "build>=1.2" >"$work/pip-tools.log" 2>&1 || {
    cat "$work/pip-tools.log" >&2; fail "could not install build"; }
  "$work/tools/bin/python" -m build --sdist --outdir "$work" . >"$work/sdist.log" 2>&1 || {
    tail -n 40 "$work/sdist.log" >&2; fail "building the sdist failed"; }
  sdist="$(ls "$work"/karvex-*.tar.gz)"
fi

echo "== building $(basename "$sdist") in a fresh environment (no robin-map, no GoogleTest)"
"$base_python" -m venv "$work/venv"
py="$work/venv/bin/python"
"$py" -m pip install -q --upgrade pip >"$work/pip.log" 2>&1
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$py" -m pip install -v "$sdist" \
  -Cbuild-dir="$work/cmake-build" \
  -Ccmake.define.CMAKE_DISABLE_FIND_PACKAGE_tsl-robin-map=TRUE \
  -Ccmake.define.CMAKE_DISABLE_FIND_PACKAGE_GTest=TRUE >>"$work/pip.log" 2>&1 || {
  tail -n 60 "$work/pip.log" >&2
  fail "the sdist does not build (full log: $work/pip.log)"
}

# Every header the compiler read, from Ninja's dependency log: nothing may come
# from outside the unpacked sdist, the toolchain, Python and NumPy.
ninja_bin="$(find "$work/cmake-build" -maxdepth 1 -name CMakeCache.txt -exec \
  sed -n 's/^CMAKE_MAKE_PROGRAM:[A-Z]*=//p' {} \;)"
[ -x "$ninja_bin" ] || ninja_bin="$(command -v ninja || true)"
if [ -x "$ninja_bin" ] && [ -f "$work/cmake-build/build.ninja" ]; then
  "$ninja_bin" -C "$work/cmake-build" -t deps >"$work/deps.txt"
  stray="$(grep -E '^ +/' "$work/deps.txt" | sed 's/^ *//' | sort -u |
    grep -vE '^/usr/(include/(c\+\+|x86_64-linux-gnu|aarch64-linux-gnu|linux|asm|asm-generic|bits|sys|gnu)|lib/gcc|lib/llvm)' |
    grep -vE '/include/python3\.[0-9]+|/numpy/_core/include/|^/tmp/|/sdist-check/' |
    grep -vE '^/usr/include/[A-Za-z_0-9.-]+\.h$' || true)"
  [ -z "$stray" ] || fail "the build read headers from outside the sdist:
$stray"
  echo "   headers read: $(grep -cE '^ +/' "$work/deps.txt") (none from robin-map or other libraries)"
else
  echo "   (no Ninja dependency log to check the headers against)"
fi

echo "== running the sdist's tests against the installed package"
"$py" -m pip install -q "pytest>=8" "hypothesis>=6" "trimesh>=4" >>"$work/pip.log" 2>&1 || {
  tail -n 20 "$work/pip.log" >&2; fail "could not install the test tools"; }
mkdir -p "$work/src" "$work/run"
tar xzf "$sdist" -C "$work/src"
tests="$(echo "$work"/src/karvex-*/tests)"
# From a directory outside the unpacked sources, so only the installed
# package is imported.
(cd "$work/run" && env -u KARVEX_MODULE_DIR "$py" -m pytest -q -p no:cacheprovider \
  "$tests/tooling/test_wheel_smoke.py" "$tests/python/test_module_surface.py" \
  "$tests/python/test_extract_mesh.py" "$tests/tooling/test_stub.py" "$tests/tooling/test_examples.py") || fail "the sdist's tests fail against its build"
echo "== done: $(basename "$sdist") builds with a C++20 compiler alone and passes its tests"
