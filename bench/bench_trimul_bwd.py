"""Triangle multiplicative update (outgoing edges), B = 1, C = H = 128: the whole layer's forward
and backward built from the module's functions (examples/trimul_layer.py) beside PyTorch eager
autograd and torch.compile of the same layer in BF16, then each backward piece alone with the
bytes it must move and the GB/s that gives.

Columns: time in ms (median of CUDA-event timings), "ratio" = the PyTorch time over
Kestrovane's, GB/s = the piece's compulsory traffic (inputs read once, outputs written once)
over its time.
"""
import pathlib
import sys

import torch

from common import require_hopper, time_ms

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import trimul_layer  # noqa: E402

import _kestrovane_trimul_sm90a as trimul  # noqa: E402

BF16 = torch.bfloat16
SIZES = (128, 256, 384, 512)
C = 128


def layer_rows(N):
    B = 1
    p = trimul_layer.make_params(C, seed=N)
    z, mask, grad = trimul_layer.make_inputs(B, N, C, seed=N)
    return B, p, z, mask, grad


def torch_layer(layer, z, mask, grad, p, B, N):
    """Forward and backward times of `layer` on BF16 tensors with autograd."""
    zb = z.clone().requires_grad_()
    pb = trimul_layer.Params(*(t.to(BF16).requires_grad_() for t in p.tensors()))
    maskb = mask.to(BF16)

    def fwd():
        with torch.no_grad():
            layer(zb, maskb, pb, B, N, True)

    def fwd_bwd():
        out = layer(zb, maskb, pb, B, N, True)
        torch.autograd.grad(out, [zb] + pb.tensors(), grad)

    f = time_ms(fwd)
    return f, time_ms(fwd_bwd) - f


def layer_norm_backward(x, g, gamma, beta):
    """PyTorch's LayerNorm backward (dx, dgamma, dbeta) by autograd of its forward."""
    xr = x.detach().float().requires_grad_()
    w, b = gamma.detach().clone().requires_grad_(), beta.detach().clone().requires_grad_()
    out = torch.nn.functional.layer_norm(xr, (x.shape[1],), w, b, 1e-5)
    return lambda: torch.autograd.grad(out, (xr, w, b), g.float(), retain_graph=True)


def torch_gate_split(zln, p, mask, d_a, d_b, B, NN, H):
    def run():
        m = mask[:, None]
        grads = []
        for wv, wg, d in ((p.w_ap, p.w_ag, d_a), (p.w_bp, p.w_bg, d_b)):
            value, logit = zln @ wv.to(BF16).t(), zln @ wg.to(BF16).t()
            sg = torch.sigmoid(logit.float())
            dv = d.view(B, H, NN).permute(0, 2, 1).reshape(B * NN, H).float()
            grads += [m * dv * sg, m * value.float() * dv * sg * (1 - sg)]
        return torch.cat(grads, 1).to(BF16)
    return run


def torch_sig_mul(out, gate, grad):
    def run():
        sg = torch.sigmoid(gate.float())
        return (grad.float() * sg).to(BF16), (grad.float() * out.float() * (1 - sg)).to(BF16)
    return run


