"""Triangle attention forward on a Hopper GPU or its emulated twin: numerics against a float64
reference computed from the same BF16 inputs with the kernels' score rule, outputs in poisoned
buffers whose guard bands must stay untouched, and bit-identical reruns."""
import math
import re
import struct

import pytest
import torch

from backend import gpu_only, gpu_only_if_large_attention
from harness import BF16, F32, assert_bit_identical, assert_runs_bit_identical, busy_side_stream, case_marks

GUARD = 256                # poisoned elements before and after every output
POISON_BF16 = 0x7FA5       # a BF16 NaN
POISON_F32 = 0x7FA5A5A5    # an FP32 NaN
NEG_INF = float("-inf")
HEAD_DIM_MESSAGE = "head_dim must be a multiple of 8 and <= 128, got "


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def kernel_scale(D):
    # 1.0f / sqrtf(D): both operations round correctly in double first, which for
    # sqrt and division never changes the FP32 result.
    return f32(1.0 / f32(math.sqrt(D)))


def make_inputs(B, O, H, N, D, seed, device):
    """Random BF16 q, k, v and bias, an FP32 mask with -inf keys; the first (b, o) fully
    masked and, when N > 64, the last one masked over its whole first key tile only."""
    g = torch.Generator(device=device).manual_seed(seed)
    q, k, v = (torch.randn(B, O, H, N, D, device=device, generator=g).to(BF16) for _ in range(3))
    bias = torch.randn(B, 1, H, N, N, device=device, generator=g).to(BF16)
    mask = 0.5 * torch.randn(B, O, 1, 1, N, device=device, generator=g)
    mask = mask.masked_fill(torch.rand(B, O, 1, 1, N, device=device, generator=g) < 0.15, NEG_INF)
    rows = mask.view(B * O, N)
    if B * O > 1:
        rows[0] = NEG_INF
        if N > 64:
            rows[-1, :64] = NEG_INF
            rows[-1, 64] = 0.25
    return q, k, v, mask, bias


def reference(q, k, v, mask, bias):
    """float64 attention of the BF16 inputs: out in the physical layout and lse; a row
    whose scores are all -inf gives out 0 and lse -inf."""
    D = q.shape[-1]
    s = torch.matmul(q.double(), k.double().transpose(-1, -2)) * kernel_scale(D) + mask.double() + bias.double()
    m = s.amax(dim=-1, keepdim=True)
    empty = torch.isneginf(m)
    m = torch.where(empty, torch.zeros_like(m), m)
    e = torch.exp(s - m)
    l = e.sum(dim=-1, keepdim=True)
    o = torch.matmul(e / torch.where(empty, torch.ones_like(l), l), v.double())
    return o.permute(0, 1, 3, 2, 4), (m + torch.log(l)).squeeze(-1)


class Guarded:
    """An output tensor placed inside a larger buffer, all of it poisoned beforehand."""

    def __init__(self, shape, dtype, device):
        self.n = math.prod(shape)
        self.poison = POISON_BF16 if dtype == BF16 else POISON_F32
        bits = torch.int16 if dtype == BF16 else torch.int32
        self.buffer = torch.full((self.n + 2 * GUARD,), self.poison, dtype=bits, device=device)
        self.tensor = self.buffer.view(dtype)[GUARD:GUARD + self.n].view(shape)

    def bits(self):
        return self.buffer[GUARD:GUARD + self.n]

    def snapshot(self):
        """A copy of the whole buffer, guard bands included, taken in the current stream's order."""
        copy = object.__new__(Guarded)
        copy.n, copy.poison, copy.buffer = self.n, self.poison, self.buffer.clone()
        copy.tensor = copy.buffer.view(self.tensor.dtype)[GUARD:GUARD + self.n].view(self.tensor.shape)
        return copy

    def check(self, every_element=True):
        """Guard bands untouched and, unless only some blocks ran, every element written."""
        assert (self.buffer[:GUARD] == self.poison).all(), "guard band before the output was written"
        assert (self.buffer[GUARD + self.n:] == self.poison).all(), "guard band after the output was written"
        if every_element:
            assert not (self.bits() == self.poison).any(), "output elements left unwritten"


def run(backend, inputs, shadow=True, every_element=True):
    m = backend.load("forward")
    q, k, v, mask, bias = inputs
    B, O, H, N, D = q.shape
    out, lse = Guarded((B, O, N, H, D), BF16, backend.device), Guarded((B, O, H, N), F32, backend.device)
    if shadow:
        residual = Guarded((B, O, N, H, D), BF16, backend.device)
        m.kestrovane_triangle_forward_shadow_out(q, k, v, mask, bias, out.tensor, lse.tensor, residual.tensor)
    else:
        residual = None
        m.kestrovane_triangle_forward_out(q, k, v, mask, bias, out.tensor, lse.tensor)
    backend.synchronize()
    for g in (out, lse, residual):
        if g is not None:
            g.check(every_element)
    return out, lse, residual


