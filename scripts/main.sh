#!/usr/bin/env bash
# Sets up, builds and runs the end-to-end example.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${KESTROVANE_VENV:-$root/.venv}"
bash "$root/scripts/bootstrap.sh"
"$venv/bin/python" "$root/examples/main_job.py"
