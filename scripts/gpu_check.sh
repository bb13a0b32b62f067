#!/usr/bin/env bash
# The one-command check on a Hopper machine, under one deadline:
#   facts -> stop unless a compute-capability-9.0 device is visible -> build (whole log; one
#   retry without -Werror when only warnings failed it), or a matching prebuilt folder ->
#   smoke pass (tests marked `smoke`) beside the main job -> every tests/gpu/test_*.py in a
#   process of its own, several side by side, `slow` tests left out -> compute-sanitizer
#   memcheck, racecheck and synccheck on the `sanitize` tests (this library's kernels only),
#   side by side with the `slow` tests -> summary.
# Every pytest process logs one line per test as it finishes and has a per-test timeout; a test
# that hangs or breaks the CUDA context ends only its own process, and the tests after it run in
# a fresh one. Processes that run side by side write files of their own, merged in a fixed order
# once all have ended. Arguments are passed to every pytest run (e.g. -k to rerun some tests).
#
#   KESTROVANE_CHECK_SECONDS  the deadline of the whole check (default 540)
#   KESTROVANE_CHECK_JOBS     test files run side by side (default half the cores, 2 to 8)
#   KESTROVANE_BUILD          the build folder (default build-gpu)
#   KESTROVANE_PREBUILT       a folder from scripts/prebuild_gpu.sh, used in place of the build
#                             when its Python, PyTorch and build-input fingerprint match
#   OUT                       the results folder (default <KESTROVANE_BUILD>/check): check.log (this
#                             console), build.log, tests.log, sanitize.log, results.tsv, summary.txt
#   PYTHON                    the interpreter with PyTorch (default python3)
# Exit status: 0 all passed; 1 the check failed (summary.txt names each reason on a FAIL: line);
# 2 no compute-capability-9.0 device; 3 the build failed.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/gpu_common.sh
source "$root/scripts/gpu_common.sh"
start_run check
: > "$out/check.log"
say() { printf '%s\n' "$*" | tee -a "$out/check.log"; }
CHECK_SECONDS=${KESTROVANE_CHECK_SECONDS:-540}
deadline_start "$CHECK_SECONDS"

# Seconds kept back for what follows a step, so that a slow step cannot starve the sanitizers,
# the slow tests or the summary.
SUMMARY_RESERVE=10
LAST_RESERVE=170       # the sanitizers and the slow tests, side by side
PER_TEST=90            # per-test timeout of the normal runs
PER_TEST_SLOW=240      # slow tests and runs under the sanitizer
SANITIZERS=(memcheck racecheck synccheck)
SANITIZER_ERROR_EXIT=9 # compute-sanitizer's exit status when it found errors

CORES=$(nproc)
default_jobs=$(( CORES / 2 < 2 ? 2 : (CORES / 2 > 8 ? 8 : CORES / 2) ))
JOBS=${KESTROVANE_CHECK_JOBS:-$default_jobs}

# results.tsv: the plugin's test events (scripts/check_results.py), run_group's EXIT, DIED and
# NOT-RUN lines, and PHASE <tab> FILE-SECONDS|SANITIZER-SUMMARY|REASON <tab> ... lines of this
# script; failure_reasons reads the verdict from it.
results="$out/results.tsv"
: > "$results"
EXTRA_ARGS=("$@")
# The GPU suites on the real modules only: their emulated cases run in CI, on the CPU model.
export KESTROVANE_BACKENDS=hopper
: > "$out/tests.log"
: > "$out/sanitize.log"
mkdir -p "$tmp/parts"
phase_times=()
mapfile -t files < <(ls tests/gpu/test_*.py)
mapfile -t sanitize_files < <(grep -l -w sanitize "${files[@]}")

# phase_done NAME STARTED: notes the phase's wall time for the summary.
phase_done() { phase_times+=("$1 $(( $(now) - $2 )) s"); }

# ---- processes side by side
parts=()
part_logs=()
pool=1

# start_part NAME LOG THREADS FUNCTION ARGS...: FUNCTION LOGFILE ARGS... in the background with
# THREADS CPU threads, its test events and its log in files of its own until merge_parts appends
# them to $results and $out/LOG; at most $pool parts run at once.
start_part() {
  local name=$1 log=$2 threads=$3 function=$4
  shift 4
  while (( $(jobs -rp | wc -l) >= pool )); do wait -n; done
  parts+=("$name")
  part_logs+=("$log")
  : > "$tmp/parts/$name.tsv"
  : > "$tmp/parts/$name.log"
  (
    results="$tmp/parts/$name.tsv"
    say() { printf '%s\n' "$*"; }
    export OMP_NUM_THREADS=$threads MKL_NUM_THREADS=$threads
    "$function" "$tmp/parts/$name.log" "$@" >> "$tmp/parts/$name.log" 2>&1
  ) &
}

