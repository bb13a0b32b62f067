"""Validation of the single-reconstruction backward through the real entry, in check order:
every tensor's check with the device test inside it, the alignment of each tensor that a
kernel moves in words, the plan on its 64-bit values, and the scratch sizes."""
import pytest
import torch

from harness import (BF16, F32, OTHER_DEVICE, assert_fails_with, assert_passes_validation, expected_condition,
                     fake, load)

Q_CUDA = expected_condition("q.is_cuda() && q.dtype() == torch::kBFloat16")
Q_DIM = expected_condition("q.dim() == 5 && q.size(2) >= 1")
SEQUENCE = "SR backward requires the 64-padded exact-tiles contract"
HEAD_DIM = "SR backward serves D<=64 (D=128 keeps the two-pass path)"
HEAD_DIM_ZERO = "SR backward requires a positive head_dim, got 0"
Q_CONTIGUOUS = expected_condition("q.is_contiguous()")
MATCHING = "k/v/out_dq/out_dk/out_dv must be contiguous BF16 matching q"
D_OUTPUT = "d_output must be contiguous BF16 [B,O,N,H,D]"
LSE = expected_condition("logsumexp.is_cuda() && logsumexp.dtype() == torch::kFloat32 && "
                         "logsumexp.is_contiguous() && logsumexp.numel() == q.numel() / head_dim")
DELTA = expected_condition("delta.is_cuda() && delta.dtype() == torch::kFloat32 && delta.is_contiguous() && "
                           "delta.sizes() == logsumexp.sizes()")
MASK = expected_condition("mask.is_cuda() && mask.dtype() == torch::kFloat32 && mask.is_contiguous() && "
                          "mask.sizes() == torch::IntArrayRef({batch, outer_count, 1, 1, sequence})")
BIAS = expected_condition("bias.is_cuda() && bias.dtype() == torch::kBFloat16 && bias.is_contiguous() && "
                          "bias.sizes() == torch::IntArrayRef({batch, 1, heads, sequence, sequence})")
OUT_DBIAS = expected_condition("out_dbias.is_cuda() && out_dbias.dtype() == torch::kFloat32 && "
                               "out_dbias.is_contiguous() && "
                               "out_dbias.sizes() == torch::IntArrayRef({batch, 1, heads, sequence, sequence})")
WORKSPACE = expected_condition("workspace.is_cuda() && workspace.dtype() == torch::kBFloat16 && "
                               "workspace.is_contiguous()")
DQ_PARTIALS = expected_condition("dq_partials.is_cuda() && dq_partials.dtype() == torch::kBFloat16 && "
                                 "dq_partials.is_contiguous()")
STATE = "dK/dV continuation state must be contiguous FP32 on q.device"
PLAN = "invalid SR backward plan"
WORKSPACE_SMALL = "workspace is smaller than the query-slab plan"
PARTIALS_SMALL = "dq_partials is smaller than the key-block plan"
STATE_SMALL = "dK/dV continuation state is smaller than the query-stripe plan"
PASS = "passes validation"

ARGS = ("q", "k", "v", "d_output", "logsumexp", "delta", "mask", "bias", "out_dq", "out_dk", "out_dv", "out_dbias",
        "workspace", "dq_partials", "dk_state", "dv_state", "slab_rows", "groups_per_wave", "batches_per_wave")
SIZES = (2, 3, 2, 64, 16)  # B, O, H, N, D


