"""Validation of both dQ/dBias module entries through the real entries, in their check order."""
import pytest
import torch

from harness import (BF16, F32, OTHER_DEVICE, assert_fails_with, assert_passes_validation, expected_condition,
                     fake, load)

Q_CUDA = expected_condition("q.is_cuda() && q.dtype() == torch::kBFloat16")
Q_DIM = expected_condition("q.dim() == 5 && q.size(2) >= 1")
GRID = "batch/outer/sequence/head count exceeds the CUDA grid contract"
PLAN = "invalid query-slab plan dimensions"
Q_CONTIGUOUS = expected_condition("q.is_contiguous()")
MATCHING = "k/v/d_output/out_dq must be contiguous BF16 tensors matching q on one device"
D_OUTPUT = "d_output must be contiguous BF16 [B,O,N,H,D] on q.device"
LSE = expected_condition("logsumexp.is_cuda() && logsumexp.device() == q.device() && logsumexp.dtype() == "
                         "torch::kFloat32 && logsumexp.is_contiguous() && logsumexp.numel() == q.numel() / head_dim")
DELTA = expected_condition("delta.is_cuda() && delta.device() == q.device() && delta.dtype() == torch::kFloat32 && "
                           "delta.is_contiguous() && delta.sizes() == logsumexp.sizes()")
MASK = expected_condition("mask.is_cuda() && mask.device() == q.device() && mask.dtype() == torch::kFloat32 && "
                          "mask.is_contiguous() && mask.sizes() == torch::IntArrayRef({batch, outer_count, 1, 1, "
                          "sequence})")
BIAS = expected_condition("bias.is_cuda() && bias.device() == q.device() && bias.dtype() == torch::kBFloat16 && "
                          "bias.is_contiguous() && bias.sizes() == torch::IntArrayRef({batch, 1, heads, sequence, "
                          "sequence})")
OUT_DBIAS = expected_condition("out_dbias.is_cuda() && out_dbias.device() == q.device() && out_dbias.dtype() == "
                               "torch::kFloat32 && out_dbias.is_contiguous() && out_dbias.sizes() == "
                               "torch::IntArrayRef({batch, 1, heads, sequence, sequence})")
PLAN_OVERFLOW = "workspace plan element count overflow"
WORKSPACE = "workspace is smaller than the validated query-slab plan"
PASS = "passes validation"

ARGS = ("q", "k", "v", "d_output", "logsumexp", "delta", "mask", "bias", "out_dq", "out_dbias", "workspace",
        "slab_rows", "groups_per_wave", "batches_per_wave")
SIZES = (2, 5, 2, 40, 8)  # B, O, H, N, D
PLAN_INTS = dict(slab_rows=32, groups_per_wave=2, batches_per_wave=2)


def tensors(B, O, H, N, D, **overrides):
    """The fourteen arguments for these sizes: the plan integers of `overrides` (default
    PLAN_INTS), a workspace of exactly the plan's size, and any other override (a tensor, or
    a function that makes one)."""
    plan = {n: overrides.pop(n, PLAN_INTS[n]) for n in PLAN_INTS}
    required = plan["groups_per_wave"] * plan["batches_per_wave"] * H * plan["slab_rows"] * N
    t = {
        "q": lambda: fake([B, O, H, N, D]),
        "k": lambda: fake([B, O, H, N, D]),
        "v": lambda: fake([B, O, H, N, D]),
        "d_output": lambda: fake([B, O, N, H, D]),
        "logsumexp": lambda: fake([B, O, H, N], F32),
        "delta": lambda: fake([B, O, H, N], F32),
        "mask": lambda: fake([B, O, 1, 1, N], F32),
        "bias": lambda: fake([B, 1, H, N, N]),
        "out_dq": lambda: fake([B, O, H, N, D]),
        "out_dbias": lambda: fake([B, 1, H, N, N], F32),
        "workspace": lambda: fake([max(required, 0)]),
    }
    t.update(overrides)
    return [t[name]() for name in ARGS[:11]] + [plan[name] for name in ARGS[11:]]


B, O, H, N, D = SIZES
LOGICAL = [B, O, H, N, D]
ROWS = B * O * H * N
REQUIRED = 2 * 2 * H * 32 * N


def permuted(sizes, dtype=BF16):
    """The right sizes over a transposed layout: the last two dimensions swap strides."""
    strides, acc = [], 1
    for size in reversed(sizes):
        strides.insert(0, acc)
        acc *= size
    strides[-2], strides[-1] = 1, sizes[-2]
    return fake(sizes, dtype, strides=strides)


