"""The multiplicative update's backward pieces on a Hopper GPU or their emulated twins: LayerNorm
dX, dGamma/dBeta, the transposed LayerNorm and the weight-gradient fold bit for bit against FP32
emulations of their fixed orders; the sigmoid-multiply and the gate split against float64 references with
per-element bounds, the gate split from the forward's own saved normalised rows. Each channel
count meets every row regime somewhere in the tables (one row, a partial 8-row block or
32-position tile, a partial 128-row tile, tiles across batch elements, NN not a multiple of 8,
more tiles than resident blocks); reruns are bit-identical, twenty times over for every kernel
family at a size that gives every multiprocessor work. Grid counts below are for 132
multiprocessors (H100, H200)."""
import importlib
import math

import numpy as np
import pytest
import torch

from backend import gpu_only
from harness import BF16, assert_bit_identical, assert_runs_bit_identical, poisoned_fresh_outputs, tensor_bits
from trimul_bwd_reference import (bf16_bits_round, dgb_partials, grouped_fold, ln_backward_rows, ordered_fold,
                                  sigmoid64, transpose_partials)
from trimul_reference import APPROX, HALF_BF16, TINY, U32, assert_within, f64, projection, rows_of_channel_major

SENTINEL = 0x7FC1  # a BF16 NaN that no kernel writes
EMULATED_MULTIPROCESSORS = 132  # the emulated device is an H100 SXM


def assert_emulated(got, want, what):
    """A kernel's result (FP32, or BF16 widened) carries the bits of an FP32 emulation (numpy)."""
    assert_bit_identical(got.float().cpu(), torch.from_numpy(np.ascontiguousarray(want, np.float32)), what)


def poisoned(sizes, device):
    """A BF16 tensor of SENTINEL on device."""
    return torch.full(sizes, SENTINEL, dtype=torch.int16, device=device).view(BF16)


def layer_norm_inputs(rows, C, seed, device):
    g = torch.Generator().manual_seed(seed)
    x = (torch.randn(rows, C, generator=g) * 1.5 + 0.3).to(BF16)
    xf = x.float()
    mean = xf.mean(1)
    rstd = torch.rsqrt((xf * xf).mean(1) - mean * mean + 1e-5)
    grad = torch.randn(rows, C, generator=g).to(BF16)
    gamma = 1 + 0.2 * torch.randn(C, generator=g)
    return tuple(t.to(device) for t in (x, grad, gamma, mean, rstd))


def sms(backend):
    if backend.name == "emulated":
        return EMULATED_MULTIPROCESSORS
    return torch.cuda.get_device_properties(torch.cuda.current_device()).multi_processor_count


# (C, rows): each channel count with one row, a partial 8-row block, and many chunks
LN_CASES = [
    pytest.param(32, 1, marks=[pytest.mark.sanitize, pytest.mark.smoke], id="C32-rows1"),
    pytest.param(64, 13, id="C64-rows13"),
    pytest.param(96, 1, id="C96-rows1"),
    pytest.param(128, 7, id="C128-rows7"),
    pytest.param(32, 2047, id="C32-rows2047"),
    pytest.param(64, 4096, id="C64-rows4096"),
    pytest.param(96, 1000, id="C96-rows1000"),
    pytest.param(128, 3001, id="C128-rows3001"),
]


@pytest.mark.parametrize("C, rows", LN_CASES)
def test_ln_bwd_dx_bits(backend, C, rows):
    m = backend.load("trimul")
    x, grad, gamma, mean, rstd = layer_norm_inputs(rows, C, seed=C + rows, device=backend.device)
    dx = m.ln_bwd_dx(x, grad, rows, C, 1, gamma, mean, rstd)
    again = m.ln_bwd_dx(x, grad, rows, C, 1, gamma, mean, rstd)
    backend.synchronize()
    assert dx.shape == x.shape and dx.dtype == BF16
    want = bf16_bits_round(ln_backward_rows(*(t.float().cpu().numpy() for t in (x, grad, gamma, mean, rstd))))
    assert_emulated(dx, want, "dx")
    assert_bit_identical(again, dx, "dx rerun")


