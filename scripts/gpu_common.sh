# Shared by scripts/gpu_check.sh, scripts/gpu_bench.sh and scripts/prebuild_gpu.sh (sourced, not
# run): one deadline for the whole command, the machine's facts, the stop without a
# compute-capability-9.0 device, the fingerprint of the build inputs, a prebuilt folder used in
# place of the build when it matches, and the build with its whole log.
#
# The sourcing script sets root (the checkout), calls start_run and defines say (a function that
# prints one line to the console); for the test runs it also sets results (the file of test
# events) and EXTRA_ARGS (passed to every pytest run).

# Substrings of the mangled names of this library's kernels: the sanitizers check only kernels
# whose names hold one of them, never PyTorch's own. The attention modules' kernels all start
# with kestrovane_; the multiplicative update's keep their own names.
LIBRARY_KERNELS=(kestrovane_ trimul_ ln_bwd_ sig_mul_bwd_)

MIN_STEP=5   # a step with fewer seconds than this left is not started
# A compiler's warning (g++ "warning:", nvcc "warning #177-D:"), not a flag on a command line.
WARNING_LINE='warning( #[^:]*)?:'

# start_run NAME: works in the checkout and sets python, build (KESTROVANE_BUILD, by default
# build-gpu: the checkout's build/ belongs to another interpreter), out (OUT, by default
# <build>/NAME) and tmp (a scratch folder removed on exit).
start_run() {
  cd "$root" || exit
  python="${PYTHON:-python3}"
  build="$(realpath -m "${KESTROVANE_BUILD:-$root/build-gpu}")"
  out="${OUT:-$build/$1}"
  mkdir -p "$out"
  out="$(realpath "$out")"
  tmp="$(mktemp -d)"
  trap 'rm -rf "$tmp"' EXIT
  export KESTROVANE_BUILD="$build" PYTHONUNBUFFERED=1 PYTHONDONTWRITEBYTECODE=1
  export PYTHONPATH="$root/scripts${PYTHONPATH:+:$PYTHONPATH}"
}

now() { date +%s; }

# deadline_start SECONDS: everything must be over SECONDS from now.
deadline_start() { DEADLINE=$(( $(now) + $1 )); }

time_left() { echo $(( DEADLINE - $(now) )); }

# step_budget CAP [RESERVE]: the seconds a step may take: CAP, or less where the deadline comes
# sooner once RESERVE seconds are kept for the steps after it; 0 (skip the step) below MIN_STEP.
step_budget() {
  local cap=$1 left
  left=$(( $(time_left) - ${2:-0} ))
  if (( left < cap )); then cap=$left; fi
  if (( cap < MIN_STEP )); then cap=0; fi
  echo "$cap"
}

# run_capped SECONDS COMMAND...: the command under its own timeout; 124 when it ran out.
run_capped() {
  local seconds=$1
  shift
  timeout --kill-after=10 "$seconds" "$@"
}

print_tool_facts() {
  local gpu
  gpu=$(nvidia-smi --query-gpu=name,compute_cap,driver_version --format=csv,noheader 2>/dev/null) \
    || gpu="not available"
  say "nvidia-smi: ${gpu//$'\n'/; }"
  say "nvcc: $("${NVCC:-${CUDA_HOME:-/usr/local/cuda}/bin/nvcc}" --version 2>/dev/null | tail -n 1 || echo 'not found')"
  say "g++: $("${CXX:-g++}" --version 2>/dev/null | head -n 1 || echo 'not found')"
}

# facts_and_capability: prints the facts; returns 0 only when PyTorch's current device is a
# compute capability 9.0 device.
facts_and_capability() {
  local budget status
  print_tool_facts
  budget=$(step_budget 60)
  if (( budget == 0 )); then
    say "no time left to query the devices"
    return 1
  fi
  run_capped "$budget" "$python" "$root/scripts/gpu_facts.py" > "$tmp/facts" 2>&1
  status=$?
  while IFS= read -r line; do say "$line"; done < "$tmp/facts"
  return $status
}

# The build inputs: a change to any of them changes what the modules hold. Tests' Python files,
# the README and the scripts that only run the modules are not among them.
BUILD_INPUT_PATHS=(Makefile scripts/print_build_config.py forward delta dkdv dq_dbias trimul common tests/support)
BUILD_INPUT_NAMES=(Makefile print_build_config.py '*.cu' '*.cuh' '*.h' '*.hpp' '*.cpp')
STAMP_NAME=build-stamp.txt   # in a prebuilt folder: its python, torch and fingerprint lines

# build_fingerprint TREE: the sha256 over the names and contents of TREE's build inputs.
build_fingerprint() {
  local names=() name
  for name in "${BUILD_INPUT_NAMES[@]}"; do names+=(-o -name "$name"); done
  (cd "$1" && find "${BUILD_INPUT_PATHS[@]}" -type f \( "${names[@]:1}" \) 2>/dev/null | LC_ALL=C sort \
    | xargs -r -d '\n' sha256sum) | sha256sum | cut -d ' ' -f 1
}

