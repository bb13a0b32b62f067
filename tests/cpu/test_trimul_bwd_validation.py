"""Validation of the multiplicative update's backward entries (gate split, sigmoid-multiply,
LayerNorm dX and dGamma/dBeta, transposed LayerNorm, weight-gradient fold) through the real
entries with fake CUDA tensors: each check's message in order, the first failure winning."""
import pytest
import torch

from harness import BF16, F32, OTHER_DEVICE, assert_fails_with, assert_passes_validation, fake, load

PASS = "passes validation"
OVERLAP = ("unsupported operation: some elements of the input tensor and the written-to tensor refer to a single "
           "memory location. Please clone() the tensor before performing the operation.")
INT_MAX = 2**31 - 1


def cpu(sizes, dtype=BF16):
    return lambda: torch.zeros(sizes, dtype=dtype)


def transposed(sizes, dtype=BF16):
    """The right sizes of a 2-D tensor over a column-major layout."""
    return lambda: fake(sizes, dtype, strides=[1, sizes[0]])


def columns(buf, start, width):
    """Columns start .. start + width - 1 of a 2-D fake tensor, as a view of its storage
    (indexing a fake tensor would reach for the device)."""
    return buf.as_strided([buf.size(0), width], [buf.stride(0), 1], buf.storage_offset() + start)


def leading(buf, sizes):
    """A contiguous view of `sizes` over the first elements of buf's storage."""
    strides, acc = [], 1
    for size in reversed(sizes):
        strides.insert(0, acc)
        acc *= size
    return buf.as_strided(sizes, strides, buf.storage_offset())


def run_case(fn, args, expected):
    if expected == PASS:
        assert_passes_validation(fn, *args)
    else:
        assert_fails_with(fn, args, expected)


def build(defaults, overrides):
    """The arguments in order: each default (a function making the value, or a plain value)
    replaced by an override where given."""
    values = dict(defaults)
    values.update(overrides)
    return [v() if callable(v) else v for v in values.values()]


# ---------------------------------------------------------------- trimul_gate_split_bwd

def gate_split_args(B=2, NN=24, C=32, H=32, **overrides):
    rows = B * NN
    defaults = {
        "zln": lambda: fake([rows, C]),
        "w_ap": lambda: fake([H, C], F32), "w_ag": lambda: fake([H, C], F32),
        "w_bp": lambda: fake([H, C], F32), "w_bg": lambda: fake([H, C], F32),
        "mask": lambda: fake([rows], F32),
        "d_a": lambda: fake([B * H, NN]), "d_b": lambda: fake([B * H, NN]),
        "d_proj5": lambda: fake([rows, 5 * H]),
        "B": B, "NN": NN, "C": C, "H": H,
    }
    return build(defaults, overrides)


def requires_grad_mask():
    mask = fake([48], F32)
    mask.requires_grad_(True)
    return mask


def d_proj5_over_d_a():
    # d_a is the first 2*32*24 elements of d_proj5's buffer
    d_proj5 = fake([48, 160])
    return d_proj5, leading(d_proj5, [64, 24])


