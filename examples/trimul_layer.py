"""The triangle multiplicative update (outgoing or incoming edges), forward and backward, built
from the eight functions of _kestrovane_trimul_sm90a (or of its emulated twin on the CPU
execution model) with the caller's parts in PyTorch: the triangle product as a batched matrix
product over the channel-major planes, the input gradients of the linear layers, and the
weight gradients as FP32 partial products per chunk of pair rows that the module folds in
chunk order. Beside it, the same layer in eager
PyTorch for autograd.

Shapes: z [B*N*N, C] BF16 pair rows (row b*N*N + i*N + j), mask [B*N*N] FP32, C = H channels.
"""
from dataclasses import dataclass, fields

import torch

BF16 = torch.bfloat16
WGRAD_CHUNK_ROWS = 4096  # pair rows per weight-gradient partial
ROW_TOLERANCE = 5e-2  # per pair row of the output and of dz, relative to that row's own norm


@dataclass
class Params:
    w_ap: torch.Tensor  # [H, C] FP32, the five input projections
    w_ag: torch.Tensor
    w_bp: torch.Tensor
    w_bg: torch.Tensor
    w_g: torch.Tensor
    gamma_in: torch.Tensor  # [C]
    beta_in: torch.Tensor
    wz: torch.Tensor  # [C, H] output projection
    gamma_out: torch.Tensor  # [H]
    beta_out: torch.Tensor

    def names(self):
        return [f.name for f in fields(self)]

    def tensors(self):
        return [getattr(self, n) for n in self.names()]


def make_params(C, seed, device="cuda"):
    g = torch.Generator().manual_seed(seed)
    w = [torch.randn(C, C, generator=g) / C**0.5 for _ in range(6)]
    norms = [1 + 0.2 * torch.randn(C, generator=g), 0.2 * torch.randn(C, generator=g)]
    norms_out = [1 + 0.2 * torch.randn(C, generator=g), 0.2 * torch.randn(C, generator=g)]
    return Params(*(t.to(device) for t in (*w[:5], *norms, w[5], *norms_out)))


def fractional_mask(rows, generator):
    """FP32 [rows]: uniform in [0, 1) with about a tenth of the rows exactly 0, so that a mask
    applied twice, or not at all, changes the result (a 0/1 mask hides both)."""
    mask = torch.rand(rows, generator=generator)
    mask[torch.rand(rows, generator=generator) < 0.1] = 0.0
    return mask


def make_inputs(B, N, C, seed, device="cuda"):
    g = torch.Generator().manual_seed(seed)
    rows = B * N * N
    z = (torch.randn(rows, C, generator=g) * 1.5 + 0.1).to(BF16)
    mask = fractional_mask(rows, g)
    grad = torch.randn(rows, C, generator=g).to(BF16)
    return z.to(device), mask.to(device), grad.to(device)


def triangle(a, b, B, H, N, outgoing):
    """x[b, h] = a[b, h] @ b[b, h]^T (outgoing) or a[b, h]^T @ b[b, h] (incoming), channel-major."""
    a3, b3 = a.view(B * H, N, N), b.view(B * H, N, N)
    x = torch.bmm(a3, b3.transpose(1, 2)) if outgoing else torch.bmm(a3.transpose(1, 2), b3)
    return x.reshape(B * H, N * N)


def triangle_backward(dx, a, b, B, H, N, outgoing):
    d3, a3, b3 = dx.view(B * H, N, N), a.view(B * H, N, N), b.view(B * H, N, N)
    if outgoing:
        da, db = torch.bmm(d3, b3), torch.bmm(d3.transpose(1, 2), a3)
    else:
        da, db = torch.bmm(b3, d3.transpose(1, 2)), torch.bmm(a3, d3)
    return da.reshape(B * H, N * N).contiguous(), db.reshape(B * H, N * N).contiguous()


