"""Validation of both dK/dV entries through the real entries, in their check order."""
import pytest
import torch

from harness import (BF16, F32, OTHER_DEVICE, assert_fails_with, assert_passes_validation, expected_condition,
                     fake, load)

Q_CUDA = expected_condition("q.is_cuda() && q.dtype() == torch::kBFloat16")
Q_DIM = expected_condition("q.dim() == 5 && q.size(2) >= 1")
GRID = "batch/outer/sequence/head count exceeds the CUDA grid contract"
Q_CONTIGUOUS = expected_condition("q.is_contiguous()")
Q_ALIGNED = "q must be 16-byte aligned"
MATCHING = "k/v/d_output/out_dk/out_dv must be contiguous BF16 tensors matching q on one device"
D_OUTPUT = "d_output must be contiguous BF16 [B,O,N,H,D] on q.device"
D_OUTPUT_ALIGNED = "d_output must be 16-byte aligned"
K_ALIGNED = "k must be 16-byte aligned"
V_ALIGNED = "v must be 16-byte aligned"
ROWS = "logsumexp/delta must be contiguous FP32 row tensors on q.device"
MASK = "mask must be contiguous FP32 [B,O,1,1,N] on q.device"
BIAS = "bias must be contiguous BF16 [B,1,H,N,N] on q.device"
PARTIALS = "delta_true_partials must be contiguous FP32 with at least rows*key_blocks elements on q.device"
OUT_DELTA_TRUE = "out_delta_true must be a contiguous FP32 row tensor on q.device"
PASS = "passes validation"
DIMENSION_RANGE = "Dimension out of range"

ARGS = ("q", "k", "v", "d_output", "logsumexp", "delta", "mask", "bias", "out_dk", "out_dv",
        "delta_true_partials", "out_delta_true")
SIZES = (2, 3, 2, 5, 8)  # B, O, H, N, D


def tensors(B, O, H, N, D, **overrides):
    """The twelve arguments for these sizes, each replaced by an override where given
    (a tensor, or a function of the sizes)."""
    rows, key_blocks = B * O * H * N, (N + 63) // 64
    t = {
        "q": lambda: fake([B, O, H, N, D]),
        "k": lambda: fake([B, O, H, N, D]),
        "v": lambda: fake([B, O, H, N, D]),
        "d_output": lambda: fake([B, O, N, H, D]),
        "logsumexp": lambda: fake([B, O, H, N], F32),
        "delta": lambda: fake([B, O, H, N], F32),
        "mask": lambda: fake([B, O, 1, 1, N], F32),
        "bias": lambda: fake([B, 1, H, N, N]),
        "out_dk": lambda: fake([B, O, H, N, D]),
        "out_dv": lambda: fake([B, O, H, N, D]),
        "delta_true_partials": lambda: fake([rows * key_blocks], F32),
        "out_delta_true": lambda: fake([B, O, H, N], F32),
    }
    t.update(overrides)
    return [t[name]() for name in ARGS]


def entry(name):
    m = load("dkdv")
    if name == "plain":
        return lambda *a: m.kestrovane_triangle_dkdv_out(*a[:10])
    return m.kestrovane_triangle_dkdv_delta_true_out


B, O, H, N, D = SIZES
ROWS_COUNT = B * O * H * N
LOGICAL = [B, O, H, N, D]


def permuted(sizes):
    """The right sizes over a transposed layout: the last two dimensions swap strides."""
    strides, acc = [], 1
    for size in reversed(sizes):
        strides.insert(0, acc)
        acc *= size
    strides[-2], strides[-1] = 1, sizes[-2]
    return fake(sizes, strides=strides)


def wrong():
    """A tensor that fails every check it meets."""
    return torch.zeros(3, dtype=torch.float16)