GS = "trimul_gate_split_bwd: "
# Extents that fail before any tensor is looked at: every tensor is wrong.
NO_TENSORS = {n: cpu([1]) for n in ("zln", "w_ap", "w_ag", "w_bp", "w_bg", "mask", "d_a", "d_b", "d_proj5")}
GATE_SPLIT_CASES = {
    "C = 48": (dict(C=48, H=48, **NO_TENSORS), GS + "C must be one of {32, 64, 96, 128}, got 48"),
    "H = 48": (dict(H=48), GS + "H must be one of {32, 64, 96, 128}, got 48"),
    "C = 64, H = 128": (dict(C=64, H=128, **NO_TENSORS), GS + "C and H must be equal, got C=64, H=128"),
    "B = 0": (dict(B=0, **NO_TENSORS), GS + "B must be positive, got 0"),
    "NN = 0": (dict(NN=0, **NO_TENSORS), GS + "NN must be positive, got 0"),
    "B = 65536 before any product": (dict(B=65536, NN=2**62, **NO_TENSORS), GS + "B exceeds the production grid-z limit"),
    "B*NN overflows": (dict(B=4, NN=2**62, **NO_TENSORS), GS + "B*NN overflows int64"),
    "rows past the LayerNorm grid": (dict(B=65535, NN=2**20, **NO_TENSORS), GS + "LayerNorm grid-x exceeds the production limit"),
    "B*NN*H past the sigmoid grid": (dict(B=65535, NN=2**18, C=128, H=128, **NO_TENSORS),
                                     GS + "sigmoid grid-x exceeds the production limit"),
    "zln on the CPU, w_ap wrong": (dict(zln=cpu([48, 32]), w_ap=cpu([3])), GS + "zln must be a CUDA tensor"),
    "zln in FP32": (dict(zln=lambda: fake([48, 32], F32)), GS + "zln has the wrong dtype"),
    "zln not contiguous": (dict(zln=transposed([48, 32])), GS + "zln must be contiguous"),
    "zln rank 1": (dict(zln=lambda: fake([48 * 32])), GS + "zln has wrong rank; got shape [1536]"),
    "zln one row short": (dict(zln=lambda: fake([47, 32])), GS + "zln has wrong shape; got [47, 32]"),
    "zln 8 bytes off, w_ap wrong": (dict(zln=lambda: fake([48, 32], offset=8), w_ap=cpu([3])),
                                    GS + "zln data pointer must be 16-byte aligned"),
    "w_ap in BF16": (dict(w_ap=lambda: fake([32, 32])), GS + "w_ap has the wrong dtype"),
    "w_ag on another device": (dict(w_ag=lambda: fake([32, 32], F32, device=OTHER_DEVICE)),
                               GS + "w_ag must be on the same CUDA device as the primary input"),
    "w_bp [C, H + 1]": (dict(w_bp=lambda: fake([32, 33], F32)), GS + "w_bp has wrong shape; got [32, 33]"),
    "w_bg not contiguous": (dict(w_bg=transposed([32, 32], F32)), GS + "w_bg must be contiguous"),
    "weights at odd element offsets": ({w: (lambda: fake([32, 32], F32, offset=4))
                                        for w in ("w_ap", "w_ag", "w_bp", "w_bg")}, PASS),
    "mask in BF16": (dict(mask=lambda: fake([48])), GS + "mask has the wrong dtype"),
    "mask [rows, 1]": (dict(mask=lambda: fake([48, 1], F32)), GS + "mask has wrong rank; got shape [48, 1]"),
    "mask requires gradients, d_a wrong": (dict(mask=requires_grad_mask, d_a=cpu([3])),
                                           GS + "mask must not require gradients"),
    "d_a row-major [rows, H]": (dict(d_a=lambda: fake([48, 32])), GS + "d_a has wrong shape; got [48, 32]"),
    "d_a 8 bytes off": (dict(d_a=lambda: fake([64, 24], offset=8)), GS + "d_a data pointer must be 16-byte aligned"),
    "d_b on the CPU": (dict(d_b=cpu([64, 24])), GS + "d_b must be a CUDA tensor"),
    "d_b 2 bytes off": (dict(d_b=lambda: fake([64, 24], offset=2)), GS + "d_b data pointer must be 16-byte aligned"),
    "d_proj5 [rows, 4H]": (dict(d_proj5=lambda: fake([48, 128])), GS + "d_proj5 has wrong shape; got [48, 128]"),
    "d_proj5 in FP32": (dict(d_proj5=lambda: fake([48, 160], F32)), GS + "d_proj5 has the wrong dtype"),
    "d_proj5 8 bytes off": (dict(d_proj5=lambda: fake([48, 160], offset=8)),
                            GS + "d_proj5 data pointer must be 16-byte aligned"),
    "tensors 16 bytes off": ({n: (lambda s=s: fake(s, offset=16)) for n, s in
                              (("zln", [48, 32]), ("d_a", [64, 24]), ("d_b", [64, 24]), ("d_proj5", [48, 160]))},
                             PASS),
    "C = H = 128": (dict(C=128, H=128), PASS),
    "NN = 1, B = 65535": (dict(B=65535, NN=1), PASS),
}


