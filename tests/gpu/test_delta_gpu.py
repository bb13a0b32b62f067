"""The delta kernels on a Hopper GPU or their emulated twins: bit-exact against the float32
emulation of their lane and butterfly order, written to guarded buffers, identical on every run."""
import threading

import numpy as np
import pytest
import torch

from delta_reference import bf16_inputs, expected_delta, residual_of
from backend import gpu_only
from harness import BF16, F32, assert_runs_bit_identical, busy_side_stream

GUARD = 96  # elements of sentinel on each side of every tensor
# NaN bit patterns that no kernel computes: reading a guard poisons a sum, writing one shows
SENTINELS = {F32: (torch.int32, 0x7FC0DEAD), BF16: (torch.int16, 0x7FC1)}


def guarded(values, device):
    """values copied into the middle of a sentinel-filled buffer on device; returns (raw bits, view)."""
    n = values.numel()
    int_type, sentinel = SENTINELS[values.dtype]
    raw = torch.full((n + 2 * GUARD,), sentinel, dtype=int_type, device=device)
    view = raw.view(values.dtype)[GUARD:GUARD + n].view(values.shape)
    view.copy_(values)
    return raw, view


def assert_guards_intact(raw, view):
    sentinel = SENTINELS[view.dtype][1]
    n = view.numel()
    assert (raw[:GUARD] == sentinel).all() and (raw[GUARD + n:] == sentinel).all()


def run(backend, entry, d_output, output, shadow=None, delta_shape=None):
    """Calls the entry on guarded copies; returns delta as float32 numpy in [d0, d1, J, I] order."""
    m = backend.load("delta")
    rows = d_output.numel() // d_output.shape[-1]
    ins = [guarded(t.to(backend.device), backend.device)
           for t in (d_output, output) + (() if shadow is None else (shadow,))]
    out_raw, delta = guarded(torch.full((rows,), float("nan")), backend.device)
    delta = delta.view(delta_shape or [rows])
    if entry == "plain":
        m.kestrovane_triangle_delta_out(ins[0][1], ins[1][1], delta)
    else:
        m.kestrovane_triangle_delta_shadow_out(ins[0][1], ins[1][1], ins[2][1], delta)
    backend.synchronize()
    assert_guards_intact(out_raw, delta)
    for raw, view in ins:
        assert_guards_intact(raw, view)
    return delta.reshape(-1).cpu().numpy()


def inputs(sizes, seed):
    dO, O = bf16_inputs(sizes, seed), bf16_inputs(sizes, seed + 1)
    return dO, O, residual_of(O, seed + 2)


def assert_bits_equal(got, want):
    assert got.shape == want.shape
    mismatch = np.flatnonzero(got.view(np.uint32) != want.view(np.uint32))
    assert mismatch.size == 0, f"{mismatch.size} rows differ, first {mismatch[:4]}: {got[mismatch[:4]]} vs " \
                               f"{want[mismatch[:4]]}"


SHAPES = [pytest.param([1, 1, 3, 2, 8], marks=[pytest.mark.sanitize, pytest.mark.smoke])] + [
    [2, 3, 5, 3, D] for D in (1, 8, 40, 64, 100, 128)  # 90 rows: the last block holds two
] + [
    [1, 1, 1, 1, 64],      # one row
    [3, 1, 7, 2, 40],      # 42 rows, N = 7
    [1, 2, 64, 4, 32],     # 512 rows, whole blocks
    [2, 2, 1, 5, 100],     # N = 1
    [1, 3, 9, 1, 128],     # H = 1
]


@pytest.mark.parametrize("entry", ["plain", "shadow"])
@pytest.mark.parametrize("sizes", SHAPES, ids=lambda s: "x".join(map(str, s)))
def test_delta_is_bit_exact_against_the_emulation(backend, entry, sizes):
    dO, O, S = inputs(sizes, sum(sizes))
    got = run(backend, entry, dO, O, S if entry == "shadow" else None)
    assert_bits_equal(got, expected_delta(dO, O, S if entry == "shadow" else None))


