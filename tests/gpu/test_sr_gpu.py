"""The single-reconstruction backward on a Hopper GPU or its emulated twin: all four gradients against the float64
reference (tests/support/sr_reference.py), the key-block fold of the dQ partials, bit-identical
outputs for every plan and on reruns, agreement with the two-pass path, guarded outputs and
scratch, and the launch failure of a head count past grid y."""
import importlib

import pytest
import torch

from dkdv_reference import assert_bit_identical, assert_within, make_inputs, scale_of
from dq_reference import free_stats
from backend import gpu_only
from harness import BF16, F32, assert_runs_bit_identical, on_side_stream
from sr_reference import check_sr, guarded, run_sr, sr_arguments, sr_reference
from sr_reference import clip_spans, grid_stride_spans, key_block_fold, swapped_edge_inputs

HEAD_DIMS = (8, 16, 32, 40, 64, 24)  # tiers 16, 16, 32, 64, 64, 32: each tier also below its width
SEQUENCES = (64, 128, 192)


def cases():
    """Each head dimension with O = 1 (single outer row), O = 5 (a partial group) and O = N
    (square pair), the sequence rotating so that each D meets each N."""
    table = []
    for d_index, D in enumerate(HEAD_DIMS):
        for o_index, kind in enumerate(("one", "five", "square")):
            N = SEQUENCES[(d_index + o_index) % 3]
            O = {"one": 1, "five": 5, "square": N}[kind]
            marks = [pytest.mark.sanitize, pytest.mark.smoke] if (D, N, O) == (8, 64, 1) else []
            if kind == "square" and N > 64:
                marks.append(gpu_only)  # 256 or 384 (b, o) slices: too large for the emulated twin
            table.append(pytest.param(D, N, O, marks=marks, id=f"D{D}-N{N}-O{O}"))
    return table


@pytest.mark.parametrize("D, N, O", cases())
def test_gradients_match_the_reference(backend, D, N, O):
    inputs = make_inputs(2, O, 2, N, D, seed=100 * D + N + O, device=backend.device)
    ref = sr_reference(*inputs)
    check_sr(inputs, ref, run_sr(inputs, ref, backend=backend))
    # two query slabs of 32 rows before the last: the FP32 state round-trips exactly
    check_sr(inputs, ref, run_sr(inputs, ref, plan=(32, 1, 1), backend=backend))


@pytest.mark.sanitize
def test_small_case_with_continuation_state(backend):
    inputs = make_inputs(1, 5, 1, 64, 16, seed=3, device=backend.device)
    ref = sr_reference(*inputs)
    check_sr(inputs, ref, run_sr(inputs, ref, plan=(32, 1, 1), backend=backend))


# (B, O, N, D) and plans (slab_rows, groups_per_wave, batches_per_wave) that cover single and
# several slabs (with a shorter last slab), group waves with a remainder and batch waves.
PLAN_CASES = [
    ((3, 9, 192, 16), [(32, 1, 1), (64, 2, 2), (96, 3, 3), (192, 3, 1), (4096, 1, 2)]),
    ((2, 5, 128, 40), [(32, 2, 1), (96, 1, 2), (128, 2, 2)]),
    ((3, 1, 128, 64), [(32, 1, 3), (64, 1, 2), (160, 1, 1)]),
    ((2, 64, 64, 32), [(32, 16, 1), (64, 3, 2), (64, 16, 2)]),
]


@pytest.mark.parametrize("shape, plans", PLAN_CASES, ids=[f"B{s[0]}-O{s[1]}-N{s[2]}-D{s[3]}" for s, _ in PLAN_CASES])
def test_every_plan_gives_the_same_bits(backend, shape, plans):
    B, O, N, D = shape
    inputs = make_inputs(B, O, 2, N, D, seed=sum(shape), device=backend.device)
    ref = sr_reference(*inputs)
    first = run_sr(inputs, ref, plan=plans[0], backend=backend)
    check_sr(inputs, ref, first)
    for plan in plans[1:]:
        again = run_sr(inputs, ref, plan=plan, backend=backend)
        for name in ("dq", "dk", "dv", "dbias", "dq_partials"):
            assert_bit_identical(again[name], first[name], f"{name} with plan {plan}")