# merge_parts: waits for every part, then appends their files in the order they were started.
merge_parts() {
  wait
  local i
  for i in "${!parts[@]}"; do
    cat "$tmp/parts/${parts[$i]}.tsv" >> "$results"
    cat "$tmp/parts/${parts[$i]}.log" >> "$out/${part_logs[$i]}"
  done
  parts=()
  part_logs=()
}

# threads_each N: the CPU threads for each of N processes side by side.
threads_each() { echo $(( CORES / $1 > 1 ? CORES / $1 : 1 )); }

# ---- the parts: each takes its log file first
smoke_part() { run_group smoke "$smoke_end" "$PER_TEST" "$1" -- -m smoke tests/gpu; }

main_part() {
  local budget=$(( main_end - $(now) ))
  if (( budget < MIN_STEP )); then
    printf 'main\tNOT-RUN\texamples/main_job.py\n' >> "$results"
  elif echo "==== main job" && run_capped "$budget" "$python" examples/main_job.py; then
    printf 'main\tPASSED\texamples/main_job.py\n' >> "$results"
  else
    printf 'main\tFAILED\texamples/main_job.py\n' >> "$results"
  fi
}

suite_part() {
  local started
  started=$(now)
  run_group suite "$suite_end" "$PER_TEST" "$1" -- -m "not smoke and not slow" "$2"
  printf 'suite\tFILE-SECONDS\t%s\t%s\n' "$2" "$(( $(now) - started ))" >> "$results"
}

# sanitizer_part LOG TOOL: TOOL over the sanitize tests; the sanitizer's SUMMARY lines go to
# $results. PyTorch's caching allocator is off: inside its larger blocks an access past a tensor
# would still be memory the sanitizer counts as allocated.
sanitizer_part() {
  local log=$1 tool=$2
  export PYTORCH_NO_CUDA_MEMORY_CACHING=1
  run_group "$tool" "$last_end" "$PER_TEST_SLOW" "$log" \
    "$tool_path" --tool "$tool" "${filter[@]}" --print-limit 50 --error-exitcode "$SANITIZER_ERROR_EXIT" -- \
    -m sanitize "${sanitize_files[@]}"
  grep -E '[A-Z]+ SUMMARY:' "$log" | sed 's/^=* *//' \
    | while IFS= read -r line; do printf '%s\tSANITIZER-SUMMARY\t%s\n' "$tool" "$line" >> "$results"; done
}

slow_part() { run_group slow "$last_end" "$PER_TEST_SLOW" "$1" -- -m slow tests/gpu; }

find_sanitizer() {
  command -v compute-sanitizer 2>/dev/null \
    || ls "${CUDA_HOME:-/usr/local/cuda}"/bin/compute-sanitizer /usr/local/cuda*/bin/compute-sanitizer 2>/dev/null \
    | head -n 1
}

