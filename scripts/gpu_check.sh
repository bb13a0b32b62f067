#!/usr/bin/env bash
# The one-command check on a Hopper machine: builds against that machine's own
# Python and PyTorch, runs the GPU suite, then compute-sanitizer memcheck, racecheck
# and synccheck on the smallest cases where the sanitizer is installed. Output under
# $OUT when set.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
python="${PYTHON:-python3}"
out="${OUT:-$root/build/gpu-check}"
mkdir -p "$out"
export PYTHONUNBUFFERED=1
nvidia-smi --query-gpu=name,compute_cap,driver_version --format=csv,noheader || true
make -j"$(nproc)" PYTHON="$python" BUILD=build-gpu 2>&1 | tail -n 3
export KESTROVANE_BUILD="$root/build-gpu"
status=0
timeout 420 "$python" -m pytest -q tests/gpu -p no:cacheprovider --junitxml="$out/gpu.xml" "$@" 2>&1 \
  | tee "$out/gpu.log" || status=1
sanitizer="$(command -v compute-sanitizer || ls /usr/local/cuda*/bin/compute-sanitizer 2>/dev/null | head -n 1)"
if [ -n "$sanitizer" ]; then
  for tool in memcheck racecheck synccheck; do
    timeout 120 "$sanitizer" --tool "$tool" --error-exitcode 9 "$python" -m pytest -q -x tests/gpu \
      -m sanitize -p no:cacheprovider 2>&1 | tail -n 15 | tee "$out/$tool.log" || status=1
  done
else
  echo "compute-sanitizer not found: memcheck, racecheck and synccheck skipped" | tee "$out/memcheck.log"
fi
exit $status
