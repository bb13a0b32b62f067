"""Forward attention for D = 16, 32 and 64: the TMA + wgmma kernels (the entry's choice for
these D) beside the cp.async + mma.sync kernels of the same tiers (run through the test-only
module when it is built with them) and PyTorch's scaled_dot_product_attention on the same
inputs: time, TFLOP/s and the speed-ups (x torch: PyTorch time / TMA time; x cp.async: cp.async
time / TMA time)."""
import math

import torch
import torch.nn.functional as F

from common import require_hopper, time_ms

import _kestrovane_forward_mma_forced as forced  # test-only: the cp.async kernel for D = 16/32/64
import _kestrovane_forward_sm90a as fwd


def inputs(B, O, H, N, D):
    q, k, v = (torch.randn(B, O, H, N, D, device="cuda").bfloat16() for _ in range(3))
    mask = torch.zeros(B, O, 1, 1, N, device="cuda")
    mask[..., N - N // 8:] = -math.inf
    bias = torch.randn(B, 1, H, N, N, device="cuda").bfloat16()
    return q, k, v, mask, bias


def main():
    require_hopper()
    print(f"{'B':>2} {'O':>4} {'H':>2} {'N':>4} {'D':>3} {'tma ms':>8} {'TFLOP/s':>8} {'cp.async ms':>11} "
          f"{'TFLOP/s':>8} {'torch ms':>9} {'x torch':>9} {'x cp.async':>12}")
    for B, O, H, N in [(1, 128, 4, 128), (1, 256, 4, 256), (1, 384, 4, 384), (2, 512, 4, 512)]:
        for D in (16, 32, 64):
            q, k, v, mask, bias = inputs(B, O, H, N, D)
            out = torch.empty(B, O, N, H, D, device="cuda", dtype=torch.bfloat16)
            lse = torch.empty(B, O, H, N, device="cuda")
            tma = time_ms(lambda: fwd.kestrovane_triangle_forward_out(q, k, v, mask, bias, out, lse))
            cp_async = time_ms(lambda: forced.forward_mma_out(q, k, v, mask, bias, out, lse, None))
            # PyTorch: one [B*O, H, N, N] additive mask, then SDPA and the physical layout
            attn_mask = (mask + bias).bfloat16().reshape(B * O, H, N, N)
            qr, kr, vr = (t.reshape(B * O, H, N, D) for t in (q, k, v))
            ref = time_ms(lambda: F.scaled_dot_product_attention(qr, kr, vr, attn_mask=attn_mask)
                          .reshape(B, O, H, N, D).transpose(2, 3).contiguous())
            flops = 4.0 * B * O * H * N * N * D
            print(f"{B:>2} {O:>4} {H:>2} {N:>4} {D:>3} {tma:>8.3f} {flops / tma / 1e9:>8.1f} {cp_async:>11.3f} "
                  f"{flops / cp_async / 1e9:>8.1f} {ref:>9.3f} {ref / tma:>9.2f} {cp_async / tma:>12.2f}")
            del attn_mask


if __name__ == "__main__":
    main()