def check_against_reference(inputs, out, lse, residual):
    """out, lse and (unless None) the shadow residual of a call on `inputs` against reference()."""
    ref_out, ref_lse = reference(*inputs)
    got_out, got_lse = out.double(), lse.double()

    empty = torch.isneginf(ref_lse)
    assert torch.equal(torch.isneginf(got_lse), empty)
    live = ~empty
    lse_error = (got_lse[live] - ref_lse[live]).abs()
    assert (lse_error <= 5e-5 + 1e-5 * ref_lse[live].abs()).all(), float(lse_error.max())
    # fully masked rows: out 0, shadow 0 (rows of [B,O,H,N] are (b, o, n, h) in the physical layout)
    empty_rows = empty.permute(0, 1, 3, 2)
    assert (got_out[empty_rows] == 0).all()

    out_error = (got_out - ref_out).abs()
    assert (out_error <= 1e-2 + 1e-2 * ref_out.abs()).all(), float(out_error.max())
    if residual is None:
        return
    got_res = residual.double()
    assert (got_res[empty_rows] == 0).all()
    # the residual is at most half a BF16 step of out (rounded to BF16 itself) ...
    assert (got_res.abs() <= 2.0**-8 * 1.01 * got_out.abs()).all()
    # ... and adding it brings out closer to the reference
    with_shadow = (got_out + got_res - ref_out).norm()
    alone = out_error.norm()
    assert with_shadow <= alone
    if alone > 0:
        assert with_shadow < alone


# Per head dimension: a tail N with O = N (SquarePair), a tail N over two key tiles (the last
# (b, o) masked over its whole first key tile, then one live key), one whole tile with O = N,
# and whole tiles over three or five key tiles. N = 320: the fifth key tile, where the TMA
# kernels' (D = 16, 32, 64) first barrier parity has wrapped and the cp.async kernels refill a
# stage for the second time. D = 8, 24, 40, 72 and 128 run the cp.async tiers 16, 32, 64 and
# 128 (columns past D zero-filled below 128); D = 16, 32 and 64 run the TMA kernels, which
# tests/gpu/test_forward_tma_gpu.py covers tile by tile. Every tier thus runs each of its four
# instantiations with query tiles on grid x; the other orientation of every tier runs in
# test_swapped_grid_edge_blocks_against_float64_reference (its edge blocks only, on the
# emulated backend) and, whole, in the slow tests.
CASES = {
    8: [(1, True), (65, False), (64, True), (320, False)],
    16: [(63, True), (100, False), (64, True), (320, False)],
    24: [(1, True), (65, False), (64, True), (192, False)],
    32: [(63, True), (65, False), (64, True), (320, False)],
    40: [(1, True), (100, False), (64, True), (320, False)],
    64: [(63, True), (65, False), (64, True), (192, False)],
    72: [(1, True), (100, False), (64, True), (320, False)],
    128: [(63, True), (65, False), (64, True), (320, False)],
}
# the smallest cases, and tier 128 over five key tiles (stages refilled after other warps read them)
SANITIZED = {(8, 1, True), (32, 65, False), (128, 320, False)}
SMOKE = {(32, 65, False)}


@pytest.mark.parametrize("D, N, square", [
    pytest.param(D, N, square, marks=case_marks((D, N, square), sanitize=SANITIZED, smoke=SMOKE)
                 + gpu_only_if_large_attention(2, N if square else 3, 2, N),
                 id=f"D{D}-N{N}-{'O=N' if square else 'O=3'}")
    for D, rows in CASES.items() for N, square in rows])
def test_forward_against_float64_reference(backend, D, N, square):
    B, H = 2, 2
    O = N if square else 3
    inputs = make_inputs(B, O, H, N, D, seed=1000 * D + N + square, device=backend.device)
    first = [g.tensor for g in run(backend, inputs)]
    check_against_reference(inputs, *first)
    for _ in range(2):
        for a, b, what in zip(first, run(backend, inputs), ("out", "lse", "shadow residual")):
            assert_bit_identical(b.tensor, a, f"rerun {what}")
    plain_out, plain_lse, _ = run(backend, inputs, shadow=False)
    assert_bit_identical(plain_out.tensor, first[0], "out without the shadow residual")
    assert_bit_identical(plain_lse.tensor, first[1], "lse without the shadow residual")


