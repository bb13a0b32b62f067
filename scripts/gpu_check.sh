#!/usr/bin/env bash
# The one-command check on a Hopper machine, under one deadline:
#   facts -> stop unless a compute-capability-9.0 device is visible -> build (whole log; one
#   retry without -Werror when only warnings failed it) -> smoke pass (tests marked `smoke`) and
#   the main job -> every tests/gpu/test_*.py in a process of its own, `slow` tests left out ->
#   compute-sanitizer memcheck, racecheck and synccheck on the `sanitize` tests, this library's
#   kernels only -> the `slow` tests -> summary.
# Every pytest process logs one line per test as it finishes and has a per-test timeout; a test
# that hangs or breaks the CUDA context ends only its own process, and the tests after it run in
# a fresh one. Arguments are passed to every pytest run (e.g. -k to rerun some tests).
#
#   KESTROVANE_CHECK_SECONDS  the deadline of the whole check (default 480)
#   KESTROVANE_BUILD          the build folder (default build-gpu)
#   OUT                       the results folder (default <build>/check): check.log (this
#                             console), build.log, tests.log, sanitize.log, results.tsv, summary.txt
#   PYTHON                    the interpreter with PyTorch (default python3)
# Exit status: 0 all passed; 1 a test failed, died, was not run or a sanitizer reported errors;
# 2 no compute-capability-9.0 device; 3 the build failed.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/gpu_common.sh
source "$root/scripts/gpu_common.sh"
start_run check
: > "$out/check.log"
say() { printf '%s\n' "$*" | tee -a "$out/check.log"; }
deadline_start "${KESTROVANE_CHECK_SECONDS:-480}"

# Seconds kept back for what follows a step, so that a slow step cannot starve the sanitizers,
# the slow tests or the summary.
SUMMARY_RESERVE=10
SLOW_RESERVE=60
SANITIZE_RESERVE=180
PER_TEST=90            # per-test timeout of the normal runs
PER_TEST_SLOW=240      # slow tests and runs under the sanitizer

results="$out/results.tsv"
: > "$results"
EXTRA_ARGS=("$@")
: > "$out/tests.log"
: > "$out/sanitize.log"
sanitizer_lines=()

sanitizer() {
  command -v compute-sanitizer 2>/dev/null \
    || ls "${CUDA_HOME:-/usr/local/cuda}"/bin/compute-sanitizer /usr/local/cuda*/bin/compute-sanitizer 2>/dev/null \
    | head -n 1
}

say "== facts (deadline ${KESTROVANE_CHECK_SECONDS:-480} s)"
if ! facts_and_capability; then
  say "STOP: no CUDA device of compute capability 9.0 (Hopper) is visible to PyTorch; the modules carry"
  say "only sm_90a code, so nothing can run here. Nothing was built or tested."
  printf 'no compute-capability-9.0 device: nothing built or tested\n' > "$out/summary.txt"
  exit 2
fi

say "== build"
if ! build_modules 240 "$out/build.log"; then
  printf 'build %s: nothing tested (see build.log)\n' "$BUILD_NOTE" > "$out/summary.txt"
  exit 3
fi

mapfile -t files < <(ls tests/gpu/test_*.py)

say "== smoke: one small case per kernel family (marker smoke)"
end=$(( $(now) + $(step_budget 90 $(( SANITIZE_RESERVE + SLOW_RESERVE + SUMMARY_RESERVE ))) ))
run_group smoke "$end" "$PER_TEST" "$out/tests.log" -- -m smoke tests/gpu
say "  smoke: $(phase_line smoke)"

say "== main job"
budget=$(step_budget 60 $(( SANITIZE_RESERVE + SLOW_RESERVE + SUMMARY_RESERVE )))
if (( budget > 0 )); then
  echo "==== main job" >> "$out/tests.log"
  if run_capped "$budget" "$python" examples/main_job.py >> "$out/tests.log" 2>&1; then
    printf 'main\tPASSED\texamples/main_job.py\n' >> "$results"
  else
    printf 'main\tFAILED\texamples/main_job.py\n' >> "$results"
  fi
else
  printf 'main\tNOT-RUN\texamples/main_job.py\n' >> "$results"
fi
say "  main job: $(phase_line main)"