@pytest.mark.parametrize("C, rows", LN_CASES)
def test_ln_bwd_dgb_bits(backend, C, rows):
    m = backend.load("trimul")
    host = importlib.import_module("_kestrovane_trimul_bwd_host")
    x, grad, gamma, mean, rstd = layer_norm_inputs(rows, C, seed=C * rows, device=backend.device)
    dgamma, dbeta = m.ln_bwd_dgb(x, grad, rows, C, 1, C, mean, rstd)
    again = m.ln_bwd_dgb(x, grad, rows, C, 1, C, mean, rstd)
    backend.synchronize()
    rows_per_chunk = host.dgb_rows_per_chunk(rows, sms(backend))
    want = ordered_fold(dgb_partials(*(t.float().cpu().numpy() for t in (x, grad, mean, rstd)), rows_per_chunk))
    assert_emulated(dgamma, want[0], "dgamma")
    assert_emulated(dbeta, want[1], "dbeta")
    assert_bit_identical(again[0], dgamma, "dgamma rerun")
    assert_bit_identical(again[1], dbeta, "dbeta rerun")


def test_ln_bwd_dgb_folds_chunks_in_order(backend):
    # 192 rows are three 64-row chunks on any device; one row of each carries 2^27, 1, -2^27
    m = backend.load("trimul")
    C, rows = 32, 192
    x, _, _, mean, rstd = layer_norm_inputs(rows, C, seed=9, device=backend.device)
    grad = torch.zeros(rows, C)
    grad[0], grad[64], grad[128] = 2.0**27, 1.0, -(2.0**27)
    _, dbeta = m.ln_bwd_dgb(x, grad.to(BF16).to(backend.device), rows, C, 1, C, mean, rstd)
    assert (dbeta.cpu() == 0).all()  # (2^27 + 1) rounds to 2^27 in FP32 before -2^27 arrives


# (N, H, B): N = 4 (half tiles empty), N = 5 (a partial tile), chunks spread over the groups
TRANSPOSE_CASES = [
    pytest.param(4, 32, 1, marks=[pytest.mark.sanitize, pytest.mark.smoke], id="N4-H32-B1"),
    pytest.param(5, 64, 2, id="N5-H64-B2"),
    pytest.param(4, 96, 3, id="N4-H96-B3"),
    pytest.param(5, 128, 1, id="N5-H128-B1"),
    pytest.param(64, 32, 3, id="N64-H32-B3"),
    pytest.param(37, 64, 1, id="N37-H64-B1"),
    pytest.param(23, 96, 2, id="N23-H96-B2"),
    pytest.param(64, 128, 3, id="N64-H128-B3"),
]


@pytest.mark.parametrize("N, H, B", TRANSPOSE_CASES)
def test_transpose_ln_bwd_bits(backend, N, H, B):
    m = backend.load("trimul")
    NN = N * N
    xr, grad, gamma, mean, rstd = layer_norm_inputs(B * NN, H, seed=N * H + B, device=backend.device)
    x = xr.view(B, NN, H).permute(0, 2, 1).reshape(B * H, NN).contiguous()
    dx, dgamma, dbeta = m.transpose_ln_bwd(x, grad, N, H, B, gamma, mean, rstd)
    again = m.transpose_ln_bwd(x, grad, N, H, B, gamma, mean, rstd)
    backend.synchronize()
    assert list(dx.shape) == [B * H, N, N] and dx.dtype == BF16
    xs, gs, gm, mn, rs = (t.float().cpu().numpy() for t in (xr, grad, gamma, mean, rstd))
    want_rows = bf16_bits_round(ln_backward_rows(xs, gs, gm, mn, rs))
    got_rows = rows_of_channel_major(dx.reshape(B * H, NN).float().cpu().numpy(), B, H, NN)
    assert_emulated(torch.from_numpy(np.ascontiguousarray(got_rows)), want_rows, "dx")
    want = grouped_fold(transpose_partials(xs, gs, mn, rs, B, NN))
    assert_emulated(dgamma, want[0], "dgamma")
    assert_emulated(dbeta, want[1], "dbeta")
    for name, first, second in zip(("dx", "dgamma", "dbeta"), (dx, dgamma, dbeta), again):
        assert_bit_identical(second, first, f"{name} rerun")


