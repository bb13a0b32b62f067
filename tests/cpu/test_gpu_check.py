"""scripts/gpu_check.sh without a GPU: its deadline arithmetic, the stop without a compute-capability
9.0 device, a failing build reported as failure, the one retry without -Werror, the order of its
test runs, and a hung test that ends only its own process. Stand-ins for python3, nvcc and g++
play the parts of the GPU machine."""
import os
import pathlib
import subprocess
import sys
import textwrap
import time

import pytest

from harness import BUILD, ROOT, library_kernels

SCRIPT = ROOT / "scripts" / "gpu_check.sh"
COMMON = ROOT / "scripts" / "gpu_common.sh"


def executable(path, text):
    path.write_text("#!/usr/bin/env bash\n" + textwrap.dedent(text))
    path.chmod(0o755)
    return path


def stand_in_python(folder, capability, pytest_line="exit 5"):
    """A python3 whose device query reports one device of `capability` (exit 0 only for 9.0), whose
    pytest and main job only record their arguments, and which is the real interpreter otherwise."""
    return executable(folder / "python3", f"""\
        case "${{1:-}}" in
          */gpu_facts.py) echo "device 0: Stand-in GPU, compute capability {capability}"
                          [ "{capability}" = 9.0 ]; exit ;;
          examples/main_job.py) exit 0 ;;
          -m) if [ "$2" = pytest ]; then echo "$*" >> "{folder}/pytest-calls"; {pytest_line}; fi ;;
        esac
        exec {sys.executable} "$@"
        """)


def run_check(tmp_path, env=(), args=()):
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir(exist_ok=True)
    environment = dict(os.environ, PATH=f"{bin_folder}:{os.environ['PATH']}", OUT=str(tmp_path / "out"),
                       KESTROVANE_BUILD=str(tmp_path / "build"))
    environment.update(env)
    environment.pop("PYTHON", None)
    start = time.monotonic()
    result = subprocess.run(["bash", str(SCRIPT), *args], capture_output=True, text=True, env=environment,
                            cwd=tmp_path, timeout=300)
    return result, time.monotonic() - start


def files_returned(out):
    """What the device machine hands back must be at most 8 files, none in a subfolder."""
    entries = list(out.iterdir())
    assert all(e.is_file() for e in entries) and len(entries) <= 8, entries
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
    files_returned(tmp_path / "out")


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
    files_returned(tmp_path / "out")


def test_warnings_alone_get_one_retry_then_every_step_runs_in_order(tmp_path):
    (tmp_path / "bin").mkdir()
    stand_in_python(tmp_path / "bin", "9.0")
    compilers = fake_compilers(tmp_path / "bin", """\
        case " $* " in
          *" -Werror "*) echo "kernels.cu:3: warning: stand-in host warning" >&2; exit 1 ;;
        esac
        WRITE_OUTPUT
        """)
    # a compute-sanitizer that runs its program unchecked and reports no error
    executable(tmp_path / "bin" / "compute-sanitizer", f"""\
        [ "$1" = --help ] && {{ echo "  --kernel-name <filter>"; exit 0; }}
        echo "$*" >> "{tmp_path}/bin/sanitizer-calls"
        while [ "${{1#--}}" != "$1" ]; do shift 2; done
        echo "========= ERROR SUMMARY: 0 errors"
        exec "$@"
        """)
    result, _ = run_check(tmp_path, env=compilers)
    console = result.stdout
    assert "retrying once without -Werror" in console and "built only without -Werror" in console
    calls = (tmp_path / "bin" / "pytest-calls").read_text().splitlines()
    files = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "tests" / "gpu").glob("test_*.py"))
    # smoke first, then each file in a process of its own, the sanitizers, the slow tests last
    assert "-m smoke tests/gpu" in calls[0]
    assert [c.split()[-1] for c in calls[1:-4]] == files
    assert all("-m not smoke and not slow" in c for c in calls[1:-4])
    assert all("-m sanitize tests/gpu" in c for c in calls[-4:-1])
    assert "-m slow tests/gpu" in calls[-1]
    filters = [f"--kernel-name kns={name}" for name in library_kernels()]
    tools = [c.split(" --print-limit")[0] for c in (tmp_path / "bin" / "sanitizer-calls").read_text().splitlines()]
    assert tools == [" ".join([f"--tool {t}", *filters]) for t in ("memcheck", "racecheck", "synccheck")]
    # every run logs its events and has a per-test timeout
    assert all("--results-file" in c and "--test-timeout" in c for c in calls)
    # no test result came back: that is a failure, not a pass
    assert result.returncode == 1
    assert "no GPU test passed" in (tmp_path / "out" / "summary.txt").read_text()
    assert files_returned(tmp_path / "out") >= {"summary.txt", "build.log", "tests.log", "results.tsv", "check.log"}


def test_the_whole_check_ends_by_its_deadline(tmp_path):
    # test runs that would hang are cut at the deadline, and what did not run is reported
    (tmp_path / "bin").mkdir()
    stand_in_python(tmp_path / "bin", "9.0", pytest_line="exec sleep 1000")
    result, seconds = run_check(tmp_path, env={"KESTROVANE_CHECK_SECONDS": "20", "KESTROVANE_BUILD": str(BUILD)})
    assert result.returncode == 1, result.stdout + result.stderr
    assert seconds < 20 + 15
    summary = (tmp_path / "out" / "summary.txt").read_text().splitlines()
    phases = {line.split()[0]: line for line in summary if line.split()[0] in ("smoke", "main", "suite", "slow")}
    # no time was left for the smoke tests, the main job and the suite once the later steps'
    # reserves were kept; the slow tests started and were cut at the deadline
    assert all(phases[p].endswith("not run 1") for p in ("smoke", "main", "slow")), summary
    files = len(list((ROOT / "tests" / "gpu").glob("test_*.py")))
    assert phases["suite"].endswith(f"not run {files}") and summary[-1] == "RESULT: FAILED"


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
    outcomes = {}
    for line in (tmp_path / "results.tsv").read_text().splitlines():
        phase, event, test = line.split("\t")[:3]
        if event not in ("COLLECTED", "START"):
            outcomes[test.split("::")[-1]] = event
    assert outcomes == {"test_first": "PASSED", "test_hangs": "DIED", "test_fails": "FAILED", "test_after": "PASSED"}
    assert result.stdout.splitlines() == ["passed 2, failed 1, errors 0, skipped 0, died 1, not run 0",
                                          "test_hangs or test_fails"]
    assert "Timeout" in (tmp_path / "log").read_text()  # the hung test's stack


def test_the_benchmark_run_writes_every_table_into_the_files_a_device_call_returns(tmp_path):
    # scripts/gpu_bench.sh: each benchmark's table under a header line of its own, and the build
    # log; a device call hands back at most 8 files, however many benchmarks there are
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
    assert files_returned(tmp_path / "out") == {"build.log", "benchmarks.txt"}
    benches = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "bench").glob("bench_*.py"))
    expected = "".join(f"==== {b}\ntable of {b}\n" for b in benches)
    assert (tmp_path / "out" / "benchmarks.txt").read_text() == expected
