"""scripts/gpu_check.sh, scripts/gpu_bench.sh and scripts/prebuild_gpu.sh without a GPU: the
deadline arithmetic, the stop without a compute-capability-9.0 device, a failing build reported as
failure, the one retry without -Werror, the order of the test runs, a hung test that ends only its
own process, every way a run must end FAILED, the files run side by side, and a prebuilt folder
used only where it matches. Stand-ins for python3, make, nvcc, g++ and compute-sanitizer play the
parts of the GPU machine; the fault cases run the check's real pytest plugin over a small tree of
stand-in GPU tests."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap
import time

import pytest

from harness import ROOT, library_kernels

SCRIPT = ROOT / "scripts" / "gpu_check.sh"
COMMON = ROOT / "scripts" / "gpu_common.sh"
# what the stand-in device query prints besides its device line
STAND_IN_FACTS = "python: 3.12.3 (stand-in)\ntorch: 2.11.0+cu130 (CUDA 13.0)"


def executable(path, text):
    path.write_text("#!/usr/bin/env bash\n" + textwrap.dedent(text))
    path.chmod(0o755)
    return path


def stand_in_python(folder, capability, pytest_line="exit 5"):
    """A python3 whose device query reports one device of `capability` (exit 0 only for 9.0), whose
    pytest runs are recorded (with their CPU threads and allocator setting) and then end by
    `pytest_line` (empty: the real pytest runs), and which is the real interpreter otherwise."""
    return executable(folder / "python3", f"""\
        case "${{1:-}}" in
          */gpu_facts.py) printf '%b\\n' "{STAND_IN_FACTS}"
                          echo "device 0: Stand-in GPU, compute capability {capability}"
                          [ "{capability}" = 9.0 ]; exit ;;
          examples/main_job.py) exit 0 ;;
          -m) if [ "$2" = pytest ]; then
                echo "threads=${{OMP_NUM_THREADS:-}} nocache=${{PYTORCH_NO_CUDA_MEMORY_CACHING:-}} $*" >> "{folder}/pytest-calls"
                echo "$KESTROVANE_BUILD" >> "{folder}/pytest-builds"
                {pytest_line}
              fi ;;
        esac
        exec {sys.executable} "$@"
        """)


def stand_in_make(folder):
    """A make that records its arguments and puts one module and one object into its BUILD."""
    return executable(folder / "make", f"""\
        echo "$*" >> "{folder}/make-calls"
        for arg; do
          case "$arg" in BUILD=*) mkdir -p "${{arg#BUILD=}}/obj"; : > "${{arg#BUILD=}}/_kestrovane_stand_in.so"
                                  : > "${{arg#BUILD=}}/obj/stand_in.o" ;; esac
        done
        """)


# A compute-sanitizer that runs its program unchecked; SANITIZER_FAULT makes it misbehave:
#   hazard   racecheck reports a hazard and ends with the error exit status
#   errors   memcheck prints a non-zero ERROR SUMMARY (its exit status left as the program's)
#   refuse   memcheck refuses the device before the program starts
#   skip     every stand-in test that can skip does (as a GPU test skips without a device)
SANITIZER = """\
    [ "$1" = --help ] && { echo "  --kernel-name <filter>"; exit 0; }
    echo "nocache=${PYTORCH_NO_CUDA_MEMORY_CACHING:-} $*" >> "$(dirname "$0")/sanitizer-calls"
    tool=$2
    while [ "${1#--}" != "$1" ]; do shift 2; done
    case "${SANITIZER_FAULT:-}:$tool" in
      refuse:memcheck) echo "========= Error: Target application terminated before first instrumented API call"; exit 1 ;;
      skip:*) export STAND_IN_SKIP=1 ;;
    esac
    "$@"
    status=$?
    case "${SANITIZER_FAULT:-}:$tool" in
      hazard:racecheck) echo "========= RACECHECK SUMMARY: 1 hazard displayed (1 error, 0 warnings)"; exit 9 ;;
      errors:memcheck) echo "========= ERROR SUMMARY: 2 errors"; exit $status ;;
      *:racecheck) echo "========= RACECHECK SUMMARY: 0 hazards displayed (0 errors, 0 warnings)" ;;
    esac
    echo "========= ERROR SUMMARY: 0 errors"
    exit $status
    """


def machine(tmp_path, capability="9.0", pytest_line="exit 5", sanitizer=True):
    """The stand-in tools in tmp_path/bin."""
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir(exist_ok=True)
    stand_in_python(bin_folder, capability, pytest_line)
    stand_in_make(bin_folder)
    if sanitizer:
        executable(bin_folder / "compute-sanitizer", SANITIZER)
    return bin_folder


def run_check(tmp_path, env=(), args=(), script=SCRIPT):
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir(exist_ok=True)
    environment = dict(os.environ, PATH=f"{bin_folder}:{os.environ['PATH']}", OUT=str(tmp_path / "out"),
                       KESTROVANE_BUILD=str(tmp_path / "build"), CUDA_HOME=str(tmp_path / "no-cuda"))
    environment.update(env)
    for name in ("PYTHON", "KESTROVANE_PREBUILT", "SANITIZER_FAULT", "KESTROVANE_CHECK_JOBS"):
        environment.setdefault(name, "")
        if not environment[name]:
            del environment[name]
    start = time.monotonic()
    result = subprocess.run(["bash", str(script), *args], capture_output=True, text=True, env=environment,
                            cwd=tmp_path, timeout=300)
    return result, time.monotonic() - start


CHECK_FILES = {"check.log", "build.log", "tests.log", "sanitize.log", "results.tsv", "summary.txt"}


def results_folder(out):
    """The names in a results folder, which must be flat: a few files, no subfolder."""
    entries = list(out.iterdir())
    assert all(e.is_file() for e in entries), entries
    return {e.name for e in entries}


@pytest.mark.parametrize("cap, reserve, left", [
    (240, 0, 480), (240, 150, 300), (240, 0, 100), (60, 70, 75), (60, 70, 74), (60, 0, -3), (90, 220, 200)])
def test_step_budget_is_the_smaller_of_its_cap_and_the_time_left(cap, reserve, left):
    # a step gets its cap, or what remains before the deadline once `reserve` seconds are kept
    # for later steps; fewer than 5 seconds are not worth starting
    code = f'source "{COMMON}"; now() {{ echo 1000; }}; DEADLINE=$((1000 + {left})); step_budget {cap} {reserve}'
    got = int(subprocess.run(["bash", "-c", code], capture_output=True, text=True, check=True).stdout)
    expected = min(cap, left - reserve)
    assert got == (expected if expected >= 5 else 0)


@pytest.mark.parametrize("capability", ["8.0", "none"])
def test_stops_without_a_compute_capability_9_device(tmp_path, capability):
    (tmp_path / "bin").mkdir()
    stand_in_python(tmp_path / "bin", capability)
    result, _ = run_check(tmp_path)
    assert result.returncode == 2, result.stdout + result.stderr
    assert "STOP: no CUDA device of compute capability 9.0" in result.stdout
    assert f"Stand-in GPU, compute capability {capability}" in result.stdout
    assert not (tmp_path / "build").exists() and not (tmp_path / "bin" / "pytest-calls").exists()
    assert "nothing built or tested" in (tmp_path / "out" / "summary.txt").read_text()
    assert results_folder(tmp_path / "out") <= CHECK_FILES


def fake_compilers(folder, nvcc_body):
    """nvcc and g++ stand-ins; g++ writes an empty file at its -o argument."""
    write_output = 'while [ $# -gt 0 ]; do [ "$1" = -o ] && : > "$2"; shift; done'
    executable(folder / "g++", write_output + "\n")
    executable(folder / "nvcc", nvcc_body.replace("WRITE_OUTPUT", write_output))
    return {"NVCC": str(folder / "nvcc"), "CXX": str(folder / "g++")}


def test_a_failing_build_is_reported_and_nothing_is_tested(tmp_path):
    (tmp_path / "bin").mkdir()
    stand_in_python(tmp_path / "bin", "9.0")
    compilers = fake_compilers(tmp_path / "bin", 'echo "kernels.cu(7): error: stand-in compile error" >&2; exit 1\n')
    result, _ = run_check(tmp_path, env=compilers)
    assert result.returncode == 3, result.stdout + result.stderr
    assert "build: failed" in result.stdout and "stand-in compile error" in result.stdout
    assert "retrying" not in result.stdout  # no warning was printed: a retry could not help
    assert "stand-in compile error" in (tmp_path / "out" / "build.log").read_text()
    assert not (tmp_path / "bin" / "pytest-calls").exists()
    assert results_folder(tmp_path / "out") <= CHECK_FILES


def test_warnings_alone_get_one_retry_then_every_step_runs_in_order(tmp_path):
    (tmp_path / "bin").mkdir()
    stand_in_python(tmp_path / "bin", "9.0")
    executable(tmp_path / "bin" / "compute-sanitizer", SANITIZER)
    compilers = fake_compilers(tmp_path / "bin", """\
        case " $* " in
          *" -Werror "*) echo "kernels.cu:3: warning: stand-in host warning" >&2; exit 1 ;;
        esac
        WRITE_OUTPUT
        """)
    result, _ = run_check(tmp_path, env=dict(compilers, KESTROVANE_CHECK_JOBS="3"))
    console = result.stdout
    assert "retrying once without -Werror" in console and "built only without -Werror" in console
    calls = (tmp_path / "bin" / "pytest-calls").read_text().splitlines()
    gpu_files = sorted(ROOT.glob("tests/gpu/test_*.py"))
    files = [str(p.relative_to(ROOT)) for p in gpu_files]
    sanitized = [str(p.relative_to(ROOT)) for p in gpu_files if re.search(r"\bsanitize\b", p.read_text())]
    # smoke first (beside the main job), then each file in a process of its own (3 side by side,
    # sharing the cores), then the sanitizers and the slow tests side by side
    cores = os.cpu_count()
    suite = calls[1:1 + len(files)]
    assert "-m smoke tests/gpu" in calls[0]
    assert sorted(c.split()[-1] for c in suite) == files
    assert all("-m not smoke and not slow" in c and f"threads={max(1, cores // 3)} nocache= " in c for c in suite)
    slow = [c for c in calls[1 + len(files):] if "-m slow tests/gpu" in c]
    sanitize = [c for c in calls[1 + len(files):] if "-m sanitize " in c]
    assert len(slow) == 1 and len(sanitize) == 3 and len(calls) == 1 + len(files) + 4
    assert slow[0].startswith(f"threads={max(1, cores // 4)} nocache= ")
    # the sanitizers import only the files with sanitize cases, with PyTorch's caching allocator off
    assert all(c.startswith(f"threads={max(1, cores // 4)} nocache=1 ") for c in sanitize)
    assert all(c.endswith("-m sanitize " + " ".join(sanitized)) for c in sanitize)
    filters = [f"--kernel-name kns={name}" for name in library_kernels()]
    tools = [c.split(" --print-limit")[0] for c in (tmp_path / "bin" / "sanitizer-calls").read_text().splitlines()]
    assert sorted(tools) == [" ".join([f"nocache=1 --tool {t}", *filters]) for t in ("memcheck", "racecheck", "synccheck")]
    # every run logs its events, has a per-test timeout and goes on past a file it cannot import
    assert all("--results-file" in c and "--test-timeout" in c and "--continue-on-collection-errors" in c for c in calls)
    # no test result came back: that is a failure, not a pass
    assert result.returncode == 1
    summary = (tmp_path / "out" / "summary.txt").read_text()
    assert "FAIL: no GPU test passed" in summary
    assert re.search(r"^phase times: facts \d+ s, build \d+ s, smoke\+main \d+ s, suite \d+ s, sanitizers\+slow \d+ s$",
                     summary, re.M), summary
    assert results_folder(tmp_path / "out") == CHECK_FILES


def test_the_whole_check_ends_by_its_deadline(tmp_path):
    # test runs that would hang are cut at the deadline, and what did not run is reported
    machine(tmp_path, pytest_line="exec sleep 1000")
    result, seconds = run_check(tmp_path, env={"KESTROVANE_CHECK_SECONDS": "20"})
    assert result.returncode == 1, result.stdout + result.stderr
    assert seconds < 20 + 15
    summary = (tmp_path / "out" / "summary.txt").read_text().splitlines()
    phases = {line.split()[0]: line for line in summary if line.split()[0] in ("smoke", "main", "suite", "slow")}
    # no time was left for the smoke tests, the main job and the suite once the later steps'
    # reserves were kept; the sanitizers and the slow tests started and were cut at the deadline
    assert all(phases[p].endswith("not run 1") for p in ("smoke", "main", "slow")), summary
    files = len(list((ROOT / "tests" / "gpu").glob("test_*.py")))
    assert phases["suite"].endswith(f"not run {files}") and summary[-1] == "RESULT: FAILED"
    assert sum(line.startswith(("memcheck: ", "racecheck: ", "synccheck: ")) and "not run 1" in line
               for line in summary) == 3


HUNG_SUITE = """\
    import time


    def test_first():
        pass


    def test_hangs():
        time.sleep(600)


    def test_fails():
        assert False


    def test_after():
        pass
    """


def test_a_hung_test_ends_only_its_process(tmp_path):
    (tmp_path / "test_hung.py").write_text(textwrap.dedent(HUNG_SUITE))
    code = f"""
        source "{COMMON}"
        say() {{ echo "$*"; }}
        python={sys.executable}; tmp={tmp_path}; results={tmp_path}/results.tsv; EXTRA_ARGS=()
        export PYTHONPATH={ROOT / "scripts"}
        : > "$results"
        run_group demo $(( $(now) + 60 )) 3 {tmp_path}/log -- test_hung.py
        phase_line demo
        rerun_expression
        """
    start = time.monotonic()
    result = subprocess.run(["bash", "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert time.monotonic() - start < 30
    outcomes, exits = {}, []
    for line in (tmp_path / "results.tsv").read_text().splitlines():
        phase, event, test = line.split("\t")[:3]
        if event == "EXIT":
            exits.append(line.split("\t")[2:4])
        elif event not in ("COLLECTED", "START"):
            outcomes[test.split("::")[-1]] = event
    assert outcomes == {"test_first": "PASSED", "test_hangs": "DIED", "test_fails": "FAILED", "test_after": "PASSED"}
    # the watchdog ended the first process after two tests started; the second ran the other two
    assert exits == [["1", "2"], ["1", "2"]]
    assert result.stdout.splitlines() == ["passed 2, failed 1, errors 0, skipped 0, died 1, not run 0",
                                          "test_hangs or test_fails"]
    assert "Timeout" in (tmp_path / "log").read_text()  # the hung test's stack


def test_the_benchmark_run_writes_every_table_into_one_file(tmp_path):
    # scripts/gpu_bench.sh: each benchmark's table under a header line of its own in one file
    # beside the build log, however many benchmarks there are
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir()
    executable(bin_folder / "python3", f"""\
        case "${{1:-}}" in
          */gpu_facts.py) echo "device 0: Stand-in GPU, compute capability 9.0"; exit 0 ;;
          bench/bench_*.py) echo "table of $1"; exit 0 ;;
        esac
        exec {sys.executable} "$@"
        """)
    compilers = fake_compilers(bin_folder, "WRITE_OUTPUT\n")
    environment = dict(os.environ, PATH=f"{bin_folder}:{os.environ['PATH']}", OUT=str(tmp_path / "out"),
                       KESTROVANE_BUILD=str(tmp_path / "build"), **compilers)
    environment.pop("PYTHON", None)
    result = subprocess.run(["bash", str(ROOT / "scripts" / "gpu_bench.sh")], capture_output=True, text=True,
                            env=environment, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert results_folder(tmp_path / "out") == {"build.log", "benchmarks.txt"}
    benches = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "bench").glob("bench_*.py"))
    expected = "".join(f"==== {b}\ntable of {b}\n" for b in benches)
    assert (tmp_path / "out" / "benchmarks.txt").read_text() == expected


# ---- the verdict, over a small tree of stand-in GPU tests run by the real pytest and plugin

STAND_IN_SUITE = {
    "tests/gpu/test_alpha.py": """\
        import os

        import pytest


        def skip_under_stand_in():
            if os.environ.get("STAND_IN_SKIP"):
                pytest.skip("as a GPU test skips where it sees no device")


        @pytest.mark.smoke
        @pytest.mark.sanitize
        def test_small():
            skip_under_stand_in()


        def test_case():
            skip_under_stand_in()


        @pytest.mark.slow
        def test_large():
            pass
        """,
    "tests/gpu/test_beta.py": """\
        def test_other():
            pass
        """,
}
SANITIZERS = ("memcheck", "racecheck", "synccheck")


def stand_in_tree(tmp_path, files=None):
    """A checkout holding this one's scripts and pytest.ini, the stand-in suite and `files`."""
    tree = tmp_path / "tree"
    shutil.copytree(ROOT / "scripts", tree / "scripts", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(ROOT / "pytest.ini", tree)
    for name, text in {**STAND_IN_SUITE, **(files or {})}.items():
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_text(textwrap.dedent(text))
    return tree


def check_tree(tmp_path, files=None, env=None, args=(), sanitizer=True):
    """The check of a stand-in tree (two files side by side) on the stand-in machine: its exit
    status, summary and FAIL: lines."""
    machine(tmp_path, pytest_line="", sanitizer=sanitizer)
    tree = stand_in_tree(tmp_path, files)
    result, _ = run_check(tmp_path, env={"KESTROVANE_CHECK_JOBS": "2", **(env or {})}, args=args,
                          script=tree / "scripts" / "gpu_check.sh")
    summary = (tmp_path / "out" / "summary.txt").read_text()
    fails = [line[len("FAIL: "):] for line in summary.splitlines() if line.startswith("FAIL: ")]
    return result, summary, fails


EACH_PHASE = ("smoke", "suite", *SANITIZERS, "slow")
FAULTS = {
    "racecheck reports a hazard and its error exit status": dict(
        env={"SANITIZER_FAULT": "hazard"},
        fails=["racecheck: compute-sanitizer ended with its error exit status 9 (it found errors)",
               "racecheck: RACECHECK SUMMARY: 1 hazard displayed (1 error, 0 warnings)"]),
    "memcheck prints a non-zero error summary": dict(
        env={"SANITIZER_FAULT": "errors"}, fails=["memcheck: ERROR SUMMARY: 2 errors"]),
    "the sanitizer refuses the device": dict(
        env={"SANITIZER_FAULT": "refuse"}, fails=["memcheck: ended with exit 1 before its first test"]),
    "every sanitize test skips under the sanitizer": dict(
        env={"SANITIZER_FAULT": "skip"},
        fails=[f"{tool}: no test passed under the sanitizer (1 collected, 1 skipped)" for tool in SANITIZERS]),
    "a -k rerun whose only sanitize test skips": dict(
        env={"SANITIZER_FAULT": "skip"}, args=["-k", "test_small"],
        fails=[f"{tool}: no test passed under the sanitizer (1 collected, 1 skipped)" for tool in SANITIZERS]),
    "no compute-sanitizer": dict(
        sanitizer=False, fails=["compute-sanitizer not found: memcheck, racecheck and synccheck not run"]),
    "a test file that cannot be imported": dict(
        files={"tests/gpu/test_gamma.py": "import no_such_module\n"},
        fails=[f"{phase}: collection error in tests/gpu/test_gamma.py" for phase in ("smoke", "suite", "slow")]),
    "every test of a file skips": dict(
        files={"tests/gpu/test_delta.py": """\
            import pytest

            pytestmark = pytest.mark.skip(reason="no device")


            def test_one():
                pass


            @pytest.mark.slow
            def test_two():
                pass
            """},
        fails=["tests/gpu/test_delta.py: every test skipped (2) although a compute-capability-9.0 device is visible"]),
    "a failing test": dict(
        files={"tests/gpu/test_epsilon.py": "def test_wrong():\n    assert 1 == 2\n"},
        fails=["suite: 1 failed (the tests are listed below)"]),
    "pytest's usage error": dict(
        args=["--no-such-option"],
        fails=[f"{phase}: pytest was given bad arguments (exit 4)" for phase in EACH_PHASE]
        + ["no GPU test passed: nothing was checked"]),
    "pytest's internal error": dict(
        files={"tests/gpu/conftest.py": """\
            def pytest_collection_modifyitems(items):
                raise RuntimeError("stand-in fault in a hook")
            """},
        fails=[f"{phase}: pytest had an internal error (exit 3)" for phase in EACH_PHASE]
        + [re.compile(rf"{phase}: \d+ not run") for phase in EACH_PHASE]
        + ["no GPU test passed: nothing was checked"]),
}


@pytest.mark.parametrize("fault", FAULTS, ids=list(FAULTS))
def test_each_fault_ends_the_check_failed_with_its_reason(tmp_path, fault):
    case = FAULTS[fault]
    result, summary, fails = check_tree(tmp_path, case.get("files"), case.get("env"), case.get("args", ()),
                                        case.get("sanitizer", True))
    assert result.returncode == 1, result.stdout + result.stderr
    # one FAIL: line per reason, each expected one there and none other
    def says(line, reason):
        return reason.match(line) if isinstance(reason, re.Pattern) else line.startswith(reason)
    unexplained = [line for line in fails if not any(says(line, reason) for reason in case["fails"])]
    missing = [reason for reason in case["fails"] if not any(says(line, reason) for line in fails)]
    assert not unexplained and not missing, summary
    subset = f" (a subset only: pytest arguments {' '.join(case['args'])})" if "args" in case else ""
    assert summary.splitlines()[-1] == "RESULT: FAILED" + subset
    assert results_folder(tmp_path / "out") == CHECK_FILES


@pytest.mark.parametrize("args", [(), ("-k", "test_small"), ("-k", "test_case")],
                         ids=["everything", "a -k rerun", "a -k rerun selecting no sanitize test"])
def test_a_clean_run_passes(tmp_path, args):
    result, summary, fails = check_tree(tmp_path, args=args)
    assert result.returncode == 0 and not fails, result.stdout + result.stderr
    subset = f" (a subset only: pytest arguments {' '.join(args)})" if args else ""
    assert summary.splitlines()[-1] == "RESULT: all passed" + subset
    if not args:
        assert "smoke  passed 1, failed 0" in summary and "suite  passed 2, failed 0" in summary
        assert all(f"{tool}: passed 1, failed 0" in summary for tool in SANITIZERS)


def test_the_suite_files_run_side_by_side_and_their_logs_merge_in_file_order(tmp_path):
    # the first file takes longest: run one after another the suite would take 8 s or more
    sleepers = {f"tests/gpu/test_sleep{i}.py": f"import time\n\n\ndef test_sleeps():\n    time.sleep({s})\n"
                for i, s in enumerate((4, 2, 2))}
    result, summary, fails = check_tree(tmp_path, sleepers, env={"KESTROVANE_CHECK_JOBS": "3"}, args=("-k", "sleeps"))
    assert result.returncode == 0, summary
    seconds = int(re.search(r"suite (\d+) s", summary).group(1))
    assert seconds < 8, summary
    files = [f"tests/gpu/test_sleep{i}.py" for i in range(3)]
    log = (tmp_path / "out" / "tests.log").read_text()
    sections = [log.index(f"==== suite: -m not smoke and not slow {f}") for f in files]
    assert sections == sorted(sections) and log.index(f"{files[0]}::test_sleeps PASSED") < sections[1]
    console = [line.split(":")[0].strip() for line in result.stdout.splitlines() if "test_sleep" in line]
    assert console == files


def test_the_plugin_stops_after_a_lost_cuda_context_as_a_failure_not_an_interruption(tmp_path):
    # a stand-in torch whose CUDA context reads back as unusable once a test has failed
    (tmp_path / "conftest.py").write_text(textwrap.dedent("""\
        import sys
        import types

        def ones(*args, **kwargs):
            raise RuntimeError("CUDA error: an illegal memory access was encountered")

        cuda = types.SimpleNamespace(is_initialized=lambda: True, synchronize=lambda: None)
        sys.modules["torch"] = types.SimpleNamespace(cuda=cuda, ones=ones)
        """))
    (tmp_path / "test_context.py").write_text("def test_faults():\n    assert False\n\n\ndef test_after():\n    pass\n")
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "check_results", "--results-file", "results.tsv",
                             "-p", "no:cacheprovider", "test_context.py"], capture_output=True, text=True, cwd=tmp_path,
                            env=dict(os.environ, PYTHONPATH=str(ROOT / "scripts")), timeout=120)
    assert result.returncode == 1, result.stdout
    events = [line.split("\t")[1:3] for line in (tmp_path / "results.tsv").read_text().splitlines()]
    assert ["CONTEXT-LOST", "test_context.py::test_faults"] in events
    assert ["START", "test_context.py::test_after"] not in events


