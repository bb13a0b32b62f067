"""dK/dV and delta_true on a Hopper GPU or its emulated twin, against a float64 reference of the gradients
(tests/support/dkdv_reference.py)."""
import pytest
import torch

from dkdv_reference import (assert_guards_intact, assert_reruns_bit_identical, check_against_reference,
                            check_entries, check_swapped_grid, guarded, make_inputs, reference, run)
from backend import gpu_only
from harness import BF16, assert_bit_identical, busy_side_stream, case_marks


# The cp.async head dimensions (D = 16, 32 and 64 run the TMA kernels: tests/gpu/test_dkdv_tma_gpu.py
# covers them, O = N included). Query tiles of 32 rows, key blocks of 64: per D a single query
# tile (N = 1 or 32, a key-block tail), two query tiles (N = 40), one whole key block with and
# without O = N (SeqTail -1), and two and three key blocks over three and five query tiles
# (N = 65, 129: buffers refilled after other warps read them); a tail with O = N and one
# without. D = 8, 24, 40 and 48, 72 and 128 run tiers 16, 32, 64 and 128, all but 128 with
# columns past D zero-filled.
CASES = {
    8: [(1, False), (40, False), (40, True), (64, False), (64, True), (65, True), (129, False)],
    24: [(32, True), (40, False), (64, False), (64, True), (65, False), (129, False)],
    40: [(1, False), (40, True), (64, False), (64, True), (65, True), (129, False)],
    48: [(32, True), (40, False), (64, False), (64, True), (65, False), (129, False)],
    72: [(1, False), (40, True), (64, False), (64, True), (65, True), (129, False)],
    128: [(32, True), (40, False), (64, False), (64, True), (65, True), (129, False)],
}
# the smallest case, and tier 128 over five query tiles (buffers refilled after other warps read them)
SANITIZED = {(8, 40, False), (8, 40, True), (128, 129, False)}
SMOKE = {(8, 40, False)}
# O = N over 32 to 65 rows (160 to 260 (b, o) slices) and tier 128 at D = 72 over five query tiles
# take the emulated twin well over 3 s a case: they run on a GPU only. The emulated backend keeps
# one square case over two key blocks (D = 8, N = 65), tier 128 over five query tiles (D = 128) and
# square at tier 128 (D = 128, N = 32).
EMULATED_TOO_LARGE = {(40, 40, True), (72, 40, True), (24, 64, True), (40, 64, True), (48, 64, True),
                      (72, 64, True), (128, 64, True), (40, 65, True), (72, 65, True), (128, 65, True),
                      (72, 129, False)}


@pytest.mark.parametrize("D, N, square", [
    pytest.param(D, N, square,
                 marks=case_marks((D, N, square), sanitize=SANITIZED, smoke=SMOKE, gpu_only=EMULATED_TOO_LARGE))
    for D, rows in CASES.items() for N, square in rows])
def test_gradients_match_the_reference(backend, D, N, square):
    B, O, H = 2, (N if square else 3), 2
    check_entries(make_inputs(B, O, H, N, D, seed=1000 * D + N, device=backend.device), backend)


# O = N over one whole key block (SeqTail -1) at tiers 32, 64 and 128 on one (batch, head): 64 (b, o)
# pairs, small enough for the emulated backend (the B = H = 2 cases above are not).
@pytest.mark.parametrize("D", [24, 40, 128])
def test_square_whole_key_block_of_one_head(backend, D):
    check_entries(make_inputs(1, 64, 1, 64, D, seed=4000 + D, device=backend.device), backend)


# B*O above 65535 swaps the grid (the batch-outer index on x, key blocks on z): 65536 (b, o) pairs
# of one head at one row (a key-block tail) and at one whole key block (SeqTail -1), with and
# without O = N, on every cp.async tier. The emulated backend runs only the grid's edge blocks
# (KESTROVANE_EMULATOR_EDGE_BLOCKS), those of the first and the last pair, and the test checks
# those two pairs only (on a GPU the whole grid runs and the same check holds).
@pytest.mark.parametrize("D, N, square", [(D, N, square) for D in [8, 24, 40, 72] for N in (1, 64) for square in (False, True)])
def test_swapped_grid_matches_the_reference(backend, monkeypatch, D, N, square):
    check_swapped_grid(backend, monkeypatch, D, N, square, seed=5000 + 100 * D + N + square)