@pytest.mark.parametrize("chunks, M, C", [
    pytest.param(1, 3, 5, marks=[pytest.mark.sanitize, pytest.mark.smoke], id="one-chunk"),
    pytest.param(7, 96, 32, id="7x96x32"),
    pytest.param(40, 160, 128, id="40x160x128"),
    pytest.param(3, 1, 1000001, id="3x1x1000001"),
])
def test_wgrad_fold_bits(backend, chunks, M, C):
    m = backend.load("trimul")
    g = torch.Generator().manual_seed(chunks + M)
    partials = torch.randn(chunks, M, C, generator=g) * torch.logspace(-3, 3, chunks)[:, None, None]
    start = torch.randn(M, C, generator=g)
    acc = start.to(backend.device, copy=True)  # start stays as it was, for the emulation
    result = m.trimul_wgrad_fixed_fold(partials.to(backend.device), acc, False)
    if backend.name == "hopper":
        assert result is acc
    else:  # the emulated module's proxy hands back a new host view of the returned tensor
        assert result.data_ptr() == acc.data_ptr() and result.shape == acc.shape
    fresh = torch.full((M, C), float("nan"), device=backend.device)
    m.trimul_wgrad_fixed_fold(partials.to(backend.device), fresh, True)
    backend.synchronize()
    p = partials.numpy()
    assert_emulated(acc, ordered_fold(np.concatenate([start.numpy()[None], p])), "accumulate")
    assert_emulated(fresh, ordered_fold(p), "overwrite")


def test_wgrad_fold_order_and_signed_zero(backend):
    m = backend.load("trimul")
    partials = torch.tensor([1e8, 1.0, -1e8]).view(3, 1, 1).to(backend.device)
    acc = torch.empty(1, 1, device=backend.device)
    m.trimul_wgrad_fixed_fold(partials, acc, True)
    assert acc.item() == 0.0  # not 1: the slabs are added in chunk order
    negative_zero = torch.tensor([-0.0]).view(1, 1, 1).to(backend.device)
    m.trimul_wgrad_fixed_fold(negative_zero, acc, True)
    assert acc.item() == 0.0 and not torch.signbit(acc).item()  # 0 + (-0) = +0


# ---------------------------------------------------------------- sigmoid-multiply

def sig_mul_inputs(H, rows, seed):
    """out, gate, grad_out (BF16, on the host): gate column 0 is 0 (s = 1/2 exactly) and column 1
    is -100 (2^144 overflows, s = 0 exactly)."""
    g = torch.Generator().manual_seed(seed)
    out = (torch.randn(rows, H, generator=g) * 2).to(BF16)
    gate = (torch.randn(rows, H, generator=g) * 3).to(BF16)
    gate[:, 0] = 0.0
    gate[:, 1] = -100.0
    grad = torch.randn(rows, H, generator=g).to(BF16)
    return out, gate, grad


def dgate_destination(rows, H, kind, device):
    """(buffer, offset, stride): a flat BF16 buffer of SENTINEL and where the [rows, H] dgate
    destination lies in it. "slice4": columns 4H.. of a [rows, 5H] d_proj5 (row stride 5H).
    "contiguous": a plain [rows, H] block (row stride H) starting H elements into a buffer of
    rows * 5H + 2H elements, so that a kernel stepping rows by any other stride writes into
    poison that the check reads, still inside the buffer."""
    if kind == "slice4":
        return poisoned((rows * 5 * H,), device), 4 * H, 5 * H
    return poisoned((rows * 5 * H + 2 * H,), device), H, H


def strided_view(buffer, rows, H, offset, stride):
    return buffer.as_strided((rows, H), (stride, 1), offset)


def check_sig_mul(out, gate, grad, d_x, buffer, offset, stride):
    """Host tensors: d_x, and the destination inside `buffer` (SENTINEL everywhere else)."""
    rows, H = out.shape
    d_gate = strided_view(buffer, rows, H, offset, stride)
    outside = torch.ones(buffer.numel(), dtype=torch.bool)
    strided_view(outside, rows, H, offset, stride).fill_(False)
    assert (tensor_bits(buffer)[outside] == SENTINEL).all(), "written outside the dgate destination"
    s = sigmoid64(f64(gate))
    gv, ov = f64(grad), f64(out)
    s_err = 4 * APPROX * s
    want_x = s * gv
    err_x = np.abs(gv) * s_err + U32 * np.abs(want_x)
    assert_within(f64(d_x), want_x, HALF_BF16 * (np.abs(want_x) + err_x) + err_x + TINY, "d_x")
    want_g = (1 - s) * gv * ov
    err_g = np.abs(gv * ov) * (s_err + 3 * U32)
    assert_within(f64(d_gate), want_g, HALF_BF16 * (np.abs(want_g) + err_g) + err_g + TINY, "d_gate")
    # The BF16 products grad * out are exact in FP32 (and in float64). Gate 0: s = 1/2 exactly, so
    # d_x = BF16(grad / 2) and d_gate = BF16(grad * out / 2); gate -100: s = 0, so d_x = 0 and
    # d_gate = BF16(grad * out).
    exact = gv * ov
    assert_bit_identical(d_x[:, 0], (grad[:, 0].float() / 2).to(BF16), "d_x at gate 0")
    assert_bit_identical(d_gate[:, 0], torch.from_numpy(exact[:, 0] / 2).to(BF16), "d_gate at gate 0")
    assert (f64(d_x)[:, 1] == 0).all()
    assert_bit_identical(d_gate[:, 1], torch.from_numpy(exact[:, 1]).to(BF16), "d_gate at gate -100")