# ---- a prebuilt folder

BUILD_INPUTS = {
    "forward/kernel.cu": True, "common/tile.cuh": True, "trimul/plan.h": True, "dkdv/entry.cpp": True,
    "tests/support/_kestrovane_probe.cpp": True, "tests/support/launch.h": True, "Makefile": True,
    "scripts/print_build_config.py": True, "forward/new_header.hpp": True,
    "tests/support/reference.py": False, "tests/gpu/test_forward_gpu.py": False, "README.md": False,
    "scripts/gpu_check.sh": False, "bench/bench_forward.py": False,
}


def fingerprint(tree):
    code = f'source "{COMMON}"; build_fingerprint "{tree}"'
    return subprocess.run(["bash", "-c", code], capture_output=True, text=True, check=True).stdout.strip()


def test_the_fingerprint_covers_exactly_the_build_inputs(tmp_path):
    tree = tmp_path / "tree"
    for name in BUILD_INPUTS:
        if name != "forward/new_header.hpp":
            (tree / name).parent.mkdir(parents=True, exist_ok=True)
            (tree / name).write_text("original\n")
    before = fingerprint(tree)
    assert re.fullmatch(r"[0-9a-f]{64}", before)
    changed = {}
    for name in BUILD_INPUTS:
        path = tree / name
        old = path.read_text() if path.exists() else None
        path.write_text("edited\n")
        changed[name] = fingerprint(tree) != before
        path.unlink() if old is None else path.write_text(old)
    assert changed == BUILD_INPUTS
    assert fingerprint(tree) == before