@pytest.mark.parametrize("case", GATE_SPLIT_CASES)
def test_gate_split_validation(case):
    overrides, expected = GATE_SPLIT_CASES[case]
    run_case(load("trimul").trimul_gate_split_bwd, gate_split_args(**overrides), expected)


def test_gate_split_rejects_d_proj5_over_an_input():
    m = load("trimul")
    d_proj5, d_a = d_proj5_over_d_a()
    assert_fails_with(m.trimul_gate_split_bwd, gate_split_args(d_a=lambda: d_a, d_proj5=lambda: d_proj5), OVERLAP)
    d_proj5 = fake([48, 160])
    zln = leading(d_proj5, [48, 32])
    assert_fails_with(m.trimul_gate_split_bwd, gate_split_args(zln=lambda: zln, d_proj5=lambda: d_proj5), OVERLAP)


# ---------------------------------------------------------------- sig_mul_bwd_out

def sig_mul_args(rows=8, H=32, stride=None, **overrides):
    defaults = {
        "out": lambda: fake([rows, H]), "gate": lambda: fake([rows, H]), "grad_out": lambda: fake([rows, H]),
        "dgate_dst": lambda: columns(fake([rows, 5 * H]), 4 * H, H),
        "H": H, "dgate_stride": 5 * H if stride is None else stride,
    }
    return build(defaults, overrides)


SM = "sig_mul_bwd_out: "
OUT_SHAPE = SM + "out must have shape [rows, H] with rows > 0; got "
SIG_MUL_CASES = {
    "H = 48": (dict(H=48, out=cpu([1])), SM + "H must be one of {32, 64, 96, 128}, got 48"),
    "out on the CPU": (dict(out=cpu([8, 32]), gate=cpu([1])), SM + "out must be a CUDA tensor"),
    "out in FP32": (dict(out=lambda: fake([8, 32], F32)), SM + "out has the wrong dtype"),
    "out not contiguous": (dict(out=transposed([8, 32])), SM + "out must be contiguous"),
    "out with 0 rows": (dict(out=lambda: fake([0, 32])), OUT_SHAPE + "[0, 32]"),
    "out [8, 64] for H = 32": (dict(out=lambda: fake([8, 64])), OUT_SHAPE + "[8, 64]"),
    "out 3-D": (dict(out=lambda: fake([8, 32, 1])), OUT_SHAPE + "[8, 32, 1]"),
    "gate one row short": (dict(gate=lambda: fake([7, 32])), SM + "gate has wrong shape; got [7, 32]"),
    "gate on another device": (dict(gate=lambda: fake([8, 32], device=OTHER_DEVICE)),
                               SM + "gate must be on the same CUDA device as the primary input"),
    "grad_out not contiguous": (dict(grad_out=transposed([8, 32])), SM + "grad_out must be contiguous"),
    "grad_out rank 1": (dict(grad_out=lambda: fake([256])), SM + "grad_out has wrong rank; got shape [256]"),
    "dgate_dst in FP32": (dict(dgate_dst=lambda: columns(fake([8, 160], F32), 128, 32)), SM + "dgate_dst has the wrong dtype"),
    "dgate_dst on the CPU": (dict(dgate_dst=cpu([8, 32])), SM + "dgate_dst must be a CUDA tensor"),
    "dgate_dst on another device": (dict(dgate_dst=lambda: fake([8, 32], device=OTHER_DEVICE)),
                                    SM + "dgate_dst must be on the same CUDA device as the primary input"),
    "dgate_dst [8, 33]": (dict(dgate_dst=lambda: fake([8, 33])), SM + "dgate_dst has wrong shape; got [8, 33]"),
    "dgate_stride 0": (dict(stride=0), SM + "dgate_stride must be positive, got 0"),
    "dgate_stride below H": (dict(stride=16), SM + "dgate_stride must be at least H"),
    "strides [5H, 1] with dgate_stride 4H": (dict(stride=128), SM + "dgate_dst strides must equal [dgate_stride, 1], "
                                                                    "got [160, 1]"),
    "dgate_dst column-major, stride 32": (dict(stride=32, dgate_dst=transposed([8, 32])),
                                          SM + "dgate_dst strides must equal [dgate_stride, 1], got [1, 8]"),
    "slice 4 of d_proj5, strides [5H, 1]": ({}, PASS),
    "a separate dgate_dst, strides [H, 1]": (dict(stride=32, dgate_dst=lambda: fake([8, 32])), PASS),
    "rows = 1 with its leading stride": (dict(rows=1, stride=640, dgate_dst=lambda: fake([1, 32], strides=[640, 1])),
                                         PASS),
    "inputs at odd element offsets": ({n: (lambda: fake([8, 32], offset=2)) for n in ("out", "gate", "grad_out")},
                                      PASS),
    "rows*H past the grid": (dict(rows=2**34, stride=32, dgate_dst=lambda: fake([2**34, 32])),
                             SM + "launch grid-x exceeds the production limit"),
    "rows*H at the grid's end": (dict(rows=17179869176, stride=32, dgate_dst=lambda: fake([17179869176, 32])), PASS),
}