def wrong():
    """A tensor that fails every check it meets."""
    return torch.zeros(3, dtype=torch.float16)


ALL_WRONG = {n: wrong for n in ARGS[1:11]}
BIG_N = 2097120

# name -> (sizes, overrides, expected)
CASES = {
    # q first: device and dtype, then rank and H, whatever else is wrong
    "q on the CPU, everything else wrong": (SIZES, dict(q=lambda: torch.zeros(LOGICAL, dtype=BF16), **ALL_WRONG),
                                            Q_CUDA),
    "q in FP32": (SIZES, dict(q=lambda: fake(LOGICAL, F32)), Q_CUDA),
    "q 4-D": (SIZES, dict(q=lambda: fake([B, O, H, N]), **ALL_WRONG), Q_DIM),
    "q 6-D": (SIZES, dict(q=lambda: fake(LOGICAL + [1])), Q_DIM),
    "H = 0": ((B, O, 0, N, D), {}, Q_DIM),
    # the grid contract at its edges, before the plan
    "N = 2097120": ((1, 1, 1, BIG_N, 8), dict(slab_rows=1, groups_per_wave=1, batches_per_wave=1), PASS),
    "N = 2097121": ((1, 1, 1, BIG_N + 1, 8), dict(slab_rows=1, groups_per_wave=1, batches_per_wave=1), GRID),
    "H = 65535": ((1, 1, 65535, 1, 8), dict(slab_rows=1, groups_per_wave=1, batches_per_wave=1), PASS),
    "H = 65536": ((1, 1, 65536, 1, 8), dict(slab_rows=1, groups_per_wave=1, batches_per_wave=1), GRID),
    "B*O = 2^31-1": ((1, 2**31 - 1, 1, 1, 8), dict(slab_rows=1, groups_per_wave=1, batches_per_wave=1), PASS),
    "B*O = 2^31": ((2, 2**30, 1, 1, 8), dict(slab_rows=1, groups_per_wave=1, batches_per_wave=1), GRID),
    "B = 2^31": ((2**31, 1, 1, 1, 8), dict(slab_rows=1, groups_per_wave=1, batches_per_wave=1), GRID),
    "N = 0": ((B, O, H, 0, D), {}, GRID),
    "O = 0": ((B, 0, H, N, D), {}, GRID),
    "D = 0": ((B, O, H, N, 0), {}, GRID),
    "D = 2^31": ((1, 1, 1, 1, 2**31), dict(slab_rows=1, groups_per_wave=1, batches_per_wave=1), GRID),
    "grid before the plan": ((1, 1, 65536, 1, 8), dict(slab_rows=0), GRID),
    # the plan: groups_per_wave up to ceil(O/4), batches_per_wave up to B, slab_rows in [1, 2^31-1]
    "groups_per_wave = ceil(5/4)": (SIZES, dict(groups_per_wave=2), PASS),
    "groups_per_wave = ceil(5/4) + 1": (SIZES, dict(groups_per_wave=3), PLAN),
    "groups_per_wave = 0": (SIZES, dict(groups_per_wave=0), PLAN),
    # ceil(O/4) for O = 2^31-1 is 2^29; O + 3 must not wrap in 32 bits
    "O = 2^31-1, groups_per_wave = 2^29": ((1, 2**31 - 1, 1, 1, 8),
                                           dict(slab_rows=1, groups_per_wave=2**29, batches_per_wave=1), PASS),
    "O = 2^31-1, groups_per_wave = 2^29 + 1": ((1, 2**31 - 1, 1, 1, 8),
                                               dict(slab_rows=1, groups_per_wave=2**29 + 1, batches_per_wave=1),
                                               PLAN),
    "batches_per_wave = B": (SIZES, dict(batches_per_wave=2), PASS),
    "batches_per_wave = B + 1": (SIZES, dict(batches_per_wave=3), PLAN),
    "batches_per_wave = 0": (SIZES, dict(batches_per_wave=0), PLAN),
    "slab_rows = 0": (SIZES, dict(slab_rows=0), PLAN),
    "slab_rows = -1": (SIZES, dict(slab_rows=-1), PLAN),
    "slab_rows = 2^31": (SIZES, dict(slab_rows=2**31), PLAN),
    "slab_rows = 2^31-1": ((1, 1, 1, 1, 8), dict(slab_rows=2**31 - 1, groups_per_wave=1, batches_per_wave=1), PASS),
    "slab_rows larger than N": (SIZES, dict(slab_rows=1000), PASS),
    "plan before q's layout": (SIZES, dict(q=lambda: permuted(LOGICAL), batches_per_wave=3), PLAN),
    # q's layout, then k, v, d_output, out_dq in that order
    "q not contiguous, k wrong": (SIZES, dict(q=lambda: permuted(LOGICAL), k=wrong), Q_CONTIGUOUS),
    "k on the CPU": (SIZES, dict(k=lambda: torch.zeros(LOGICAL, dtype=BF16)), MATCHING),
    "k on another device": (SIZES, dict(k=lambda: fake(LOGICAL, device=OTHER_DEVICE)), MATCHING),
    "k in FP32": (SIZES, dict(k=lambda: fake(LOGICAL, F32)), MATCHING),
    "v one key longer": (SIZES, dict(v=lambda: fake([B, O, H, N + 1, D])), MATCHING),
    "v flat": (SIZES, dict(v=lambda: fake([ROWS * D])), MATCHING),
    "v not contiguous": (SIZES, dict(v=lambda: permuted(LOGICAL)), MATCHING),
    "v wrong before d_output wrong": (SIZES, dict(v=wrong, d_output=wrong), MATCHING),
    "d_output in the logical layout": (SIZES, dict(d_output=lambda: fake(LOGICAL), out_dq=wrong), D_OUTPUT),
    "d_output in FP32": (SIZES, dict(d_output=lambda: fake([B, O, N, H, D], F32)), D_OUTPUT),
    "d_output on another device": (SIZES, dict(d_output=lambda: fake([B, O, N, H, D], device=OTHER_DEVICE)),
                                   D_OUTPUT),
    "d_output logical with N == H": ((2, 3, 4, 4, 16), dict(d_output=lambda: fake([2, 3, 4, 4, 16]),
                                                                           groups_per_wave=1), PASS),
    "out_dq in FP32": (SIZES, dict(out_dq=lambda: fake(LOGICAL, F32)), MATCHING),
    "out_dq in the physical layout, logsumexp wrong": (SIZES, dict(out_dq=lambda: fake([B, O, N, H, D]),
                                                                   logsumexp=wrong), MATCHING),
    # every pointer is read one element at a time: no alignment beyond the element's own
    "every tensor at an odd element offset": (SIZES, {n: (lambda s=s, dt=dt: fake(s, dt, offset=dt.itemsize))
                                                      for n, s, dt in (("q", LOGICAL, BF16), ("k", LOGICAL, BF16),
                                                                       ("out_dq", LOGICAL, BF16),
                                                                       ("mask", [B, O, 1, 1, N], F32),
                                                                       ("out_dbias", [B, 1, H, N, N], F32))}, PASS),
    # logsumexp by element count, delta by logsumexp's sizes
    "logsumexp flat": (SIZES, dict(logsumexp=lambda: fake([ROWS], F32), delta=lambda: fake([ROWS], F32)), PASS),
    "logsumexp one short": (SIZES, dict(logsumexp=lambda: fake([ROWS - 1], F32)), LSE),
    "logsumexp in BF16": (SIZES, dict(logsumexp=lambda: fake([B, O, H, N])), LSE),
    "logsumexp on another device": (SIZES, dict(logsumexp=lambda: fake([B, O, H, N], F32, device=OTHER_DEVICE)),
                                    LSE),
    "logsumexp not contiguous": (SIZES, dict(logsumexp=lambda: permuted([B, O, H, N], F32)), LSE),
    "delta with logsumexp's count in another shape": (SIZES, dict(delta=lambda: fake([ROWS], F32)), DELTA),
    "delta in BF16": (SIZES, dict(delta=lambda: fake([B, O, H, N])), DELTA),
    "delta wrong before mask wrong": (SIZES, dict(delta=wrong, mask=wrong), DELTA),
    # mask, bias, out_dbias: exact sizes
    "mask [B,O,N]": (SIZES, dict(mask=lambda: fake([B, O, N], F32)), MASK),
    "mask in BF16": (SIZES, dict(mask=lambda: fake([B, O, 1, 1, N])), MASK),
    "mask wrong before bias wrong": (SIZES, dict(mask=wrong, bias=wrong), MASK),
    "bias per outer row": (SIZES, dict(bias=lambda: fake([B, O, H, N, N])), BIAS),
    "bias in FP32": (SIZES, dict(bias=lambda: fake([B, 1, H, N, N], F32)), BIAS),
    "bias wrong before out_dbias wrong": (SIZES, dict(bias=wrong, out_dbias=wrong), BIAS),
    "out_dbias in BF16": (SIZES, dict(out_dbias=lambda: fake([B, 1, H, N, N])), OUT_DBIAS),
    "out_dbias without the broadcast dimension": (SIZES, dict(out_dbias=lambda: fake([B, H, N, N], F32)), OUT_DBIAS),
    "out_dbias on another device": (SIZES, dict(out_dbias=lambda: fake([B, 1, H, N, N], F32, device=OTHER_DEVICE)),
                                    OUT_DBIAS),
    "out_dbias wrong before workspace wrong": (SIZES, dict(out_dbias=wrong, workspace=wrong), OUT_DBIAS),
    # the plan's product: 65535 x (2^31-1) x 2097120 > 2^63, reported before the workspace is looked at
    "plan product past int64": ((1, 1, 65535, BIG_N, 8), dict(slab_rows=2**31 - 1, groups_per_wave=1,
                                                              batches_per_wave=1, workspace=wrong), PLAN_OVERFLOW),
    # the workspace: element count and dtype
    "workspace exact": (SIZES, dict(workspace=lambda: fake([REQUIRED])), PASS),
    "workspace larger, any shape": (SIZES, dict(workspace=lambda: fake([3, REQUIRED])), PASS),
    "workspace one short": (SIZES, dict(workspace=lambda: fake([REQUIRED - 1])), WORKSPACE),
    "workspace in FP32": (SIZES, dict(workspace=lambda: fake([REQUIRED], F32)), WORKSPACE),
    "workspace on another device": (SIZES, dict(workspace=lambda: fake([REQUIRED], device=OTHER_DEVICE)), WORKSPACE),
    "workspace on the CPU": (SIZES, dict(workspace=lambda: torch.zeros(REQUIRED, dtype=BF16)), WORKSPACE),
    "workspace not contiguous": (SIZES, dict(workspace=lambda: fake([REQUIRED, 2], strides=[1, REQUIRED])),
                                 WORKSPACE),
    # head dimensions outside the tiers pass every tensor check; they are refused after the
    # device guard, which a fake device never passes
    "head_dim 12": ((2, 5, 2, 40, 12), {}, PASS),
    "head_dim 136": ((2, 5, 2, 40, 136), {}, PASS),
    # positive controls
    "valid call": (SIZES, {}, PASS),
    "O == N": ((2, 40, 2, 40, 8), dict(groups_per_wave=10), PASS),
    "D = 128, N = 100": ((1, 2, 1, 100, 128), dict(slab_rows=64, groups_per_wave=1, batches_per_wave=1), PASS),
}