def weight_gradient(m, left, right, chunk_rows=WGRAD_CHUNK_ROWS):
    """left^T @ right over all rows as FP32 [P, Q]: one partial product per chunk of rows, folded
    in chunk order by the module, so the sum does not depend on the GEMM's schedule."""
    rows, P = left.shape
    chunks = -(-rows // chunk_rows)
    pad = chunks * chunk_rows - rows
    lp = torch.nn.functional.pad(left, (0, 0, 0, pad)).reshape(chunks, chunk_rows, P)
    rp = torch.nn.functional.pad(right, (0, 0, 0, pad)).reshape(chunks, chunk_rows, right.shape[1])
    partials = torch.bmm(lp.transpose(1, 2).float(), rp.float())
    return m.trimul_wgrad_fixed_fold(partials, torch.empty(P, right.shape[1], device=left.device), True)


def forward(m, z, mask, p, B, N, outgoing):
    """The layer's output [rows, C] and what its backward needs."""
    NN, C = N * N, z.shape[1]
    H = C
    a, b, g, mean_in, rstd_in, zln = m.trimul_in_fwd(z, p.w_ap, p.w_ag, p.w_bp, p.w_bg, p.w_g, mask, p.gamma_in,
                                                     p.beta_in, B, NN, C, H, True)
    x = triangle(a, b, B, H, N, outgoing)
    out, xln, mean_out, rstd_out = m.trimul_out_fwd(x, p.wz, g, p.gamma_out, p.beta_out, B, NN, C, H, True)
    saved = dict(z=z, mask=mask, a=a, b=b, g=g, mean_in=mean_in, rstd_in=rstd_in, zln=zln, x=x, out=out, xln=xln,
                 mean_out=mean_out, rstd_out=rstd_out)
    return out, saved


def backward(m, grad, s, p, B, N, outgoing):
    """Gradients of the input and of every parameter, by name (dict of tensors)."""
    NN, C = N * N, s["z"].shape[1]
    H, rows = C, B * NN
    # out = (xln @ wz^T) * sigmoid(g): slice 4 of d_proj5 takes the gate's gradient
    d_proj5 = torch.empty(rows, 5 * H, device=grad.device, dtype=BF16)
    d_proj = m.sig_mul_bwd_out(s["out"], s["g"], grad, d_proj5[:, 4 * H:], H, 5 * H)
    d_xln = d_proj @ p.wz.to(BF16)  # the kernel's product ran on the BF16-rounded weights
    d_wz = weight_gradient(m, d_proj, s["xln"].t())
    dx, dgamma_out, dbeta_out = m.transpose_ln_bwd(s["x"], d_xln, N, H, B, p.gamma_out, s["mean_out"],
                                                   s["rstd_out"])
    d_a, d_b = triangle_backward(dx, s["a"], s["b"], B, H, N, outgoing)
    m.trimul_gate_split_bwd(s["zln"], p.w_ap, p.w_ag, p.w_bp, p.w_bg, s["mask"], d_a, d_b, d_proj5, B, NN, C, H)
    w5 = torch.cat([p.w_ap, p.w_ag, p.w_bp, p.w_bg, p.w_g]).to(BF16)
    d_zln = d_proj5 @ w5
    d_w5 = weight_gradient(m, d_proj5, s["zln"])
    dz = m.ln_bwd_dx(s["z"], d_zln, rows, C, 1, p.gamma_in, s["mean_in"], s["rstd_in"])
    dgamma_in, dbeta_in = m.ln_bwd_dgb(s["z"], d_zln, rows, C, 1, C, s["mean_in"], s["rstd_in"])
    w_ap, w_ag, w_bp, w_bg, w_g = d_w5.split(H)
    return dict(z=dz, w_ap=w_ap, w_ag=w_ag, w_bp=w_bp, w_bg=w_bg, w_g=w_g, gamma_in=dgamma_in, beta_in=dbeta_in,
                wz=d_wz, gamma_out=dgamma_out, beta_out=dbeta_out)


def eager_layer(z, mask, p, B, N, outgoing):
    """The same layer in eager PyTorch (FP32 from the BF16 input), for autograd."""
    C = z.shape[1]
    H, rows = C, z.shape[0]
    ln = torch.nn.functional.layer_norm
    zln = ln(z, (C,), p.gamma_in, p.beta_in, 1e-5)
    m = mask[:, None]
    a = m * (zln @ p.w_ap.t()) * torch.sigmoid(zln @ p.w_ag.t())
    b = m * (zln @ p.w_bp.t()) * torch.sigmoid(zln @ p.w_bg.t())
    g = zln @ p.w_g.t()
    a4 = a.view(B, N, N, H).permute(0, 3, 1, 2)
    b4 = b.view(B, N, N, H).permute(0, 3, 1, 2)
    x = a4 @ b4.transpose(-1, -2) if outgoing else a4.transpose(-1, -2) @ b4
    xr = x.permute(0, 2, 3, 1).reshape(rows, H)
    xln = ln(xr, (H,), p.gamma_out, p.beta_out, 1e-5)
    return (xln @ p.wz.t()) * torch.sigmoid(g)


def eager_gradients(z, mask, grad, p, B, N, outgoing, layer=eager_layer):
    """Autograd of `layer` (eager or compiled) from the BF16 input in FP32: input and parameter
    gradients by name."""
    zf = z.float().requires_grad_()
    leaves = Params(*(t.detach().clone().requires_grad_() for t in p.tensors()))
    out = layer(zf, mask, leaves, B, N, outgoing)
    grads = torch.autograd.grad(out, [zf] + leaves.tensors(), grad.float())
    return dict(zip(["z"] + p.names(), grads))


def assert_rows_close(got, want, what):
    """Every pair row of `got` within ROW_TOLERANCE of its own norm: a norm over all rows would
    let one wrong row in thousands through."""
    off = (got.float() - want).norm(dim=1)
    bad = off > ROW_TOLERANCE * want.norm(dim=1)
    if bool(bad.any()):
        r = int(bad.nonzero()[0])
        raise AssertionError(f"{what}: {int(bad.sum())} of {bad.numel()} pair rows differ from PyTorch autograd by more "
                             f"than {ROW_TOLERANCE} of their norm, first row {r}: {off[r].item():.3e} against "
                             f"norm {want[r].norm().item():.3e}")


def relative_errors(out, grads, z, mask, grad, p, B, N, outgoing):
    """||got - autograd|| / ||autograd|| of the output and of every gradient, by name; fails first
    if any pair row of the output or of dz is off by more than ROW_TOLERANCE of its own norm."""
    with torch.no_grad():
        ref_out = eager_layer(z.float(), mask, p, B, N, outgoing)
    want = eager_gradients(z, mask, grad, p, B, N, outgoing)
    assert set(grads) == set(want)
    assert_rows_close(out, ref_out, "out")
    assert_rows_close(grads["z"], want["z"], "dz")
    errors = {"out": ((out.float() - ref_out).norm() / ref_out.norm()).item()}
    for name, ref in want.items():
        assert grads[name].shape == ref.shape, name
        errors[name] = ((grads[name].float() - ref).norm() / ref.norm()).item()
    return errors