@pytest.mark.parametrize("D", (16, 64))
def test_reruns_are_bit_identical(backend, D):
    inputs = make_inputs(2, 6, 3, 128, D, seed=21, device=backend.device)
    ref = sr_reference(*inputs)
    first = run_sr(inputs, ref, plan=(64, 1, 1), backend=backend)
    for _ in range(2):
        again = run_sr(inputs, ref, plan=(64, 1, 1), backend=backend)
        for name in ("dq", "dk", "dv", "dbias"):
            assert_bit_identical(again[name], first[name], name)


# B = 2, H = 8, O = 16, N = 256 and the plan (128, 4, 2): each leaf wave is 4 key blocks x 8
# heads x 8 (group, batch) pairs = 256 blocks of one per SM, over all 132 SMs of an H100 twice,
# in two query slabs (the second reads the continuation state); the dQ reduce runs 2048 blocks.
@gpu_only  # full-device scale
def test_reruns_at_full_occupancy_are_bit_identical(backend):
    inputs = make_inputs(2, 16, 8, 256, 64, seed=23, device=backend.device)
    ref = free_stats(2, 16, 8, 256, seed=24, device=backend.device)
    assert_runs_bit_identical(lambda: run_sr(inputs, ref, plan=(128, 4, 2), backend=backend), runs=20,
                              what="SR rerun")