@pytest.mark.parametrize("H, rows, destination", [
    pytest.param(32, 1, "slice4", marks=[pytest.mark.sanitize, pytest.mark.smoke], id="H32-rows1-slice4"),
    pytest.param(64, 999, "slice4", id="H64-rows999-slice4"),
    pytest.param(96, 8, "slice4", id="H96-rows8-slice4"),
    pytest.param(128, 3000, "slice4", id="H128-rows3000-slice4"),
    pytest.param(64, 999, "contiguous", id="H64-rows999-contiguous"),
    pytest.param(128, 3000, "contiguous", id="H128-rows3000-contiguous"),
])
def test_sig_mul_bwd(backend, H, rows, destination):
    m = backend.load("trimul")
    out, gate, grad = sig_mul_inputs(H, rows, seed=H + rows)
    buffer, offset, stride = dgate_destination(rows, H, destination, backend.device)
    d_x = m.sig_mul_bwd_out(out.to(backend.device), gate.to(backend.device), grad.to(backend.device),
                            strided_view(buffer, rows, H, offset, stride), H, stride)
    backend.synchronize()
    check_sig_mul(out, gate, grad, d_x.cpu(), buffer.cpu(), offset, stride)


# ---------------------------------------------------------------- gate split

# (C = H, B, NN): every channel count with a partial tile, a tile across batch elements, NN not
# a multiple of 8, whole vector pieces, and more row tiles than resident blocks
GATE_CASES = [
    pytest.param(32, 1, 1, marks=[pytest.mark.sanitize, pytest.mark.smoke], id="C32-B1-NN1"),
    pytest.param(64, 3, 43, id="C64-B3-NN43"),
    pytest.param(96, 2, 128, id="C96-B2-NN128"),
    pytest.param(128, 3, 43, id="C128-B3-NN43"),
    pytest.param(32, 2, 1000, id="C32-B2-NN1000"),
    pytest.param(64, 1, 65 * 65, id="C64-B1-NN4225"),
    pytest.param(96, 3, 333, id="C96-B3-NN333"),
    # blocks loop over row tiles only past the resident cap of 264 / (C / 32) row blocks (8449 to
    # 33793 rows): the gate split and the input stage feeding it take tens of seconds there on the
    # CPU model, so those cases run on a GPU only
    pytest.param(128, 1, 185 * 185, marks=gpu_only, id="C128-B1-NN34225"),
    # a 16-row tail; every d_a/d_b segment is a whole 16-byte read, the planes' last ones included
    pytest.param(96, 2, 200, marks=pytest.mark.sanitize, id="C96-B2-NN200"),
    # 273 tiles over 132 row blocks: every block loops, whole segments across the batch boundary
    pytest.param(64, 2, 132 * 132, marks=[pytest.mark.sanitize, gpu_only], id="C64-B2-NN17424"),
]


def gate_inputs(C, B, NN, seed, device):
    g = torch.Generator().manual_seed(seed)
    rows = B * NN
    z = (torch.randn(rows, C, generator=g) * 1.5 + 0.25).to(BF16)
    ws = [torch.randn(C, C, generator=g) / C**0.5 for _ in range(5)]
    mask = torch.rand(rows, generator=g)
    mask[0] = 0.0
    gamma, beta = 1 + 0.2 * torch.randn(C, generator=g), 0.3 * torch.randn(C, generator=g)
    d_a = torch.randn(B * C, NN, generator=g).to(BF16)
    d_b = torch.randn(B * C, NN, generator=g).to(BF16)
    return ([t.to(device) for t in (z, *ws, mask, gamma, beta)], d_a.to(device), d_b.to(device))