@pytest.mark.parametrize("name", CASES)
def test_dq_dbias_validation(name):
    sizes, overrides, expected = CASES[name]
    fn = load("dq_dbias").kestrovane_triangle_dq_dbias_out
    args = tensors(*sizes, **dict(overrides))
    if expected == PASS:
        assert_passes_validation(fn, *args)
    else:
        assert_fails_with(fn, args, expected)


# ---------------------------------------------------------------- broadcast reduction

RANK = "target prefix rank must be in [1, 16]"
BIAS_RANK = "bias prefix rank cannot exceed target prefix rank"
BROADCAST = "bias prefix must broadcast exactly to the positive target prefix"
FLATTENED = "flattened target prefix exceeds the CUDA int indexing contract"
PER_BATCH = "per_batch_dbias must be contiguous FP32 [B,1,H,N,N]"
SQUARE = "per_batch_dbias must have positive square pair dimensions"
OUT = "out must be contiguous BF16 with the source bias rank"
MISMATCH = "out bias prefix mismatch"
TAIL = "out bias tail must be [1,H,N,N]"

BH, BN = 2, 3  # H, N of the broadcast cases


def reduce_args(target, bias, per_batch=None, out=None):
    t = 1
    for size in target:
        t *= size
    per_batch = per_batch() if per_batch else fake([max(t, 0), 1, BH, BN, BN], F32)
    out = out() if out else fake(list(bias) + [1, BH, BN, BN])
    return per_batch, out, list(target), list(bias)


