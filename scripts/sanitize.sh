#!/usr/bin/env bash
# Builds the extension and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/asan), then runs the C++ tests and the
# Python tests against that build. Any report fails the run.
#
# The interpreter itself is not instrumented, so the ASan runtime is preloaded
# and Python's small-object allocator is switched off (PYTHONMALLOC=malloc) so
# that every Python allocation goes through ASan as well. Leak detection stays
# off for Python (the interpreter keeps memory until exit on purpose) and on
# for the C++ tests. Extra arguments are passed to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
py="$root/.venv/bin/python"
cmake_bin="$root/.venv/bin/cmake"
build="$root/build/asan"

# GCC leaves float-to-integer overflow out of -fsanitize=undefined; a NaN or
# huge coordinate turned into a lattice index is exactly what it catches.
extra_flags="-fsanitize=float-cast-overflow -fno-sanitize-recover=float-cast-overflow"

echo "== building with sanitizers"
"$cmake_bin" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKARVEX_SANITIZE=ON -DKARVEX_BUILD_TESTS=ON \
  -DCMAKE_CXX_FLAGS="$extra_flags" -DPython_EXECUTABLE="$py" >/dev/null
"$cmake_bin" --build "$build" -j "$(nproc)"

# Reports go to files (pytest captures stderr, and a child process's stderr
# may be swallowed by its test); any report fails the run, even one from a
# process whose exit the tests tolerated.
reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
asan_common="abort_on_error=1:log_path=$reports/asan"
status=0

echo "== C++ tests (sanitized)"
(cd "$build" && ASAN_OPTIONS="detect_leaks=1:$asan_common" \
  "$root/.venv/bin/ctest" --output-on-failure -j "$(nproc)") || status=1

echo "== Python tests (sanitized)"
# libstdc++ is preloaded with the runtime: the interpreter does not link it,
# and the runtime must see it at start-up to intercept C++ exceptions. A
# child process inherits all of this, so subprocess tests run sanitized too.
# The sweeps run at their everyday size (the plain run before this one
# covers their full size), and the argument fuzzing with fewer examples:
# both are several times slower under the sanitizer, and CI runs both.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
ASAN_OPTIONS="detect_leaks=0:detect_stack_use_after_return=0:$asan_common" \
PYTHONMALLOC=malloc KARVEX_MODULE_DIR="$build" KARVEX_FUZZ_EXAMPLES=200 \
  "$py" -m pytest -q -p no:cacheprovider "$@" || status=1

if compgen -G "$reports/*" >/dev/null; then
  echo "== sanitizer reports"
  cat "$reports"/*
  status=1
fi
exit "$status"
