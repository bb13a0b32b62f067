"""dK/dV backward: time and TFLOP/s beside the same gradients from PyTorch autograd.

Both sides get the same BF16 inputs. Kestrovane is given logsumexp and delta (computed
once, untimed, from a PyTorch forward), as its entry expects; PyTorch differentiates its
own forward, eager (matmul, softmax, matmul) and scaled_dot_product_attention with the
additive mask + bias, timing only the backward for k and v.
"""
import torch

from common import require_hopper, time_ms

import _kestrovane_dkdv_sm90a as dkdv

SHAPES = [(1, n, 4, 32) for n in (128, 256, 384, 512, 768)] + \
         [(1, n, 4, d) for d in (64, 128) for n in (256, 512)]


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
    print(f"{'B':>2} {'O=N':>5} {'H':>2} {'D':>4} {'ms':>8} {'TFLOP/s':>8} {'+dtrue':>8} {'eager ms':>9} {'ratio':>6} "
          f"{'sdpa ms':>8} {'ratio':>6}")
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
        eager = time_ms(eager_backward(q, k, v, d_output, mask, bias))
        sdpa = time_ms(sdpa_backward(q, k, v, d_output, mask, bias))
        flops = 8 * B * N * H * N * N * D  # S, dP, dV and dK: four N x N x D products per slice
        print(f"{B:>2} {N:>5} {H:>2} {D:>4} {ours:>8.3f} {flops / ours / 1e9:>8.1f} {ours_dt:>8.3f} {eager:>9.3f} "
              f"{eager / ours:>6.2f} {sdpa:>8.3f} {sdpa / ours:>6.2f}")
        del q, k, v, d_output, mask, bias, lse, delta, dk, dv, partials, delta_true
        torch.cuda.empty_cache()


if __name__ == "__main__":
    main()
