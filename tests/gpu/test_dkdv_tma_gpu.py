"""The TMA + wgmma dK/dV kernels (head dimensions 16, 32 and 64) on a Hopper GPU or its emulated
twin, through both entries: the float64 reference of tests/support/dkdv_reference.py over one
tile, two tiles, the barrier parity wrap and sequence tails; agreement with the cp.async kernels
run on the same inputs through a test-only module (built for the GPU only); bit-identical
reruns; the dispatch's family choice."""
import importlib
import re

import pytest
import torch

from dkdv_reference import (assert_reruns_bit_identical, check_entries, check_swapped_grid, exact_sum_inputs, fold,
                            make_inputs, reference, run)
from backend import gpu_only
from harness import assert_bit_identical, case_marks

TIERS = (16, 32, 64)
# query tiles: 1 (N <= 32, no prefetch), 2 (N = 40, 64: the second buffer's first phase),
# 3 and 5 (N = 65, 96, 129: tile 2 waits on buffer 0's second phase); tails at 1, 40, 65, 96, 129
SEQUENCES = (1, 32, 40, 64, 65, 96, 129)
# the smallest cases, and five query tiles (buffers refilled after other warps read them)
SANITIZED = {(16, 40, False), (64, 65, False), (32, 129, False)}
SMOKE = {(16, 40, False)}
# O = N = 64 at tiers 32 and 64 (256 (b, o) slices): too large for the emulated twin
EMULATED_TOO_LARGE = {(32, 64, True), (64, 64, True)}


def forced():
    return importlib.import_module("_kestrovane_dkdv_mma_forced")


def assert_agrees_with_the_cp_async_path(tma, mma, ref):
    """Both families round P and dS to BF16 at the same points and accumulate dV and dK through
    the same mma.sync sequence; only the FP32 sums of S and dP may differ in their last bits
    (wgmma and mma.sync add the products of a k-step in their own order), and an output can
    then differ where a P or dS value lands on the other side of a BF16 rounding point. Each
    family lies within the reference's bound, so no element of the two may be further apart
    than twice that bound. (Inputs whose sums are exact in any order must agree to the bit:
    test_bit_identical_to_the_cp_async_path_on_exact_sums.)"""
    for name in ("dv", "dk"):
        err = (tma[name].double() - mma[name].double()).abs()
        excess = err - 2 * ref[name + "_bound"]
        assert (excess <= 0).all(), f"{name}: {(excess > 0).sum().item()} elements apart"
    if "partials" in mma:
        N = ref["p"].shape[-1]
        kb = (N + 63) // 64
        bound = torch.nn.functional.pad(ref["pdp_bound"], (0, 64 * kb - N)).reshape(-1, N, kb, 64)
        bound = bound.sum(-1).transpose(1, 2)
        err = (tma["partials"].double() - mma["partials"].double()).abs()
        assert (err <= 2 * bound + 1e-30).all(), "delta_true partials"


# O = N (SquarePair) over a key-block tail (N = 40) and over one whole key block (N = 64, SeqTail -1)
CASES = [pytest.param(D, N, False, marks=case_marks((D, N, False), sanitize=SANITIZED, smoke=SMOKE))
         for D in TIERS for N in SEQUENCES]
CASES += [pytest.param(D, N, True, marks=case_marks((D, N, True), gpu_only=EMULATED_TOO_LARGE))
          for D in TIERS for N in (40, 64)]


@pytest.mark.parametrize("D, N, square", CASES)
def test_tma_path(backend, D, N, square):
    B, O, H = 2, (N if square else 3), 2
    inputs = make_inputs(B, O, H, N, D, seed=2000 * D + N, device=backend.device)
    ref, out = check_entries(inputs, backend)
    if backend.name == "hopper":  # the test-only cp.async module has no emulated twin
        mma = run(inputs, ref, delta_true=True, forced=forced())
        assert_agrees_with_the_cp_async_path(out, mma, ref)


# O = N over one whole key block (SeqTail -1) at tiers 32 and 64 on one (batch, head): 64 (b, o)
# pairs, small enough for the emulated backend (the B = H = 2 cases above are not).
@pytest.mark.parametrize("D", [32, 64])
def test_square_whole_key_block_of_one_head(backend, D):
    check_entries(make_inputs(1, 64, 1, 64, D, seed=6000 + D, device=backend.device), backend)


