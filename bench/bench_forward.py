"""Triangle attention forward: time, TFLOP/s and bytes moved for typical pair shapes, beside
PyTorch on the same inputs: an eager softmax of the scores, and scaled_dot_product_attention
with the additive mask + bias (both with the mask + bias sum inside the timed call)."""
import math

import torch
import torch.nn.functional as F

from common import require_hopper, time_ms

import _kestrovane_forward_sm90a as fwd


def make(B, N, H, D):
    O = N
    q, k, v = (torch.randn(B, O, H, N, D, device="cuda").bfloat16() for _ in range(3))
    mask = torch.zeros(B, O, 1, 1, N, device="cuda")
    mask[..., N - N // 8:] = float("-inf")  # padded keys, as a cropped batch has them
    bias = torch.randn(B, 1, H, N, N, device="cuda").bfloat16()
    out = torch.empty(B, O, N, H, D, device="cuda", dtype=torch.bfloat16)
    lse = torch.empty(B, O, H, N, device="cuda")
    return q, k, v, mask, bias, out, lse


def eager(q, k, v, mask, bias, scale):
    s = torch.matmul(q, k.transpose(-1, -2)).float() * scale + mask + bias.float()
    return torch.matmul(torch.softmax(s, dim=-1).to(q.dtype), v)


def sdpa(q, k, v, mask, bias, scale):
    B, O, H, N, D = q.shape
    additive = (mask + bias).to(q.dtype).view(B * O, H, N, N)
    flat = [t.view(B * O, H, N, D) for t in (q, k, v)]
    return F.scaled_dot_product_attention(*flat, attn_mask=additive, scale=scale).view(B, O, H, N, D)


def main():
    require_hopper()
    print(f"{'B':>2} {'N=O':>5} {'H':>2} {'D':>4} {'ms':>8} {'TFLOP/s':>8} {'GB':>7} {'GB/s':>7} "
          f"{'eager ms':>9} {'ratio':>6} {'sdpa ms':>8} {'ratio':>6} {'max|diff|':>9}")
    for D in (32, 64, 128):
        for N in (128, 256, 384, 512, 768):
            B, H = 1, 4
            q, k, v, mask, bias, out, lse = make(B, N, H, D)
            scale = 1.0 / math.sqrt(D)
            ours = time_ms(lambda: fwd.kestrovane_triangle_forward_out(q, k, v, mask, bias, out, lse))
            ref_eager = time_ms(lambda: eager(q, k, v, mask, bias, scale))
            ref_sdpa = time_ms(lambda: sdpa(q, k, v, mask, bias, scale))
            diff = (out.float() - sdpa(q, k, v, mask, bias, scale).transpose(2, 3).float()).abs().max().item()
            rows = B * N * H * N  # attention rows: B*O*H*N with O = N
            flops = 4.0 * rows * N * D
            moved = 2 * 4 * rows * D + 4 * rows + 4 * B * N * N + 2 * B * H * N * N
            print(f"{B:>2} {N:>5} {H:>2} {D:>4} {ours:>8.3f} {flops / ours / 1e9:>8.1f} {moved / 1e9:>7.3f} "
                  f"{moved / ours / 1e6:>7.0f} {ref_eager:>9.3f} {ref_eager / ours:>6.2f} {ref_sdpa:>8.3f} "
                  f"{ref_sdpa / ours:>6.2f} {diff:>9.2e}")
            del q, k, v, mask, bias, out, lse
            torch.cuda.empty_cache()


if __name__ == "__main__":
    main()