@pytest.mark.parametrize("case", SIG_MUL_CASES)
def test_sig_mul_validation(case):
    overrides, expected = dict(SIG_MUL_CASES[case][0]), SIG_MUL_CASES[case][1]
    sizes = {k: overrides.pop(k) for k in ("rows", "H", "stride") if k in overrides}
    run_case(load("trimul").sig_mul_bwd_out, sig_mul_args(**sizes, **overrides), expected)


def overlapping(rows, H, which):
    """dgate_dst as slice 4 of a [rows, 5H] buffer, and `which` input laid contiguously over
    the start of the same buffer."""
    buf = fake([rows, 5 * H])
    over = leading(buf, [rows, H])
    return dict(dgate_dst=lambda: columns(buf, 4 * H, H), **{which: lambda: over})


@pytest.mark.parametrize("which", ["out", "gate", "grad_out"])
def test_sig_mul_rejects_an_input_over_the_strided_destination(which):
    # rows * H > 4H: the input's bytes reach into dgate_dst's span; dgate_dst is not dense, so
    # PyTorch's own overlap test cannot decide and passes it
    m = load("trimul")
    assert_fails_with(m.sig_mul_bwd_out, sig_mul_args(**overlapping(8, 32, which)), OVERLAP)
    # the same buffer with the input ending where dgate_dst's span begins
    assert_passes_validation(m.sig_mul_bwd_out, *sig_mul_args(rows=4, **overlapping(4, 32, which)))


def test_sig_mul_rejects_dense_overlap():
    m = load("trimul")
    gate = fake([8, 32])
    assert_fails_with(m.sig_mul_bwd_out, sig_mul_args(stride=32, gate=lambda: gate, dgate_dst=lambda: gate), OVERLAP)


# ---------------------------------------------------------------- ln_bwd_dx and ln_bwd_dgb

def ln_dx_args(rows=10, C=64, row_stride=None, col_stride=1, **overrides):
    defaults = {
        "input": lambda: fake([rows, C]), "grad_out": lambda: fake([rows, C]),
        "rows": rows, "row_stride": C if row_stride is None else row_stride, "col_stride": col_stride,
        "gamma": lambda: fake([C], F32), "mean": lambda: fake([rows], F32), "rstd": lambda: fake([rows], F32),
    }
    return build(defaults, overrides)


