"""The float64 reference of the GPU multiplicative-update suite, checked on its own: a float32
emulation of the kernels' arithmetic meets its bounds, and the faults it exists to catch
(wrong plane layout, a LayerNorm off by two BF16 steps, a missing or misapplied gate, a
projection through the wrong weight) do not."""
import numpy as np
import pytest
import torch

from trimul_reference import (channel_major_of_rows, check_in_fwd, check_out_fwd, f64,
                              rows_of_channel_major)

LOG2E = 1.4426950408889634


def emulated_layer_norm(x, gamma, beta):
    """float32 one-pass LayerNorm of x [rows, C]: (BF16 rows, mean, rstd)."""
    C = x.shape[1]
    inv = torch.tensor(1.0 / C, dtype=torch.float32)
    mean = x.sum(1) * inv
    var = (x * x).sum(1) * inv - mean * mean
    rstd = torch.rsqrt(var + 1e-5)
    y = gamma * ((x - mean[:, None]) * rstd[:, None]) + beta
    return y.bfloat16(), mean, rstd


def gate(value, logit):
    return value / (1 + torch.exp2(-LOG2E * logit))


def emulated_in_fwd(z, ws, mask, gamma, beta, B, NN):
    zln, mean, rstd = emulated_layer_norm(z.float(), gamma, beta)
    ap, ag, bp, bg, gp = (zln.float() @ w.bfloat16().float().T for w in ws)
    H = ws[0].shape[0]
    a = (mask[:, None] * gate(ap, ag)).bfloat16()
    b = (mask[:, None] * gate(bp, bg)).bfloat16()
    plane = lambda t: torch.from_numpy(np.ascontiguousarray(channel_major_of_rows(t.float().numpy(), B, H, NN)))
    return [plane(a).bfloat16(), plane(b).bfloat16(), gp.bfloat16(), mean, rstd, zln]


def emulated_out_fwd(x, wz, gate_logits, gamma, beta, B, NN):
    H = wz.shape[1]
    xr = torch.from_numpy(np.ascontiguousarray(rows_of_channel_major(x.float().numpy(), B, H, NN)))
    xln, mean, rstd = emulated_layer_norm(xr, gamma, beta)
    out = gate(xln.float() @ wz.bfloat16().float().T, gate_logits.float()).bfloat16()
    return [out, xln.T.contiguous(), mean, rstd]


def in_case(B, NN, C, seed):
    g = torch.Generator().manual_seed(seed)
    rows = B * NN
    z = (torch.randn(rows, C, generator=g) * 1.5 + 0.25).bfloat16()
    ws = [torch.randn(C, C, generator=g) / C**0.5 for _ in range(5)]
    mask = (torch.rand(rows, generator=g) > 0.2).float()
    gamma, beta = 1 + 0.1 * torch.randn(C, generator=g), 0.1 * torch.randn(C, generator=g)
    return [z, *ws, mask, gamma, beta]


def out_case(B, NN, C, seed):
    g = torch.Generator().manual_seed(seed)
    x = (torch.randn(B * C, NN, generator=g) * 3).bfloat16()
    wz = torch.randn(C, C, generator=g) / C**0.5
    logits = (torch.randn(B * NN, C, generator=g) * 2).bfloat16()
    return [x, wz, logits, 1 + 0.1 * torch.randn(C, generator=g), 0.1 * torch.randn(C, generator=g)]


def nudge(t, steps=2):
    """A copy with its first element moved `steps` BF16 steps up."""
    t = t.clone()
    t.view(torch.int16).view(-1)[0] += steps
    return t


SIZES = [(1, 37, 32), (3, 43, 64), (3, 20, 96), (2, 9, 128)]


@pytest.mark.parametrize("B, NN, C", SIZES)
def test_in_fwd_emulation_within_bounds_and_faults_caught(B, NN, C):
    inputs = in_case(B, NN, C, seed=C + NN)
    outputs = emulated_in_fwd(inputs[0], inputs[1:6], *inputs[6:], B, NN)
    ins = [f64(t) for t in inputs]
    check_in_fwd(ins, [f64(t) for t in outputs], B, NN)

    a, b, g, mean, rstd, zln = outputs
    H = C
    # a fault: a stored row-major [rows, H] where the channel-major planes belong
    row_major_a = rows_of_channel_major(a.float().numpy(), B, H, NN)
    faults = {
        "a as a flat reshape": [torch.from_numpy(row_major_a.reshape(B * H, NN)).bfloat16(), b, g, mean, rstd, zln],
        "a and b swapped": [b, a, g, mean, rstd, zln],
        "zln two steps off": [a, b, g, mean, rstd, nudge(zln)],
        "g gated": [a, b, torch.sigmoid(g.float()).bfloat16() * g, mean, rstd, zln],
        "mean shifted": [a, b, g, mean + 1e-3, rstd, zln],
    }
    for name, wrong in faults.items():
        with pytest.raises(AssertionError):
            check_in_fwd(ins, [f64(t) for t in wrong], B, NN)
    # a projection through the wrong weight
    swapped = ins[:1] + [ins[2], ins[1]] + ins[3:]
    with pytest.raises(AssertionError):
        check_in_fwd(swapped, [f64(t) for t in outputs], B, NN)


@pytest.mark.parametrize("B, NN, C", SIZES)
def test_out_fwd_emulation_within_bounds_and_faults_caught(B, NN, C):
    inputs = out_case(B, NN, C, seed=7 * C + NN)
    outputs = emulated_out_fwd(*inputs, B, NN)
    ins = [f64(t) for t in inputs]
    check_out_fwd(ins, [f64(t) for t in outputs], B, NN)

    out, xln, mean, rstd = outputs
    per_batch = torch.from_numpy(channel_major_of_rows(xln.T.float().numpy(), B, C, NN)).bfloat16()
    faults = {
        "out doubled": [(out.float() * 2).bfloat16(), xln, mean, rstd],
        "xln two steps off": [out, nudge(xln), mean, rstd],
        "rstd scaled": [out, xln, mean, rstd * 1.001],
    }
    if B > 1:
        # xln in x's per-batch channel-major layout instead of one plane over all rows
        faults["xln per batch"] = [out, per_batch.reshape(C, B * NN), mean, rstd]
    for name, wrong in faults.items():
        with pytest.raises(AssertionError):
            check_out_fwd(ins, [f64(t) for t in wrong], B, NN)
    # the gate applied with the wrong sign
    flipped = ins[:2] + [-ins[2]] + ins[3:]
    with pytest.raises(AssertionError):
        check_out_fwd(flipped, [f64(t) for t in outputs], B, NN)