def test_a_prebuilt_folder_is_used_in_place_of_the_build(tmp_path):
    # prebuild_gpu.sh for a stand-in interpreter, then the check and the benchmarks with it
    machine(tmp_path, pytest_line="")
    tree = stand_in_tree(tmp_path, {"bench/bench_stand_in.py": ""})
    interpreter = executable(tmp_path / "bin" / "python-3.12", f"""\
        [ "$1" = -c ] && {{ echo "3.12 2.11.0"; exit 0; }}
        exec {sys.executable} "$@"
        """)
    env = dict(os.environ, PATH=f"{tmp_path / 'bin'}:{os.environ['PATH']}", KESTROVANE_PREBUILT_PYTHON=str(interpreter))
    built = subprocess.run(["bash", str(tree / "scripts" / "prebuild_gpu.sh")], capture_output=True, text=True,
                           env=env, cwd=tmp_path, timeout=120)
    assert built.returncode == 0, built.stdout + built.stderr
    folder = tree / "prebuilt-gpu"
    assert {p.name for p in folder.iterdir()} == {"_kestrovane_stand_in.so", "build-stamp.txt"}
    assert (folder / "build-stamp.txt").read_text() == f"python 3.12\ntorch 2.11.0\nfingerprint {fingerprint(tree)}\n"
    make_calls = (tmp_path / "bin" / "make-calls").read_text().splitlines()
    assert len(make_calls) == 1 and f"PYTHON={interpreter}" in make_calls[0]

    result, _ = run_check(tmp_path, env={"KESTROVANE_PREBUILT": str(folder)}, script=tree / "scripts" / "gpu_check.sh")
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"prebuilt {folder} used" in result.stdout
    assert set((tmp_path / "bin" / "pytest-builds").read_text().split()) == {str(folder)}
    bench, _ = run_check(tmp_path, env={"KESTROVANE_PREBUILT": str(folder), "OUT": str(tmp_path / "bench")},
                         script=tree / "scripts" / "gpu_bench.sh")
    assert bench.returncode == 0, bench.stdout + bench.stderr
    assert f"prebuilt {folder} used" in bench.stdout
    assert (tmp_path / "bin" / "make-calls").read_text().splitlines() == make_calls  # make not called again


