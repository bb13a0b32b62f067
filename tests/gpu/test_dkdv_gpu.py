"""dK/dV and delta_true on a Hopper GPU, against a float64 reference of the gradients
(tests/support/dkdv_reference.py)."""
import pytest
import torch

from dkdv_reference import (assert_bit_identical, assert_reruns_bit_identical, check_against_reference, check_entries,
                            make_inputs, reference, run)
from harness import case_marks, load, requires_hopper

pytestmark = requires_hopper


# D = 40 and 48 run the tier-64 cp.async kernels with columns past D zero-filled.
HEAD_DIMS = (8, 16, 24, 32, 40, 48, 64, 72, 128)
# the smallest case, and tier 128 over five query tiles (buffers refilled after other warps read them)
SANITIZED = {(8, 40, False), (8, 40, True), (128, 129, False)}
SMOKE = {(8, 40, False)}


CASES = [pytest.param(D, N, square, marks=case_marks((D, N, square), sanitize=SANITIZED, smoke=SMOKE))
         for D in HEAD_DIMS for N in (1, 32, 40, 64, 65, 129) for square in (False, True)]


@pytest.mark.parametrize("D, N, square", CASES)
def test_gradients_match_the_reference(D, N, square):
    B, O, H = 2, (N if square else 3), 2
    check_entries(make_inputs(B, O, H, N, D, seed=1000 * D + N))


@pytest.mark.parametrize("D, N", [(16, 40), (64, 129), (128, 96)])
def test_reruns_are_bit_identical(D, N):
    assert_reruns_bit_identical(make_inputs(2, 5, 3, N, D, seed=7))


def test_unmasked_inputs_match_the_reference():
    inputs = make_inputs(1, 4, 2, 200, 40, seed=11, masked=False)
    ref = reference(*inputs)
    check_against_reference(inputs, ref, run(inputs, ref, delta_true=True))


@pytest.mark.slow
@pytest.mark.parametrize("D", [16, 40])
def test_orientation_does_not_change_results(D):
    # B*O = 65536 puts the batch-outer index on grid x, 65535 keeps it on z: the shared
    # slices must agree bit for bit, on the TMA kernels (D = 16) and the cp.async ones (D = 40).
    N = 40
    inputs = make_inputs(1, 65536, 1, N, D, seed=3, masked=False)
    q, k, v, d_output, mask, bias = inputs
    lse = torch.randn(1, 65536, 1, N, device="cuda") + 4
    delta = torch.randn(1, 65536, 1, N, device="cuda")
    ref = dict(lse=lse, delta=delta)
    wide = run(inputs, ref, delta_true=True)
    first = [t[:, :65535].contiguous() for t in inputs]
    narrow = run(first, dict(lse=lse[:, :65535].contiguous(), delta=delta[:, :65535].contiguous()), True)
    for name in ("dk", "dv", "delta_true"):
        assert_bit_identical(narrow[name], wide[name][:, :65535], name)
    assert_bit_identical(narrow["partials"], wide["partials"][:65535], "partials")


def test_square_pair_gives_the_general_results():
    # O == N selects the square-pair instantiation; dropping the last outer row selects
    # the general one for the same (b, o) slices.
    N, D = 40, 32
    inputs = make_inputs(2, N, 2, N, D, seed=5)
    ref = reference(*inputs)
    square = run(inputs, ref, delta_true=True)
    fewer = [t if t.shape[1] == 1 else t[:, :N - 1].contiguous() for t in inputs]
    general = run(fewer, dict(lse=ref["lse"][:, :N - 1].contiguous(), delta=ref["delta"][:, :N - 1].contiguous()),
                  True)
    for name in ("dk", "dv", "delta_true"):
        assert_bit_identical(general[name], square[name][:, :N - 1], name)


def test_runs_on_the_current_stream():
    inputs = make_inputs(1, 3, 2, 65, 64, seed=9)
    ref = reference(*inputs)
    expected = run(inputs, ref, delta_true=False)
    m = load("dkdv")
    stream = torch.cuda.Stream()
    stream.wait_stream(torch.cuda.current_stream())
    with torch.cuda.stream(stream):
        dk, dv = torch.empty_like(inputs[0]), torch.empty_like(inputs[0])
        m.kestrovane_triangle_dkdv_out(*inputs[:4], ref["lse"], ref["delta"], *inputs[4:], dk, dv)
        copies = dk.clone(), dv.clone()
    stream.synchronize()
    assert_bit_identical(copies[0], expected["dk"], "dK")
    assert_bit_identical(copies[1], expected["dv"], "dV")


@pytest.mark.parametrize("D", [12, 136, 4])
def test_head_dim_outside_the_tiers(D):
    inputs = make_inputs(1, 2, 1, 8, D, seed=1, masked=False)
    q = inputs[0]
    rows = torch.zeros(1, 2, 1, 8, device="cuda")
    dk, dv = torch.empty_like(q), torch.empty_like(q)
    with pytest.raises(RuntimeError, match=f"head_dim must be a multiple of 8 and <= 128, got {D}$"):
        load("dkdv").kestrovane_triangle_dkdv_out(*inputs[:4], rows, rows, *inputs[4:], dk, dv)