# ---- the verdict
# failure_reasons: one line per reason the check fails, from $results.
failure_reasons() {
  awk -F'\t' -v subset="${#EXTRA_ARGS[@]}" -v sanitizers="${SANITIZERS[*]}" -v error_exit="$SANITIZER_ERROR_EXIT" '
    function reason(text) { if (!(text in said)) { said[text] = 1; lines[++n] = text } }
    # a process that never ran its tests: the phase needs no other reason for passing none
    function exit_reason(phase, text) { reason(phase text); broken[phase] = 1 }
    function first(phase) { if (!(phase in seen)) { seen[phase] = 1; order[++phases] = phase } }
    BEGIN { tools = split(sanitizers, tool_order, " "); for (i = 1; i <= tools; i++) sanitizer[tool_order[i]] = 1
            split("FAILED ERROR DIED NOT-RUN", kinds, " ")
            split("failed,errors,died,not run", words, ",")
            usage[2] = "was interrupted"; usage[3] = "had an internal error"; usage[4] = "was given bad arguments" }
    $2 == "REASON" { reason($3) }
    $2 == "COLLECT-ERROR" { reason($1 ": collection error in " $3); collect_error[$1] = 1 }
    $2 == "EXIT" { ran[$1] = 1; status = $3 + 0; explained = collect_error[$1] && status == 1; collect_error[$1] = 0
      if (($1 in sanitizer) && status == error_exit)
        reason($1 ": compute-sanitizer ended with its error exit status " status " (it found errors)")
      else if (status in usage) exit_reason($1, ": pytest " usage[status] " (exit " status ") in " $5)
      else if (status != 0 && status != 5 && status != 124 && status != 137 && $4 == 0 && !explained)
        exit_reason($1, ": ended with exit " status " before its first test (" $5 ")") }
    $2 == "SANITIZER-SUMMARY" { summaries[$1]++; counts = $3; sub(/.*SUMMARY:/, "", counts)
      if (counts ~ /[1-9]/) reason($1 ": " $3) }
    $2 == "COLLECTED" && !(($1, $3) in collected) { collected[$1, $3] = 1; n_collected[$1]++ }
    $2 ~ /^(PASSED|FAILED|ERROR|SKIPPED|DIED|NOT-RUN)$/ { first($1); count[$1, $2]++
      if ($1 != "main" && $2 == "PASSED") passed_any = 1
      if ($1 ~ /^(smoke|suite|slow)$/ && index($3, "::")) { file = $3; sub(/::.*/, "", file)
        if (!(file in tests)) file_order[++files] = file
        tests[file]++; if ($2 == "SKIPPED") skipped[file]++ } }
    END {
      for (p = 1; p <= phases; p++) { phase = order[p]; text = ""
        for (k = 1; k <= 4; k++) if (count[phase, kinds[k]])
          text = text (text == "" ? "" : ", ") count[phase, kinds[k]] " " words[k]
        if (text != "") reason(phase ": " text " (the tests are listed below)") }
      for (i = 1; i <= tools; i++) if (((tool = tool_order[i]) in ran) && !(tool in broken)) {
        if (!count[tool, "PASSED"] && n_collected[tool])
          reason(tool ": no test passed under the sanitizer (" n_collected[tool] " collected, " count[tool, "SKIPPED"] + 0 " skipped)")
        else if (!count[tool, "PASSED"] && !subset) reason(tool ": no sanitize test was collected")
        else if (count[tool, "PASSED"] && !summaries[tool]) reason(tool ": compute-sanitizer printed no SUMMARY line") }
      for (f = 1; f <= files; f++) { file = file_order[f]
        if (skipped[file] == tests[file])
          reason(file ": every test skipped (" tests[file] ") although a compute-capability-9.0 device is visible") }
      if (!passed_any) reason("no GPU test passed: nothing was checked")
      for (i = 1; i <= n; i++) print lines[i] }' "$results"
}

