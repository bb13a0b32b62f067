#!/usr/bin/env bash
# Every benchmark (bench/bench_*.py) on a Hopper machine, under one deadline, against the build
# named by KESTROVANE_BUILD (built or brought up to date first) or a matching prebuilt folder:
# facts -> stop unless a compute-capability-9.0 device is visible -> build -> each benchmark with
# an equal share of the time left, its table appended to $OUT/benchmarks.txt under a header line
# as it runs (every table in one file, beside build.log: the results folder stays two files).
#
#   KESTROVANE_BENCH_SECONDS  the deadline of the whole run (default 480)
#   KESTROVANE_BUILD          the build folder (default build-gpu, as scripts/gpu_check.sh)
#   KESTROVANE_PREBUILT       a folder from scripts/prebuild_gpu.sh, used in place of the build
#                             when its Python, PyTorch and build-input fingerprint match
#   OUT                       the results folder (default <KESTROVANE_BUILD>/bench): build.log and
#                             benchmarks.txt (one table per benchmark)
#   PYTHON                    the interpreter with PyTorch (default python3)
# Exit status: 0 every benchmark finished; 1 one failed or ran out of time; 2 no
# compute-capability-9.0 device; 3 the build failed.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/gpu_common.sh
source "$root/scripts/gpu_common.sh"
start_run bench
say() { printf '%s\n' "$*"; }
deadline_start "${KESTROVANE_BENCH_SECONDS:-480}"

say "== facts (deadline ${KESTROVANE_BENCH_SECONDS:-480} s)"
if ! facts_and_capability; then
  say "STOP: no CUDA device of compute capability 9.0 (Hopper) is visible to PyTorch: no benchmark can run."
  exit 2
fi
say "== build"
prepare_build 240 "$out/build.log" || exit 3

mapfile -t benches < <(ls bench/bench_*.py)
status=0
say "== benchmarks"
for i in "${!benches[@]}"; do
  bench=${benches[$i]}
  table="$out/benchmarks.txt"
  budget=$(step_budget $(( $(time_left) / (${#benches[@]} - i) )))
  if (( budget == 0 )); then
    say "  $bench: NOT RUN, out of time"
    status=1
    continue
  fi
  started=$(now)
  printf '==== %s\n' "$bench" >> "$table"
  run_capped "$budget" "$python" "$bench" >> "$table" 2>&1
  result=$?
  if (( result == 0 )); then
    say "  $bench: done ($(( $(now) - started )) s) -> $(basename "$table")"
  else
    say "  $bench: FAILED (exit $result$( ((result == 124)) && echo ", its $budget s ran out")) -> $(basename "$table")"
    status=1
  fi
done
exit $status