def pieces(N, B, p, z, mask, grad):
    """(name, Kestrovane callable, PyTorch eager callable of the same result, bytes moved) of
    each backward piece on the layer's own tensors."""
    m = trimul
    NN, H = N * N, C
    rows = B * NN
    _, s = trimul_layer.forward(m, z, mask, p, B, N, True)
    d_proj5 = torch.empty(rows, 5 * H, device="cuda", dtype=BF16)
    d_xln = torch.randn(rows, H, device="cuda").to(BF16)
    d_a, d_b = (torch.randn(B * H, NN, device="cuda").to(BF16) for _ in range(2))
    d_zln = torch.randn(rows, C, device="cuda").to(BF16)
    chunks = -(-rows // trimul_layer.WGRAD_CHUNK_ROWS)
    partials = torch.randn(chunks, 5 * H, C, device="cuda")
    acc = torch.empty(5 * H, C, device="cuda")
    x_rows = s["x"].view(B, H, NN).permute(0, 2, 1).reshape(rows, H)
    ln_in = layer_norm_backward(s["z"], d_zln, p.gamma_in, p.beta_in)
    return [
        ("sig_mul_bwd_out", lambda: m.sig_mul_bwd_out(s["out"], s["g"], grad, d_proj5[:, 4 * H:], H, 5 * H),
         torch_sig_mul(s["out"], s["g"], grad), 10 * rows * H),
        ("trimul_gate_split_bwd", lambda: m.trimul_gate_split_bwd(s["zln"], p.w_ap, p.w_ag, p.w_bp, p.w_bg,
                                                                  s["mask"], d_a, d_b, d_proj5, B, NN, C, H),
         torch_gate_split(s["zln"], p, s["mask"], d_a, d_b, B, NN, H), 2 * rows * C + 4 * rows + 12 * rows * H),
        ("transpose_ln_bwd", lambda: m.transpose_ln_bwd(s["x"], d_xln, N, H, B, p.gamma_out, s["mean_out"],
                                                        s["rstd_out"]),
         layer_norm_backward(x_rows, d_xln, p.gamma_out, p.beta_out), 6 * rows * H + 8 * rows),
        ("ln_bwd_dx + ln_bwd_dgb", lambda: (m.ln_bwd_dx(s["z"], d_zln, rows, C, 1, p.gamma_in, s["mean_in"],
                                                       s["rstd_in"]),
                                            m.ln_bwd_dgb(s["z"], d_zln, rows, C, 1, C, s["mean_in"], s["rstd_in"])),
         ln_in, 10 * rows * C + 16 * rows),
        ("trimul_wgrad_fixed_fold", lambda: m.trimul_wgrad_fixed_fold(partials, acc, True),
         lambda: torch.sum(partials, 0, out=acc), 4 * partials.numel() + 4 * acc.numel()),
    ]


def main():
    require_hopper()
    compiled = torch.compile(trimul_layer.eager_layer)
    print(f"layer, B = 1, C = H = {C}: forward / backward ms (ratio = PyTorch time / Kestrovane time)")
    print(f"{'N':>5} {'kestrovane':>17} {'eager':>17} {'ratio':>11} {'compile':>17} {'ratio':>11}")
    for N in SIZES:
        B, p, z, mask, grad = layer_rows(N)
        state = {}

        def k_fwd():
            state["out"], state["saved"] = trimul_layer.forward(trimul, z, mask, p, B, N, True)

        k_fwd()
        kf = time_ms(k_fwd)
        kb = time_ms(lambda: trimul_layer.backward(trimul, grad, state["saved"], p, B, N, True))
        ef, eb = torch_layer(trimul_layer.eager_layer, z, mask, grad, p, B, N)
        cf, cb = torch_layer(compiled, z, mask, grad, p, B, N)
        print(f"{N:>5} {kf:8.3f} / {kb:6.3f} {ef:8.3f} / {eb:6.3f} {ef / kf:5.2f}/{eb / kb:5.2f} "
              f"{cf:8.3f} / {cb:6.3f} {cf / kf:5.2f}/{cb / kb:5.2f}")
    print("\nbackward pieces: Kestrovane ms and GB/s, PyTorch eager ms of the same result, ratio")
    print(f"{'N':>5} {'piece':<24} {'ms':>8} {'GB/s':>8} {'eager ms':>9} {'ratio':>6}")
    for N in SIZES:
        B, p, z, mask, grad = layer_rows(N)
        for name, fn, reference, nbytes in pieces(N, B, p, z, mask, grad):
            t, tr = time_ms(fn), time_ms(reference)
            print(f"{N:>5} {name:<24} {t:8.3f} {nbytes / t / 1e6:8.1f} {tr:9.3f} {tr / t:6.2f}")


if __name__ == "__main__":
    main()
