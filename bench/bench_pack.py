"""QKV pack: time and GB/s beside the same permutation done by PyTorch."""
import torch

from common import require_hopper, time_ms

import _kestrovane_forward_sm90a as fwd


def main():
    require_hopper()
    print(f"{'B*O':>6} {'N':>5} {'H':>3} {'D':>3} {'ms':>8} {'GB/s':>8} {'torch ms':>9} {'ratio':>6}")
    for bo, N, H, D in [(256, 256, 4, 32), (384, 384, 4, 32), (512, 512, 4, 32), (256, 256, 4, 64)]:
        q, k, v = (torch.randn(bo, N, H, D, device="cuda").bfloat16() for _ in range(3))
        ours = time_ms(lambda: fwd.kestrovane_pack_qkv(q, k, v, bo, H, N, D))
        ref = time_ms(lambda: [t.permute(0, 2, 1, 3).contiguous() for t in (q, k, v)])
        moved = 2 * 3 * q.numel() * q.element_size()
        print(f"{bo:>6} {N:>5} {H:>3} {D:>3} {ours:>8.3f} {moved / ours / 1e6:>8.1f} {ref:>9.3f} "
              f"{ref / ours:>6.2f}")


if __name__ == "__main__":
    main()