# B*O above 65535 swaps the grid (the batch-outer index on x, key blocks on z): 65536 (b, o) pairs
# of one head at one row (a key-block tail) and at one whole key block (SeqTail -1), with and
# without O = N, on every TMA tier. The emulated backend runs only the grid's edge blocks
# (KESTROVANE_EMULATOR_EDGE_BLOCKS), those of the first and the last pair, and the test checks
# those two pairs only (on a GPU the whole grid runs and the same check holds).
@pytest.mark.parametrize("D, N, square", [(D, N, square) for D in TIERS for N in (1, 64) for square in (False, True)])
def test_swapped_grid_matches_the_reference(backend, monkeypatch, D, N, square):
    check_swapped_grid(backend, monkeypatch, D, N, square, seed=7000 + 100 * D + N + square)


@gpu_only  # the test-only cp.async module is built for the GPU only
@pytest.mark.parametrize("D", TIERS)
@pytest.mark.parametrize("N", [40, 129])
def test_bit_identical_to_the_cp_async_path_on_exact_sums(backend, D, N):
    # With S and dP exact, both families see the same scores, P and dS bits and accumulate dK
    # and dV through the same mma.sync sequence, so nothing may differ.
    inputs = exact_sum_inputs(2, 3, 2, N, D, seed=3000 * D + N, device=backend.device)
    ref = reference(*inputs)
    tma = run(inputs, ref, delta_true=True, backend=backend)
    mma = run(inputs, ref, delta_true=True, forced=forced())
    for name in ("dk", "dv", "partials"):
        assert_bit_identical(tma[name], mma[name], name)
    # the cp.async module leaves the fold to the entry: its partials folded give the same bits
    assert_bit_identical(tma["delta_true"].view(-1), fold(mma["partials"]).view(-1), "delta_true")


@gpu_only  # full-device scale
@pytest.mark.parametrize("D", TIERS)
def test_reruns_at_scale_are_bit_identical(backend, D):
    # 64 (b, o) slices of 4 heads, N = 300: five key blocks (the last a tail) of ten query
    # tiles, 1280 blocks, several waves on every SM of the device.
    assert_reruns_bit_identical(make_inputs(1, 64, 4, 300, D, seed=13, device=backend.device), backend=backend)


KERNEL = re.compile(r"kestrovane_triangle_dkdv(?:_delta_true)?_kernel")
MANGLED_TMA = re.compile(r"kestrovane_triangle_dkdv(?:_delta_true)?_kernelILi\d+ELin?\d+ELb[01]ELb[01]ELb([01])E")
DEMANGLED_TMA = re.compile(r"kestrovane_triangle_dkdv(?:_delta_true)?_kernel<[^>]*, (true|false)>")


def uses_tma(name):
    """The UseTma template argument of a dK/dV kernel's (mangled or demangled) name."""
    match = MANGLED_TMA.search(name) or DEMANGLED_TMA.search(name)
    assert match, name
    return match.group(1) in ("1", "true")


@pytest.mark.parametrize("D, tma", [(16, True), (32, True), (64, True), (8, False), (24, False), (40, False),
                                    (128, False)])
@pytest.mark.parametrize("delta_true", [False, True])
@gpu_only  # profiler
def test_dispatch_picks_the_tma_family_for_its_tiers(backend, D, tma, delta_true):
    inputs = make_inputs(1, 2, 1, 64, D, seed=1, masked=False, device=backend.device)
    q = inputs[0]
    rows = torch.zeros(1, 2, 1, 64, device=backend.device)
    dk, dv = torch.empty_like(q), torch.empty_like(q)
    args = [*inputs[:4], rows, rows, *inputs[4:], dk, dv]
    m = backend.load("dkdv")
    with torch.profiler.profile(activities=[torch.profiler.ProfilerActivity.CUDA]) as prof:
        if delta_true:
            m.kestrovane_triangle_dkdv_delta_true_out(*args, torch.empty(128, device=backend.device),
                                                      torch.empty(1, 2, 1, 64, device=backend.device))
        else:
            m.kestrovane_triangle_dkdv_out(*args)
        backend.synchronize()
    names = [e.name for e in prof.events() if KERNEL.search(e.name)]
    if not names:
        pytest.skip("the profiler recorded no kernels")
    assert len(names) == 1 and uses_tma(names[0]) is tma, names