@pytest.mark.parametrize("field, value, said", [
    ("python", "3.11", "python 3.11 there, 3.12 here"),
    ("torch", "2.10.0", "torch 2.10.0 there, 2.11.0 here"),
    ("fingerprint", "0" * 64, f"fingerprint {'0' * 64} there, "),
    ("stamp", None, "holds no build-stamp.txt"),
])
def test_a_prebuilt_folder_that_differs_is_named_and_the_check_builds(tmp_path, field, value, said):
    tree = stand_in_tree(tmp_path)
    folder = tmp_path / "prebuilt"
    folder.mkdir()
    stamp = {"python": "3.12", "torch": "2.11.0", "fingerprint": fingerprint(tree)}
    if value is not None:
        stamp[field] = value
        (folder / "build-stamp.txt").write_text("".join(f"{k} {v}\n" for k, v in stamp.items()))
    (tmp_path / "facts").write_text(STAND_IN_FACTS.replace("\\n", "\n") + "\n")
    machine(tmp_path)
    code = f"""
        root="{tree}"; tmp="{tmp_path}"; build="{tmp_path}/build"; python=python3
        source "$root/scripts/gpu_common.sh"
        say() {{ echo "$*"; }}
        deadline_start 60
        KESTROVANE_PREBUILT="{folder}" prepare_build 60 "{tmp_path}/build.log"
        echo "built=$? build=$build"
        """
    env = dict(os.environ, PATH=f"{tmp_path / 'bin'}:{os.environ['PATH']}")
    result = subprocess.run(["bash", "-c", code], capture_output=True, text=True, env=env, cwd=tmp_path, timeout=60)
    assert said in result.stdout and "building instead" in result.stdout, result.stdout + result.stderr
    assert f"built=0 build={tmp_path}/build\n" in result.stdout
    assert f"BUILD={tmp_path}/build all" in (tmp_path / "bin" / "make-calls").read_text()
