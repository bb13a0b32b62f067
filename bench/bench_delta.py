"""Backward delta: time and GB/s of both entries against the device's memory bandwidth,
beside the same row sums done by PyTorch on the same inputs."""
import torch

from common import require_hopper, time_ms

import _kestrovane_delta_sm90a as delta_module


def peak_bandwidth():
    """Bytes per second of the device memory (double data rate), or None where unknown."""
    props = torch.cuda.get_device_properties()
    clock_khz = getattr(props, "memory_clock_rate", 0)
    bus_bits = getattr(props, "memory_bus_width", 0)
    return 2 * clock_khz * 1e3 * bus_bits / 8 if clock_khz and bus_bits else None


def main():
    require_hopper()
    peak = peak_bandwidth()
    print(f"memory bandwidth: {peak / 1e9:.0f} GB/s" if peak else "memory bandwidth: unknown")
    print(f"{'entry':>6} {'B':>2} {'O=N':>5} {'H':>3} {'D':>4} {'ms':>8} {'GB/s':>7} {'peak':>6} "
          f"{'torch ms':>9} {'torch GB/s':>10} {'speed-up':>8}")
    for B, N, H, D in [(1, 256, 4, 32), (1, 384, 4, 32), (1, 512, 4, 32), (1, 384, 4, 64), (1, 256, 8, 128)]:
        sizes = (B, N, N, H, D)
        dO, O, S = (torch.randn(sizes, device="cuda").bfloat16() for _ in range(3))
        rows = dO.numel() // D
        delta = torch.empty(B, N, H, N, device="cuda")
        cases = {
            "plain": (lambda: delta_module.kestrovane_triangle_delta_out(dO, O, delta),
                      lambda: (dO.float() * O.float()).sum(-1), 2),
            "shadow": (lambda: delta_module.kestrovane_triangle_delta_shadow_out(dO, O, S, delta),
                       lambda: (dO.float() * (O.float() + S.float())).sum(-1), 3),
        }
        for entry, (ours, reference, inputs) in cases.items():
            ms = time_ms(ours)
            ref_ms = time_ms(reference)
            moved = inputs * dO.numel() * dO.element_size() + rows * 4
            rate = moved / ms / 1e6
            share = f"{100 * rate * 1e9 / peak:>5.1f}%" if peak else "     -"
            print(f"{entry:>6} {B:>2} {N:>5} {H:>3} {D:>4} {ms:>8.3f} {rate:>7.0f} {share} {ref_ms:>9.3f} "
                  f"{moved / ref_ms / 1e6:>10.0f} {ref_ms / ms:>8.2f}")


if __name__ == "__main__":
    main()
