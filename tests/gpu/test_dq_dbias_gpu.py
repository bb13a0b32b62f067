"""dQ/dBias and the broadcast dBias reduction on a Hopper GPU, against a float64 reference
with the kernels' rounding points (tests/support/dq_reference.py)."""
import importlib

import pytest
import torch

from dkdv_reference import NEG_INF, assert_bit_identical, assert_within, make_inputs, reference
from dq_reference import broadcast_fold, dq_reference, left_fold_fp32, run_dq
from harness import BF16, F32, case_marks, load, requires_hopper

pytestmark = requires_hopper


def lane_of(D, N, slab_rows):
    return importlib.import_module("_kestrovane_dq_dbias_host").lane(D, N, slab_rows)[1]


# (D, N, O, slab_rows): every tier (16, 32, 64, 128) meets the exact-tiles lane (through the
# warpgroup rows of the lane table too, where the tier has them) and the general lane with
# both whole and partial query slabs; each of N in {1, 32, 33, 64, 100, 129} and O in
# {1, 5, 6, N} meets several tiers.
CASES = [
    (8, 1, 5, 1000),      # general, one row
    (8, 64, 6, 64),       # warpgroup row of the table
    (8, 100, 100, 40),    # general, square, 40-row slabs (the last one 20 rows)
    (16, 32, 6, 32),      # exact tiles
    (16, 64, 64, 64),     # warpgroup row, square
    (16, 129, 5, 32),     # general, last slab 1 row
    (24, 64, 6, 32),      # exact tiles, tier 32
    (32, 100, 5, 64),     # general, tier 32
    (40, 33, 1, 32),      # general, one outer row
    (40, 64, 1, 64),      # warpgroup row, one outer row
    (40, 100, 6, 40),     # general
    (64, 64, 5, 64),      # warpgroup row
    (64, 129, 129, 64),   # general, square
    (64, 32, 32, 32),     # exact tiles, square
    (72, 32, 32, 32),     # exact tiles, square, tier 128
    (72, 100, 5, 64),     # general
    (72, 33, 6, 32),      # general
    (128, 64, 6, 32),     # exact tiles
    (128, 64, 64, 64),    # exact tiles (tier 128 has no warpgroup lane), square
    (128, 129, 1, 200),   # general, one slab over every row
    (128, 1, 5, 1),       # general, one row
]
SANITIZE = {(8, 1, 5, 1000), (16, 32, 6, 32)}
SMOKE = {(8, 1, 5, 1000), (16, 32, 6, 32), (8, 64, 6, 64)}  # one case per lane
PARAMS = [pytest.param(*case, marks=case_marks(case, sanitize=SANITIZE, smoke=SMOKE),
                       id="D{}-N{}-O{}-slab{}".format(*case)) for case in CASES]


