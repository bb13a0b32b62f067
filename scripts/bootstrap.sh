#!/usr/bin/env bash
# Sets up the Python environment (once) and builds every module incrementally.
#   KESTROVANE_VENV  the virtual environment to use or create (default: .venv in the repository)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${KESTROVANE_VENV:-$root/.venv}"
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
stamp="$venv/.kestrovane-requirements"
if ! cmp -s "$root/requirements.txt" "$stamp" 2>/dev/null; then
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$root/requirements.txt"
  cp "$root/requirements.txt" "$stamp"
fi
make -C "$root" -j"$(nproc)" PYTHON="$venv/bin/python"
