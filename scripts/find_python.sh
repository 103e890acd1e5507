# Sourced by the set-up: sets KARVEX_PYTHON to a CPython 3.13+ interpreter.
# Looks at $PYTHON first, then python3.13 and python3 on PATH, Debian's
# /usr/bin/python3.13, and pyenv's 3.13+ versions.

karvex_python_ok() {
  "$1" -c 'import sys; sys.exit(0 if sys.implementation.name == "cpython" and sys.version_info >= (3, 13) else 1)' \
    >/dev/null 2>&1
}

karvex_find_python() {
  local tried=() candidate
  if [ -n "${PYTHON:-}" ]; then
    if karvex_python_ok "$PYTHON"; then KARVEX_PYTHON="$PYTHON"; return 0; fi
    echo "error: PYTHON=$PYTHON is not a CPython 3.13 or newer interpreter" >&2
    return 1
  fi
  local candidates=(python3.13 python3.14 python3 /usr/bin/python3.13 /usr/local/bin/python3.13)
  local root="${PYENV_ROOT:-$HOME/.pyenv}"
  for candidate in "$root"/versions/3.1[3-9]*/bin/python3; do
    [ -x "$candidate" ] && candidates+=("$candidate")
  done
  for candidate in "${candidates[@]}"; do
    tried+=("$candidate")
    if karvex_python_ok "$candidate"; then
      KARVEX_PYTHON="$(command -v "$candidate" || echo "$candidate")"
      return 0
    fi
  done
  echo "error: no CPython 3.13 or newer found. Tried: ${tried[*]}" >&2
  echo "Install one (for example Debian's python3.13, or pyenv install 3.13) or set PYTHON=/path/to/python3.13" >&2
  return 1
}

# Sets KARVEX_PYTHON to the interpreter to create the virtual environment $1
# with, or to "" when $1 already holds a usable one.
karvex_venv_base() {
  KARVEX_PYTHON=""
  if [ -x "$1/bin/python" ] && karvex_python_ok "$1/bin/python"; then return 0; fi
  karvex_find_python
}

# (Re)creates the virtual environment $1 with KARVEX_PYTHON.
karvex_create_venv() {
  echo "== creating $1 with $KARVEX_PYTHON"
  rm -rf "$1"
  "$KARVEX_PYTHON" -m venv "$1"
}