def ln_dgb_args(rows=10, C=64, row_stride=None, col_stride=1, **overrides):
    defaults = {
        "input": lambda: fake([rows, C]), "grad_out": lambda: fake([rows, C]),
        "rows": rows, "row_stride": C if row_stride is None else row_stride, "col_stride": col_stride, "C": C,
        "mean": lambda: fake([rows], F32), "rstd": lambda: fake([rows], F32),
    }
    return build(defaults, overrides)


LAYOUT = ": production layout requires row_stride=C and col_stride=1"
STRIDES = ": input strides do not match the supplied strides"
# Cases shared by both entries: (sizes, overrides, expected tail after "<fn>: ").
LN_SHARED = {
    "rows = 0": (dict(rows=0), dict(input=cpu([1])), "rows must be positive, got 0"),
    "input in FP32": ({}, dict(input=lambda: fake([10, 64], F32)), "input has the wrong dtype"),
    "input not contiguous": ({}, dict(input=transposed([10, 64])), "input must be contiguous"),
    "row_stride 128 with C = 64 before any shape": (dict(row_stride=128), dict(input=lambda: fake([10, 128])),
                                                    LAYOUT[2:]),
    "col_stride 2": (dict(col_stride=2), dict(input=lambda: fake([10, 3])), LAYOUT[2:]),
    "input one row long": ({}, dict(input=lambda: fake([11, 64])), "input has wrong shape; got [11, 64]"),
    "input rank 3": ({}, dict(input=lambda: fake([10, 64, 1])), "input has wrong rank; got shape [10, 64, 1]"),
    "rows = 1 with a free leading stride": (dict(rows=1), dict(input=lambda: fake([1, 64], strides=[128, 1])),
                                            STRIDES[2:]),
    "rows = 1 with leading stride C": (dict(rows=1), dict(input=lambda: fake([1, 64], strides=[64, 1])), PASS),
    "grad_out in FP32": ({}, dict(grad_out=lambda: fake([10, 64], F32)), "grad_out has the wrong dtype"),
    "grad_out on another device": ({}, dict(grad_out=lambda: fake([10, 64], device=OTHER_DEVICE)),
                                   "grad_out must be on the same CUDA device as the primary input"),
    "grad_out [10, 32]": ({}, dict(grad_out=lambda: fake([10, 32])), "grad_out has wrong shape; got [10, 32]"),
    "mean on the CPU, rstd wrong": ({}, dict(mean=cpu([10], F32), rstd=cpu([1])), "mean must be a CUDA tensor"),
    "mean [10, 1]": ({}, dict(mean=lambda: fake([10, 1], F32)), "mean has wrong rank; got shape [10, 1]"),
    "rstd in BF16": ({}, dict(rstd=lambda: fake([10])), "rstd has the wrong dtype"),
    "rstd on another device": ({}, dict(rstd=lambda: fake([10], F32, device=OTHER_DEVICE)),
                               "rstd must be on the same CUDA device as the primary input"),
    "rstd one short": ({}, dict(rstd=lambda: fake([9], F32)), "rstd has wrong shape; got [9]"),
    "every tensor at an odd element offset": ({}, {n: (lambda d=d, s=s: fake(s, d, offset=2 if d == BF16 else 4))
                                                   for n, s, d in (("input", [10, 64], BF16),
                                                                   ("grad_out", [10, 64], BF16),
                                                                   ("mean", [10], F32), ("rstd", [10], F32))}, PASS),
    "C = 128": (dict(C=128), {}, PASS),
    "C = 32, one row": (dict(C=32, rows=1), {}, PASS),
}


