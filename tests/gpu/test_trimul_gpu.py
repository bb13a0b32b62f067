"""The multiplicative-update forward stages on a Hopper GPU against the float64 reference
with per-element bounds, stage by stage: statistics, normalised rows, gated projections.
Each channel count meets every row-count regime (one row, a partial tile, one whole tile,
a tile across batch elements, NN not a multiple of 8, more tiles than resident blocks)
somewhere in the table, with the saved copies both ways on every case."""
import numpy as np
import pytest
import torch

from harness import BF16, F32, load, requires_hopper
from trimul_reference import APPROX, EPS, check_in_fwd, check_out_fwd, f64, rows_of_channel_major

pytestmark = requires_hopper

CONSTANT = 0.75  # a row of one value: mean is the value, the variance 0

# (C = H, B, NN)
CASES = [
    pytest.param(32, 1, 1, marks=[pytest.mark.sanitize, pytest.mark.smoke], id="C32-B1-NN1"),
    pytest.param(64, 3, 3, marks=pytest.mark.sanitize, id="C64-B3-NN3"),
    pytest.param(64, 1, 127, id="C64-B1-NN127"),
    pytest.param(96, 1, 128, id="C96-B1-NN128"),
    pytest.param(128, 3, 43, id="C128-B3-NN43"),
    pytest.param(32, 3, 43, id="C32-B3-NN43"),
    pytest.param(64, 1, 1000, id="C64-B1-NN1000"),
    pytest.param(96, 3, 333, id="C96-B3-NN333"),
    pytest.param(128, 1, 1000, id="C128-B1-NN1000"),
    pytest.param(32, 1, 185 * 185, id="C32-B1-NN34225"),
    pytest.param(128, 2, 65 * 65, id="C128-B2-NN4225"),
]