# Each case: name -> (sizes, overrides, {entry: expected}); "both" applies to both entries.
CASES = {
    # q first: device and dtype, then rank and H, whatever else is wrong
    "q on the CPU, everything else wrong": (SIZES, dict(
        q=lambda: torch.zeros(LOGICAL, dtype=BF16), **{n: wrong for n in ARGS[1:10]}), {"plain": Q_CUDA}),
    "q in FP32": (SIZES, dict(q=lambda: fake(LOGICAL, F32)), {"both": Q_CUDA}),
    "q 4-D": (SIZES, dict(q=lambda: fake([B, O, H, N])), {"plain": Q_DIM, "delta_true": DIMENSION_RANGE}),
    "q 6-D": (SIZES, dict(q=lambda: fake([B, O, H, N, D, 1])), {"both": Q_DIM}),
    "H = 0": ((B, O, 0, N, D), {}, {"both": Q_DIM}),
    # the grid contract at its edges
    "B*O = 2^31-1": ((1, 2**31 - 1, 1, 1, 8), {}, {"both": PASS}),
    "B*O = 2^31": ((2, 2**30, 1, 1, 8), {}, {"both": GRID}),
    "B = 2^31": ((2**31, 1, 1, 1, 8), {}, {"both": GRID}),
    "H = 65535": ((1, 1, 65535, 1, 8), {}, {"both": PASS}),
    "H = 65536": ((1, 1, 65536, 1, 8), {}, {"both": GRID}),
    "N = 4194240": ((1, 1, 1, 4194240, 8), {}, {"both": PASS}),
    "N = 4194241": ((1, 1, 1, 4194241, 8), {}, {"both": GRID}),
    "N = 0": ((B, O, H, 0, D), {}, {"both": GRID}),
    "D = 0": ((B, O, H, N, 0), {}, {"both": GRID}),
    "D = 2^31-1 reaches the head-dimension check after the guard": ((1, 1, 1, 1, 2**31 - 1), {}, {"both": PASS}),
    "D = 2^31": ((1, 1, 1, 1, 2**31), {}, {"both": GRID}),
    "grid checked before contiguity": ((1, 1, 65536, 2, 8), dict(q=lambda: permuted([1, 1, 65536, 2, 8])),
                                       {"both": GRID}),
    # q's layout, then its alignment, before every other tensor
    "q not contiguous, k wrong": (SIZES, dict(q=lambda: permuted(LOGICAL), k=wrong), {"both": Q_CONTIGUOUS}),
    "q 2 bytes off, k wrong": (SIZES, dict(q=lambda: fake(LOGICAL, offset=2), k=wrong), {"both": Q_ALIGNED}),
    "q 8 bytes off": (SIZES, dict(q=lambda: fake(LOGICAL, offset=8)), {"both": Q_ALIGNED}),
    "q 16 bytes off": (SIZES, dict(q=lambda: fake(LOGICAL, offset=16)), {"both": PASS}),
    # k, v, out_dk, out_dv: device, dtype, sizes, layout
    "k on the CPU": (SIZES, dict(k=lambda: torch.zeros(LOGICAL, dtype=BF16)), {"both": MATCHING}),
    "k on another device": (SIZES, dict(k=lambda: fake(LOGICAL, device=OTHER_DEVICE)), {"both": MATCHING}),
    "k in FP32": (SIZES, dict(k=lambda: fake(LOGICAL, F32)), {"both": MATCHING}),
    "v one key longer": (SIZES, dict(v=lambda: fake([B, O, H, N + 1, D])), {"both": MATCHING}),
    "v flat": (SIZES, dict(v=lambda: fake([B * O * H * N * D])), {"both": MATCHING}),
    "v not contiguous": (SIZES, dict(v=lambda: permuted(LOGICAL)), {"both": MATCHING}),
    "out_dk in FP32": (SIZES, dict(out_dk=lambda: fake(LOGICAL, F32)), {"both": MATCHING}),
    "out_dv in the physical layout": (SIZES, dict(out_dv=lambda: fake([B, O, N, H, D])), {"both": MATCHING}),
    "k, v, out_dk, out_dv at odd element offsets": (SIZES, {n: (lambda: fake(LOGICAL, offset=2))
                                                           for n in ("k", "v", "out_dk", "out_dv")}, {"both": PASS}),
    # On the TMA path (D equal to a tier of at most 64, B*O*H below 2^31) k and v are copied by
    # the copy engine from 16-byte aligned addresses; each is checked right after its own check.
    "TMA path: k 2 bytes off, v wrong": ((2, 3, 2, 5, 16), dict(k=lambda: fake([2, 3, 2, 5, 16], offset=2), v=wrong),
                                        {"both": K_ALIGNED}),
    "TMA path: v 8 bytes off, d_output wrong": ((2, 3, 2, 5, 64), dict(v=lambda: fake([2, 3, 2, 5, 64], offset=8),
                                                                       d_output=wrong), {"both": V_ALIGNED}),
    "TMA path: k and v 16 bytes off": ((2, 3, 2, 5, 32), {n: (lambda: fake([2, 3, 2, 5, 32], offset=16))
                                                           for n in ("k", "v")}, {"both": PASS}),
    "TMA path up to 2^31-1 slices: k 2 bytes off": ((1, 2**31 - 1, 1, 1, 64),
                                                    dict(k=lambda: fake([1, 2**31 - 1, 1, 1, 64], offset=2)),
                                                    {"both": K_ALIGNED}),
    "cp.async path for 2^31 slices: k 2 bytes off": ((1, 2**30, 2, 1, 64),
                                                     dict(k=lambda: fake([1, 2**30, 2, 1, 64], offset=2)),
                                                     {"both": PASS}),
    "cp.async path for D = 24: k and v 2 bytes off": ((2, 3, 2, 5, 24), {n: (lambda: fake([2, 3, 2, 5, 24], offset=2))
                                                                        for n in ("k", "v")}, {"both": PASS}),
    # d_output: checked between v and out_dk; sizes only, so the logical layout passes when N == H
    "d_output wrong before out_dk wrong": (SIZES, dict(d_output=lambda: fake(LOGICAL), out_dk=wrong),
                                           {"both": D_OUTPUT}),
    "v wrong before d_output wrong": (SIZES, dict(v=wrong, d_output=wrong), {"both": MATCHING}),
    "d_output in FP32": (SIZES, dict(d_output=lambda: fake([B, O, N, H, D], F32)), {"both": D_OUTPUT}),
    "d_output on another device": (SIZES, dict(d_output=lambda: fake([B, O, N, H, D], device=OTHER_DEVICE)),
                                   {"both": D_OUTPUT}),
    "d_output logical with N == H": ((2, 3, 4, 4, 16), dict(d_output=lambda: fake([2, 3, 4, 4, 16])),
                                     {"both": PASS}),
    "d_output 2 bytes off, out_dk wrong": (SIZES, dict(d_output=lambda: fake([B, O, N, H, D], offset=2),
                                                       out_dk=wrong), {"both": D_OUTPUT_ALIGNED}),
    "d_output 16 bytes off": (SIZES, dict(d_output=lambda: fake([B, O, N, H, D], offset=16)), {"both": PASS}),
    "out_dv wrong before logsumexp wrong": (SIZES, dict(out_dv=wrong, logsumexp=wrong), {"both": MATCHING}),
    # row tensors by element count only
    "logsumexp flat": (SIZES, dict(logsumexp=lambda: fake([ROWS_COUNT], F32)), {"both": PASS}),
    "logsumexp one short": (SIZES, dict(logsumexp=lambda: fake([ROWS_COUNT - 1], F32)), {"both": ROWS}),
    "logsumexp in BF16": (SIZES, dict(logsumexp=lambda: fake([B, O, H, N])), {"both": ROWS}),
    "delta [B,O,H,N,1]": (SIZES, dict(delta=lambda: fake([B, O, H, N, 1], F32)), {"both": PASS}),
    "delta one short": (SIZES, dict(delta=lambda: fake([ROWS_COUNT - 1], F32)), {"both": ROWS}),
    "delta one longer": (SIZES, dict(delta=lambda: fake([ROWS_COUNT + 1], F32)), {"both": ROWS}),
    "delta on another device": (SIZES, dict(delta=lambda: fake([ROWS_COUNT], F32, device=OTHER_DEVICE)),
                                {"both": ROWS}),
    "delta wrong before mask wrong": (SIZES, dict(delta=wrong, mask=wrong), {"both": ROWS}),
    # mask and bias: exact sizes
    "mask [B,N,1,1,N] with O != N": (SIZES, dict(mask=lambda: fake([B, N, 1, 1, N], F32)), {"both": MASK}),
    "mask [B,O,N]": (SIZES, dict(mask=lambda: fake([B, O, N], F32)), {"both": MASK}),
    "mask in BF16": (SIZES, dict(mask=lambda: fake([B, O, 1, 1, N])), {"both": MASK}),
    "mask wrong before bias wrong": (SIZES, dict(mask=wrong, bias=wrong), {"both": MASK}),
    "bias per outer row": (SIZES, dict(bias=lambda: fake([B, O, H, N, N])), {"both": BIAS}),
    "bias in FP32": (SIZES, dict(bias=lambda: fake([B, 1, H, N, N], F32)), {"both": BIAS}),
    "bias on another device": (SIZES, dict(bias=lambda: fake([B, 1, H, N, N], device=OTHER_DEVICE)),
                               {"both": BIAS}),
    # the delta_true entry checks its two extra tensors first, against q's device
    "partials wrong before q wrong": (SIZES, dict(q=lambda: fake(LOGICAL, F32), delta_true_partials=wrong),
                                      {"delta_true": PARTIALS}),
    "q on the CPU with good extras": (SIZES, dict(q=lambda: torch.zeros(LOGICAL, dtype=BF16)),
                                      {"delta_true": PARTIALS}),
    "out_delta_true wrong before q wrong": (SIZES, dict(q=lambda: fake(LOGICAL, F32), out_delta_true=wrong),
                                            {"delta_true": OUT_DELTA_TRUE}),
    "q in FP32 with good extras": (SIZES, dict(q=lambda: fake(LOGICAL, F32)), {"delta_true": Q_CUDA}),
    "partials on another device": (SIZES, dict(delta_true_partials=lambda: fake([ROWS_COUNT], F32,
                                                                                device=OTHER_DEVICE)),
                                   {"delta_true": PARTIALS}),
    "partials in FP64": (SIZES, dict(delta_true_partials=lambda: fake([ROWS_COUNT], torch.float64)),
                         {"delta_true": PARTIALS}),
    "partials not contiguous": (SIZES, dict(delta_true_partials=lambda: fake([6, 10], F32, strides=[1, 6])),
                                {"delta_true": PARTIALS}),
    "partials one short": (SIZES, dict(delta_true_partials=lambda: fake([ROWS_COUNT - 1], F32)),
                           {"delta_true": PARTIALS}),
    "partials larger, any shape": (SIZES, dict(delta_true_partials=lambda: fake([7, ROWS_COUNT], F32)),
                                   {"delta_true": PASS}),
    "partials with two key blocks": ((1, 2, 3, 65, 8), dict(delta_true_partials=lambda: fake([2 * 390], F32)),
                                     {"delta_true": PASS}),
    "partials with two key blocks, one short": ((1, 2, 3, 65, 8),
                                                dict(delta_true_partials=lambda: fake([2 * 390 - 1], F32)),
                                                {"delta_true": PARTIALS}),
    # rows * key_blocks = 2^74 must not wrap around to a count that any tensor covers
    "partials count past int64": ((1, 1, 1, 2**40, 1), dict({n: wrong for n in ARGS[1:10]},
                                                           delta_true_partials=lambda: fake([1], F32)),
                                  {"delta_true": PARTIALS}),
    "out_delta_true flat": (SIZES, dict(out_delta_true=lambda: fake([ROWS_COUNT], F32)), {"delta_true": PASS}),
    "out_delta_true one short": (SIZES, dict(out_delta_true=lambda: fake([ROWS_COUNT - 1], F32)),
                                 {"delta_true": OUT_DELTA_TRUE}),
    "out_delta_true one longer": (SIZES, dict(out_delta_true=lambda: fake([ROWS_COUNT + 1], F32)),
                                  {"delta_true": OUT_DELTA_TRUE}),
    "out_delta_true in BF16": (SIZES, dict(out_delta_true=lambda: fake([ROWS_COUNT])),
                               {"delta_true": OUT_DELTA_TRUE}),
    "out_delta_true on the CPU": (SIZES, dict(out_delta_true=lambda: torch.zeros(ROWS_COUNT)),
                                  {"delta_true": OUT_DELTA_TRUE}),
    # positive controls
    "valid call": (SIZES, {}, {"both": PASS}),
    "O == N": ((2, 5, 2, 5, 8), {}, {"both": PASS}),
    "D = 128, N = 130": ((1, 2, 1, 130, 128), {}, {"both": PASS}),
}

PARAMS = [pytest.param(name, which, id=f"{which}: {name}")
          for name, (_, _, expected) in CASES.items()
          for which in ("plain", "delta_true") if which in expected or "both" in expected]


@pytest.mark.parametrize("name, which", PARAMS)
def test_dkdv_validation(name, which):
    sizes, overrides, expected = CASES[name]
    message = expected.get(which, expected.get("both"))
    fn, args = entry(which), tensors(*sizes, **overrides)
    if message == PASS:
        assert_passes_validation(fn, *args)
    elif message == DIMENSION_RANGE:
        with pytest.raises((IndexError, RuntimeError), match=message):
            fn(*args)
    else:
        assert_fails_with(fn, args, message)
