"""dQ/dBias and the broadcast dBias reduction on a Hopper GPU or its emulated twin, against a float64 reference
with the kernels' rounding points (tests/support/dq_reference.py)."""
import importlib

import pytest
import torch

from dkdv_reference import NEG_INF, assert_bit_identical, assert_within, make_inputs, reference
from dq_reference import broadcast_fold, dq_arguments, dq_reference, free_stats, left_fold_fp32, run_dq
from dq_reference import EDGE_BLOCKS, assert_edges_within, edge_inputs, edge_spans, edge_stats
from backend import gpu_only
from harness import BF16, F32, assert_runs_bit_identical, case_marks, on_side_stream


def host():
    return importlib.import_module("_kestrovane_dq_dbias_host")


def lane_of(D, N, slab_rows):
    return host().lane(D, N, slab_rows)[1]


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
# Three outer groups (O = 9) over three batches: the plan (slab_rows, 2, 2) ends each slab on a
# group wave of one group and the call on a batch wave of one batch, in every lane. The
# exact-tiles row is also tier 64 with O != N.
SHORT_WAVES = [
    (48, 96, 9, 32),      # exact tiles, tier 64
    (40, 100, 9, 40),     # general, last slab 20 rows
    (32, 128, 9, 64),     # warpgroup row
]
SANITIZE = {(8, 1, 5, 1000), (16, 32, 6, 32)}
SMOKE = {(8, 1, 5, 1000), (16, 32, 6, 32), (8, 64, 6, 64)}  # one case per lane
# Cases that take the emulated twin well over 3 s (every plan is a call, each run twice): on a GPU
# only. Each lane and tier keeps emulated cases, square ones included, and the warpgroup row of
# SHORT_WAVES keeps the short last waves.
EMULATED_TOO_LARGE = {(8, 100, 100, 40), (16, 129, 5, 32), (40, 100, 6, 40), (64, 129, 129, 64), (72, 100, 5, 64),
                      (72, 33, 6, 32), (128, 64, 6, 32), (128, 64, 64, 64), (128, 129, 1, 200), (48, 96, 9, 32),
                      (40, 100, 9, 40)}
PARAMS = [pytest.param(*case, 2, marks=case_marks(case, sanitize=SANITIZE, smoke=SMOKE, gpu_only=EMULATED_TOO_LARGE),
                       id="D{}-N{}-O{}-slab{}".format(*case)) for case in CASES]
PARAMS += [pytest.param(*case, 3, marks=case_marks(case, gpu_only=EMULATED_TOO_LARGE),
                        id="D{}-N{}-O{}-slab{}-B3".format(*case)) for case in SHORT_WAVES]