# One small case per instantiation with query tiles on grid x that the table above reaches only
# at GPU scale: whole key tiles on the cp.async tiers (D = 8, 24, 40, 72 with N = 64), O = N on
# both families with and without a sequence tail. B = H = 1 keeps them to at most 64 blocks.
@pytest.mark.parametrize("D, N, O", [
    (8, 64, 3), (24, 64, 3), (40, 64, 3), (72, 64, 3),
    (8, 64, 64), (24, 64, 64), (40, 64, 64), (72, 64, 64),
    (16, 63, 63), (32, 63, 63), (64, 63, 63), (16, 64, 64), (32, 64, 64), (64, 64, 64),
], ids=lambda v: str(v))
def test_every_instantiation_with_query_tiles_on_x(backend, D, N, O):
    inputs = make_inputs(1, O, 1, N, D, seed=D + N + O, device=backend.device)
    check_against_reference(inputs, *(g.tensor for g in run(backend, inputs)))


EDGE_BLOCKS = 1  # KESTROVANE_EMULATOR_EDGE_BLOCKS of the swapped-grid cases


def edge_coordinates(extent, k):
    """The coordinates of a grid axis of `extent` blocks within k of either end: the blocks
    that KESTROVANE_EMULATOR_EDGE_BLOCKS=k runs on that axis."""
    return sorted({*range(min(k, extent)), *range(max(extent - k, 0), extent)})


def swapped_edge_slices(B, O, H, N, k):
    """The (b, o) slices that the edge blocks of the swapped grid compute whole. With
    B * O > 65535 the plan puts bo = b * O + o on grid x, the head on y and the query tile on
    z; the shapes keep H and the query tiles within 2k, so every head and tile of an edge bo
    runs and the slices of the other bo are left to blocks that the model skips."""
    tiles = math.ceil(N / 64)
    assert B * O > 65535, "the query tiles stay on grid x"
    assert edge_coordinates(H, k) == list(range(H)) and edge_coordinates(tiles, k) == list(range(tiles))
    return [divmod(bo, O) for bo in edge_coordinates(B * O, k)]


def swapped_grid_inputs(B, O, H, N, D, owned, seed, device):
    """Inputs of a B * O > 65535 call with random data only where the owned (b, o) slices
    read: q, k and v are views one (b, o) slice apart into one zero-filled buffer (inputs
    that are only read may overlap), so that the three cost one tensor's memory while an
    owned slice still reads three different random slices. The mask has random -inf keys in
    the owned slices; the bias is random throughout."""
    g = torch.Generator().manual_seed(seed)
    step, n = H * N * D, B * O * H * N * D
    buffer = torch.zeros(n + 2 * step, dtype=BF16, device=device)
    mask = torch.zeros(B, O, 1, 1, N, device=device)
    for b, o in owned:
        bo = b * O + o
        buffer[bo * step:(bo + 3) * step] = torch.randn(3 * step, generator=g).to(BF16)
        keys = 0.5 * torch.randn(N, generator=g)
        mask[b, o, 0, 0] = keys.masked_fill(torch.rand(N, generator=g) < 0.15, NEG_INF)
    q, k, v = (buffer[i * step:i * step + n].view(B, O, H, N, D) for i in range(3))
    return q, k, v, mask, torch.randn(B, 1, H, N, N, generator=g).to(BF16).to(device)


# The swapped orientation, one case per instantiation, each with the smallest B * O past
# 65535 for its flags: whole tiles (N = 64, the last edge slice in batch 1), whole tiles with
# O = N = 64 (b = bo / N = 1023 on the last), a tail over two heads (N = 3), and a tail with
# O = N = 3 (B * O = 65538); on tiers 16 (D = 8 and the TMA D = 16) the tail case instead has
# two query tiles on grid z, the second one row. D = 8, 24, 40 and 72 run the cp.async
# tiers, D = 16, 32 and 64 the TMA ones. The whole-tile shapes hold 4M rows of q: they run
# without the shadow output.
SWAPPED_SHAPES = [(2, 32768, 1, 64), (1024, 64, 1, 64), (2, 32768, 2, 3), (21846, 3, 2, 3)]
TWO_QUERY_TILES = (2, 32768, 1, 65)


@pytest.mark.parametrize("D, B, O, H, N", [
    (D, *(TWO_QUERY_TILES if D in (8, 16) and shape == SWAPPED_SHAPES[2] else shape))
    for D in (8, 24, 40, 72, 16, 32, 64) for shape in SWAPPED_SHAPES], ids=lambda v: str(v))
