"""The TMA + wgmma forward kernels (head dimensions 16, 32 and 64) on a Hopper GPU or their
emulated twins, through kestrovane_triangle_forward_out: a float64 reference, tails, barrier
phases, masked rows, bit-identical reruns, the shadow residual, both grid orientations, and
agreement with the cp.async kernels run on the same inputs."""
import importlib
import math

import pytest
import torch

from backend import gpu_only, gpu_only_if_large_attention
from harness import BF16, F32, assert_runs_bit_identical

TIERS = [16, 32, 64]


def inputs(B, O, H, N, D, device, seed=0, masked_keys=0.1):
    """Random q, k, v, mask and bias; about `masked_keys` of the mask entries are -inf."""
    g = torch.Generator(device=device).manual_seed(seed)
    q, k, v = (torch.randn(B, O, H, N, D, device=device, generator=g).to(BF16) for _ in range(3))
    mask = 0.5 * torch.randn(B, O, 1, 1, N, device=device, generator=g)
    mask[torch.rand(B, O, 1, 1, N, device=device, generator=g) < masked_keys] = -math.inf
    bias = torch.randn(B, 1, H, N, N, device=device, generator=g).to(BF16)
    return q, k, v, mask, bias


def outputs(q, shadow=False):
    B, O, H, N, D = q.shape
    # poisoned, so that an element the kernel skips does not pass as a result
    out = torch.full((B, O, N, H, D), float("nan"), device=q.device, dtype=BF16)
    lse = torch.full((B, O, H, N), float("nan"), device=q.device, dtype=F32)
    if not shadow:
        return out, lse
    return out, lse, torch.full_like(out, float("nan"))


def run(backend, q, k, v, mask, bias, shadow=False):
    m = backend.load("forward")
    results = outputs(q, shadow)
    if shadow:
        m.kestrovane_triangle_forward_shadow_out(q, k, v, mask, bias, *results)
    else:
        m.kestrovane_triangle_forward_out(q, k, v, mask, bias, *results)
    backend.synchronize()
    return results


def reference(q, k, v, mask, bias):
    """float64 softmax attention: out [B,O,N,H,D] and natural-log lse [B,O,H,N]; a row whose
    scores are all -inf has out 0 and lse -inf."""
    D = q.shape[-1]
    qd, kd, vd = (t.double() for t in (q, k, v))
    s = torch.einsum("bohnd,bohmd->bohnm", qd, kd) / math.sqrt(D) + mask.double() + bias.double()
    lse = torch.logsumexp(s, dim=-1)
    p = torch.exp(s - lse.unsqueeze(-1)).nan_to_num(0.0)
    out = torch.einsum("bohnm,bohmd->bohnd", p, vd)
    return out.permute(0, 1, 3, 2, 4), lse


def assert_close_to_reference(out, lse, ref_out, ref_lse):
    # P enters P V as BF16 and out is BF16: a few BF16 steps of the output's scale.
    torch.testing.assert_close(out.double(), ref_out, atol=2e-2, rtol=2e-2)
    # lse only sees the FP32 S accumulation and the ex2/lg2 approximations.
    finite = torch.isfinite(ref_lse)
    assert torch.equal(torch.isfinite(lse), finite)
    torch.testing.assert_close(lse.double()[finite], ref_lse[finite], atol=1e-3, rtol=1e-4)
    assert torch.all(lse[~finite] == -math.inf)


def shape(B, O, H, N, marks=()):
    """One (B, O, H, N) case, gpu_only where it is too large for the emulated backend."""
    return pytest.param(B, O, H, N, marks=[*marks, *gpu_only_if_large_attention(B, O, H, N)])


SHAPES = [
    # B, O, H, N: key-tile counts 1, 2, 3 and 5 (first use of each barrier, the parity flip
    # after two tiles, the refill of a stage), a tail, and O == N
    shape(1, 1, 1, 64, marks=[pytest.mark.sanitize, pytest.mark.smoke]),
    shape(2, 3, 2, 128),
    shape(1, 2, 3, 192),
    shape(1, 2, 2, 320, marks=[pytest.mark.sanitize]),
    shape(2, 3, 2, 100),
    shape(2, 37, 2, 37),   # SquarePair: b = bo / N
]


@pytest.mark.parametrize("D", TIERS)
@pytest.mark.parametrize("B, O, H, N", SHAPES)
def test_matches_float64_reference(backend, B, O, H, N, D):
    data = inputs(B, O, H, N, D, backend.device, seed=N + D)
    out, lse = run(backend, *data)
    assert_close_to_reference(out, lse, *reference(*data))


@gpu_only  # five key tiles
@pytest.mark.parametrize("D", TIERS)
def test_masked_rows(backend, D):
    B, O, H, N = 1, 3, 2, 320
    q, k, v, mask, bias = inputs(B, O, H, N, D, backend.device, seed=D, masked_keys=0.0)
    mask[0, 1] = -math.inf             # every key of outer row 1: fully masked rows
    mask[0, 2, ..., :192] = -math.inf  # the first three key tiles of outer row 2
    out, lse, shadow = run(backend, q, k, v, mask, bias, shadow=True)
    assert torch.all(out[0, 1] == 0) and torch.all(shadow[0, 1] == 0)
    assert torch.all(lse[0, 1] == -math.inf)
    # alpha = 0 on the step from fully masked tiles to live ones: an ordinary softmax over the rest
    assert_close_to_reference(out, lse, *reference(q, k, v, mask, bias))


