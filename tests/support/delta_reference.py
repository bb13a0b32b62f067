"""A float32 emulation of the delta kernels' arithmetic, written from their rule: lane l of
a row's warp accumulates columns l, l+32, l+64, ... in increasing order with fma, starting
from 0; then the lanes are summed by a butterfly over strides 16, 8, 4, 2, 1."""
import numpy as np
import torch


def fma_f32(a, b, c):
    """float32 fma(a, b, c) with one rounding, elementwise."""
    a, b, c = (np.asarray(x, np.float32).astype(np.float64) for x in (a, b, c))
    p = a * b  # exact: two 24-bit significands fit in 53 bits
    s = p + c
    # TwoSum: s + e equals p + c exactly
    bb = s - p
    e = (p - (s - bb)) + (c - bb)
    r = s.astype(np.float32)
    # Rounding s alone is right unless s sits exactly halfway between two float32 values and
    # e pushes the exact sum off the midpoint.
    d = s - r.astype(np.float64)
    away = np.where(d > 0, np.float32(np.inf), np.float32(-np.inf))
    other = np.nextafter(r, away)
    midpoint = (d != 0) & (np.abs(d) * 2 == np.abs(other.astype(np.float64) - r.astype(np.float64)))
    return np.where(midpoint & (np.sign(e) == np.sign(d)), other, r)


def fma_bf16_products(a, b, c):
    """fma(a, b, c) for BF16 a and b: their product is exact in float32, so one float32 add
    after a float32 multiply is the fma."""
    a, b, c = (np.asarray(x, np.float32) for x in (a, b, c))
    p = a * b
    assert np.array_equal(p.astype(np.float64), a.astype(np.float64) * b.astype(np.float64))
    return p + c


def lane_sums(dO, O, shadow=None):
    """[rows, 32] lane accumulators for float32 arrays [rows, D] (dO and O hold BF16 values)."""
    rows, D = dO.shape
    acc = np.zeros((rows, 32), np.float32)
    for start in range(0, D, 32):
        w = min(32, D - start)
        a, o = dO[:, start:start + w], O[:, start:start + w]
        if shadow is None:
            acc[:, :w] = fma_bf16_products(a, o, acc[:, :w])
        else:
            t = o + shadow[:, start:start + w]  # float32 add, kept in float32
            acc[:, :w] = fma_f32(a, t, acc[:, :w])
    return acc


def butterfly(acc):
    lanes = np.arange(32)
    for step in (16, 8, 4, 2, 1):
        acc = acc + acc[:, lanes ^ step]
    assert (acc == acc[:, :1]).all() or np.isnan(acc).any()
    return acc[:, 0]


def rows_in_delta_order(t):
    """[d0, d1, I, J, D] -> float32 numpy [d0*d1*J*I, D], rows in delta's [d0, d1, J, I] order."""
    return t.detach().cpu().float().permute(0, 1, 3, 2, 4).reshape(-1, t.shape[-1]).numpy()


def expected_delta(d_output, output, shadow_residual=None):
    """float32 numpy delta, one value per row in [d0, d1, J, I] order."""
    dO, O = rows_in_delta_order(d_output), rows_in_delta_order(output)
    S = None if shadow_residual is None else rows_in_delta_order(shadow_residual)
    return butterfly(lane_sums(dO, O, S))


def bf16_inputs(sizes, seed, spread=6):
    """BF16 values of mixed magnitudes (2^-spread to 2^spread times a normal sample), so that
    a different order of the additions shows in the rounded sums."""
    g = torch.Generator().manual_seed(seed)
    scale = torch.exp2(torch.randint(-spread, spread + 1, sizes, generator=g).float())
    return (torch.randn(sizes, generator=g) * scale).to(torch.bfloat16)


def residual_of(t, seed):
    """A plausible shadow residual for a BF16 tensor t: below half a BF16 ulp of t."""
    g = torch.Generator().manual_seed(seed)
    noise = torch.rand(t.shape, generator=g) - 0.5
    return (noise * t.float().abs() * 2.0**-8).to(torch.bfloat16)