say "== suite: each file in its own process (not smoke, not slow)"
end=$(( $(now) + $(step_budget 100000 $(( SANITIZE_RESERVE + SLOW_RESERVE + SUMMARY_RESERVE ))) ))
for file in "${files[@]}"; do
  started=$(now)
  run_group suite "$end" "$PER_TEST" "$out/tests.log" -- -m "not smoke and not slow" "$file"
  say "  $file: $(awk -F'\t' -v f="$file" '$1 == "suite" && index($3, f "::") == 1 && $2 != "COLLECTED" && $2 != "START" { n[$2]++ }
        END { printf "passed %d, failed %d, errors %d, skipped %d, died %d, not run %d",
              n["PASSED"], n["FAILED"], n["ERROR"], n["SKIPPED"], n["DIED"], n["NOT-RUN"] }' "$results") ($(( $(now) - started )) s)"
done

say "== sanitizers on the sanitize tests, this library's kernels only (names holding ${LIBRARY_KERNELS[*]})"
tool_path="$(sanitizer)"
if [ -z "$tool_path" ]; then
  say "  compute-sanitizer not found: memcheck, racecheck and synccheck NOT RUN"
  sanitizer_lines+=("compute-sanitizer not found: not run")
else
  filter=()
  if "$tool_path" --help 2>/dev/null | grep -q -- "--kernel-name"; then
    # each filter adds the kernels it matches
    for name in "${LIBRARY_KERNELS[@]}"; do filter+=(--kernel-name "kns=$name"); done
  else
    say "  this compute-sanitizer has no --kernel-name filter: every kernel is checked"
  fi
  tools=(memcheck racecheck synccheck)
  for i in "${!tools[@]}"; do
    tool=${tools[$i]}
    # an equal share of what is left before the slow tests, each tool
    share=$(( ($(time_left) - SLOW_RESERVE - SUMMARY_RESERVE) / (${#tools[@]} - i) ))
    end=$(( $(now) + $(step_budget "$share" $(( SLOW_RESERVE + SUMMARY_RESERVE ))) ))
    mark=$(wc -l < "$out/sanitize.log")
    run_group "$tool" "$end" "$PER_TEST_SLOW" "$out/sanitize.log" \
      "$tool_path" --tool "$tool" "${filter[@]}" --print-limit 50 --error-exitcode 9 -- -m sanitize tests/gpu
    errors=$(tail -n +"$(( mark + 1 ))" "$out/sanitize.log" | grep -E "ERROR SUMMARY" | tr '\n' ' ')
    line="$tool: $(phase_line "$tool" | tr -d '\n'); ${errors:-no ERROR SUMMARY line (see sanitize.log)}"
    sanitizer_lines+=("$line")
    say "  $line"
  done
fi

say "== slow: large cases, last (marker slow)"
end=$(( $(now) + $(step_budget 100000 "$SUMMARY_RESERVE") ))
run_group slow "$end" "$PER_TEST_SLOW" "$out/tests.log" -- -m slow tests/gpu
say "  slow: $(phase_line slow)"

# ---- summary
{
  echo "summary (check of $(date -u '+%Y-%m-%d %H:%M UTC'), $(( $(now) - DEADLINE + ${KESTROVANE_CHECK_SECONDS:-480} )) s)"
  [ -n "$BUILD_NOTE" ] && echo "build: $BUILD_NOTE"
  for phase in smoke main suite slow; do printf '%-6s %s' "$phase" "$(phase_line "$phase")"; echo; done
  for line in "${sanitizer_lines[@]}"; do echo "$line"; done
  awk -F'\t' '$2 ~ /^(FAILED|ERROR|DIED|NOT-RUN)$/ { print "  " $2 " [" $1 "] " $3 }' "$results" | head -n 200
  rerun=$(rerun_expression)
  [ -n "$rerun" ] && echo "rerun these: bash scripts/gpu_check.sh -k '$rerun'"
} > "$out/summary.txt"
failed=$(awk -F'\t' '$2 ~ /^(FAILED|ERROR|DIED|NOT-RUN)$/ { n++ } END { print n + 0 }' "$results")
passed=$(awk -F'\t' '$2 == "PASSED" && $1 != "main" { n++ } END { print n + 0 }' "$results")
sanitizer_errors=$(grep -E "ERROR SUMMARY: [1-9]" "$out/sanitize.log" | wc -l)
status=0
if (( failed > 0 || sanitizer_errors > 0 )); then
  status=1
elif (( passed == 0 )); then
  echo "no GPU test passed: nothing was checked" >> "$out/summary.txt"
  status=1
fi
if (( status == 0 )); then echo "RESULT: all passed" >> "$out/summary.txt"; else echo "RESULT: FAILED" >> "$out/summary.txt"; fi
say "== summary"
while IFS= read -r line; do say "$line"; done < "$out/summary.txt"
exit $status