@gpu_only  # full-device scale
@pytest.mark.parametrize("D", TIERS)
def test_reruns_are_bit_identical(backend, D):
    # 64 (b, o) slices of 4 heads over five query tiles (the last a tail): 1280 blocks,
    # several waves on every SM of the device; fresh NaN-filled outputs on every run.
    data = inputs(1, 64, 4, 300, D, backend.device, seed=7)

    def written():
        results = run(backend, *data, shadow=True)
        assert not any(t.isnan().any() for t in results), "elements left unwritten"
        return results

    assert_runs_bit_identical(written, what=f"D={D} rerun")


@pytest.mark.parametrize("D", TIERS)
def test_shadow_residual(backend, D):
    data = inputs(1, 2, 3, 130, D, backend.device, seed=11)
    out, lse = run(backend, *data)
    s_out, s_lse, shadow = run(backend, *data, shadow=True)
    assert torch.equal(out, s_out) and torch.equal(lse, s_lse)
    # shadow = bf16(o - float(bf16(o))): at most half a BF16 step of out, and out + shadow is
    # the FP32 output to about 16 bits, so it is never further from the reference than out
    step = torch.where(out == 0, torch.zeros_like(out.float()),
                       torch.pow(2.0, torch.floor(torch.log2(out.float().abs())) - 7))
    assert torch.all(shadow.float().abs() <= step / 2)
    ref_out, _ = reference(*data)
    plain = (out.double() - ref_out).abs().mean()
    refined = (out.double() + shadow.double() - ref_out).abs().mean()
    assert refined <= plain


@pytest.mark.slow
@gpu_only  # full-device scale
@pytest.mark.parametrize("D", TIERS)
def test_both_grid_orientations_agree(backend, D):
    # B*O = 65535 puts query tiles on grid x; 65536 swaps them onto grid z.
    q, k, v, mask, bias = inputs(1, 65536, 1, 3, D, backend.device, seed=D)
    out, lse = run(backend, q, k, v, mask, bias)
    head = [t[:, :65535].contiguous() for t in (q, k, v, mask)]
    out_x, lse_x = run(backend, *head, bias)
    assert torch.equal(out[:, :65535], out_x) and torch.equal(lse[:, :65535], lse_x)
    assert_close_to_reference(out[:, -2:], lse[:, -2:], *reference(*(t[:, -2:] for t in (q, k, v, mask)), bias))


def forced_mma():
    return importlib.import_module("_kestrovane_forward_mma_forced")


@gpu_only  # the forced-MMA test module is built for the GPU only
@pytest.mark.parametrize("D", TIERS)
@pytest.mark.parametrize("B, O, H, N", [(1, 2, 2, 64), (2, 3, 2, 100), (1, 2, 2, 320), (2, 37, 2, 37)])
def test_agrees_with_the_cp_async_kernel(backend, B, O, H, N, D):
    data = inputs(B, O, H, N, D, backend.device, seed=3 * N + D)
    out, lse, shadow = run(backend, *data, shadow=True)
    mma = outputs(data[0], shadow=True)
    forced_mma().forward_mma_out(*data, *mma)
    backend.synchronize()
    mma_out, mma_lse, mma_shadow = mma
    # The two MMA kinds sum the FP32 products of S in different orders: S, and so m, l and
    # lse, differ in their last bits, and a probability may round to a neighbouring BF16.
    torch.testing.assert_close(lse, mma_lse, atol=1e-5, rtol=1e-5)
    torch.testing.assert_close(out.float(), mma_out.float(), atol=1e-2, rtol=1e-2)
    torch.testing.assert_close((out.float() + shadow.float()), (mma_out.float() + mma_shadow.float()),
                               atol=1e-2, rtol=1e-2)
    # most elements agree to the bit
    assert (out == mma_out).float().mean() > 0.9


@pytest.mark.parametrize("D, kernel", [(16, "forward_tma_kernel"), (32, "forward_tma_kernel"),
                                       (64, "forward_tma_kernel"), (8, "triangle_forward_kernel"),
                                       (24, "triangle_forward_kernel"), (40, "triangle_forward_kernel")])
@gpu_only  # the CUDA profiler's kernel records
def test_dispatch_picks_the_tma_kernel_for_its_tiers(backend, D, kernel):
    data = inputs(1, 1, 1, 64, D, backend.device)
    results = outputs(data[0])
    with torch.profiler.profile(activities=[torch.profiler.ProfilerActivity.CUDA]) as prof:
        backend.load("forward").kestrovane_triangle_forward_out(*data, *results)
        backend.synchronize()
    names = [e.name for e in prof.events() if "kestrovane" in e.name]
    if not names:
        pytest.skip("the profiler recorded no kernels")
    assert len(names) == 1 and kernel in names[0], names
