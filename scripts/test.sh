#!/usr/bin/env bash
# Sets up, builds and runs every test. GPU tests skip cleanly without a Hopper GPU.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${KESTROVANE_VENV:-$root/.venv}"
bash "$root/scripts/bootstrap.sh"
cd "$root"
PATH="$venv/bin:$PATH" "$venv/bin/python" -m pytest "$@"
