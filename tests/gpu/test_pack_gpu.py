"""kestrovane_pack_qkv on a Hopper GPU: a bit-exact permutation of the physical layout."""
import pytest
import torch

from harness import BF16, load, requires_hopper

pytestmark = requires_hopper


def physical(bo, H, N, D, seed):
    g = torch.Generator(device="cuda").manual_seed(seed)
    return torch.randn(bo, N, H, D, device="cuda", generator=g).to(BF16)


@pytest.mark.parametrize("bo, H, N, D", [
    pytest.param(1, 2, 3, 4, marks=[pytest.mark.sanitize, pytest.mark.smoke]),
    (3, 4, 5, 64),
    (2, 3, 7, 2),
    (1, 1, 13, 64),    # H = 1: a plain copy
    (5, 6, 1, 2),      # N = 1: a plain copy
    (1, 3, 3, 64),     # 9 rows: the last block holds one row
    (7, 2, 3, 32),
])
def test_pack_is_a_bit_exact_permutation(bo, H, N, D):
    m = load("forward")
    sources = [physical(bo, H, N, D, seed) for seed in (1, 2, 3)]
    # any shape with the right element count reads as [bo, N, H, D]
    flat = [s.reshape(bo * N, H * D) for s in sources]
    outs = m.kestrovane_pack_qkv(*flat, bo, H, N, D)
    torch.cuda.synchronize()
    assert len(outs) == 3
    for out, source in zip(outs, sources):
        assert out.shape == (bo, H, N, D) and out.dtype == BF16 and out.is_contiguous()
        assert out.device == source.device
        expected = source.permute(0, 2, 1, 3).contiguous()
        assert torch.equal(out.view(torch.int16), expected.view(torch.int16))


def test_pack_writes_every_output_element():
    # The caching allocator hands the same blocks back: poison them first, so an
    # element the kernel skipped would keep the poison.
    m = load("forward")
    bo, H, N, D = 3, 5, 7, 64
    poison = torch.full((3 * bo * H * N * D + 4096,), float("nan"), device="cuda", dtype=BF16)
    del poison
    sources = [physical(bo, H, N, D, seed) for seed in (4, 5, 6)]
    for out, source in zip(m.kestrovane_pack_qkv(*sources, bo, H, N, D), sources):
        assert torch.equal(out, source.permute(0, 2, 1, 3))
        assert not out.isnan().any()


def test_pack_runs_on_the_current_stream():
    m = load("forward")
    bo, H, N, D = 2, 3, 64, 64
    sources = [physical(bo, H, N, D, seed) for seed in (7, 8, 9)]
    stream = torch.cuda.Stream()
    stream.wait_stream(torch.cuda.current_stream())
    with torch.cuda.stream(stream):
        outs = m.kestrovane_pack_qkv(*sources, bo, H, N, D)
        copies = [o.clone() for o in outs]
    stream.synchronize()
    for c, s in zip(copies, sources):
        assert torch.equal(c, s.permute(0, 2, 1, 3))
