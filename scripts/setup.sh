#!/usr/bin/env bash
# Sets up the checkout: the system packages the build needs, and a virtual
# environment in .venv with the build tools (CMake and Ninja come from PyPI
# there). Safe to run again; a run with nothing to do prints nothing.
#
#   bash scripts/setup.sh             # for development: the test and development tools of
#                                     # scripts/requirements-dev.txt, and GoogleTest
#   bash scripts/setup.sh --install   # to use the package: only scripts/requirements-demo.txt
#                                     # (the build, NumPy, trimesh); builds the extension and
#                                     # installs it into .venv (incrementally, in build/wheel)
#
# Missing Debian packages are named, with the reason for each, before anything
# is installed; as root apt-get runs directly, otherwise through sudo (said so
# first). On a system without apt-get the script says what to install and
# carries on.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/find_python.sh

install_package=0
case "${1:-}" in
  "") ;;
  --install) install_package=1 ;;
  *) echo "error: unknown option '$1'; use no option (set up for the tests) or --install" >&2
     exit 2 ;;
esac

venv="$root/.venv"
karvex_venv_base "$venv"
base_python="$KARVEX_PYTHON"

# -- system packages: name, and why the build needs it -------------------------
wanted=()
reasons=()
want() { wanted+=("$1"); reasons+=("$2"); }

# Any C++20 compiler does; g++ only when there is none.
if ! command -v "${CXX:-c++}" >/dev/null 2>&1; then
  want g++ "the C++20 compiler that builds the extension"
fi
if [ "$install_package" -eq 0 ]; then
  want libgtest-dev "GoogleTest, for the C++ tests (scripts/test.sh)"
fi
# Debian ships the headers and the venv module of its interpreters apart.
if [ -n "$base_python" ] && [ "$(dirname "$(readlink -f "$base_python")")" = /usr/bin ]; then
  version="$("$base_python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
  want "python$version-dev" "the headers of $base_python, to build the extension against it"
  want "python$version-venv" "the venv module of $base_python, to create .venv"
fi

if command -v dpkg >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1; then
  missing=()
  for i in "${!wanted[@]}"; do
    dpkg -s "${wanted[$i]}" >/dev/null 2>&1 || missing+=("$i")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    names=()
    for i in "${missing[@]}"; do names+=("${wanted[$i]}"); done
    echo "== installing system packages with apt-get:"
    for i in "${missing[@]}"; do printf '   %-22s %s\n' "${wanted[$i]}" "${reasons[$i]}"; done
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then
      if ! command -v sudo >/dev/null 2>&1; then
        echo "error: not root and no sudo; as root run: apt-get install ${names[*]}" >&2
        exit 1
      fi
      echo "   (you are not root: apt-get runs through sudo, which may ask for your password)"
      sudo_cmd=(sudo)
    fi
    mkdir -p "$root/build"
    log="$root/build/apt.log"
    if ! { "${sudo_cmd[@]}" apt-get update -q &&
           "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
             apt-get install -y -q --no-install-recommends "${names[@]}"; } >"$log" 2>&1; then
      tail -n 30 "$log" >&2
      echo "error: apt-get could not install ${names[*]} (full log: $log)" >&2
      exit 1
    fi
  fi
else
  stamp_note="$root/build/.system-packages-noted"
  if [ ! -f "$stamp_note" ]; then
    echo "== no apt-get here: make sure these (or your system's equivalents) are installed:"
    for i in "${!wanted[@]}"; do printf '   %-22s %s\n' "${wanted[$i]}" "${reasons[$i]}"; done
    mkdir -p "$root/build" && touch "$stamp_note"
  fi
fi

# -- the virtual environment ---------------------------------------------------
if [ -n "$base_python" ]; then karvex_create_venv "$venv"; fi
py="$venv/bin/python"

# --install (the demo, using the package) needs the build and the runtime only;
# the tests need the development set, which includes it.
if [ "$install_package" -eq 1 ]; then
  requirements="$root/scripts/requirements-demo.txt"
  stamp="$venv/.requirements-demo.stamp"
else
  requirements="$root/scripts/requirements-dev.txt"
  stamp="$venv/.requirements.stamp"
fi
if [ ! -f "$stamp" ] || [ "$requirements" -nt "$stamp" ] ||
   [ "$root/scripts/requirements-demo.txt" -nt "$stamp" ]; then
  echo "== installing Python packages from scripts/$(basename "$requirements") into .venv"
  "$py" -m pip install -q --upgrade pip
  "$py" -m pip install -q -r "$requirements"
  touch "$stamp"
fi

# Build and install the extension when the sources changed since the last install.
if [ "$install_package" -eq 1 ]; then
  build_stamp="$venv/.build.stamp"
  if [ ! -f "$build_stamp" ] || [ -n "$(find src cmake CMakeLists.txt pyproject.toml -newer "$build_stamp" -print -quit)" ]; then
    echo "== building and installing the extension"
    "$py" -m pip install -q --no-build-isolation --no-deps . -Cbuild-dir=build/wheel
    touch "$build_stamp"
  fi
fi