def test_swapped_grid_edge_blocks_against_float64_reference(backend, monkeypatch, D, B, O, H, N):
    # the model runs only the edge blocks; on a GPU the whole grid runs and the same slices hold
    monkeypatch.setenv("KESTROVANE_EMULATOR_EDGE_BLOCKS", str(EDGE_BLOCKS))
    owned = swapped_edge_slices(B, O, H, N, EDGE_BLOCKS)
    inputs = swapped_grid_inputs(B, O, H, N, D, owned, seed=D + N + O, device=backend.device)
    outputs = [g and g.tensor for g in run(backend, inputs, shadow=N % 64 != 0, every_element=False)]
    for b, o in owned:
        at = (slice(b, b + 1), slice(o, o + 1))
        q, k, v, mask = (t[at] for t in inputs[:4])
        check_against_reference((q, k, v, mask, inputs[4][at[0]]), *(t if t is None else t[at] for t in outputs))


@pytest.mark.slow
@gpu_only  # full-device scale
@pytest.mark.parametrize("D", [8, 24, 40, 128])
def test_swapped_grid_orientation_is_bit_identical(backend, D):
    # B*O = 65536 puts the batch-outer index on grid x and the query tiles on grid z; its
    # first 65535 slices must equal a B*O = 65535 run of the same data bit for bit. One head
    # dimension per cp.async tier (16, 32, 64, 128), each with two query and key tiles.
    H, N = 2, 65
    q, k, v, mask, bias = make_inputs(1, 65536, H, N, D, seed=7, device=backend.device)
    swapped = [g.tensor for g in run(backend, (q, k, v, mask, bias))]
    plain = run(backend, tuple(t[:, :65535] for t in (q, k, v, mask)) + (bias,))
    for a, b in zip(swapped, plain):
        assert_bit_identical(a[:, :65535], b.tensor, "swapped orientation")
    last = tuple(t[:, 65535:] for t in (q, k, v, mask)) + (bias,)
    check_against_reference(last, *(t[:, 65535:] for t in swapped))


@gpu_only  # 260 and 528 query tiles
@pytest.mark.parametrize("N", [64, 65])
def test_square_pair_matches_the_general_instantiation(backend, N):
    # O = N reads N in place of O; the same slices inside an O = N + 1 run must agree bit for bit.
    B, H, D = 2, 2, 32
    q, k, v, mask, bias = make_inputs(B, N + 1, H, N, D, seed=N, device=backend.device)
    general = run(backend, (q, k, v, mask, bias))
    square = run(backend, tuple(t[:, :N].contiguous() for t in (q, k, v, mask)) + (bias,))
    for a, b in zip(general, square):
        assert_bit_identical(a.tensor[:, :N], b.tensor, "square pair")


@pytest.mark.parametrize("D", [12, 136])
def test_head_dim_is_checked_and_nothing_is_written(backend, D):
    m = backend.load("forward")
    q, k, v, mask, bias = make_inputs(1, 2, 1, 3, D, seed=D, device=backend.device)
    out, lse, residual = (Guarded(shape, dtype, backend.device)
                          for shape, dtype in (((1, 2, 3, 1, D), BF16), ((1, 2, 1, 3), F32), ((1, 2, 3, 1, D), BF16)))
    with pytest.raises(RuntimeError, match=rf"{re.escape(HEAD_DIM_MESSAGE)}{D}(\D|$)"):
        m.kestrovane_triangle_forward_shadow_out(q, k, v, mask, bias, out.tensor, lse.tensor, residual.tensor)
    backend.synchronize()
    for g in (out, lse, residual):
        assert (g.buffer == g.poison).all()


@gpu_only  # streams
def test_forward_runs_on_the_current_stream(backend):
    inputs = make_inputs(2, 3, 2, 100, 64, seed=3, device=backend.device)
    expected = run(backend, inputs)
    m = backend.load("forward")
    q, k, v, mask, bias = inputs
    with busy_side_stream():
        out, lse = Guarded((2, 3, 100, 2, 64), BF16, backend.device), Guarded((2, 3, 2, 100), F32, backend.device)
        m.kestrovane_triangle_forward_out(q, k, v, mask, bias, out.tensor, lse.tensor)
        copies = out.snapshot(), lse.snapshot()
    for copy, want in zip(copies, expected):
        copy.check()
        assert_bit_identical(copy.tensor, want.tensor, "side-stream result")


@gpu_only  # full-device scale
@pytest.mark.parametrize("D, N", [(40, 300), (128, 320)])
def test_reruns_at_scale_are_bit_identical(backend, D, N):
    # 64 (b, o) slices of 4 heads over five query tiles: 1280 blocks of tier 64 (a sequence
    # tail) or tier 128 (whole tiles), several waves on every SM of the device. Each run writes
    # to freshly poisoned buffers whose guard bands and coverage run() checks.
    inputs = make_inputs(1, 64, 4, N, D, seed=D + N, device=backend.device)
    assert_runs_bit_identical(lambda: [g.tensor for g in run(backend, inputs)], what=f"D={D} N={N} rerun")
