"""Shared test helpers: loading the built modules, fake CUDA tensors and the
distinction between a validation failure and a call that passed validation."""
import contextlib
import ctypes
import importlib
import pathlib
import subprocess
import sys

import pytest
import torch

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))
from build_path import use_build  # noqa: E402

BUILD = use_build()

MODULES = {
    "forward": "_kestrovane_forward_sm90a",
    "delta": "_kestrovane_delta_sm90a",
    "dkdv": "_kestrovane_dkdv_sm90a",
    "dq_dbias": "_kestrovane_dq_dbias_sm90a",
    "trimul": "_kestrovane_trimul_sm90a",
}

# Fake tensors live on a device index that no test machine has, so a call that
# passes validation always stops at the device guard, even on a GPU machine.
FAKE_DEVICE = 7
OTHER_DEVICE = 6

BF16 = torch.bfloat16
F32 = torch.float32


def load(name):
    """Imports a built module by folder name ('forward') or module name."""
    return importlib.import_module(MODULES.get(name, name))


def testing():
    return importlib.import_module("_kestrovane_testing")


def fake(sizes, dtype=BF16, device=FAKE_DEVICE, strides=None, offset=0):
    """A tensor with CUDA metadata over host memory that is never read."""
    if torch.cuda.is_available() and torch.cuda.device_count() > max(FAKE_DEVICE, OTHER_DEVICE):
        pytest.skip("fake CUDA tensors need a device index that this machine does not have")
    return testing().fake_cuda_tensor(list(sizes), dtype, device, strides, offset)


def guard_failure(message):
    """True when an error comes from the device guard or runtime, not from a check."""
    return message.startswith("CUDA error:") or "invalid device ordinal" in message


def call_error(fn, *args):
    """The RuntimeError text that fn(*args) raises (fails the test if it returns)."""
    with pytest.raises(RuntimeError) as info:
        fn(*args)
    return str(info.value)


def assert_fails_with(fn, args, expected):
    message = call_error(fn, *args)
    assert not guard_failure(message), f"passed validation, expected {expected!r}"
    assert expected in message, f"expected {expected!r}, got {message.splitlines()[0]!r}"


def assert_passes_validation(fn, *args):
    message = call_error(fn, *args)
    assert guard_failure(message), f"failed validation: {message.splitlines()[0]!r}"


def expected_condition(condition):
    """PyTorch's standard text for a check that has no message of its own."""
    return (f"Expected {condition} to be true, but got false.  (Could this error message be improved?  "
            "If so, please report an enhancement request to PyTorch.)")


def hopper_available():
    return torch.cuda.is_available() and torch.cuda.get_device_capability() == (9, 0)


def case_marks(case, **chosen):
    """The marks named by the keywords (marker name -> set of cases) whose set holds `case`."""
    return [getattr(pytest.mark, name) for name, cases in chosen.items() if case in cases]


requires_hopper = pytest.mark.skipif(not hopper_available(),
                                     reason="needs a CUDA device of compute capability 9.0 (Hopper)")


def driver_present():
    """Whether this machine has a CUDA driver (libcuda) that a tensor-map lookup can find."""
    try:
        ctypes.CDLL("libcuda.so.1")
        return True
    except OSError:
        return False


def library_kernels():
    """The kernel-name substrings that restrict the GPU check's sanitizers to this library's kernels."""
    code = f'source "{ROOT / "scripts" / "gpu_common.sh"}"; printf "%s\\n" "${{LIBRARY_KERNELS[@]}}"'
    return subprocess.run(["bash", "-c", code], capture_output=True, text=True, check=True).stdout.split()


def tensor_bits(t):
    """The raw bits of a tensor (int16 for 2-byte, int32 for 4-byte elements), contiguous."""
    return t.contiguous().view({2: torch.int16, 4: torch.int32, 8: torch.int64}[t.element_size()])


def assert_bit_identical(got, want, what="result"):
    """Same shape and the same bits in every element; says how many and where the first differs."""
    assert got.shape == want.shape, f"{what}: shape {tuple(got.shape)} != {tuple(want.shape)}"
    differ = (tensor_bits(got) != tensor_bits(want)).flatten()
    if bool(differ.any()):
        where = int(differ.nonzero()[0])
        raise AssertionError(f"{what}: {int(differ.sum())} of {differ.numel()} elements differ, first at flat "
                             f"index {where}: {got.flatten()[where].item()!r} != {want.flatten()[where].item()!r}")


def as_outputs(result):
    """A call's outputs by name: a tensor, a dict of tensors or a sequence of tensors."""
    if isinstance(result, torch.Tensor):
        return {"out": result}
    if isinstance(result, dict):
        return result
    return {str(i): t for i, t in enumerate(result)}


def assert_runs_bit_identical(run, runs=20, what="rerun"):
    """Calls run() `runs` times; every call's outputs (a tensor or a sequence/dict of tensors) must
    carry the first call's bits. run() must write into fresh or re-poisoned outputs each time, so
    that a kernel that skips an element cannot pass on the previous run's value."""
    first = {name: t.clone() for name, t in as_outputs(run()).items()}
    for attempt in range(1, runs):
        again = as_outputs(run())
        assert again.keys() == first.keys()
        for name, t in again.items():
            assert_bit_identical(t, first[name], f"{what} {attempt}: {name}")


# About 10 to 20 ms of spinning at a Hopper GPU's clock: far longer than any launch under test.
SIDE_STREAM_HEAD_START_CYCLES = 20_000_000


@contextlib.contextmanager
def busy_side_stream():
    """Runs the block on a new stream that waits for the current stream's queued work and then
    spins on the GPU before anything the block queues. Allocate, poison, launch and copy the
    results inside the block: all of it runs in the side stream's order, after the spin. A
    kernel queued on any other stream has no such wait, runs during the spin, and its results
    are overwritten by the poison that follows, so the copies show poison. Leaves the side
    stream synchronized."""
    stream = torch.cuda.Stream()
    stream.wait_stream(torch.cuda.current_stream())
    with torch.cuda.stream(stream):
        torch.cuda._sleep(SIDE_STREAM_HEAD_START_CYCLES)
        yield stream
    stream.synchronize()


def on_side_stream(launch):
    """Runs launch() inside busy_side_stream() and returns clones of its outputs (a tensor, or a
    sequence or dict of tensors, as assert_runs_bit_identical takes them) made on the side stream
    right after it. launch() must allocate and poison its outputs itself, so that the poison is
    queued after the spin."""
    with busy_side_stream():
        result = launch()
        if isinstance(result, torch.Tensor):
            return result.clone()
        return {name: t.clone() for name, t in as_outputs(result).items()}


def poisoned_fresh_outputs(call, device="cuda"):
    """call() wrapped for assert_runs_bit_identical where call() returns tensors that the code under
    test allocates itself. Before every call after the first, blocks of the byte sizes that the
    previous call returned are taken from `device`'s allocator, filled with 0xFF bytes (NaN in BF16
    and FP32) and freed again. The CUDA caching allocator hands out the smallest, then lowest-addressed
    free block that fits, so the next call's outputs normally reuse those poisoned blocks rather than
    blocks holding an earlier run's results; a host allocator reuses a freed block only at times."""
    sizes = []

    def run():
        if sizes:
            held = [torch.full((n,), 0xFF, dtype=torch.uint8, device=device) for n in sizes]
            del held
        result = call()
        sizes[:] = [t.untyped_storage().nbytes() for t in as_outputs(result).values()]
        return result

    return run
