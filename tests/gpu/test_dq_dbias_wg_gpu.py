"""The warpgroup (wgmma) lane of dQ/dBias on a Hopper GPU or its emulated twin: the float64 reference with the
kernels' rounding points (tests/support/dq_reference.py), agreement with the exact-tiles lane
on the same inputs, bit-identical outputs under every plan of the lane and on reruns, and both
grid orientations.

The exact-tiles lane is forced through the entry's own lane table: 32-row query slabs are not
whole 64-row blocks, so the same call with slab_rows = 32 runs the exact-tiles kernels, and
within a lane no plan changes a bit of the outputs."""
import importlib

import pytest

from dkdv_reference import NEG_INF, assert_bit_identical, assert_within, exact_sum_inputs, make_inputs, reference
from dq_reference import dq_reference, free_stats, run_dq
from dq_reference import EDGE_BLOCKS, assert_edges_within, dq_arguments, edge_inputs, edge_stats
from backend import gpu_only
from harness import assert_runs_bit_identical, case_marks

B, H, BATCHES_PER_WAVE = 3, 2, 2  # batch waves of 2 and 1 elements


def lane_of(D, N, slab_rows):
    return importlib.import_module("_kestrovane_dq_dbias_host").lane(D, N, slab_rows)[1]


# (D, N, O, slab_rows): each N in {64, 128, 192}, each slab height in {64, 128, >= N} and each O
# in {1, 5, 6, N} meets all three tiers (D 8 and 16: tier 16; 24 and 32: tier 32; 40, 56 and
# 64: tier 64), and each tier runs below its width (D 8, 24, 40 and 56: zero columns).
CASES = [
    (8, 64, 1, 64),
    (16, 128, 5, 128),
    (8, 192, 6, 256),
    (16, 64, 64, 64),      # O == N: SquarePair
    (32, 64, 5, 256),
    (32, 128, 6, 64),
    (32, 192, 1, 128),
    (32, 128, 128, 128),   # SquarePair
    (40, 64, 6, 128),      # one slab larger than N
    (64, 128, 1, 256),
    (64, 192, 5, 64),
    (40, 128, 128, 64),    # SquarePair
    (24, 192, 5, 128),     # 64-byte swizzle with zero columns; slabs of two blocks and one
    (56, 128, 6, 64),      # tier 64 below its width
]
SANITIZE = {(8, 64, 1, 64)}
SMOKE = {(8, 64, 1, 64), (40, 64, 6, 128)}
# square pairs over 128 rows and N = 192 over five or six outer rows take the emulated twin far
# over 3 s (every plan is a call, each run twice): on a GPU only
EMULATED_TOO_LARGE = {(32, 128, 128, 128), (40, 128, 128, 64), (8, 192, 6, 256), (64, 192, 5, 64), (24, 192, 5, 128)}
PARAMS = [pytest.param(*case, marks=case_marks(case, sanitize=SANITIZE, smoke=SMOKE, gpu_only=EMULATED_TOO_LARGE),
                       id="D{}-N{}-O{}-slab{}".format(*case)) for case in CASES]


