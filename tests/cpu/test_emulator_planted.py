"""The execution model's checks on the library's own kernels: each fault of
tests/support/planted/plant.py, planted in a copy of a real kernel and built into the
_kestrovane_<folder>_planted variant, must be reported by the check that covers it, naming the
kernel; with no fault selected each variant gives the real emulated module's bits.

A planted call runs as the emulated backend's proxy runs a call (tests/support/backend.py: the
call's tensors declared as its device memory, under the forward and then the reverse schedule,
from the same argument bytes), but each schedule's error is checked on its own: the first access
that a fault spoils, and so the thread, byte and address a report names, depends on the order in
which the schedule runs the blocks and threads, while the proxy requires one message from both."""
import ctypes
import importlib
import re

import pytest
import torch

from backend import (SCHEDULES, ScheduleChecked, _declared_device_memory, _map_tensors, _to_module,
                     argument_storages, emulated_name, emulator_schedule)
from dkdv_reference import make_inputs
from dq_reference import dq_arguments, free_stats
from harness import BF16, assert_bit_identical

C = 32  # the trimul cases: one 32-channel band (C = H)


def planted(folder):
    try:
        return importlib.import_module(f"_kestrovane_{folder}_planted")
    except ImportError:
        pytest.skip(f"the planted variant of {folder} is not built (make emulated)")


def select(module, fault):
    ctypes.CDLL(module.__file__).kestrovane_set_planted_fault(fault)


@pytest.fixture(autouse=True)
def no_fault_after(monkeypatch):
    # the variants' kernels carry the real kernels' names: they stay out of the session's launch
    # log, which counts the kernels that the emulated twins ran
    monkeypatch.setenv("KESTROVANE_EMULATOR_LOG", "")
    yield
    for folder in ("trimul", "dq_dbias"):
        try:
            select(importlib.import_module(f"_kestrovane_{folder}_planted"), 0)
        except ImportError:
            pass


# ---------------------------------------------------------------------------------- the calls
# Each builds the arguments of the smallest call that reaches its fault site.

def generator(seed):
    return torch.Generator().manual_seed(seed)


def in_fwd_call():
    """trimul_in_fwd over one row (B = NN = 1): the shared tile holds one real row and zeros."""
    g = generator(1)
    rows = 1
    ws = [torch.randn(C, C, generator=g) / C**0.5 for _ in range(5)]
    return ("trimul_in_fwd", [torch.randn(rows, C, generator=g).to(BF16), *ws, torch.rand(rows, generator=g),
                              1 + 0.2 * torch.randn(C, generator=g), 0.3 * torch.randn(C, generator=g), 1, rows, C, C,
                              True])


def out_fwd_call():
    """trimul_out_fwd over eight rows (B = 1, NN = 8): each channel's rows are one whole 16-byte
    segment, loaded by cp.async."""
    g = generator(2)
    NN = 8
    return ("trimul_out_fwd", [torch.randn(C, NN, generator=g).to(BF16), torch.randn(C, C, generator=g) / C**0.5,
                               torch.randn(NN, C, generator=g).to(BF16), 1 + 0.2 * torch.randn(C, generator=g),
                               0.3 * torch.randn(C, generator=g), 1, NN, C, C, True])


def gate_split_call():
    """trimul_gate_split_bwd over one row into a caller's d_proj5 of exactly one row."""
    g = generator(3)
    ws = [torch.randn(C, C, generator=g) / C**0.5 for _ in range(4)]
    return ("trimul_gate_split_bwd", [torch.randn(1, C, generator=g).to(BF16), *ws, torch.rand(1, generator=g),
                                      torch.randn(C, 1, generator=g).to(BF16), torch.randn(C, 1, generator=g).to(BF16),
                                      torch.zeros(1, 5 * C, dtype=BF16), 1, 1, C, C])


def transpose_ln_call():
    """transpose_ln_bwd over N = 6 (36 positions): two 32-position tiles, blocks (0,0,0) and (1,0,0)."""
    g = generator(4)
    N, NN = 6, 36
    xr = torch.randn(NN, C, generator=g).to(BF16)
    xf = xr.float()
    mean = xf.mean(1)
    rstd = torch.rsqrt((xf * xf).mean(1) - mean * mean + 1e-5)
    x = xr.t().contiguous()  # channel-major [H, NN]
    return ("transpose_ln_bwd", [x, torch.randn(NN, C, generator=g).to(BF16), N, C, 1,
                                 1 + 0.2 * torch.randn(C, generator=g), mean, rstd])


def dq_wg_call():
    """dQ/dBias on the warpgroup lane: one slice, N = 64, D = 8 (tier 16), one 64-row slab."""
    inputs = make_inputs(1, 1, 1, 64, 8, seed=5, device="cpu")
    args, _ = dq_arguments(inputs, free_stats(1, 1, 1, 64, seed=6, device="cpu"), (64, 1, 1))
    return ("kestrovane_triangle_dq_dbias_out", args)


def d_proj5_end(args):
    d_proj5 = args[8]
    return d_proj5.data_ptr() + d_proj5.numel() * d_proj5.element_size()


HEX = r"0x[0-9a-f]+"
THREAD = r"thread \(\d+,0,0\)"