def in_inputs(C, B, NN, seed):
    g = torch.Generator().manual_seed(seed)
    rows = B * NN
    z = torch.randn(rows, C, generator=g) * 1.5 + 0.25
    z[rows // 2] = CONSTANT
    ws = [torch.randn(C, C, generator=g) / C**0.5 for _ in range(5)]
    mask = torch.rand(rows, generator=g)
    mask[torch.rand(rows, generator=g) < 0.2] = 1.0
    mask[0] = 0.0  # a fully masked row
    gamma, beta = 1 + 0.2 * torch.randn(C, generator=g), 0.3 * torch.randn(C, generator=g)
    return [z.to(BF16).cuda(), *(w.cuda() for w in ws), mask.cuda(), gamma.cuda(), beta.cuda()]


def out_inputs(C, B, NN, seed):
    g = torch.Generator().manual_seed(seed)
    rows = B * NN
    xr = torch.randn(rows, C, generator=g) * 2 - 0.5
    xr[rows // 2] = CONSTANT
    x = xr.reshape(B, NN, C).permute(0, 2, 1).reshape(B * C, NN)
    gate = torch.randn(rows, C, generator=g) * 3
    gate[:, 0] = 0.0      # halves the projection
    gate[:, 1] = -100.0   # drives out to 0
    wz = torch.randn(C, C, generator=g) / C**0.5
    gamma, beta = 1 + 0.2 * torch.randn(C, generator=g), 0.3 * torch.randn(C, generator=g)
    return [x.to(BF16).contiguous().cuda(), wz.cuda(), gate.to(BF16).cuda(), gamma.cuda(), beta.cuda()]


def bits(t):
    return t.view(torch.int16 if t.dtype == BF16 else torch.int32).cpu()


def assert_same_bits(first, second):
    assert len(first) == len(second)
    for x, y in zip(first, second):
        assert x.shape == y.shape and torch.equal(bits(x), bits(y))


def assert_constant_row(ln_row, mean, rstd, beta, C):
    """A row of one value: where 1/C is exact (C a power of two) the mean is the value, the
    variance exactly 0 and every normalised value beta rounded to BF16."""
    if C == 96:
        return  # 1/96 is inexact: the general bounds cover this row
    assert mean == CONSTANT
    assert abs(rstd - 1 / np.sqrt(EPS)) <= 2 * APPROX / np.sqrt(EPS)
    assert torch.equal(bits(ln_row), bits(beta.to(BF16)))


@pytest.mark.parametrize("C, B, NN", CASES)
def test_in_fwd(C, B, NN):
    m = load("trimul")
    ins = in_inputs(C, B, NN, seed=C * 1000 + NN)
    rows = B * NN
    saved = m.trimul_in_fwd(*ins, B, NN, C, C, True)
    plain = m.trimul_in_fwd(*ins, B, NN, C, C, False)
    torch.cuda.synchronize()
    a, b, g, mean, rstd, zln = saved
    assert [list(t.shape) for t in saved] == [[B * C, NN], [B * C, NN], [rows, C], [rows], [rows], [rows, C]]
    assert [t.dtype for t in saved] == [BF16, BF16, BF16, F32, F32, BF16]
    # without the saved copy: an empty zln and the same bits everywhere else
    assert list(plain[5].shape) == [0, C] and plain[5].dtype == BF16
    assert_same_bits(saved[:5], plain[:5])
    check_in_fwd([f64(t) for t in ins], [f64(t) for t in saved], B, NN)
    # the fully masked row: a = b = 0 while g and the statistics are still there
    for plane in (a, b):
        assert not rows_of_channel_major(f64(plane), B, C, NN)[0].any()
    assert_constant_row(zln[rows // 2], mean[rows // 2].item(), rstd[rows // 2].item(), ins[8], C)


@pytest.mark.parametrize("C, B, NN", CASES)
def test_out_fwd(C, B, NN):
    m = load("trimul")
    ins = out_inputs(C, B, NN, seed=C * 1000 + NN + 1)
    rows = B * NN
    saved = m.trimul_out_fwd(*ins, B, NN, C, C, True)
    plain = m.trimul_out_fwd(*ins, B, NN, C, C, False)
    torch.cuda.synchronize()
    out, xln, mean, rstd = saved
    assert [list(t.shape) for t in saved] == [[rows, C], [C, rows], [rows], [rows]]
    assert [t.dtype for t in saved] == [BF16, BF16, F32, F32]
    assert [list(t.shape) for t in plain[1:]] == [[0, rows], [0], [0]]
    assert_same_bits(saved[:1], plain[:1])
    check_out_fwd([f64(t) for t in ins], [f64(t) for t in saved], B, NN)
    assert not f64(out)[:, 1].any()  # gate -100
    assert_constant_row(xln[:, rows // 2], mean[rows // 2].item(), rstd[rows // 2].item(), ins[4], C)


@pytest.mark.parametrize("C, B, NN", [(128, 3, 43), (32, 1, 185 * 185)])
def test_reruns_are_bit_identical_on_any_stream(C, B, NN):
    m = load("trimul")
    ins_in, ins_out = in_inputs(C, B, NN, seed=5), out_inputs(C, B, NN, seed=6)
    first = m.trimul_in_fwd(*ins_in, B, NN, C, C, True) + m.trimul_out_fwd(*ins_out, B, NN, C, C, True)
    side = torch.cuda.Stream()
    side.wait_stream(torch.cuda.current_stream())
    with torch.cuda.stream(side):
        second = m.trimul_in_fwd(*ins_in, B, NN, C, C, True) + m.trimul_out_fwd(*ins_out, B, NN, C, C, True)
    torch.cuda.synchronize()
    assert_same_bits(first, second)


def test_stages_chain():
    """The input stage's g feeds the output stage as its gate; b's plane layout is x's."""
    m = load("trimul")
    C, B, NN = 64, 2, 50
    ins = in_inputs(C, B, NN, seed=11)
    a, b, g, *_ = m.trimul_in_fwd(*ins, B, NN, C, C, False)
    gamma, beta = ins[7], ins[8]
    wz = ins[1]
    saved = m.trimul_out_fwd(b, wz, g, gamma, beta, B, NN, C, C, True)
    torch.cuda.synchronize()
    check_out_fwd([f64(t) for t in (b, wz, g, gamma, beta)], [f64(t) for t in saved], B, NN)