@pytest.mark.parametrize("case", LN_SHARED)
@pytest.mark.parametrize("entry", ["ln_bwd_dx", "ln_bwd_dgb"])
def test_ln_validation_shared(entry, case):
    sizes, overrides, tail = LN_SHARED[case]
    make = ln_dx_args if entry == "ln_bwd_dx" else ln_dgb_args
    run_case(getattr(load("trimul"), entry), make(**sizes, **overrides), PASS if tail == PASS else f"{entry}: {tail}")


DX = "ln_bwd_dx: "
LN_DX_CASES = {
    "gamma of 48 values": (dict(gamma=lambda: fake([48], F32)), DX + "C must be one of {32, 64, 96, 128}, got 48"),
    "gamma [1, 64]": (dict(gamma=lambda: fake([1, 64], F32)), DX + "gamma must be rank one"),
    "gamma in BF16, input fine": (dict(gamma=lambda: fake([64])), DX + "gamma has the wrong dtype"),
    "gamma on another device": (dict(gamma=lambda: fake([64], F32, device=OTHER_DEVICE)),
                                DX + "gamma must be on the same CUDA device as the primary input"),
    "input wrong before gamma wrong": (dict(input=lambda: fake([10, 64], F32), gamma=cpu([1])),
                                       DX + "input has the wrong dtype"),
    "gamma of 2^31 values": (dict(gamma=lambda: fake([2**31], F32)), DX + "gamma length exceeds int32"),
    "gamma at an odd element offset": (dict(gamma=lambda: fake([64], F32, offset=4)), PASS),
    "rows past the grid, after the tensors": (dict(rows=17179869177, input=lambda: fake([17179869177, 64]),
                                                   grad_out=lambda: fake([17179869177, 64]),
                                                   mean=lambda: fake([17179869177], F32),
                                                   rstd=lambda: fake([17179869177], F32)),
                                              DX + "launch grid-x exceeds the production limit"),
    "rows at the grid's end": (dict(rows=17179869176, input=lambda: fake([17179869176, 64]),
                                    grad_out=lambda: fake([17179869176, 64]), mean=lambda: fake([17179869176], F32),
                                    rstd=lambda: fake([17179869176], F32)), PASS),
}


@pytest.mark.parametrize("case", LN_DX_CASES)
def test_ln_dx_validation(case):
    overrides, expected = dict(LN_DX_CASES[case][0]), LN_DX_CASES[case][1]
    sizes = {k: overrides.pop(k) for k in ("rows",) if k in overrides}
    run_case(load("trimul").ln_bwd_dx, ln_dx_args(**sizes, **overrides), expected)


DGB = "ln_bwd_dgb: "
LN_DGB_CASES = {
    "C = 48": (dict(C=48), DGB + "C must be one of {32, 64, 96, 128}, got 48"),
    "rows before C": (dict(rows=-1, C=48, **{n: cpu([1]) for n in ("input", "grad_out", "mean", "rstd")}),
                      DGB + "rows must be positive, got -1"),
    "layout before input": (dict(row_stride=32, input=cpu([1])), DGB + LAYOUT[2:]),
    "C = 64 against input [10, 32]": (dict(C=64, input=lambda: fake([10, 32])),
                                      DGB + "input has wrong shape; got [10, 32]"),
}


@pytest.mark.parametrize("case", LN_DGB_CASES)
def test_ln_dgb_validation(case):
    overrides, expected = dict(LN_DGB_CASES[case][0]), LN_DGB_CASES[case][1]
    sizes = {k: overrides.pop(k) for k in ("rows", "C", "row_stride") if k in overrides}
    run_case(load("trimul").ln_bwd_dgb, ln_dgb_args(**sizes, **overrides), expected)


# ---------------------------------------------------------------- transpose_ln_bwd

def transpose_args(N=5, H=32, B=2, **overrides):
    NN = N * N
    defaults = {
        "x": lambda: fake([B * H, NN]), "d_xln": lambda: fake([B * NN, H]),
        "N": N, "H": H, "B": B,
        "gamma": lambda: fake([H], F32), "mean": lambda: fake([B * NN], F32), "rstd": lambda: fake([B * NN], F32),
    }
    return build(defaults, overrides)