def gate_reference(zln, w_value, w_gate, grad_rows, mask):
    """d_value = m * dv * s and d_gate = m * value * dv * s * (1 - s), with bounds."""
    value, value_err = projection(zln, w_value)
    logit, logit_err = projection(zln, w_gate)
    s = sigmoid64(logit)
    s_err = s * (1 - s) * logit_err + 4 * APPROX * s
    scale = np.abs(mask[:, None] * grad_rows)
    d_value = mask[:, None] * grad_rows * s
    d_gate = d_value * value * (1 - s)
    err_value = scale * (s_err + 3 * U32 * s)
    err_gate = scale * (value_err * s * (1 - s) + np.abs(value) * (np.abs(1 - 2 * s) * s_err + 6 * U32 * s * (1 - s)))
    return (d_value, err_value), (d_gate, err_gate)


@pytest.mark.parametrize("C, B, NN", GATE_CASES)
def test_gate_split_from_the_forward(backend, C, B, NN):
    m = backend.load("trimul")
    ins, d_a, d_b = gate_inputs(C, B, NN, seed=C + NN, device=backend.device)
    rows = B * NN
    z, w_ap, w_ag, w_bp, w_bg, w_g, mask, gamma, beta = ins
    zln = m.trimul_in_fwd(*ins, B, NN, C, C, True)[5]
    d_proj5 = poisoned((rows, 5 * C), backend.device)
    result = m.trimul_gate_split_bwd(zln, w_ap, w_ag, w_bp, w_bg, mask, d_a, d_b, d_proj5, B, NN, C, C)
    again = torch.empty_like(d_proj5)
    m.trimul_gate_split_bwd(zln, w_ap, w_ag, w_bp, w_bg, mask, d_a, d_b, again, B, NN, C, C)
    backend.synchronize()
    assert result.data_ptr() == d_proj5.data_ptr()
    assert (tensor_bits(d_proj5[:, 4 * C:]) == SENTINEL).all()  # slice 4 is left to sig_mul_bwd_out
    assert_bit_identical(again[:, :4 * C], d_proj5[:, :4 * C], "rerun")
    zl, mk = f64(zln), f64(mask)
    got = f64(d_proj5).reshape(rows, 5, C)
    for side, (wv, wg, d) in enumerate(((w_ap, w_ag, d_a), (w_bp, w_bg, d_b))):
        grad_rows = rows_of_channel_major(f64(d), B, C, NN)
        (dv, ev), (dg, eg) = gate_reference(zl, f64(wv), f64(wg), grad_rows, mk)
        for slice_, want, err in ((2 * side, dv, ev), (2 * side + 1, dg, eg)):
            assert_within(got[:, slice_], want, HALF_BF16 * (np.abs(want) + err) + err + TINY, f"slice {slice_}")
    assert not got[0, :4].any()  # the masked row


@gpu_only  # the test-only probe's kernels have no emulated twin
@pytest.mark.parametrize("C, B, NN", [
    pytest.param(32, 1, 130, id="C32-B1-NN130"),
    pytest.param(64, 2, 43, id="C64-B2-NN43"),
    pytest.param(96, 1, 300, id="C96-B1-NN300"),
    pytest.param(128, 3, 100, id="C128-B3-NN100"),
])
def test_gate_split_recomputes_the_forward_projections(backend, C, B, NN):
    """The gate split's ap, ag, bp, bg carry the input stage's bits. The test-only probe runs the
    projection routine on both panel layouts (the input stage's five weights, the gate split's
    four) and must agree in FP32 bit for bit; the probe's fifth projection rounds to the input
    stage's own g, and the real gate split, with zero gate weights (s = 1/2), mask 1 and
    gradient 1, returns d_ag = ap / 4 and d_bg = bp / 4, the probe's values rounded to BF16."""
    m = backend.load("trimul")
    probe = importlib.import_module("_kestrovane_trimul_probe")
    ins, _, _ = gate_inputs(C, B, NN, seed=C * NN, device=backend.device)
    z, w_ap, w_ag, w_bp, w_bg, w_g, mask, gamma, beta = ins
    rows = B * NN
    *_, g, _, _, zln = m.trimul_in_fwd(*ins, B, NN, C, C, True)
    five = probe.probe_projections(zln, [w_ap, w_ag, w_bp, w_bg, w_g])
    four = probe.probe_projections(zln, [w_ap, w_ag, w_bp, w_bg])
    backend.synchronize()
    assert_bit_identical(five[:, :4], four, "four weights")
    assert_bit_identical(five[:, 4].to(BF16), g, "g")

    zero = torch.zeros_like(w_ag)
    ones = torch.ones(B * C, NN, dtype=BF16, device=backend.device)
    d_proj5 = torch.empty(rows, 5 * C, dtype=BF16, device=backend.device)
    m.trimul_gate_split_bwd(zln, w_ap, zero, w_bp, zero, torch.ones(rows, device=backend.device), ones, ones, d_proj5,
                            B, NN, C, C)
    gated = probe.probe_projections(zln, [w_ap, zero, w_bp, zero])
    backend.synchronize()
    d = d_proj5.view(rows, 5, C)
    assert (d[:, 0].float() == 0.5).all() and (d[:, 2].float() == 0.5).all()
    assert_bit_identical((d[:, 1].float() * 4).to(BF16), gated[:, 0].to(BF16), "d_ag")
    assert_bit_identical((d[:, 3].float() * 4).to(BF16), gated[:, 2].to(BF16), "d_bg")