def arguments(B, O, H, N, D, **overrides):
    """The 19 arguments for these sizes with a one-slab plan (slab_rows = N, every group and
    batch in one wave), exact scratch and empty continuation state; an override replaces an
    argument (a value, or a function of nothing that makes the tensor)."""
    slab = max(N, 32)
    plan = dict(slab_rows=slab, groups_per_wave=max((O + 3) // 4, 1), batches_per_wave=max(B, 1))
    plan.update({k: v for k, v in overrides.items() if k in plan})
    workspace = plan["groups_per_wave"] * plan["batches_per_wave"] * H * plan["slab_rows"] * N
    state = B * O * H * N * D if plan["slab_rows"] < N else 0
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
        "out_dk": lambda: fake([B, O, H, N, D]),
        "out_dv": lambda: fake([B, O, H, N, D]),
        "out_dbias": lambda: fake([B, 1, H, N, N], F32),
        "workspace": lambda: fake([max(workspace, 0)]),
        "dq_partials": lambda: fake([N // 64, B, O, H, N, D]),
        "dk_state": lambda: fake([state], F32),
        "dv_state": lambda: fake([state], F32),
    }
    t.update({k: v for k, v in overrides.items() if k not in plan})
    return [t[name]() if callable(t[name]) else t[name] for name in ARGS[:16]] + [plan[n] for n in ARGS[16:]]


def permuted(sizes, dtype=BF16):
    """The right sizes over a layout whose last two dimensions swap strides."""
    strides, acc = [], 1
    for size in reversed(sizes):
        strides.insert(0, acc)
        acc *= size
    strides[-2], strides[-1] = 1, sizes[-2]
    return fake(sizes, dtype, strides=strides)


def wrong():
    """A tensor that fails every check it meets."""
    return torch.zeros(3, dtype=torch.float16)


B, O, H, N, D = SIZES
LOGICAL = [B, O, H, N, D]
ROWS = [B, O, H, N]
INT32_MAX = 2**31 - 1

# name -> (sizes, overrides, expected)
CASES = {
    # 1, 2: q's device and dtype, then its rank and H, whatever else is wrong
    "q on the CPU, everything else wrong": (SIZES, dict(q=lambda: torch.zeros(LOGICAL, dtype=BF16),
                                                        **{n: wrong for n in ARGS[1:16]}), Q_CUDA),
    "q in FP32": (SIZES, dict(q=lambda: fake(LOGICAL, F32)), Q_CUDA),
    "q 4-D": (SIZES, dict(q=lambda: fake(ROWS)), Q_DIM),
    "H = 0": ((B, O, 0, N, D), {}, Q_DIM),
    # 3: N in whole 64-key blocks
    "N = 96": ((B, O, H, 96, D), {}, SEQUENCE),
    "N = 100, everything else wrong": ((B, O, H, 100, D), {n: wrong for n in ARGS[1:16]}, SEQUENCE),
    "N = 100 before D = 12": ((B, O, H, 100, 12), {}, SEQUENCE),
    # 4: D a multiple of 8 up to 64, on its 64-bit value; 0 before any division by it
    "D = 12": ((B, O, H, N, 12), {}, HEAD_DIM),
    "D = 72": ((B, O, H, N, 72), {}, HEAD_DIM),
    "D = 128": ((B, O, H, N, 128), {}, HEAD_DIM),
    "D = 2^32 + 8, whose low 32 bits are 8": ((1, 1, 1, 64, 2**32 + 8), {}, HEAD_DIM),
    "D = 0": ((B, O, H, N, 0), {}, HEAD_DIM_ZERO),
    # 5: q's layout, then its alignment, before every other tensor
    "q not contiguous, k wrong": (SIZES, dict(q=lambda: permuted(LOGICAL), k=wrong), Q_CONTIGUOUS),
    "q 2 bytes off, k wrong": (SIZES, dict(q=lambda: fake(LOGICAL, offset=2), k=wrong), "q must be 16-byte aligned"),
    "q 8 bytes off": (SIZES, dict(q=lambda: fake(LOGICAL, offset=8)), "q must be 16-byte aligned"),
    "q 16 bytes off": (SIZES, dict(q=lambda: fake(LOGICAL, offset=16)), PASS),
    # 6: k, v, out_dq, out_dk, out_dv, each with its alignment right after its own check
    "k on the CPU": (SIZES, dict(k=lambda: torch.zeros(LOGICAL, dtype=BF16)), MATCHING),
    "k on another device": (SIZES, dict(k=lambda: fake(LOGICAL, device=OTHER_DEVICE)), MATCHING),
    "v in FP32": (SIZES, dict(v=lambda: fake(LOGICAL, F32)), MATCHING),
    "v not contiguous": (SIZES, dict(v=lambda: permuted(LOGICAL)), MATCHING),
    "k and v at odd element offsets (read element by element)": (
        SIZES, dict(k=lambda: fake(LOGICAL, offset=2), v=lambda: fake(LOGICAL, offset=2)), PASS),
    "out_dq one key longer": (SIZES, dict(out_dq=lambda: fake([B, O, H, N + 1, D])), MATCHING),
    "out_dq 8 bytes off, out_dk wrong": (SIZES, dict(out_dq=lambda: fake(LOGICAL, offset=8), out_dk=wrong),
                                         "out_dq must be 16-byte aligned"),
    "k wrong before a misaligned out_dq": (SIZES, dict(k=wrong, out_dq=lambda: fake(LOGICAL, offset=8)), MATCHING),
    "out_dk in the physical layout": (SIZES, dict(out_dk=lambda: fake([B, O, N, H, D])), MATCHING),
    "out_dk 2 bytes off, out_dv wrong": (SIZES, dict(out_dk=lambda: fake(LOGICAL, offset=2), out_dv=wrong),
                                         "out_dk must be 4-byte aligned"),
    "out_dv 2 bytes off, d_output wrong": (SIZES, dict(out_dv=lambda: fake(LOGICAL, offset=2), d_output=wrong),
                                           "out_dv must be 4-byte aligned"),
    "out_dk and out_dv 4 bytes off": (SIZES, dict(out_dk=lambda: fake(LOGICAL, offset=4),
                                                  out_dv=lambda: fake(LOGICAL, offset=4)), PASS),
    "out_dv wrong before d_output wrong": (SIZES, dict(out_dv=wrong, d_output=wrong), MATCHING),
    # 7: d_output after the five, then its alignment
    "d_output in the logical layout": (SIZES, dict(d_output=lambda: fake(LOGICAL)), D_OUTPUT),
    "d_output on another device": (SIZES, dict(d_output=lambda: fake([B, O, N, H, D], device=OTHER_DEVICE)),
                                   D_OUTPUT),
    "d_output 2 bytes off, logsumexp wrong": (SIZES, dict(d_output=lambda: fake([B, O, N, H, D], offset=2),
                                                          logsumexp=wrong), "d_output must be 16-byte aligned"),
    # 8, 9: row tensors, the device test inside each check
    "logsumexp flat": (SIZES, dict(logsumexp=lambda: fake([B * O * H * N], F32),
                                   delta=lambda: fake([B * O * H * N], F32)), PASS),
    "logsumexp one short": (SIZES, dict(logsumexp=lambda: fake([B * O * H * N - 1], F32)), LSE),
    "logsumexp on another device": (SIZES, dict(logsumexp=lambda: fake(ROWS, F32, device=OTHER_DEVICE)), LSE),
    "logsumexp in BF16": (SIZES, dict(logsumexp=lambda: fake(ROWS)), LSE),
    "delta flat beside a 4-D logsumexp": (SIZES, dict(delta=lambda: fake([B * O * H * N], F32)), DELTA),
    "delta on another device": (SIZES, dict(delta=lambda: fake(ROWS, F32, device=OTHER_DEVICE)), DELTA),
    "delta wrong before mask wrong": (SIZES, dict(delta=wrong, mask=wrong), DELTA),
    # 10 to 12
    "mask [B,O,N]": (SIZES, dict(mask=lambda: fake([B, O, N], F32)), MASK),
    "mask on another device": (SIZES, dict(mask=lambda: fake([B, O, 1, 1, N], F32, device=OTHER_DEVICE)), MASK),
    "bias per outer row": (SIZES, dict(bias=lambda: fake([B, O, H, N, N])), BIAS),
    "bias on another device": (SIZES, dict(bias=lambda: fake([B, 1, H, N, N], device=OTHER_DEVICE)), BIAS),
    "bias 2 bytes off, out_dbias wrong": (SIZES, dict(bias=lambda: fake([B, 1, H, N, N], offset=2), out_dbias=wrong),
                                          "bias must be 16-byte aligned"),
    "out_dbias in BF16": (SIZES, dict(out_dbias=lambda: fake([B, 1, H, N, N])), OUT_DBIAS),
    "out_dbias on another device": (SIZES, dict(out_dbias=lambda: fake([B, 1, H, N, N], F32, device=OTHER_DEVICE)),
                                    OUT_DBIAS),
    "out_dbias at an odd element (written element by element)": (
        SIZES, dict(out_dbias=lambda: fake([B, 1, H, N, N], F32, offset=4)), PASS),
    # 13, 14: scratch dtype, device and layout before any size
    "workspace in FP32": (SIZES, dict(workspace=lambda: fake([10**6], F32)), WORKSPACE),
    "workspace on another device": (SIZES, dict(workspace=lambda: fake([10**6], device=OTHER_DEVICE)), WORKSPACE),
    "workspace not contiguous": (SIZES, dict(workspace=lambda: permuted([4096, 8])), WORKSPACE),
    "workspace at an odd element": (SIZES, dict(workspace=lambda: fake([10**6], offset=2)), PASS),
    "dq_partials in FP32": (SIZES, dict(dq_partials=lambda: fake([10**6], F32)), DQ_PARTIALS),
    "dq_partials on another device": (SIZES, dict(dq_partials=lambda: fake([10**6], device=OTHER_DEVICE)),
                                      DQ_PARTIALS),
    "dq_partials 8 bytes off, dk_state wrong": (SIZES, dict(dq_partials=lambda: fake([10**6], offset=8),
                                                            dk_state=wrong), "dq_partials must be 16-byte aligned"),
    # 15: both states, each with its alignment
    "dk_state in BF16": (SIZES, dict(dk_state=lambda: fake([0])), STATE),
    "dv_state on another device": (SIZES, dict(dv_state=lambda: fake([0], F32, device=OTHER_DEVICE)), STATE),
    "dv_state not contiguous": (SIZES, dict(dv_state=lambda: permuted([8, 4], F32)), STATE),
    "dk_state 4 bytes off, dv_state wrong": (SIZES, dict(dk_state=lambda: fake([8], F32, offset=4), dv_state=wrong),
                                             "dk_state must be 8-byte aligned"),
    "dv_state 4 bytes off": (SIZES, dict(dv_state=lambda: fake([8], F32, offset=4)), "dv_state must be 8-byte aligned"),
    "dv_state wrong before a bad plan": (SIZES, dict(dv_state=wrong, slab_rows=48), STATE),
    # the plan, on the caller's 64-bit values
    "slab_rows 48": (SIZES, dict(slab_rows=48), PLAN),
    "slab_rows 0": (SIZES, dict(slab_rows=0), PLAN),
    "slab_rows 2^32 + 64 (its low 32 bits are 64)": (SIZES, dict(slab_rows=2**32 + 64), PLAN),
    "slab_rows far above N": (SIZES, dict(slab_rows=2**31 - 32), PASS),
    "groups_per_wave = ceil(O/4) + 1": (SIZES, dict(groups_per_wave=2), PLAN),
    "groups_per_wave 2^32 + 1": (SIZES, dict(groups_per_wave=2**32 + 1), PLAN),
    "batches_per_wave = B + 1": (SIZES, dict(batches_per_wave=B + 1), PLAN),
    "batches_per_wave 2^32 + 1": (SIZES, dict(batches_per_wave=2**32 + 1), PLAN),
    "batches_per_wave 0": (SIZES, dict(batches_per_wave=0), PLAN),
    "B = 0": ((0, O, H, N, D), {}, PLAN),
    "O = 0": ((B, 0, H, N, D), {}, PLAN),
    "B = 2^31-1": ((INT32_MAX, 1, 1, 64, 8), {}, PASS),
    "B = 2^31": ((2**31, 1, 1, 64, 8), {}, PLAN),
    "B = 2^32 + 1 (its low 32 bits are 1)": ((2**32 + 1, 1, 1, 64, 8), dict(batches_per_wave=1), PLAN),
    "O = 2^31": ((1, 2**31, 1, 64, 8), {}, PLAN),
    "B*O = 2^31": ((2, 2**30, 1, 64, 8), {}, PLAN),
    "N = 4194240": ((1, 1, 1, 4194240, 8), {}, PASS),
    "N = 4194304": ((1, 1, 1, 4194304, 8), {}, PLAN),
    # scratch sizes by element count
    "N = 0: the workspace product": ((B, O, H, 0, D), {}, "workspace dimensions must be positive"),
    "workspace one short": (SIZES, dict(workspace=lambda: fake([B * H * N * N - 1])), WORKSPACE_SMALL),
    "workspace larger, 2-D": (SIZES, dict(workspace=lambda: fake([B * H * N, N + 1])), PASS),
    "workspace product past int64": ((1, 1, 65535, 4194240, 8), dict(slab_rows=2**31 - 32,
                                                                     workspace=lambda: fake([1]),
                                                                     dq_partials=lambda: fake([1])),
                                     "workspace element count overflow"),
    "dq_partials one short": (SIZES, dict(dq_partials=lambda: fake([B * O * H * N * D - 1])), PARTIALS_SMALL),
    "dq_partials two key blocks, one short": ((1, 2, 1, 128, 8), dict(dq_partials=lambda: fake([2 * 2048 - 1])),
                                              PARTIALS_SMALL),
    # 65535 key blocks of a q with 2^48 elements
    "dq_partials product past int64": ((1, 2**20, 1, 4194240, 64), dict(slab_rows=32, groups_per_wave=1,
                                                                        dq_partials=lambda: fake([1])),
                                       "dq partials element count overflow"),
    "empty state with one slab": (SIZES, {}, PASS),
    "empty state with two slabs": (SIZES, dict(slab_rows=32, dk_state=lambda: fake([0], F32),
                                               dv_state=lambda: fake([0], F32)), STATE_SMALL),
    "dv_state one short with two slabs": (SIZES, dict(slab_rows=32, dv_state=lambda: fake([B * O * H * N * D - 1],
                                                                                          F32)), STATE_SMALL),
    "exact state with two slabs": (SIZES, dict(slab_rows=32), PASS),
    # kept as specified: H is not compared with grid y here (the first leaf launch fails)
    "H = 65536": ((1, 1, 65536, 64, 8), {}, PASS),
    # positive controls, one per tier, and the square pair
    "D = 8 (tier 16)": ((B, O, H, N, 8), {}, PASS),
    "D = 32 (tier 32)": ((B, O, H, N, 32), {}, PASS),
    "D = 40 (tier 64)": ((B, O, H, N, 40), {}, PASS),
    "D = 64, O = N": ((1, 64, 1, 64, 64), {}, PASS),
}


@pytest.mark.parametrize("name", CASES)
def test_sr_validation(name):
    sizes, overrides, expected = CASES[name]
    fn = load("dq_dbias").kestrovane_triangle_sr_backward_out
    args = arguments(*sizes, **overrides)
    if expected == PASS:
        assert_passes_validation(fn, *args)
    else:
        assert_fails_with(fn, args, expected)
