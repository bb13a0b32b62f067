import gc
import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "support"))


def pytest_report_header():
    from harness import BUILD
    return f"kestrovane modules from {BUILD}"


# KESTROVANE_BACKENDS (comma-separated) restricts the backends; scripts/gpu_check.sh runs hopper only.
BACKENDS = os.environ.get("KESTROVANE_BACKENDS", "hopper,emulated").split(",")


@pytest.fixture(params=BACKENDS, ids=BACKENDS)
def backend(request):
    """The backend a GPU test runs on: the real modules on a Hopper GPU, or their emulated twins
    on the CPU. Skips hopper without such a GPU and emulated for cases marked gpu_only; a missing
    emulated module is no reason to skip: its import fails the test."""
    from backend import backend_named, skip_reason
    reason = skip_reason(request.param, request.node)
    if reason is not None:
        pytest.skip(reason)
    yield backend_named(request.param)
    if request.param == "emulated":
        # An emulated case's tensors live in host memory: those held by reference cycles (a raised
        # error's frames) go now, not at the collector's next pass, so cases do not pile up.
        gc.collect()


LAUNCH_LOG = "KESTROVANE_EMULATOR_LOG"


def pytest_configure(config):
    """Every emulated launch of the session goes to one launch log (unless the caller names one),
    so that the summary can say which kernels of the cubins the emulated cases ran."""
    if not os.environ.get(LAUNCH_LOG):
        from harness import BUILD
        log = BUILD / "emulator-launches.log"
        log.unlink(missing_ok=True)
        os.environ[LAUNCH_LOG] = str(log)


def pytest_terminal_summary(terminalreporter):
    from cubin_kernels import cubin_kernels, launched_kernels
    from harness import MODULES
    launched = launched_kernels(os.environ.get(LAUNCH_LOG, ""))
    if not launched:
        return
    lines, missing = [], []
    for folder in MODULES:
        try:
            kernels = cubin_kernels(folder)
        except (RuntimeError, ValueError, OSError) as error:
            lines.append(f"{folder}: cubin not read ({error})")
            continue
        lines.append(f"{folder} {len(kernels & launched)}/{len(kernels)}")
        missing += [f"{folder}\t{name}" for name in sorted(kernels - launched)]
    # The list of kernels no case ran sits next to the launch log.
    report = pathlib.Path(os.environ[LAUNCH_LOG]).with_name("emulator-uncovered.txt")
    report.write_text("".join(f"{line}\n" for line in missing))
    terminalreporter.write_line("emulated launches, cubin kernels run per module: " + ", ".join(lines) +
                                f" (the others are listed in {report})")