def other_plans(D, N, O, slab_rows, B):
    """Further plans of the same lane: one group and one batch per wave, everything in one
    wave, with three batches also waves of two groups and two batches (the last ones shorter),
    and other slab heights that keep the lane table's lane. No plan twice."""
    groups = -(-O // 4)
    plans = [(slab_rows, 1, 1), (slab_rows, groups, B)]
    if B > 2:
        plans.append((slab_rows, 2, 2))
    lane = lane_of(D, N, slab_rows)
    for other in (32, 64, 40, N, N + 7):
        whole_tiles = other % 32 == 0 or other >= N
        plan = (other, groups if other % 2 else 1, B)
        if (other != slab_rows and plan not in plans and lane_of(D, N, other) == lane
                and (lane == "general" or whole_tiles)):
            plans.append(plan)
    return plans


@pytest.mark.parametrize("D, N, O, slab_rows, B", PARAMS)
def test_gradients_match_the_reference_under_every_plan(backend, D, N, O, slab_rows, B):
    H = 2
    inputs = make_inputs(B, O, H, N, D, seed=100 * D + N + O, device=backend.device)
    ref = reference(*inputs)
    expected = dq_reference(inputs, ref)
    plans = other_plans(D, N, O, slab_rows, B)
    first = run_dq(inputs, ref, *plans[0], backend=backend)
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
        again = run_dq(inputs, ref, *plan, backend=backend)
        assert_bit_identical(again["dbias"], first["dbias"], f"dBias under plan {plan}")
        assert_bit_identical(again["dq"], first["dq"], f"dQ under plan {plan}")


# (D, N, O, B, groups_per_wave, batches_per_wave), slab_rows = N: the lane table's lane and tier
FINALIZER_CASES = [
    (16, 40, 9, 3, 2, 2),     # general, tier 16: short last group and batch waves
    (64, 64, 5, 2, 2, 2),     # warpgroup, tier 64
    (128, 33, 6, 2, 2, 2),    # general, tier 128
    (8, 64, 9, 3, 2, 2),      # warpgroup, tier 16: short last waves
    (24, 128, 6, 3, 1, 2),    # warpgroup, tier 32 below its width: one group per wave, short last batch wave
    (32, 96, 9, 3, 2, 2),     # exact tiles, tier 32: short last waves
]


@pytest.mark.parametrize("D, N, O, B, groups_per_wave, batches_per_wave", [
    pytest.param(*case, marks=case_marks(case, gpu_only={(24, 128, 6, 3, 1, 2)})) for case in FINALIZER_CASES])
def test_finalizer_is_the_left_fold_of_the_workspace_partials(backend, D, N, O, B, groups_per_wave,
                                                             batches_per_wave):
    H = 3
    inputs = make_inputs(B, O, H, N, D, seed=D + N, device=backend.device)
    ref = reference(*inputs)
    expected = dq_reference(inputs, ref)
    groups = -(-O // 4)
    # one wave holds every group of every batch and row: the workspace keeps its partials
    out = run_dq(inputs, ref, N, groups, B, backend=backend)
    slots = out["workspace"].view(groups, B, H, N, N)
    partials = slots.transpose(0, 1).float()
    assert_within(partials, expected["partials"], expected["partials_bound"], "group partials")
    assert_bit_identical(out["dbias"][:, 0], left_fold_fp32(partials), "dBias vs fold of the partials")
    if (groups_per_wave, batches_per_wave) == (groups, B):
        return
    # In waves (the last group wave of each batch wave and the last batch wave shorter) each
    # later group wave's finalizer continues the fold that the earlier ones stored: the same
    # bits, and the last wave's partials lie in the first slots of the plan's workspace.
    waved = run_dq(inputs, ref, N, groups_per_wave, batches_per_wave, backend=backend)
    assert_bit_identical(waved["dbias"], out["dbias"], "dBias folded over group waves")
    g0 = (groups - 1) // groups_per_wave * groups_per_wave
    b0 = (B - 1) // batches_per_wave * batches_per_wave
    last = waved["workspace"].view(groups_per_wave, batches_per_wave, H, N, N)[:groups - g0, :B - b0]
    assert_bit_identical(last, slots[g0:, b0:], "partials of the last wave")


@pytest.mark.parametrize("D, N, O, slab_rows", [
    (16, 40, 9, 32),
    pytest.param(64, 129, 6, 64, marks=gpu_only),   # too large for the emulated twin
    pytest.param(128, 96, 5, 32, marks=gpu_only),
])
def test_reruns_are_bit_identical(backend, D, N, O, slab_rows):
    inputs = make_inputs(2, O, 3, N, D, seed=7, device=backend.device)
    ref = reference(*inputs)
    first = run_dq(inputs, ref, slab_rows, 1, 1, extra_workspace=100, backend=backend)
    for _ in range(2):
        again = run_dq(inputs, ref, slab_rows, 1, 1, extra_workspace=100, backend=backend)
        for name in ("dq", "dbias"):
            assert_bit_identical(again[name], first[name], name)


@pytest.mark.slow
@gpu_only  # full-device scale
@pytest.mark.parametrize("N, H, D, slab_rows, lane", [
    (8, 1, 16, 8, "general"),         # one query tile, one head
    (40, 3, 8, 40, "general"),        # two query tiles (the second partial), three heads
    (96, 3, 8, 64, "exact_tiles"),    # slabs of two query tiles and one, three heads
])
def test_grid_orientation_does_not_change_results(backend, N, H, D, slab_rows, lane):
    # 65536 (group, batch) pairs in one wave put them on grid x and the query tiles on z;
    # 65535 per wave keeps the first wave's pairs on z. Head and tile counts differ, so a tile
    # index read from the head's axis leaves rows unwritten.
    B, O = 1, 4 * 65536
    assert lane_of(D, N, slab_rows) == lane
    for groups_per_wave, tiles_on_x in ((65536, False), (65535, True)):
        first = host().waves(N, O, H, B, slab_rows, groups_per_wave, 1, lane == "exact_tiles", limit=1)[0][0]
        assert first["query_tiles_on_x"] == tiles_on_x and first["grid"][1] == H
    inputs = make_inputs(B, O, H, N, D, seed=3, masked=False, device=backend.device)
    stats = free_stats(B, O, H, N, seed=4, device=backend.device)
    wide = run_dq(inputs, stats, slab_rows, 65536, 1, backend=backend)
    narrow = run_dq(inputs, stats, slab_rows, 65535, 1, backend=backend)
    assert_bit_identical(wide["dq"], narrow["dq"], "dQ")
    assert_bit_identical(wide["dbias"], narrow["dbias"], "dBias")


def test_exact_tiles_lane_refuses_a_partial_slab_before_writing(backend):
    B, O, H, N, D = 1, 4, 1, 128, 64
    inputs = make_inputs(B, O, H, N, D, seed=9, device=backend.device)
    ref = reference(*inputs)
    out_dq = torch.full((B, O, H, N, D), float("nan"), device=backend.device, dtype=BF16)
    out_dbias = torch.full((B, 1, H, N, N), float("nan"), device=backend.device, dtype=F32)
    workspace = torch.empty(H * 48 * N, device=backend.device, dtype=BF16)
    q, k, v, d_output, mask, bias = inputs
    with pytest.raises(RuntimeError, match="exact-tiles lane requires query rows in full blocks"):
        backend.load("dq_dbias").kestrovane_triangle_dq_dbias_out(q, k, v, d_output, ref["lse"], ref["delta"], mask,
                                                                  bias, out_dq, out_dbias, workspace, 48, 1, 1)
    backend.synchronize()
    assert out_dq.isnan().all() and out_dbias.isnan().all()


@pytest.mark.parametrize("target, bias_prefix", [
    ([4], [1]), ([4], [4]), ([2, 3], [3]), ([2, 3], [2, 1]), ([2, 3], []), ([3, 1, 2], [3, 1, 1]),
    ([2, 3, 2], [2, 1, 2]),  # bias strides (2, 2, 1): the outer bias dimension steps by 2
    pytest.param([5], [], marks=[pytest.mark.sanitize, pytest.mark.smoke]),
])
def test_broadcast_reduction_is_the_fixed_fold(backend, target, bias_prefix):
    H, N = 3, 37
    T = 1
    for size in target:
        T *= size
    device = backend.device
    g = torch.Generator(device=device).manual_seed(T)
    # wide magnitudes, so that the order and the BF16 rounding of each term both matter
    per_batch = torch.randn(T, 1, H, N, N, device=device, generator=g) * torch.exp2(
        torch.randint(-12, 12, (T, 1, H, N, N), device=device, generator=g).float())
    out = torch.full(list(bias_prefix) + [1, H, N, N], float("nan"), device=device, dtype=BF16)
    backend.load("dq_dbias").kestrovane_reduce_broadcast_dbias_out(per_batch, out, target, bias_prefix)
    backend.synchronize()
    assert_bit_identical(out.cpu(), broadcast_fold(per_batch, target, bias_prefix), "broadcast dBias")


def test_per_batch_dbias_reduces_onto_a_shared_bias(backend):
    B, O, H, N, D = 3, 5, 2, 40, 32
    inputs = make_inputs(B, O, H, N, D, seed=21, device=backend.device)
    ref = reference(*inputs)
    out = run_dq(inputs, ref, 32, 2, 3, backend=backend)
    shared = torch.empty(1, 1, H, N, N, device=backend.device, dtype=BF16)
    backend.load("dq_dbias").kestrovane_reduce_broadcast_dbias_out(out["dbias"], shared, [B], [1])
    backend.synchronize()
    assert_bit_identical(shared.cpu(), broadcast_fold(out["dbias"], [B], [1]), "shared bias gradient")


# (D, N, O, plan): B = 2 and H = 4 make every leaf wave 8 query tiles x 4 heads x 8 (group,
# batch) pairs = 256 blocks and every finalizer 2048 blocks, over all 132 SMs of an H100; two
# group waves per slab, so the finalizer also continues folds. The per-batch dBias is then
# reduced onto a bias shared by the batch (1024 blocks).
@gpu_only  # full-device scale
@pytest.mark.parametrize("D, N, O, plan, lane", [
    (128, 256, 32, (256, 4, 2), "exact_tiles"),
    (40, 250, 32, (250, 4, 2), "general"),
])
def test_reruns_at_full_occupancy_are_bit_identical(backend, D, N, O, plan, lane):
    B, H = 2, 4
    assert lane_of(D, N, plan[0]) == lane
    inputs = make_inputs(B, O, H, N, D, seed=D + N, device=backend.device)
    stats = free_stats(B, O, H, N, seed=5, device=backend.device)
    module = backend.load("dq_dbias")

    def run():
        out = run_dq(inputs, stats, *plan, backend=backend)
        shared = torch.full((1, 1, H, N, N), float("nan"), device=backend.device, dtype=BF16)
        module.kestrovane_reduce_broadcast_dbias_out(out["dbias"], shared, [B], [1])
        backend.synchronize()
        return dict(out, shared=shared)

    assert_runs_bit_identical(run, runs=20, what=f"{lane} rerun")


@gpu_only  # streams
@pytest.mark.parametrize("D, N, slab_rows, lane", [
    (16, 64, 32, "exact_tiles"), (40, 100, 40, "general"), (32, 128, 64, "warpgroup"),
])
def test_runs_on_the_current_stream(backend, D, N, slab_rows, lane):
    B, O, H = 2, 5, 2
    assert lane_of(D, N, slab_rows) == lane
    inputs = make_inputs(B, O, H, N, D, seed=D + N + 11, device=backend.device)
    ref = reference(*inputs)
    plan = (slab_rows, 1, B)
    expected = run_dq(inputs, ref, *plan, backend=backend)
    module = backend.load("dq_dbias")

    def launch():
        args, _ = dq_arguments(inputs, ref, plan)
        module.kestrovane_triangle_dq_dbias_out(*args)
        shared = torch.full((1, 1, H, N, N), float("nan"), device=backend.device, dtype=BF16)
        module.kestrovane_reduce_broadcast_dbias_out(args[9], shared, [B], [1])
        return dict(dq=args[8], dbias=args[9], shared=shared)

    got = on_side_stream(launch)
    assert_bit_identical(got["dq"], expected["dq"], "dQ")
    assert_bit_identical(got["dbias"], expected["dbias"], "dBias")
    assert_bit_identical(got["shared"].cpu(), broadcast_fold(expected["dbias"], [B], [1]), "shared bias gradient")


# Leaf instantiations that the tables above leave to a GPU, with query tiles on grid x, in one
# small call each: a square pair over a whole tile and a one-row tail (every tier), the square
# exact-tiles kernel of tier 32, and the non-square exact-tiles and whole-tile general kernels
# of tier 128.
@pytest.mark.parametrize("D, N, O, slab_rows", [
    (8, 33, 33, 32), (24, 33, 33, 32), (40, 33, 33, 32), (72, 33, 33, 32),
    (24, 32, 32, 32), (72, 32, 1, 32), (72, 33, 1, 32),
], ids=lambda v: str(v))
def test_leaf_instantiations_match_the_reference(backend, D, N, O, slab_rows):
    inputs = make_inputs(1, O, 1, N, D, seed=D + N + O, device=backend.device)
    ref = reference(*inputs)
    expected = dq_reference(inputs, ref)
    out = run_dq(inputs, ref, slab_rows, -(-O // 4), 1, backend=backend)
    assert_within(out["dq"], expected["dq"], expected["dq_bound"], "dQ")
    assert_within(out["dbias"], expected["dbias"], expected["dbias_bound"], "dBias")


# Swapped grids: more than 65535 (group, batch) pairs in a wave put the pairs on grid x and the
# query tiles on z. (D, N, O, B, slab_rows), one wave each, with the fewest rows that swap each
# leaf instantiation: the square general kernel with a one-row tile (O = N = 1); a whole tile
# and a one-row tail over one outer row (N = 33 in 32-row slabs), and exact tiles over one
# outer row (N = 32), on every tier; the square whole-tile general and exact-tiles kernels
# (O = N = 33 and 32, whose 9 and 8 groups per batch need B = 7282 and 8192), on every tier.
# The model runs only the edge blocks: pair 0 (the first group of batch 0) and the last pair
# (the last group of batch B-1), over both query tiles; dBias is compared where one group holds
# the whole batch and one slab covers N, so that the edge blocks own whole dBias values.
SWAPPED = [(D, *shape) for D in (8, 24, 40, 72) for shape in ((1, 1, 65536, 1), (33, 1, 65536, 32), (32, 1, 65536, 32))]
SWAPPED += [(D, *shape) for D in (8, 24, 40, 72) for shape in ((33, 33, 7282, 32), (32, 32, 8192, 32))]


@pytest.mark.parametrize("D, N, O, B, slab_rows", SWAPPED, ids=lambda v: str(v))
def test_swapped_grid_edge_blocks_against_the_reference(backend, monkeypatch, D, N, O, B, slab_rows):
    groups = -(-O // 4)
    lane = lane_of(D, N, slab_rows)
    assert lane != "warpgroup"
    first = host().waves(N, O, 1, B, slab_rows, groups, B, lane == "exact_tiles", limit=1)[0][0]
    assert not first["query_tiles_on_x"] and first["grid"][2] <= 2 * EDGE_BLOCKS
    # the model runs only the edge blocks; on a GPU the whole grid runs and the same values hold
    monkeypatch.setenv("KESTROVANE_EMULATOR_EDGE_BLOCKS", str(EDGE_BLOCKS))
    inputs, edges = edge_inputs(B, O, N, D, seed=D + N + O, device=backend.device)
    edge_ref = reference(*edges)
    expected = dq_reference(edges, edge_ref)
    args, _ = dq_arguments(inputs, edge_stats(B, edge_ref, backend.device), (slab_rows, groups, B))
    backend.load("dq_dbias").kestrovane_triangle_dq_dbias_out(*args)
    backend.synchronize()
    # dQ rows of the first group of batch 0 and of the last group of batch B-1
    row = N * D
    assert_edges_within(args[8].cpu(), expected["dq"], expected["dq_bound"], min(O, 4) * row,
                        (O - 4 * (groups - 1)) * row, "dQ")
    if groups == 1 and slab_rows >= N:
        prefix, suffix = edge_spans(B * N * N, 256)
        assert_edges_within(args[9].cpu(), expected["dbias"], expected["dbias_bound"], min(prefix, N * N),
                            min(suffix, N * N), "dBias")
