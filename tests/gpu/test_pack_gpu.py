"""kestrovane_pack_qkv on a Hopper GPU or its emulated twin: a bit-exact permutation of the
physical layout."""
import pytest
import torch

from backend import gpu_only
from harness import BF16, assert_bit_identical, assert_runs_bit_identical, busy_side_stream


def physical(bo, H, N, D, seed, device):
    g = torch.Generator(device=device).manual_seed(seed)
    return torch.randn(bo, N, H, D, device=device, generator=g).to(BF16)


def poisoned_allocation(bo, H, N, D):
    """Fills the three blocks that the pack's outputs will get with NaN and hands them back to
    the caching allocator; returns their addresses. Three requests of the outputs' size that
    the allocator serves from blocks it already holds, released again, leave its free blocks as
    they were (a block split for them merges back), so the pack's three requests on the same
    stream get the same, now poisoned, blocks. Where the allocator had to reserve memory for
    them, the state has changed: release and poison again from what it now holds."""
    for _ in range(4):
        reserved = torch.cuda.memory_reserved()
        blocks = [torch.full((bo, H, N, D), float("nan"), device="cuda", dtype=BF16) for _ in range(3)]
        addresses = {b.data_ptr() for b in blocks}
        grew = torch.cuda.memory_reserved() != reserved
        del blocks
        if not grew:
            return addresses
    raise AssertionError("the caching allocator kept reserving memory for the poisoned blocks")


def pack_into_poisoned_blocks(backend, sources, bo, H, N, D):
    """The pack of `sources`, its outputs placed in blocks of the CUDA caching allocator poisoned
    just before (checked), so that an element the kernel skips keeps the poison."""
    poisoned = poisoned_allocation(bo, H, N, D)
    outs = backend.load("forward").kestrovane_pack_qkv(*sources, bo, H, N, D)
    assert {o.data_ptr() for o in outs} == poisoned, "the pack's outputs did not land in the poisoned blocks"
    return outs


@pytest.mark.parametrize("bo, H, N, D", [
    pytest.param(1, 2, 3, 4, marks=[pytest.mark.sanitize, pytest.mark.smoke]),
    (3, 4, 5, 64),
    (2, 3, 7, 2),
    (1, 1, 13, 64),    # H = 1: a plain copy
    (5, 6, 1, 2),      # N = 1: a plain copy
    (1, 3, 3, 64),     # 9 rows: the last block holds one row
    (7, 2, 3, 32),
])
def test_pack_is_a_bit_exact_permutation(backend, bo, H, N, D):
    m = backend.load("forward")
    sources = [physical(bo, H, N, D, seed, backend.device) for seed in (1, 2, 3)]
    # any shape with the right element count reads as [bo, N, H, D]
    flat = [s.reshape(bo * N, H * D) for s in sources]
    outs = m.kestrovane_pack_qkv(*flat, bo, H, N, D)
    backend.synchronize()
    assert len(outs) == 3
    for out, source in zip(outs, sources):
        assert out.shape == (bo, H, N, D) and out.dtype == BF16 and out.is_contiguous()
        assert out.device == source.device
        expected = source.permute(0, 2, 1, 3).contiguous()
        assert torch.equal(out.view(torch.int16), expected.view(torch.int16))


@gpu_only  # poisons the CUDA caching allocator's blocks
def test_pack_writes_every_output_element(backend):
    bo, H, N, D = 3, 5, 7, 64
    sources = [physical(bo, H, N, D, seed, backend.device) for seed in (4, 5, 6)]
    for out, source in zip(pack_into_poisoned_blocks(backend, sources, bo, H, N, D), sources):
        assert torch.equal(out, source.permute(0, 2, 1, 3))
        assert not out.isnan().any()


@gpu_only  # streams
def test_pack_runs_on_the_current_stream(backend):
    bo, H, N, D = 2, 3, 64, 64
    sources = [physical(bo, H, N, D, seed, backend.device) for seed in (7, 8, 9)]
    with busy_side_stream():
        copies = [o.clone() for o in pack_into_poisoned_blocks(backend, sources, bo, H, N, D)]
    for c, s in zip(copies, sources):
        assert_bit_identical(c, s.permute(0, 2, 1, 3), "side-stream pack")


@gpu_only  # full-device scale
def test_reruns_at_scale_are_bit_identical(backend):
    # 65536 destination rows of 64 elements: 8192 blocks, many waves on every SM of the device;
    # every run writes into blocks poisoned just before.
    bo, H, N, D = 64, 4, 256, 64
    sources = [physical(bo, H, N, D, seed, backend.device) for seed in (10, 11, 12)]
    assert_runs_bit_identical(lambda: pack_into_poisoned_blocks(backend, sources, bo, H, N, D), what="pack rerun")
    for out, source in zip(pack_into_poisoned_blocks(backend, sources, bo, H, N, D), sources):
        assert_bit_identical(out, source.permute(0, 2, 1, 3), "pack at scale")