def other_plans(D, N, O, slab_rows, B):
    """Further plans of the same lane: one group and one batch per wave, everything in one
    wave, and other slab heights that keep the lane table's lane."""
    groups = -(-O // 4)
    plans = [(slab_rows, 1, 1), (slab_rows, groups, B)]
    lane = lane_of(D, N, slab_rows)
    for other in (32, 64, 40, N, N + 7):
        whole_tiles = other % 32 == 0 or other >= N
        if other != slab_rows and lane_of(D, N, other) == lane and (lane == "general" or whole_tiles):
            plans.append((other, groups if other % 2 else 1, B))
    return plans


@pytest.mark.parametrize("D, N, O, slab_rows", PARAMS)
def test_gradients_match_the_reference_under_every_plan(D, N, O, slab_rows):
    B, H = 2, 2
    inputs = make_inputs(B, O, H, N, D, seed=100 * D + N + O)
    ref = reference(*inputs)
    expected = dq_reference(inputs, ref)
    plans = other_plans(D, N, O, slab_rows, B)
    first = run_dq(inputs, ref, *plans[0])
    assert_within(first["dq"], expected["dq"], expected["dq_bound"], "dQ")
    assert_within(first["dbias"], expected["dbias"], expected["dbias_bound"], "dBias")
    # masked keys and fully masked rows contribute nothing
    masked_keys = (inputs[4][:, :, 0, 0, :] == NEG_INF).all(1)  # [B, N]: masked in every outer row
    for b in range(B):
        assert (first["dbias"][b, :, :, :, masked_keys[b]] == 0).all()
    fully_masked = ref["lse"] == NEG_INF
    assert fully_masked.any()
    assert (first["dq"][fully_masked] == 0).all()
    # within one lane no plan changes a bit of either output
    for plan in plans[1:]:
        again = run_dq(inputs, ref, *plan)
        assert_bit_identical(again["dbias"], first["dbias"], f"dBias under plan {plan}")
        assert_bit_identical(again["dq"], first["dq"], f"dQ under plan {plan}")


@pytest.mark.parametrize("D, N, O", [(16, 40, 9), (64, 64, 5), (128, 33, 6)])
def test_finalizer_is_the_left_fold_of_the_workspace_partials(D, N, O):
    # one wave holds every group of every batch and row: the workspace keeps its partials
    B, H = 2, 3
    inputs = make_inputs(B, O, H, N, D, seed=D + N)
    ref = reference(*inputs)
    expected = dq_reference(inputs, ref)
    groups = -(-O // 4)
    out = run_dq(inputs, ref, N, groups, B)
    partials = out["workspace"].view(groups, B, H, N, N).transpose(0, 1).float()
    assert_within(partials, expected["partials"], expected["partials_bound"], "group partials")
    assert_bit_identical(out["dbias"][:, 0], left_fold_fp32(partials), "dBias vs fold of the partials")


@pytest.mark.parametrize("D, N, O, slab_rows", [(16, 40, 9, 32), (64, 129, 6, 64), (128, 96, 5, 32)])
def test_reruns_are_bit_identical(D, N, O, slab_rows):
    inputs = make_inputs(2, O, 3, N, D, seed=7)
    ref = reference(*inputs)
    first = run_dq(inputs, ref, slab_rows, 1, 1, extra_workspace=100)
    for _ in range(2):
        again = run_dq(inputs, ref, slab_rows, 1, 1, extra_workspace=100)
        for name in ("dq", "dbias"):
            assert_bit_identical(again[name], first[name], name)


@pytest.mark.slow
def test_grid_orientation_does_not_change_results():
    # 65536 (group, batch) pairs in one wave put them on grid x; 65535 per wave keeps the
    # first wave on z
    B, O, H, N, D = 1, 4 * 65536, 1, 8, 16
    inputs = make_inputs(B, O, H, N, D, seed=3, masked=False)
    ref = dict(lse=torch.randn(B, O, H, N, device="cuda") + 4, delta=torch.randn(B, O, H, N, device="cuda"))
    wide = run_dq(inputs, ref, N, 65536, 1)
    narrow = run_dq(inputs, ref, N, 65535, 1)
    assert_bit_identical(wide["dq"], narrow["dq"], "dQ")
    assert_bit_identical(wide["dbias"], narrow["dbias"], "dBias")


def test_exact_tiles_lane_refuses_a_partial_slab_before_writing():
    B, O, H, N, D = 1, 4, 1, 128, 64
    inputs = make_inputs(B, O, H, N, D, seed=9)
    ref = reference(*inputs)
    out_dq = torch.full((B, O, H, N, D), float("nan"), device="cuda", dtype=BF16)
    out_dbias = torch.full((B, 1, H, N, N), float("nan"), device="cuda", dtype=F32)
    workspace = torch.empty(H * 48 * N, device="cuda", dtype=BF16)
    q, k, v, d_output, mask, bias = inputs
    with pytest.raises(RuntimeError, match="exact-tiles lane requires query rows in full blocks"):
        load("dq_dbias").kestrovane_triangle_dq_dbias_out(q, k, v, d_output, ref["lse"], ref["delta"], mask, bias,
                                                          out_dq, out_dbias, workspace, 48, 1, 1)
    torch.cuda.synchronize()
    assert out_dq.isnan().all() and out_dbias.isnan().all()


@pytest.mark.parametrize("target, bias_prefix", [
    ([4], [1]), ([4], [4]), ([2, 3], [3]), ([2, 3], [2, 1]), ([2, 3], []), ([3, 1, 2], [3, 1, 1]),
    pytest.param([5], [], marks=[pytest.mark.sanitize, pytest.mark.smoke]),
])
def test_broadcast_reduction_is_the_fixed_fold(target, bias_prefix):
    H, N = 3, 37
    T = 1
    for size in target:
        T *= size
    g = torch.Generator(device="cuda").manual_seed(T)
    # wide magnitudes, so that the order and the BF16 rounding of each term both matter
    per_batch = torch.randn(T, 1, H, N, N, device="cuda", generator=g) * torch.exp2(
        torch.randint(-12, 12, (T, 1, H, N, N), device="cuda", generator=g).float())
    out = torch.full(list(bias_prefix) + [1, H, N, N], float("nan"), device="cuda", dtype=BF16)
    load("dq_dbias").kestrovane_reduce_broadcast_dbias_out(per_batch, out, target, bias_prefix)
    torch.cuda.synchronize()
    assert_bit_identical(out.cpu(), broadcast_fold(per_batch, target, bias_prefix), "broadcast dBias")


def test_per_batch_dbias_reduces_onto_a_shared_bias():
    B, O, H, N, D = 3, 5, 2, 40, 32
    inputs = make_inputs(B, O, H, N, D, seed=21)
    ref = reference(*inputs)
    out = run_dq(inputs, ref, 32, 2, 3)
    shared = torch.empty(1, 1, H, N, N, device="cuda", dtype=BF16)
    load("dq_dbias").kestrovane_reduce_broadcast_dbias_out(out["dbias"], shared, [B], [1])
    torch.cuda.synchronize()
    assert_bit_identical(shared.cpu(), broadcast_fold(out["dbias"], [B], [1]), "shared bias gradient")