# (fault, folder, call, the check's report, the kernel's demangled name up to its parameter list,
#  a further check of one report's match, or None)
FAULTS = [
    (1, "trimul", in_fwd_call,
     rf"shared-memory race on byte {HEX}: a read \(an ldmatrix row\) by {THREAD} and an earlier write by "
     rf"{THREAD}, with no order between them",
     "trimul_in_fwd_kernel", None),
    (2, "dq_dbias", dq_wg_call,
     rf"shared byte {HEX} written by {THREAD} through the generic proxy is read by a wgmma of warpgroup [01] "
     r"without a fence\.proxy\.async by the writing thread between them",
     "void kestrovane::dq::kestrovane_dq_dbias_wg_kernel<16, true, false>", None),
    # the dropped wait leaves the copy in flight: the read is reported as reading it early, before
    # anything else could be (the destination holds no generic write, so no race, and it counts as
    # written by the copy, so not as uninitialised)
    (3, "trimul", out_fwd_call,
     rf"read \(a 2-byte load\) by {THREAD} of shared byte {HEX} before the asynchronous copy that {THREAD} "
     r"issued into it has completed",
     "trimul_out_fwd_kernel", None),
    (4, "trimul", gate_split_call,
     r"global a 16-byte store of 16 bytes at (?P<at>0x[0-9a-f]+) lies outside every tensor of the launch: the "
     r"nearest is argument 8 \(torch\.bfloat16, shape \(1, 160\), strides \(160, 1\), storage offset 0\) "
     r"\(320 bytes\), (?P<past>\d+) bytes past its end",
     "trimul_gate_split_bwd_kernel",
     # row 1 of a one-row d_proj5: its first two slices (the a side's), 16 bytes at a time
     lambda m, args: (int(m["at"], 16) - d_proj5_end(args) == int(m["past"]) and int(m["past"]) in
                      range(0, 2 * C * 2, 16))),
    (5, "trimul", in_fwd_call,
     r"store of type '(struct )?uint4' at (?P<at>0x[0-9a-f]+) is not aligned to its 16 bytes "
     r"\(\S*/trimul/trimul_in_fwd\.cuh:\d+\)",
     "trimul_in_fwd_kernel",
     lambda m, args: int(m["at"], 16) % 16 == 2),  # one BF16 element past a 16-byte boundary
    (6, "trimul", transpose_ln_call,
     rf"two blocks write one launch: global byte {HEX} of a buffer the entry allocated \(a 4-byte store by this "
     r"block\), written earlier by block \((?P<earlier>[01]),0,0\)",
     "transpose_ln_bwd_kernel", None),
]
REPORT = re.compile(r"^emulator: (?P<hazard>.*) \(kernel (?P<kernel>.*), block \((?P<block>\d+),0,0\), "
                    r"thread \(\d+,0,0\)\)$", re.S)


def schedule_errors(module, function, args):
    """The RuntimeError text of module.function(*args) under each schedule, each run from the
    arguments' bytes as they were before the first (the proxy's declaration and schedules)."""
    storages = argument_storages(args, {})
    saved = [s.bytes.clone() for s in storages]
    errors = {}
    for schedule in SCHEDULES:
        for s, b in zip(storages, saved):
            s.bytes.copy_(b)
        with _declared_device_memory(module, storages), emulator_schedule(schedule):
            with pytest.raises(RuntimeError) as info:
                getattr(module, function)(*_map_tensors(args, _to_module))
        errors[schedule] = str(info.value)
    return errors


@pytest.mark.parametrize("fault, folder, call, hazard, kernel, further", FAULTS, ids=[f"fault{f[0]}" for f in FAULTS])
def test_a_planted_fault_is_reported_by_its_check(fault, folder, call, hazard, kernel, further):
    module = planted(folder)
    function, args = call()
    select(module, fault)
    for schedule, error in schedule_errors(module, function, args).items():
        report = REPORT.match(error)
        assert report, f"{schedule}: {error}"
        m = re.fullmatch(hazard, report["hazard"], re.S)
        assert m, f"{schedule}: {error}"
        assert report["kernel"].startswith(kernel + "("), f"{schedule}: {error}"
        if further is not None:
            assert further(m, args), f"{schedule}: {error}"
        if fault == 6:  # the other of the two tiles' blocks wrote first
            assert {m["earlier"], report["block"]} == {"0", "1"}, f"{schedule}: {error}"


def _tensors(value):
    if isinstance(value, torch.Tensor):
        return [value]
    if isinstance(value, (list, tuple)):
        return [t for v in value for t in _tensors(v)]
    return []


# Every call of the table, once: each reaches its sites with the patches off.
CALLS = sorted({(f[1], f[2]) for f in FAULTS}, key=lambda c: c[1].__name__)


@pytest.mark.parametrize("folder, call", CALLS, ids=[c[1].__name__ for c in CALLS])
def test_with_no_fault_selected_a_variant_gives_the_real_bits(folder, call):
    module = planted(folder)
    select(module, 0)
    results = []
    for name in (module.__name__, emulated_name(folder)):
        function, args = call()  # fresh arguments, the same values
        result = getattr(ScheduleChecked(importlib.import_module(name)), function)(*args)
        results.append(_tensors(result) + _tensors(args))
    (variant, real) = results
    assert len(variant) == len(real)
    for i, (v, r) in enumerate(zip(variant, real)):
        assert_bit_identical(v, r, f"{call.__name__}: tensor {i} (results, then arguments)")
