"""Triangle multiplicative update, forward stages: time and GB/s of trimul_in_fwd and
trimul_out_fwd beside the same computation in PyTorch eager (LayerNorm, linear layers,
sigmoid gating, the channel-major transposes) and torch.compile of it.

GB/s counts the bytes a stage must move at least: its inputs read once and its outputs
written once (the saved normalised copy and statistics included). Pair shapes B = 1,
NN = N*N, C = H in {128, 64}.
"""
import torch
import torch.nn.functional as F

from common import require_hopper, time_ms

import _kestrovane_trimul_sm90a as trimul

SHAPES = [(1, n, c) for c in (128, 64) for n in (128, 256, 384, 512)]


def eager_in(z, weights, mask, gamma, beta, B, NN, H):
    C = z.shape[1]
    zln = F.layer_norm(z.float(), (C,), gamma, beta).bfloat16()
    ap, ag, bp, bg, gp = (zln @ weights.bfloat16().T).split(H, dim=-1)
    gated = lambda p, logit: (mask[:, None] * p.float() * torch.sigmoid(logit.float())).bfloat16()  # noqa: E731
    plane = lambda t: t.view(B, NN, H).transpose(1, 2).reshape(B * H, NN)  # noqa: E731
    return plane(gated(ap, ag)), plane(gated(bp, bg)), gp.contiguous(), zln


def eager_out(x, wz, gate, gamma, beta, B, NN, H):
    rows = x.view(B, H, NN).transpose(1, 2).reshape(B * NN, H)
    xln = F.layer_norm(rows.float(), (H,), gamma, beta).bfloat16()
    out = ((xln @ wz.bfloat16().T).float() * torch.sigmoid(gate.float())).bfloat16()
    return out, xln.T.contiguous()


def inputs(B, N, C):
    NN, H = N * N, C
    rows = B * NN
    z = torch.randn(rows, C, device="cuda").bfloat16()
    ws = [torch.randn(H, C, device="cuda") / C**0.5 for _ in range(5)]
    mask = torch.ones(rows, device="cuda")
    gamma, beta = torch.ones(C, device="cuda"), torch.zeros(C, device="cuda")
    x = torch.randn(B * H, NN, device="cuda").bfloat16()
    wz = torch.randn(C, H, device="cuda") / H**0.5
    gate = torch.randn(rows, C, device="cuda").bfloat16()
    return z, ws, mask, gamma, beta, x, wz, gate


def main():
    require_hopper()
    compiled_in, compiled_out = torch.compile(eager_in), torch.compile(eager_out)
    print(f"{'stage':>5} {'N':>4} {'C':>4} {'ms':>8} {'GB/s':>7} {'eager ms':>9} {'ratio':>6} {'compile ms':>11} "
          f"{'ratio':>6}")
    for B, N, C in SHAPES:
        NN, H = N * N, C
        rows = B * NN
        z, ws, mask, gamma, beta, x, wz, gate = inputs(B, N, C)
        stacked = torch.cat(ws)
        in_args = (stacked, mask, gamma, beta, B, NN, H)
        out_args = (wz, gate, gamma, beta, B, NN, H)
        stages = {
            # z, mask in; a, b, g, zln, mean, rstd out
            "in": (lambda: trimul.trimul_in_fwd(z, *ws, mask, gamma, beta, B, NN, C, H, True),
                   lambda: eager_in(z, *in_args), lambda: compiled_in(z, *in_args),
                   rows * (2 * C + 4) + rows * (3 * 2 * H + 2 * C + 8)),
            # x, gate in; out, xln, mean, rstd out
            "out": (lambda: trimul.trimul_out_fwd(x, wz, gate, gamma, beta, B, NN, C, H, True),
                    lambda: eager_out(x, *out_args), lambda: compiled_out(x, *out_args),
                    rows * (2 * H + 2 * C) + rows * (2 * C + 2 * H + 8)),
        }
        for name, (ours_fn, eager_fn, compiled_fn, bytes_moved) in stages.items():
            ours = time_ms(ours_fn)
            eager = time_ms(eager_fn)
            compiled = time_ms(compiled_fn)
            print(f"{name:>5} {N:>4} {C:>4} {ours:>8.3f} {bytes_moved / ours / 1e6:>7.0f} {eager:>9.3f} "
                  f"{eager / ours:>6.2f} {compiled:>11.3f} {compiled / ours:>6.2f}")
        del z, ws, mask, x, wz, gate, stacked
        torch.cuda.empty_cache()


if __name__ == "__main__":
    main()