@pytest.mark.parametrize("entry", ["plain", "shadow"])
def test_delta_of_every_shape_is_in_b_o_h_n_order(backend, entry):
    # [B,O,H,N] and flat deltas get the same values; the emulation is ordered [B,O,H,N]
    sizes = [2, 3, 6, 4, 40]
    dO, O, S = inputs(sizes, 11)
    shadow = S if entry == "shadow" else None
    shaped = run(backend, entry, dO, O, shadow, delta_shape=[2, 3, 4, 6])
    assert_bits_equal(shaped, run(backend, entry, dO, O, shadow))
    assert_bits_equal(shaped, expected_delta(dO, O, shadow))


@gpu_only  # full-device scale
@pytest.mark.parametrize("entry", ["plain", "shadow"])
def test_reruns_at_scale_are_bit_identical(backend, entry):
    # 32768 rows of 64 columns: 4096 blocks of eight rows, several waves on every SM of the
    # device; every run copies the inputs into fresh guarded buffers and writes a fresh
    # NaN-filled delta.
    sizes = [4, 16, 128, 4, 64]
    dO, O, S = inputs(sizes, 21)
    shadow = S if entry == "shadow" else None
    assert_runs_bit_identical(lambda: torch.from_numpy(run(backend, entry, dO, O, shadow)),
                              what=f"{entry} delta rerun")


def test_plain_entry_from_a_new_thread(backend):
    # a new thread starts without a resolved device and probes before its first launch
    dO, O, _ = inputs([1, 2, 5, 3, 40], 31)
    want = run(backend, "plain", dO, O)
    results, errors = [], []

    def worker():
        try:
            results.append(run(backend, "plain", dO, O))
        except Exception as error:  # reported below
            errors.append(error)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    assert not errors, errors
    assert_bits_equal(results[0], want)


@gpu_only  # streams
def test_delta_runs_on_the_current_stream(backend):
    m = backend.load("delta")
    dO, O, S = (t.to(backend.device) for t in inputs([2, 4, 64, 4, 32], 41))
    want = expected_delta(dO, O)
    rows = 2 * 4 * 64 * 4
    with busy_side_stream():
        # filled on the device: a copy from host memory would wait for the side stream first
        out_raw, delta = guarded(torch.full((rows,), float("nan"), device=backend.device), backend.device)
        m.kestrovane_triangle_delta_out(dO, O, delta)
        copy_raw = out_raw.clone()
    copy = copy_raw.view(F32)[GUARD:GUARD + rows]
    assert_guards_intact(copy_raw, copy)
    assert_bits_equal(copy.cpu().numpy(), want)


def sparse_row(D, device):
    """One row of D columns, zero but for a few at both ends; returns (dO, O, expected delta).
    The emulation runs on the non-zero 32-column blocks alone: each column keeps its lane
    (column mod 32) and its place in that lane's order, and the zeros add nothing."""
    cols = [0, 1, 31, 32, 1000] + list(range(D - 70, D))
    a = bf16_inputs([len(cols)], 51)
    b = bf16_inputs([len(cols)], 52)
    dO = torch.zeros(D, dtype=BF16, device=device)
    O = torch.zeros(D, dtype=BF16, device=device)
    index = torch.tensor(cols, device=device)
    dO[index], O[index] = a.to(device), b.to(device)
    blocks = sorted({c // 32 for c in cols})
    where = torch.tensor([blocks.index(c // 32) * 32 + c % 32 for c in cols])
    compact_dO = torch.zeros(32 * len(blocks), dtype=BF16)
    compact_O = torch.zeros(32 * len(blocks), dtype=BF16)
    compact_dO[where], compact_O[where] = a, b
    want = expected_delta(compact_dO.view(1, 1, 1, 1, -1), compact_O.view(1, 1, 1, 1, -1))
    return dO.view(1, 1, 1, 1, D), O.view(1, 1, 1, 1, D), want


@pytest.mark.slow
@gpu_only  # 10 GiB of inputs
def test_head_dimension_near_the_int_limit(backend):
    # D = 2^31 - 1: a lane's column index passes 2^31 - 32, where an int would wrap.
    free, _ = torch.cuda.mem_get_info()
    if free < 10 * 2**30:
        pytest.skip("needs 10 GiB of free GPU memory")
    dO, O, want = sparse_row(2**31 - 1, backend.device)
    delta = torch.full((3,), float("nan"), device=backend.device)
    backend.load("delta").kestrovane_triangle_delta_out(dO, O, delta[1:2])
    backend.synchronize()
    got = delta.cpu().numpy()
    assert np.isnan(got[0]) and np.isnan(got[2])
    assert_bits_equal(got[1:2], want)
