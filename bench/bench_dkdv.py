"""dK/dV backward: time and TFLOP/s of both kernel families beside the same gradients from
PyTorch autograd.

For head dimensions 16, 32 and 64 the entries run the TMA + wgmma kernels; the cp.async +
mma.sync kernels of the same tiers run through the test-only module built beside them
(tests/support/_kestrovane_dkdv_mma_forced), on the same inputs, so the two families stand
side by side (column "cp.async", and "speedup" its time over the entry's). Head dimension 128
has only the cp.async family. Every side gets the same BF16 inputs. Kestrovane is given logsumexp and delta (computed
once, untimed, from a PyTorch forward), as its entry expects; PyTorch differentiates its
own forward, eager (matmul, softmax, matmul) and scaled_dot_product_attention with the
additive mask + bias, timing only the backward for k and v.
"""
import torch

from common import require_hopper, time_ms

import _kestrovane_dkdv_mma_forced as forced
import _kestrovane_dkdv_sm90a as dkdv

TMA_TIERS = (16, 32, 64)
SHAPES = [(1, n, 4, d) for d in TMA_TIERS for n in (128, 256, 512, 768)] + [(1, n, 4, 128) for n in (256, 512)]


def inputs(B, N, H, D):
    O = N
    q, k, v = (torch.randn(B, O, H, N, D, device="cuda").bfloat16() for _ in range(3))
    d_output = torch.randn(B, O, N, H, D, device="cuda").bfloat16()
    mask = torch.randn(B, O, 1, 1, N, device="cuda")
    bias = torch.randn(B, 1, H, N, N, device="cuda").bfloat16()
    return q, k, v, d_output, mask, bias


def row_statistics(q, k, v, d_output, mask, bias):
    scale = q.shape[-1] ** -0.5
    s = (q.float() @ k.float().transpose(-1, -2)) * scale + mask + bias.float()
    lse = torch.logsumexp(s, dim=-1)
    out = torch.softmax(s, dim=-1) @ v.float()
    delta = (d_output.float().permute(0, 1, 3, 2, 4) * out).sum(-1)
    return lse.contiguous(), delta.contiguous()


def eager_backward(q, k, v, d_output, mask, bias):
    scale = q.shape[-1] ** -0.5
    kg, vg = k.detach().requires_grad_(), v.detach().requires_grad_()
    s = (q @ kg.transpose(-1, -2)) * scale + mask.bfloat16() + bias
    out = torch.softmax(s.float(), dim=-1).bfloat16() @ vg
    grad = d_output.permute(0, 1, 3, 2, 4)
    return lambda: torch.autograd.grad(out, (kg, vg), grad, retain_graph=True)


def sdpa_backward(q, k, v, d_output, mask, bias):
    B, O, H, N, D = q.shape
    flat = lambda t: t.reshape(B * O, H, N, D)  # noqa: E731
    kg, vg = flat(k).detach().requires_grad_(), flat(v).detach().requires_grad_()
    attn_mask = (mask.bfloat16() + bias).expand(B, O, H, N, N).reshape(B * O, H, N, N)
    out = torch.nn.functional.scaled_dot_product_attention(flat(q), kg, vg, attn_mask=attn_mask)
    grad = flat(d_output.permute(0, 1, 3, 2, 4).contiguous())
    return lambda: torch.autograd.grad(out, (kg, vg), grad, retain_graph=True)


def main():
    require_hopper()
    print(f"{'B':>2} {'O=N':>5} {'H':>2} {'D':>4} {'ms':>8} {'TFLOP/s':>8} {'+dtrue':>8} {'cp.async':>9} {'speedup':>7} "
          f"{'eager ms':>9} {'ratio':>6} {'sdpa ms':>8} {'ratio':>6}")
    for B, N, H, D in SHAPES:
        q, k, v, d_output, mask, bias = inputs(B, N, H, D)
        lse, delta = row_statistics(q, k, v, d_output, mask, bias)
        dk, dv = torch.empty_like(k), torch.empty_like(v)
        rows, key_blocks = lse.numel(), (N + 63) // 64
        partials = torch.empty(rows * key_blocks, device="cuda")
        delta_true = torch.empty_like(lse)
        ours = time_ms(lambda: dkdv.kestrovane_triangle_dkdv_out(q, k, v, d_output, lse, delta, mask, bias, dk, dv))
        ours_dt = time_ms(lambda: dkdv.kestrovane_triangle_dkdv_delta_true_out(
            q, k, v, d_output, lse, delta, mask, bias, dk, dv, partials, delta_true))
        if D in TMA_TIERS:
            mma = time_ms(lambda: forced.dkdv_mma_out(q, k, v, d_output, lse, delta, mask, bias, dk, dv, None))
            mma_cols = f"{mma:>9.3f} {mma / ours:>7.2f}"
        else:
            mma_cols = f"{'(entry)':>9} {'-':>7}"
        eager = time_ms(eager_backward(q, k, v, d_output, mask, bias))
        sdpa = time_ms(sdpa_backward(q, k, v, d_output, mask, bias))
        flops = 8 * B * N * H * N * N * D  # S, dP, dV and dK: four N x N x D products per slice
        print(f"{B:>2} {N:>5} {H:>2} {D:>4} {ours:>8.3f} {flops / ours / 1e9:>8.1f} {ours_dt:>8.3f} {mma_cols} "
              f"{eager:>9.3f} {eager / ours:>6.2f} {sdpa:>8.3f} {sdpa / ours:>6.2f}")
        del q, k, v, d_output, mask, bias, lse, delta, dk, dv, partials, delta_true
        torch.cuda.empty_cache()


if __name__ == "__main__":
    main()