write_summary() {
  local reasons rerun subset=""
  reasons=$(failure_reasons)
  (( ${#EXTRA_ARGS[@]} > 0 )) && subset=" (a subset only: pytest arguments ${EXTRA_ARGS[*]})"
  {
    echo "summary (check of $(date -u '+%Y-%m-%d %H:%M UTC'), $(( $(now) - DEADLINE + CHECK_SECONDS )) s)"
    echo "phase times: $(IFS=,; echo "${phase_times[*]}" | sed 's/,/, /g')"
    [ -n "$BUILD_NOTE" ] && echo "build: $BUILD_NOTE"
    for phase in smoke main suite slow; do printf '%-6s %s\n' "$phase" "$(phase_line "$phase")"; done
    for line in "${sanitizer_lines[@]}"; do echo "$line"; done
    [ -n "$reasons" ] && sed 's/^/FAIL: /' <<< "$reasons"
    awk -F'\t' '$2 ~ /^(FAILED|ERROR|DIED|NOT-RUN)$/ { print "  " $2 " [" $1 "] " $3 }' "$results" | head -n 200
    rerun=$(rerun_expression)
    [ -n "$rerun" ] && echo "rerun these: bash scripts/gpu_check.sh -k '$rerun'"
    if [ -z "$reasons" ]; then echo "RESULT: all passed$subset"; else echo "RESULT: FAILED$subset"; fi
  } > "$out/summary.txt"
  [ -z "$reasons" ]
}

# ---- the check
say "== facts (deadline $CHECK_SECONDS s)"
started=$(now)
if ! facts_and_capability; then
  say "STOP: no CUDA device of compute capability 9.0 (Hopper) is visible to PyTorch; the modules carry"
  say "only sm_90a code, so nothing can run here. Nothing was built or tested."
  printf 'no compute-capability-9.0 device: nothing built or tested\n' > "$out/summary.txt"
  exit 2
fi
phase_done facts "$started"

say "== build"
started=$(now)
if ! prepare_build 240 "$out/build.log"; then
  printf 'build %s: nothing tested (see build.log)\n' "$BUILD_NOTE" > "$out/summary.txt"
  exit 3
fi
phase_done build "$started"

say "== smoke (marker smoke: one small case per kernel family) beside the main job"
started=$(now)
smoke_end=$(( $(now) + $(step_budget 90 $(( LAST_RESERVE + SUMMARY_RESERVE ))) ))
main_end=$(( $(now) + $(step_budget 60 $(( LAST_RESERVE + SUMMARY_RESERVE ))) ))
pool=2
start_part smoke tests.log "$(threads_each 2)" smoke_part
start_part main tests.log "$(threads_each 2)" main_part
merge_parts
say "  smoke: $(phase_line smoke)"
say "  main job: $(phase_line main)"
phase_done smoke+main "$started"

say "== suite: each file in a process of its own, $JOBS side by side (not smoke, not slow)"
started=$(now)
suite_end=$(( $(now) + $(step_budget 100000 $(( LAST_RESERVE + SUMMARY_RESERVE ))) ))
pool=$JOBS
for i in "${!files[@]}"; do
  start_part "suite-$(printf '%03d' "$i")" tests.log "$(threads_each "$JOBS")" suite_part "${files[$i]}"
done
merge_parts
for file in "${files[@]}"; do
  say "  $file: $(awk -F'\t' -v f="$file" '$1 == "suite" && index($3, f "::") == 1 { n[$2]++ }
        $1 == "suite" && $2 == "FILE-SECONDS" && $3 == f { s = $4 }
        END { printf "passed %d, failed %d, errors %d, skipped %d, died %d, not run %d (%d s)",
              n["PASSED"], n["FAILED"], n["ERROR"], n["SKIPPED"], n["DIED"], n["NOT-RUN"], s }' "$results")"
done
phase_done suite "$started"

say "== sanitizers on the sanitize tests of ${#sanitize_files[@]} files, this library's kernels only (names holding ${LIBRARY_KERNELS[*]}), beside the slow tests (marker slow)"
started=$(now)
last_end=$(( $(now) + $(step_budget 100000 "$SUMMARY_RESERVE") ))
sanitizer_lines=()
tool_path="$(find_sanitizer)"
filter=()
pool=$(( ${#SANITIZERS[@]} + 1 ))
if [ -z "$tool_path" ]; then
  say "  compute-sanitizer not found: memcheck, racecheck and synccheck NOT RUN"
  printf 'sanitizers\tREASON\tcompute-sanitizer not found: memcheck, racecheck and synccheck not run\n' >> "$results"
  sanitizer_lines+=("compute-sanitizer not found: not run")
else
  if "$tool_path" --help 2>/dev/null | grep -q -- "--kernel-name"; then
    # each filter adds the kernels it matches
    for name in "${LIBRARY_KERNELS[@]}"; do filter+=(--kernel-name "kns=$name"); done
  else
    say "  this compute-sanitizer has no --kernel-name filter: every kernel is checked"
  fi
  for tool in "${SANITIZERS[@]}"; do
    start_part "$tool" sanitize.log "$(threads_each "$pool")" sanitizer_part "$tool"
  done
fi
start_part slow tests.log "$(threads_each "$pool")" slow_part
merge_parts
if [ -n "$tool_path" ]; then
  for tool in "${SANITIZERS[@]}"; do
    summaries=$(awk -F'\t' -v t="$tool" '$1 == t && $2 == "SANITIZER-SUMMARY" { printf "%s%s", sep, $3; sep = "; " }' "$results")
    sanitizer_lines+=("$tool: $(phase_line "$tool"); ${summaries:-no SUMMARY line (see sanitize.log)}")
    say "  ${sanitizer_lines[-1]}"
  done
fi
say "  slow: $(phase_line slow)"
phase_done sanitizers+slow "$started"

write_summary
status=$?
say "== summary"
while IFS= read -r line; do say "$line"; done < "$out/summary.txt"
exit $(( status == 0 ? 0 : 1 ))
