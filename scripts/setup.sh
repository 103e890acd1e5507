#!/usr/bin/env bash
# Sets up the checkout: system packages, and a virtual environment in .venv
# with the build and test tools. With --install it also builds the extension
# and installs it into .venv (incrementally, in build/wheel). Safe to run
# again; a second run is fast.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source scripts/find_python.sh

venv="$root/.venv"
karvex_venv_base "$venv"
base_python="$KARVEX_PYTHON"

# The compiler and the C++ libraries the build uses; for a Debian-packaged
# interpreter also its headers and venv module, which Debian ships apart.
apt_packages=(g++ libgtest-dev robin-map-dev)
if [ -n "$base_python" ]; then
  version="$("$base_python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
  if [ "$(dirname "$(readlink -f "$base_python")")" = /usr/bin ]; then
    apt_packages+=("python$version-dev" "python$version-venv")
  fi
fi
missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "== installing system packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ -n "$base_python" ]; then karvex_create_venv "$venv"; fi
py="$venv/bin/python"

requirements="$root/scripts/requirements-dev.txt"
stamp="$venv/.requirements.stamp"
if [ ! -f "$stamp" ] || [ "$requirements" -nt "$stamp" ]; then
  echo "== installing Python packages"
  "$py" -m pip install -q --upgrade pip
  "$py" -m pip install -q -r "$requirements"
  touch "$stamp"
fi

# Build and install the extension when the sources changed since the last install.
if [ "${1:-}" = "--install" ]; then
  build_stamp="$venv/.build.stamp"
  if [ ! -f "$build_stamp" ] || [ -n "$(find src cmake CMakeLists.txt pyproject.toml -newer "$build_stamp" -print -quit)" ]; then
    echo "== building and installing the extension"
    "$py" -m pip install -q --no-build-isolation --no-deps . -Cbuild-dir=build/wheel
    touch "$build_stamp"
  fi
fi