@gpu_only  # full-device scale
@pytest.mark.parametrize("D", [40, 128])
def test_reruns_at_scale_are_bit_identical(backend, D):
    # 64 (b, o) slices of 4 heads, N = 300: five key blocks (the last a tail) of ten query
    # tiles, 1280 blocks of tier 64 or 128, several waves on every SM of the device.
    assert_reruns_bit_identical(make_inputs(1, 64, 4, 300, D, seed=7, device=backend.device), backend=backend)


def test_unmasked_inputs_match_the_reference(backend):
    inputs = make_inputs(1, 4, 2, 200, 40, seed=11, masked=False, device=backend.device)
    ref = reference(*inputs)
    check_against_reference(inputs, ref, run(inputs, ref, delta_true=True, backend=backend))


@pytest.mark.slow
@gpu_only  # full-device scale
@pytest.mark.parametrize("D", [8, 16, 24, 32, 40, 64, 128])
def test_orientation_does_not_change_results(backend, D):
    # B*O = 65536 puts the batch-outer index on grid x, 65535 keeps it on z: the shared
    # slices must agree bit for bit, on every TMA tier (D = 16, 32, 64) and every cp.async
    # tier (D = 8, 24, 40, 128).
    N = 40
    inputs = make_inputs(1, 65536, 1, N, D, seed=3, masked=False, device=backend.device)
    q, k, v, d_output, mask, bias = inputs
    lse = torch.randn(1, 65536, 1, N, device=backend.device) + 4
    delta = torch.randn(1, 65536, 1, N, device=backend.device)
    ref = dict(lse=lse, delta=delta)
    wide = run(inputs, ref, delta_true=True, backend=backend)
    first = [t[:, :65535].contiguous() for t in inputs]
    narrow = run(first, dict(lse=lse[:, :65535].contiguous(), delta=delta[:, :65535].contiguous()), True,
                 backend=backend)
    for name in ("dk", "dv", "delta_true"):
        assert_bit_identical(narrow[name], wide[name][:, :65535], name)
    assert_bit_identical(narrow["partials"], wide["partials"][:65535], "partials")


def test_square_pair_gives_the_general_results(backend):
    # O == N selects the square-pair instantiation; dropping the last outer row selects
    # the general one for the same (b, o) slices.
    N, D = 40, 32
    inputs = make_inputs(2, N, 2, N, D, seed=5, device=backend.device)
    ref = reference(*inputs)
    square = run(inputs, ref, delta_true=True, backend=backend)
    fewer = [t if t.shape[1] == 1 else t[:, :N - 1].contiguous() for t in inputs]
    general = run(fewer, dict(lse=ref["lse"][:, :N - 1].contiguous(), delta=ref["delta"][:, :N - 1].contiguous()),
                  True, backend=backend)
    for name in ("dk", "dv", "delta_true"):
        assert_bit_identical(general[name], square[name][:, :N - 1], name)


@gpu_only  # streams
def test_runs_on_the_current_stream(backend):
    inputs = make_inputs(1, 3, 2, 65, 64, seed=9, device=backend.device)
    ref = reference(*inputs)
    expected = run(inputs, ref, delta_true=False, backend=backend)
    m = backend.load("dkdv")
    with busy_side_stream():
        (dk, dk_buf, guard, count), (dv, dv_buf, _, _) = (guarded(inputs[0].shape, BF16, device=backend.device)
                                                          for _ in range(2))
        m.kestrovane_triangle_dkdv_out(*inputs[:4], ref["lse"], ref["delta"], *inputs[4:], dk, dv)
        copies = dk_buf.clone(), dv_buf.clone()
    for copy, name in zip(copies, ("dk", "dv")):
        assert_guards_intact(copy, guard, count, name)
        assert_bit_identical(copy[guard:guard + count].view(expected[name].shape), expected[name], name)


@pytest.mark.parametrize("D", [12, 136, 4])
def test_head_dim_outside_the_tiers(backend, D):
    inputs = make_inputs(1, 2, 1, 8, D, seed=1, masked=False, device=backend.device)
    q = inputs[0]
    rows = torch.zeros(1, 2, 1, 8, device=backend.device)
    dk, dv = torch.empty_like(q), torch.empty_like(q)
    with pytest.raises(RuntimeError, match=f"head_dim must be a multiple of 8 and <= 128, got {D}$"):
        backend.load("dkdv").kestrovane_triangle_dkdv_out(*inputs[:4], rows, rows, *inputs[4:], dk, dv)