def lane_plans(D, N, O, slab_rows):
    """Plans of the warpgroup lane: the case's own with one group per wave, every group in one
    wave, and the other slab heights; no plan twice."""
    groups = -(-O // 4)
    plans = [(slab_rows, 1, BATCHES_PER_WAVE)]
    for plan in [(slab_rows, groups, BATCHES_PER_WAVE)] + [(other, max(1, groups // 2), BATCHES_PER_WAVE)
                                                           for other in (64, 128, N) if other != slab_rows]:
        if plan not in plans:
            plans.append(plan)
    assert {lane_of(D, N, plan[0]) for plan in plans} == {"warpgroup"}
    return plans


def check_against_the_reference(inputs, ref, expected, out):
    """Both outputs within the reference's bounds; fully masked rows contribute nothing to dQ,
    keys masked in every outer row nothing to dBias."""
    assert_within(out["dq"], expected["dq"], expected["dq_bound"], "dQ")
    assert_within(out["dbias"], expected["dbias"], expected["dbias_bound"], "dBias")
    fully_masked = ref["lse"] == NEG_INF
    assert fully_masked.any() and (out["dq"][fully_masked] == 0).all()
    masked_keys = (inputs[4][:, :, 0, 0, :] == NEG_INF).all(1)
    for b in range(inputs[0].shape[0]):
        assert (out["dbias"][b, :, :, :, masked_keys[b]] == 0).all()


def assert_close_to_the_exact_tiles_lane(wg, exact, expected):
    """Both lanes round dS to BF16 at the same point and fold dBias in the same order; only the
    FP32 sums of S and dP may differ in their last bits (wgmma and mma.sync add the products of
    a k-step in their own order), so a dS can land on the other side of a BF16 rounding point
    now and then. Each lane lies within the reference's bound, so no two elements may be
    further apart than twice that bound (exact sums make them agree to the bit: see
    test_dbias_matches_the_exact_tiles_lane_on_exact_sums)."""
    for name in ("dq", "dbias"):
        err = (wg[name].double() - exact[name].double()).abs()
        excess = err - 2 * expected[name + "_bound"]
        assert (excess <= 0).all(), f"{name}: {(excess > 0).sum().item()} elements apart"


@pytest.mark.parametrize("D, N, O, slab_rows", PARAMS)
def test_warpgroup_lane(backend, D, N, O, slab_rows):
    inputs = make_inputs(B, O, H, N, D, seed=1000 * D + N + O, device=backend.device)
    ref = reference(*inputs)
    expected = dq_reference(inputs, ref)
    plans = lane_plans(D, N, O, slab_rows)
    first = run_dq(inputs, ref, *plans[0], backend=backend)
    check_against_the_reference(inputs, ref, expected, first)
    for plan in plans[1:]:
        again = run_dq(inputs, ref, *plan, backend=backend)
        assert_bit_identical(again["dbias"], first["dbias"], f"dBias under plan {plan}")
        assert_bit_identical(again["dq"], first["dq"], f"dQ under plan {plan}")
    assert lane_of(D, N, 32) == "exact_tiles"
    exact = run_dq(inputs, ref, 32, -(-O // 4), BATCHES_PER_WAVE, backend=backend)
    assert_close_to_the_exact_tiles_lane(first, exact, expected)


# One plan each, for the sanitizers: tier 64 below its width (D = 40) with four key tiles per
# block, two query slabs, and waves of two groups by two batches whose second group has dead
# outer rows 6 and 7; and the SquarePair kernel (O == N) at tier 32 below its width.
@pytest.mark.sanitize
@pytest.mark.parametrize("shape, plan", [
    ((2, 6, 2, 128, 40), (64, 2, 2)),
    ((1, 64, 1, 64, 24), (64, 16, 1)),
], ids=["D40-N128-O6-plan64x2x2", "D24-N64-O64-plan64x16x1"])
def test_one_plan(backend, shape, plan):
    Bs, O, Hs, N, D = shape
    assert lane_of(D, N, plan[0]) == "warpgroup"
    inputs = make_inputs(Bs, O, Hs, N, D, seed=D + N + O, device=backend.device)
    ref = reference(*inputs)
    check_against_the_reference(inputs, ref, dq_reference(inputs, ref), run_dq(inputs, ref, *plan, backend=backend))


@pytest.mark.parametrize("D, N, O", [(16, 64, 6), (32, 128, 5), (64, 192, 1)])
def test_dbias_matches_the_exact_tiles_lane_on_exact_sums(backend, D, N, O):
    # With S and dP exact whatever order an MMA step adds in, both lanes form the same P and dS
    # bits from the shared score rule and fold them in the same tree and group order, so dBias
    # may not differ at all; dQ still goes through each lane's own product order.
    inputs = exact_sum_inputs(B, O, H, N, D, seed=4000 * D + N + O, device=backend.device)
    ref = reference(*inputs)
    expected = dq_reference(inputs, ref)
    assert lane_of(D, N, 64) == "warpgroup" and lane_of(D, N, 32) == "exact_tiles"
    wg = run_dq(inputs, ref, 64, -(-O // 4), BATCHES_PER_WAVE, backend=backend)
    exact = run_dq(inputs, ref, 32, -(-O // 4), BATCHES_PER_WAVE, backend=backend)
    assert_bit_identical(wg["dbias"], exact["dbias"], "dBias")
    assert_close_to_the_exact_tiles_lane(wg, exact, expected)


@pytest.mark.parametrize("D, N, O", [(16, 64, 6), (32, 128, 5), (64, 192, 1)])
def test_reruns_are_bit_identical(backend, D, N, O):
    inputs = make_inputs(B, O, H, N, D, seed=17, device=backend.device)
    ref = reference(*inputs)
    first = run_dq(inputs, ref, 64, 1, BATCHES_PER_WAVE, extra_workspace=100, backend=backend)
    for _ in range(2):
        again = run_dq(inputs, ref, 64, 1, BATCHES_PER_WAVE, extra_workspace=100, backend=backend)
        for name in ("dq", "dbias", "workspace"):
            assert_bit_identical(again[name], first[name], name)


# B = 2, H = 8, O = 32 and slab_rows = N = 256: each leaf wave is 4 query blocks x 8 heads x 8
# (group, batch) pairs = 256 blocks of one per SM, over all 132 SMs of an H100 twice; two group
# waves, so the finalizer also continues folds.
@gpu_only  # full-device scale
def test_reruns_at_full_occupancy_are_bit_identical(backend):
    Bs, O, Hs, N, D = 2, 32, 8, 256, 64
    assert lane_of(D, N, N) == "warpgroup"
    inputs = make_inputs(Bs, O, Hs, N, D, seed=19, device=backend.device)
    stats = free_stats(Bs, O, Hs, N, seed=20, device=backend.device)
    assert_runs_bit_identical(lambda: run_dq(inputs, stats, N, 4, 2, backend=backend), runs=20,
                              what="warpgroup rerun")


@pytest.mark.slow
@gpu_only  # full-device scale
@pytest.mark.parametrize("N, Ho, D, slab_rows", [
    (64, 1, 16, 64),     # one query block, one head
    (128, 3, 8, 128),    # two query blocks, three heads
])
def test_grid_orientation_does_not_change_results(backend, N, Ho, D, slab_rows):
    # 65536 (group, batch) pairs in one wave put them on grid x; 65535 per wave keeps the first
    # wave's pairs on z (and the second wave's single pair too). Head and block counts differ, so
    # a block index read from the head's axis leaves rows unwritten.
    Bo, O = 1, 4 * 65536
    wg_host = importlib.import_module("_kestrovane_dq_dbias_wg_host")
    for groups_per_wave, blocks_on_x in ((65536, False), (65535, True)):
        first, failure = wg_host.first_wave(N, O, Ho, Bo, slab_rows, groups_per_wave, 1)
        assert failure == "" and first["query_tiles_on_x"] == blocks_on_x and first["grid"][1] == Ho
    inputs = make_inputs(Bo, O, Ho, N, D, seed=5, masked=False, device=backend.device)
    stats = free_stats(Bo, O, Ho, N, seed=6, device=backend.device)
    assert lane_of(D, N, slab_rows) == "warpgroup"
    wide = run_dq(inputs, stats, slab_rows, 65536, 1, backend=backend)
    narrow = run_dq(inputs, stats, slab_rows, 65535, 1, backend=backend)
    assert_bit_identical(wide["dq"], narrow["dq"], "dQ")
    assert_bit_identical(wide["dbias"], narrow["dbias"], "dBias")


# Swapped grids on the emulated twin: more than 65535 (group, batch) pairs in one wave put the
# pairs on grid x and the query blocks on z. (D, N, O, B) with the fewest rows that swap: the
# square pair O = N = 64 (16 groups per batch, B = 4096) and four groups of four outer rows over
# B = 16384, on every tier, one 64-row query block each. The model runs only the edge blocks, pair 0
# (the first group of batch 0) and the last pair (the last group of batch B-1): their dQ rows are
# compared; dBias folds every group of a batch, so skipped blocks leave it undetermined.
@pytest.mark.parametrize("D, N, O, Bs", [(D, 64, O, 262144 // O) for D in (8, 24, 40) for O in (64, 16)],
                         ids=lambda v: str(v))
def test_swapped_grid_edge_blocks_against_the_reference(backend, monkeypatch, D, N, O, Bs):
    groups = -(-O // 4)
    assert lane_of(D, N, N) == "warpgroup"
    wg_host = importlib.import_module("_kestrovane_dq_dbias_wg_host")
    first, failure = wg_host.first_wave(N, O, 1, Bs, N, groups, Bs)
    assert failure == "" and not first["query_tiles_on_x"] and first["grid"][2] == 1
    # the model runs only the edge blocks; on a GPU the whole grid runs and the same rows hold
    monkeypatch.setenv("KESTROVANE_EMULATOR_EDGE_BLOCKS", str(EDGE_BLOCKS))
    inputs, edges = edge_inputs(Bs, O, N, D, seed=D + N + O, device=backend.device)
    edge_ref = reference(*edges)
    expected = dq_reference(edges, edge_ref)
    args, _ = dq_arguments(inputs, edge_stats(Bs, edge_ref, backend.device), (N, groups, Bs))
    backend.load("dq_dbias").kestrovane_triangle_dq_dbias_out(*args)
    backend.synchronize()
    row = N * D
    assert_edges_within(args[8].cpu(), expected["dq"], expected["dq_bound"], 4 * row, (O - 4 * (groups - 1)) * row,
                        "dQ")