# name -> (target prefix, bias prefix, per_batch_dbias maker, out maker, expected)
REDUCE_CASES = {
    "empty target prefix": ([], [], None, None, RANK),
    "17 target entries, everything else wrong": ([1] * 17, [], wrong, wrong, RANK),
    "16 target entries": ([1] * 15 + [2], [], None, None, PASS),
    "one target entry": ([4], [], None, None, PASS),
    "bias rank above target rank": ([2], [1, 2], wrong, wrong, BIAS_RANK),
    "bias [3] against target [2]": ([2], [3], wrong, wrong, BROADCAST),
    "bias [2] against target [4]": ([4], [2], None, None, BROADCAST),
    "target size 0": ([2, 0], [], None, None, BROADCAST),
    "target size -1": ([-1], [], None, None, BROADCAST),
    "target size 2^31": ([2**31], [1], None, None, BROADCAST),
    "bias size 0": ([2, 3], [0, 3], None, None, BROADCAST),
    "broadcast checked dimension by dimension before the product": ([0, 65536, 32768], [], None, None, BROADCAST),
    "flattened prefix 2^31": ([65536, 32768], [1, 1], wrong, wrong, FLATTENED),
    "flattened prefix 2^31-1": ([2**31 - 1], [1], None, None, PASS),
    "flattened prefix past 2^31 before a later bad size": ([65536, 32768, 0], [], None, None, FLATTENED),
    # the per-batch source
    "per_batch on the CPU": ([2], [], lambda: torch.zeros(2, 1, BH, BN, BN), None, PER_BATCH),
    "per_batch in BF16": ([2], [], lambda: fake([2, 1, BH, BN, BN]), None, PER_BATCH),
    "per_batch not contiguous": ([2], [], lambda: permuted([2, 1, BH, BN, BN], F32), None, PER_BATCH),
    "per_batch 4-D": ([2], [], lambda: fake([2, BH, BN, BN], F32), None, PER_BATCH),
    "per_batch leading size is not T": ([2, 3], [3], lambda: fake([5, 1, BH, BN, BN], F32), None, PER_BATCH),
    "per_batch second size 2": ([2], [], lambda: fake([2, 2, BH, BN, BN], F32), None, PER_BATCH),
    "per_batch wrong before out wrong": ([2], [], lambda: fake([3, 1, BH, BN, BN], F32), wrong, PER_BATCH),
    "H = 0": ([2], [], lambda: fake([2, 1, 0, BN, BN], F32), lambda: fake([1, 0, BN, BN]), SQUARE),
    "N = 0": ([2], [], lambda: fake([2, 1, BH, 0, 0], F32), lambda: fake([1, BH, 0, 0]), SQUARE),
    "not square": ([2], [], lambda: fake([2, 1, BH, BN, BN + 1], F32), None, SQUARE),
    "not square before out wrong": ([2], [], lambda: fake([2, 1, BH, BN, BN + 1], F32), wrong, SQUARE),
    # the output
    "out on the CPU": ([2], [2], None, lambda: torch.zeros(2, 1, BH, BN, BN, dtype=BF16), OUT),
    "out on another device": ([2], [2], None, lambda: fake([2, 1, BH, BN, BN], device=OTHER_DEVICE), OUT),
    "out in FP32": ([2], [2], None, lambda: fake([2, 1, BH, BN, BN], F32), OUT),
    "out not contiguous": ([2], [2], None, lambda: permuted([2, 1, BH, BN, BN]), OUT),
    "out without its bias prefix": ([2], [2], None, lambda: fake([1, BH, BN, BN]), OUT),
    "out prefix mismatch": ([2, 3], [2, 1], None, lambda: fake([2, 3, 1, BH, BN, BN]), MISMATCH),
    "out tail with H and N swapped": ([2], [2], lambda: fake([2, 1, 3, 2, 2], F32),
                                     lambda: fake([2, 1, 2, 3, 3]), TAIL),
    "out tail without the 1": ([2], [], None, lambda: fake([BH, BN, BN, 1]), TAIL),
    # positive controls: empty, partial and full bias prefixes
    "empty bias prefix": ([2, 3], [], None, None, PASS),
    "partial bias prefix": ([2, 3], [3], None, None, PASS),
    "full bias prefix": ([2, 3], [2, 3], None, None, PASS),
    "full prefix of ones": ([2, 3], [1, 1], None, None, PASS),
    "bias [2,1] against [2,3]": ([2, 3], [2, 1], None, None, PASS),
}


@pytest.mark.parametrize("name", REDUCE_CASES)
def test_broadcast_reduction_validation(name):
    target, bias, per_batch, out, expected = REDUCE_CASES[name]
    fn = load("dq_dbias").kestrovane_reduce_broadcast_dbias_out
    args = reduce_args(target, bias, per_batch, out)
    if expected == PASS:
        assert_passes_validation(fn, *args)
    else:
        assert_fails_with(fn, args, expected)