@pytest.mark.slow
@gpu_only  # full-device scale
@pytest.mark.parametrize("B, O, H, N, wide, narrow", [
    (65536, 1, 1, 64, (64, 1, 65536), (64, 1, 1024)),          # one key block, one head, one slab
    (2, 4 * 32768, 3, 128, (64, 32768, 2), (64, 1024, 2)),     # two key blocks, three heads, two slabs
])
def test_orientation_does_not_change_results(backend, B, O, H, N, wide, narrow):
    # 65536 (group, batch) pairs in one wave put them on grid x and the key blocks on z; 2048 or
    # 1024 per wave keep them on z. Head and key-block counts differ, so a key block read from
    # the head's axis leaves keys unwritten.
    sr_host = importlib.import_module("_kestrovane_sr_host")
    for plan, key_blocks_on_x in ((wide, False), (narrow, True)):
        pairs = plan[1] * plan[2]
        expected = (N // 64, H, pairs, True) if key_blocks_on_x else (pairs, H, N // 64, False)
        assert sr_host.leaf_grid(pairs, N // 64, H) == expected
    inputs = make_inputs(B, O, H, N, 8, seed=5, masked=False, device=backend.device)
    ref = free_stats(B, O, H, N, seed=6, device=backend.device)
    first = run_sr(inputs, ref, plan=wide, backend=backend)
    again = run_sr(inputs, ref, plan=narrow, backend=backend)
    for name in ("dq", "dk", "dv", "dbias"):
        assert_bit_identical(first[name], again[name], name)


@pytest.mark.parametrize("D, N, O", [(16, 128, 5), (40, 64, 64), (64, 192, 1)])
def test_agrees_with_the_two_pass_path(backend, D, N, O):
    inputs = make_inputs(2, O, 2, N, D, seed=D + N + O, device=backend.device)
    ref = sr_reference(*inputs)
    out = run_sr(inputs, ref, backend=backend)
    q, k, v, d_output, mask, bias = inputs
    B, H = q.shape[0], q.shape[2]
    # NaN-poisoned, so that an element the two-pass kernels leave unwritten fails
    (dk, _), (dv, _), (dq, _) = (guarded(q.shape, BF16, backend.device) for _ in range(3))
    dbias, _ = guarded((B, 1, H, N, N), F32, backend.device)
    groups = (O + 3) // 4
    workspace, _ = guarded((groups * B * H * N * N,), BF16, backend.device)
    backend.load("dkdv").kestrovane_triangle_dkdv_out(q, k, v, d_output, ref["lse"], ref["delta"], mask, bias, dk, dv)
    backend.load("dq_dbias").kestrovane_triangle_dq_dbias_out(q, k, v, d_output, ref["lse"], ref["delta"], mask, bias,
                                                              dq, dbias, workspace, N, groups, B)
    backend.synchronize()
    two_pass = dict(dq=dq, dk=dk, dv=dv, dbias=dbias)
    for name in ("dq", "dk", "dv", "dbias"):
        assert_within(out[name], two_pass[name].double(), 2 * ref[name + "_bound"], f"{name} vs the two-pass path")


@pytest.mark.slow
def test_head_count_past_grid_y_fails_at_the_first_leaf_launch(backend):
    B, O, H, N, D = 1, 1, 65536, 64, 8
    inputs = make_inputs(B, O, H, N, D, seed=1, masked=False, device=backend.device)
    lse = torch.zeros(B, O, H, N, device=backend.device)
    args, guards = sr_arguments(inputs, lse, lse, (N, 1, 1))
    with pytest.raises(RuntimeError, match="Kestrovane SR leaf launch failed"):
        backend.load("dq_dbias").kestrovane_triangle_sr_backward_out(*args)
    backend.synchronize()
    # nothing has run: every output and scratch element still holds its NaN
    for name, (buffer, _, _) in guards.items():
        assert buffer.isnan().all(), f"{name} was written"
    # and the runtime's error state was cleared: the next valid call succeeds
    small = make_inputs(1, 1, 1, 64, 8, seed=2, device=backend.device)
    ref = sr_reference(*small)
    check_sr(small, ref, run_sr(small, ref, backend=backend))


@gpu_only  # streams
def test_runs_on_the_current_stream(backend):
    inputs = make_inputs(1, 3, 2, 64, 32, seed=9, device=backend.device)
    ref = sr_reference(*inputs)
    expected = run_sr(inputs, ref, backend=backend)

    def launch():
        args, _ = sr_arguments(inputs, ref["lse"], ref["delta"], (64, 1, 1))
        backend.load("dq_dbias").kestrovane_triangle_sr_backward_out(*args)
        return dict(dq=args[8], dk=args[9], dv=args[10], dbias=args[11])

    got = on_side_stream(launch)
    for name in ("dq", "dk", "dv", "dbias"):
        assert_bit_identical(got[name], expected[name], name)


# Swapped leaf grids: a wave of more than 65535 (group, batch) pairs puts the pairs on grid x and the
# key blocks on z. Each tier (D = 8, 24, 40) with the fewest pairs that swap, N = 64 and H = 1: one
# outer row over 65536 batches, and the square pair O = N = 64 (16 groups) over 4096. The model runs
# only the edge blocks of each launch: leaf pairs 0 (the first group of batch 0) and 65535 (the last
# group of batch B-1), the finalizer's first and last 256 dBias elements and the dQ reduce's first and
# last 256 vectors of each grid-stride pass. Outputs are left unfilled (and unread) outside those.
# The square pair of tier 64 holds 1.3 GB in each of its outputs: with the copies the emulated
# proxy keeps to compare the two schedules it peaks at 15 GB, so it runs on a GPU only.
SWAPPED = [pytest.param(D, O, B, marks=[gpu_only] if (D, O) == (40, 64) else [], id=f"D{D}-O{O}-B{B}")
           for D in (8, 24, 40) for O, B in ((1, 65536), (64, 4096))]


def edge_output(shape, dtype, spans, device):
    """An output whose owned flat spans start as NaN; the rest is never read."""
    t = torch.empty(shape, dtype=dtype, device=device)
    for a, b in spans:
        t.view(-1)[a:b] = float("nan")
    return t


def assert_spans_within(got, spans, edges, expected, what):
    """got's flat elements in each span against the reference of the edge slice (start, stop) holding
    it: expected[i] = (values, bound) of edges[i]."""
    assert spans, f"no {what} element is owned by the edge blocks"
    flat = got.reshape(-1)
    for a, b in spans:
        (lo, (values, bound)), = [(e[0], x) for e, x in zip(edges, expected) if e[0] <= a and b <= e[1]]
        assert_within(flat[a:b], values.reshape(-1)[a - lo:b - lo], bound.reshape(-1)[a - lo:b - lo],
                      f"{what}[{a}:{b}]")


@pytest.mark.parametrize("D, O, B", SWAPPED)
def test_swapped_grid_edge_blocks_against_the_reference(backend, monkeypatch, D, O, B):
    N, groups = 64, -(-O // 4)
    pairs = groups * B
    assert importlib.import_module("_kestrovane_sr_host").leaf_grid(pairs, 1, 1) == (pairs, 1, 1, False)
    # the model runs only the edge blocks; on a GPU the whole grid runs and the same values hold
    monkeypatch.setenv("KESTROVANE_EMULATOR_EDGE_BLOCKS", "1")
    inputs, parts, (lse, delta), leaf = swapped_edge_inputs(B, O, N, D, seed=D + O)
    refs = [sr_reference(*part) for part in parts]
    r1 = parts[1][0].shape[1]
    lse[0, :len(refs[0]["lse"][0])], delta[0, :len(refs[0]["lse"][0])] = refs[0]["lse"][0], refs[0]["delta"][0]
    lse[B - 1, O - r1:], delta[B - 1, O - r1:] = refs[1]["lse"][0], refs[1]["delta"][0]
    device = backend.device
    inputs = tuple(t.to(device) for t in inputs)
    q = inputs[0]
    n, planes = q.numel(), [(0, N * N), ((B - 1) * N * N, B * N * N)]
    # the leaf's two blocks own the dK, dV and dQ partials of their groups (one key block, one head);
    # a reduce vector is owned where the reduce's edge blocks read owned partials; a dBias element
    # where the finalizer's edge blocks fold the one group of an edge batch
    dq_spans = [s for a, b in leaf for s in clip_spans(grid_stride_spans(n, 2048, min(-(-n // 2048), 65535)), a, b)]
    dbias_spans = [s for a, b in planes for s in clip_spans(grid_stride_spans(B * N * N, 256, B * N * N // 256),
                                                            a, b)] if groups == 1 else []
    out_dq, out_dk, out_dv = (edge_output(q.shape, BF16, dq_spans if i == 0 else leaf, device) for i in range(3))
    out_dbias = edge_output((B, 1, 1, N, N), F32, dbias_spans, device)
    workspace = torch.empty(pairs * N * N, dtype=BF16, device=device)
    dq_partials = edge_output((1, *q.shape), BF16, leaf, device)
    no_state = torch.empty(0, dtype=F32, device=device)
    backend.load("dq_dbias").kestrovane_triangle_sr_backward_out(
        *inputs[:4], lse.to(device), delta.to(device), *inputs[4:], out_dq, out_dk, out_dv, out_dbias, workspace,
        dq_partials, no_state, no_state, N, groups, B)
    backend.synchronize()
    got = dict(dq=out_dq.cpu(), dk=out_dk.cpu(), dv=out_dv.cpu(), dbias=out_dbias.cpu(), partials=dq_partials.cpu())
    for name in ("dk", "dv"):
        assert_spans_within(got[name], leaf, leaf, [(r[name], r[name + "_bound"]) for r in refs], name)
    s = scale_of(D)
    assert_spans_within(got["partials"], leaf, leaf, [(r["dq"] / s, r["dq_bound"] / s) for r in refs], "dQ partial")
    assert_spans_within(got["dq"], dq_spans, leaf, [(r["dq"], r["dq_bound"]) for r in refs], "dQ")
    for a, b in dq_spans:
        assert torch.equal(got["dq"].view(-1)[a:b], key_block_fold(got["partials"].view(1, -1)[:, a:b], D)), \
            "out_dq is not the key-block fold of dq_partials"
    if groups == 1:
        assert_spans_within(got["dbias"], dbias_spans, planes, [(r["dbias"], r["dbias_bound"]) for r in refs],
                            "dBias")