# ---------------------------------------------------------------- reruns with every multiprocessor busy

FAMILIES = ["gate_split", "sig_mul", "ln_dx", "ln_dgb", "transpose_ln", "wgrad_fold"]


@gpu_only  # full-device scale, caching allocator poisoning
@pytest.mark.parametrize("family", FAMILIES)
def test_full_grid_reruns_are_bit_identical(backend, family):
    """Twenty runs of each kernel family at C = H = 128, B = 2, N = 66 (8712 rows on 132
    multiprocessors), sized so that the grid gives every multiprocessor at least one block and
    the gate split's persistent grid is at its resident cap with blocks looping; each run into
    outputs that start as poison."""
    m = backend.load("trimul")
    host = importlib.import_module("_kestrovane_trimul_bwd_host")
    n_sm = sms(backend)
    C = H = 128
    B = 2
    N = math.isqrt(64 * (n_sm // 2 + 2) - 1) + 1  # 2 N^2 rows: more tiles than the 2 * sms / 4 row blocks
    NN = N * N
    rows = B * NN
    if family == "gate_split":
        ins, d_a, d_b = gate_inputs(C, B, NN, seed=31, device=backend.device)
        z, w_ap, w_ag, w_bp, w_bg, w_g, mask, gamma, beta = ins
        zln = m.trimul_in_fwd(*ins, B, NN, C, C, True)[5]
        assert host.gate_split_grid(H, rows, n_sm) == (4, n_sm // 2, 1) and -(-rows // 128) > n_sm // 2

        def call():
            d_proj5 = poisoned((rows, 5 * C), backend.device)
            m.trimul_gate_split_bwd(zln, w_ap, w_ag, w_bp, w_bg, mask, d_a, d_b, d_proj5, B, NN, C, H)
            return d_proj5
    elif family == "sig_mul":
        out, gate, grad = (t.to(backend.device) for t in sig_mul_inputs(H, rows, seed=32))
        assert host.sig_mul_grid(rows * H)[0] >= n_sm

        def call():
            d_proj5 = poisoned((rows, 5 * H), backend.device)
            return m.sig_mul_bwd_out(out, gate, grad, d_proj5[:, 4 * H:], H, 5 * H), d_proj5
    elif family in ("ln_dx", "ln_dgb"):
        x, grad, gamma, mean, rstd = layer_norm_inputs(rows, C, seed=33, device=backend.device)
        if family == "ln_dx":
            assert host.ln_dx_grid(rows)[0] >= n_sm
            call = lambda: m.ln_bwd_dx(x, grad, rows, C, 1, gamma, mean, rstd)  # noqa: E731
        else:
            assert host.checked_dgb_plan(rows, n_sm)[1] >= n_sm
            call = lambda: m.ln_bwd_dgb(x, grad, rows, C, 1, C, mean, rstd)  # noqa: E731
    elif family == "transpose_ln":
        xr, grad, gamma, mean, rstd = layer_norm_inputs(rows, H, seed=34, device=backend.device)
        x = xr.view(B, NN, H).permute(0, 2, 1).reshape(B * H, NN).contiguous()
        grid = host.transpose_grid(N, B)
        assert grid[0] * grid[2] >= n_sm
        call = lambda: m.transpose_ln_bwd(x, grad, N, H, B, gamma, mean, rstd)  # noqa: E731
    else:
        # the layer's fold of the five input projections' weight gradients: [5H, C] per chunk
        g = torch.Generator().manual_seed(35)
        partials = torch.randn(3, 5 * H, C, generator=g).to(backend.device)
        assert host.wgrad_fold_grid(5 * H * C)[0] >= n_sm

        def call():
            accumulator = torch.full((5 * H, C), float("nan"), device=backend.device)
            return m.trimul_wgrad_fixed_fold(partials, accumulator, True)
    assert_runs_bit_identical(poisoned_fresh_outputs(call, backend.device), what=family)