def limits_only(N, H, B):
    """Extents that fail before any tensor is inspected: every tensor is wrong."""
    return transpose_args(N, H, B, **{n: cpu([1]) for n in ("x", "d_xln", "gamma", "mean", "rstd")})


TL = "transpose_ln_bwd: "
TRANSPOSE_LIMIT_CASES = {
    "H = 48": ((5, 48, 2), TL + "H must be one of {32, 64, 96, 128}, got 48"),
    "N = 0": ((0, 32, 2), TL + "N must be positive, got 0"),
    "B = -1": ((5, 32, -1), TL + "B must be positive, got -1"),
    "B = 65536 before N*N": ((INT_MAX, 32, 65536), TL + "B exceeds the production grid-z limit"),
    "B*N*N overflows": ((INT_MAX, 32, 3), TL + "B*N*N overflows int64"),
    "tiles = 2^31": ((262144, 32, 1), TL + "transpose grid-x exceeds the production limit"),
    "chunks = 2^31 or more": ((262143, 32, 2), TL + "transpose reduction chunks exceed signed int32"),
}


@pytest.mark.parametrize("case", TRANSPOSE_LIMIT_CASES)
def test_transpose_limits_come_first(case):
    extents, expected = TRANSPOSE_LIMIT_CASES[case]
    assert_fails_with(load("trimul").transpose_ln_bwd, limits_only(*extents), expected)


TRANSPOSE_CASES = {
    "x on the CPU": (dict(x=cpu([64, 25])), TL + "x must be a CUDA tensor"),
    "x in FP32": (dict(x=lambda: fake([64, 25], F32)), TL + "x has the wrong dtype"),
    "x [B*H, N, N]": (dict(x=lambda: fake([64, 5, 5])), TL + "x has wrong rank; got shape [64, 5, 5]"),
    "x row-major [B*NN, H]": (dict(x=lambda: fake([50, 32])), TL + "x has wrong shape; got [50, 32]"),
    "x not contiguous": (dict(x=transposed([64, 25])), TL + "x must be contiguous"),
    "d_xln channel-major": (dict(d_xln=lambda: fake([64, 25])), TL + "d_xln has wrong shape; got [64, 25]"),
    "d_xln on another device": (dict(d_xln=lambda: fake([50, 32], device=OTHER_DEVICE)),
                                TL + "d_xln must be on the same CUDA device as the primary input"),
    "gamma [33]": (dict(gamma=lambda: fake([33], F32)), TL + "gamma has wrong shape; got [33]"),
    "gamma in BF16": (dict(gamma=lambda: fake([32])), TL + "gamma has the wrong dtype"),
    "mean [N*N]": (dict(mean=lambda: fake([25], F32)), TL + "mean has wrong shape; got [25]"),
    "rstd not a CUDA tensor": (dict(rstd=cpu([50], F32)), TL + "rstd must be a CUDA tensor"),
    "every tensor at an odd element offset": ({n: (lambda s=s, d=d: fake(s, d, offset=2 if d == BF16 else 4))
                                               for n, s, d in (("x", [64, 25], BF16), ("d_xln", [50, 32], BF16),
                                                               ("gamma", [32], F32), ("mean", [50], F32),
                                                               ("rstd", [50], F32))}, PASS),
}


@pytest.mark.parametrize("case", TRANSPOSE_CASES)
def test_transpose_validation(case):
    overrides, expected = TRANSPOSE_CASES[case]
    run_case(load("trimul").transpose_ln_bwd, transpose_args(**overrides), expected)


@pytest.mark.parametrize("N, H, B", [(4, 128, 1), (64, 64, 3), (262143, 32, 1), (1, 96, 65535)])
def test_transpose_passes(N, H, B):
    assert_passes_validation(load("trimul").transpose_ln_bwd, *transpose_args(N, H, B))