# machine_build_key: "python X.Y", "torch V" (the release, without +cuXXX) and "fingerprint F",
# one a line, for this machine (from the facts that facts_and_capability printed) and checkout.
machine_build_key() {
  sed -n 's/^python: \([0-9]*\.[0-9]*\).*/python \1/p; s/^torch: \([^ +]*\).*/torch \1/p' "$tmp/facts"
  echo "fingerprint $(build_fingerprint "$root")"
}

# use_prebuilt FOLDER: makes FOLDER (from scripts/prebuild_gpu.sh) the build when its stamp
# matches this machine's Python and PyTorch and this checkout's build inputs; otherwise says
# which field differs and returns 1.
use_prebuilt() {
  local folder field there here differ=()
  folder="$(realpath -m "$1")"
  if [ ! -f "$folder/$STAMP_NAME" ]; then
    say "prebuilt: $folder holds no $STAMP_NAME: building instead"
    return 1
  fi
  machine_build_key > "$tmp/key"
  for field in python torch fingerprint; do
    there=$(awk -v f="$field" '$1 == f { print $2 }' "$folder/$STAMP_NAME")
    here=$(awk -v f="$field" '$1 == f { print $2 }' "$tmp/key")
    [ -n "$here" ] && [ "$there" = "$here" ] || differ+=("$field ${there:-missing} there, ${here:-unknown} here")
  done
  if (( ${#differ[@]} > 0 )); then
    local joined
    joined=$(printf '; %s' "${differ[@]}")
    say "prebuilt: $folder does not match (${joined:2}): building instead"
    return 1
  fi
  build="$folder"
  export KESTROVANE_BUILD="$build"
  BUILD_NOTE="prebuilt $build used (python, torch and fingerprint match)"
  say "build: $BUILD_NOTE; make not called"
  return 0
}

# prepare_build CAP LOG: the prebuilt folder named by KESTROVANE_PREBUILT where it matches, else
# build_modules CAP LOG.
prepare_build() {
  if [ -n "${KESTROVANE_PREBUILT:-}" ] && use_prebuilt "$KESTROVANE_PREBUILT"; then
    echo "nothing built: $BUILD_NOTE" > "$2"
    return 0
  fi
  build_modules "$@"
}

# build_modules CAP LOG: builds every module and test-only module into $build, keeping the whole
# log. A build that fails while warnings were printed is retried once without turning nvcc's
# warnings into errors: a newer host compiler than ours warns where ours did not.
# Returns 0 when built (BUILD_NOTE then says whether warnings had to be let through).
build_modules() {
  local cap=$1 log=$2 budget status
  BUILD_NOTE=""
  budget=$(step_budget "$cap")
  if (( budget == 0 )); then
    say "build: not started, $(time_left) s left"
    BUILD_NOTE="not started: out of time"
    return 1
  fi
  say "build: make -k -j$(nproc) into $build (at most $budget s; whole log in $(basename "$log"))"
  run_capped "$budget" make -C "$root" -k -j"$(nproc)" PYTHON="$python" BUILD="$build" all > "$log" 2>&1
  status=$?
  if (( status != 0 && status != 124 )) && grep -Eqi "$WARNING_LINE" "$log"; then
    budget=$(step_budget "$cap")
    if (( budget > 0 )); then
      say "build: failed with warnings treated as errors; retrying once without -Werror"
      echo "==== retry without -Werror ====" >> "$log"
      run_capped "$budget" make -C "$root" -k -j"$(nproc)" PYTHON="$python" BUILD="$build" NVCC_WERROR= all \
        >> "$log" 2>&1
      status=$?
      if (( status == 0 )); then
        BUILD_NOTE="built only without -Werror: this host compiler warns (see build log)"
        say "build: $BUILD_NOTE"
      fi
    fi
  fi
  if (( status == 124 )); then
    BUILD_NOTE="ran out of its $budget s"
  elif (( status != 0 )); then
    BUILD_NOTE="failed (make exit $status)"
  fi
  if (( status != 0 )); then
    say "build: $BUILD_NOTE; its errors:"
    grep -E -i "$WARNING_LINE|error( #[^:]*)?:|\*\*\*" "$log" | head -n 40 | while IFS= read -r line; do say "  $line"; done
    return 1
  fi
  [ -n "$BUILD_NOTE" ] || say "build: done"
  return 0
}

# run_group PHASE STEP_END PER_TEST LOG PREFIX... -- PYTEST_ARGS...: pytest over PYTEST_ARGS,
# restarted over the tests that are left whenever a process ends early (a test hung past
# PER_TEST, crashed or left the CUDA context unusable), until STEP_END (seconds since the epoch).
# A file that cannot be collected does not stop the others. Each process adds to $results
#   PHASE EXIT <status> <tests it started> <what it ran>
# and each test it started but never finished is DIED, each it never reached at STEP_END NOT-RUN.
# Runs side by side when each caller has a results file of its own.
run_group() {
  local phase=$1 step_end=$2 per_test=$3 log=$4
  shift 4
  local prefix=()
  while [ "$1" != "--" ]; do prefix+=("$1"); shift; done
  shift
  local args=("$@") status budget attempt=0 before started what left="$tmp/left.$BASHPID"
  while :; do
    budget=$(( step_end - $(now) ))
    if (( budget < MIN_STEP )); then
      if (( attempt == 0 )); then
        printf '%s\tNOT-RUN\t%s\n' "$phase" "${args[*]}" >> "$results"
      fi
      return
    fi
    before=$(wc -l < "$results")
    what="${args[*]:0:3}$( (( ${#args[@]} > 3 )) && echo " ... (${#args[@]} tests)")"
    echo "==== $phase: $what" >> "$log"
    run_capped "$budget" "${prefix[@]}" "$python" -m pytest -p check_results --results-file "$results" \
      --results-phase "$phase" --test-timeout "$per_test" -v -p no:cacheprovider --continue-on-collection-errors \
      "${EXTRA_ARGS[@]}" "${args[@]}" >> "$log" 2>&1
    status=$?
    attempt=$(( attempt + 1 ))
    # the tests this process collected and never started, and the one it died in
    tail -n +"$(( before + 1 ))" "$results" | awk -F'\t' -v phase="$phase" '
      $2 == "COLLECTED" { order[++n] = $3 }
      $2 == "START" { started[$3] = 1 }
      $2 ~ /^(PASSED|FAILED|ERROR|SKIPPED)$/ { done[$3] = 1 }
      END { for (i = 1; i <= n; i++) { t = order[i]
              if (t in started && !(t in done)) print "died\t" t
              else if (!(t in started)) print "left\t" t } }' > "$left"
    started=$(tail -n +"$(( before + 1 ))" "$results" | grep -c $'\tSTART\t')
    printf '%s\tEXIT\t%s\t%s\t%s\n' "$phase" "$status" "$started" "$what" >> "$results"
    while IFS=$'\t' read -r kind test; do
      [ "$kind" = died ] && printf '%s\tDIED\t%s\n' "$phase" "$test" >> "$results"
    done < "$left"
    if (( status == 124 || status == 137 )); then
      if grep -q . "$left"; then
        awk -F'\t' -v phase="$phase" '$1 == "left" { print phase "\tNOT-RUN\t" $2 }' "$left" >> "$results"
      elif ! tail -n +"$(( before + 1 ))" "$results" | grep -q $'\tCOLLECTED\t'; then
        printf '%s\tNOT-RUN\t%s\n' "$phase" "${args[*]}" >> "$results"   # cut before collecting
      fi
      say "  $phase: stopped at its time limit"
      return
    fi
    mapfile -t args < <(awk -F'\t' '$1 == "left" { print $2 }' "$left")
    (( ${#args[@]} == 0 )) && return
    if (( started == 0 )); then   # it would fail again the same way
      for test in "${args[@]}"; do printf '%s\tNOT-RUN\t%s\n' "$phase" "$test" >> "$results"; done
      return
    fi
    if (( attempt > 20 )); then
      for test in "${args[@]}"; do printf '%s\tNOT-RUN\t%s\n' "$phase" "$test" >> "$results"; done
      return
    fi
  done
}

# phase_line PHASE: "passed 12, failed 1, ..." over the final outcomes of PHASE.
phase_line() {
  awk -F'\t' -v phase="$1" '$1 == phase && $2 ~ /^(PASSED|FAILED|ERROR|SKIPPED|DIED|NOT-RUN)$/ { n[$2]++ }
    END { printf "passed %d, failed %d, errors %d, skipped %d, died %d, not run %d\n",
          n["PASSED"], n["FAILED"], n["ERROR"], n["SKIPPED"], n["DIED"], n["NOT-RUN"] }' "$results"
}

# rerun_expression: a -k expression selecting the tests that failed, died or did not run: the test
# name with its parameters where -k can spell them, else the test name.
rerun_expression() {
  awk -F'\t' '$2 ~ /^(FAILED|ERROR|DIED|NOT-RUN)$/ && index($3, "::") { name = $3; sub(/.*::/, "", name)
      if (name !~ /^[A-Za-z0-9_.:+\/\[\]-]+$/) sub(/\[.*/, "", name)
      if (!(name in seen)) { seen[name] = 1; expr = expr (expr == "" ? "" : " or ") name } }
    END { print expr }' "$results"
}