# ---------------------------------------------------------------- trimul_wgrad_fixed_fold

WF = "trimul_wgrad_fixed_fold: "


def wgrad_args(chunks=3, M=4, C=5, overwrite=True, **overrides):
    defaults = {"partials": lambda: fake([chunks, M, C], F32), "accumulator": lambda: fake([M, C], F32),
                "overwrite": overwrite}
    return build(defaults, overrides)


WGRAD_CASES = {
    "partials on the CPU": (dict(partials=cpu([3, 4, 5], F32), accumulator=cpu([1])), WF + "partials must be a CUDA tensor"),
    "partials in BF16": (dict(partials=lambda: fake([3, 4, 5])), WF + "partials has the wrong dtype"),
    "partials not contiguous": (dict(partials=lambda: fake([3, 4, 5], F32, strides=[1, 15, 3])),
                                WF + "partials must be contiguous"),
    "partials 2-D": (dict(partials=lambda: fake([4, 5], F32)), WF + "partials must have shape [chunks, M, C]; "
                                                                    "got [4, 5]"),
    "chunks = 0": (dict(partials=lambda: fake([0, 4, 5], F32)), WF + "chunks must be positive, got 0"),
    "M = 0": (dict(partials=lambda: fake([3, 0, 5], F32)), WF + "M must be positive, got 0"),
    "C = 0": (dict(partials=lambda: fake([3, 4, 0], F32)), WF + "C must be positive, got 0"),
    "chunks = 2^31": (dict(partials=lambda: fake([2**31, 1, 1], F32), accumulator=lambda: fake([1, 1], F32)),
                      WF + "chunks exceed int32"),
    "chunks = 2^31 - 1": (dict(partials=lambda: fake([INT_MAX, 1, 1], F32), accumulator=lambda: fake([1, 1], F32)),
                          PASS),
    "accumulator in BF16": (dict(accumulator=lambda: fake([4, 5])), WF + "accumulator has the wrong dtype"),
    "accumulator on another device": (dict(accumulator=lambda: fake([4, 5], F32, device=OTHER_DEVICE)),
                                      WF + "accumulator must be on the same CUDA device as the primary input"),
    "accumulator [5, 4]": (dict(accumulator=lambda: fake([5, 4], F32)), WF + "accumulator has wrong shape; got [5, 4]"),
    "accumulator flat": (dict(accumulator=lambda: fake([20], F32)), WF + "accumulator has wrong rank; got shape [20]"),
    "M*C past the grid": (dict(partials=lambda: fake([1, 2**35, 16], F32), accumulator=lambda: fake([2**35, 16], F32)),
                          WF + "launch grid-x exceeds the production limit"),
    "M*C at the grid's end": (dict(partials=lambda: fake([1, 17179869176, 32], F32),
                                   accumulator=lambda: fake([17179869176, 32], F32)), PASS),
    "overwrite": ({}, PASS),
    "accumulate": (dict(overwrite=False), PASS),
    "odd element offsets": (dict(partials=lambda: fake([3, 4, 5], F32, offset=4),
                                 accumulator=lambda: fake([4, 5], F32, offset=4)), PASS),
}


@pytest.mark.parametrize("case", WGRAD_CASES)
def test_wgrad_fold_validation(case):
    overrides, expected = WGRAD_CASES[case]
    run_case(load("trimul").trimul_wgrad_fixed_fold, wgrad_args(**overrides), expected)


@pytest.mark.parametrize("offset", [0, 40, 3])  # partials[0], partials[2], and straddling two slabs
def test_wgrad_fold_rejects_an_accumulator_inside_partials(offset):
    partials = fake([3, 4, 5], F32)
    accumulator = partials.as_strided([4, 5], [5, 1], offset)
    assert_fails_with(load("trimul").trimul_wgrad_fixed_fold,
                      wgrad_args(partials=lambda: partials, accumulator=lambda: accumulator), OVERLAP)
