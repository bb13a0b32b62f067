"""The model's tensor-core operations (ldmatrix, mma.m16n8k16, wgmma m64nNk16) against a small
model transcribed from the PTX ISA's fragment tables and shared-memory layouts.

Inputs are exact small BF16 values (8-bit integers times powers of two) and FP32 accumulators
on a coarse grid, so every sum of products is exact in double and the expected D is the plain
product rounded once to FP32: the comparisons are bit for bit."""
import zlib

import numpy as np
import pytest
import torch

from harness import load

tc = load("_kestrovane_emu_tensor_core")


# ---------------------------------------------------------------- values and registers

def exact_bf16(rng, shape):
    return rng.integers(-255, 256, shape) * 2.0 ** rng.integers(-12, -4, shape)


def coarse_f32(rng, shape):
    return (rng.integers(-2 ** 20, 2 ** 20, shape) * 2.0 ** -16).astype(np.float32)


def bf16_bits(values):
    f32 = np.asarray(values, dtype=np.float32).view(np.uint32)
    assert not (f32 & 0xFFFF).any(), "value not representable in BF16"
    return (f32 >> 16).astype(np.uint16)


def bf16_values(bits):
    return (np.asarray(bits, dtype=np.uint32) << 16).view(np.float32).astype(np.float64)


def pack(lo, hi):
    """A 32-bit register of two 16-bit elements: the first (lower index) in the low half."""
    return int(lo) | (int(hi) << 16)


def assert_same_floats(got, want):
    got, want = np.asarray(got, np.float32), np.asarray(want, np.float32)
    assert got.shape == want.shape
    nan = np.isnan(want)
    np.testing.assert_array_equal(np.isnan(got), nan)
    np.testing.assert_array_equal(got[~nan].view(np.uint32), want[~nan].view(np.uint32))


class Window:
    """Shared memory [base, base + size) as bytes, filled with noise."""

    def __init__(self, rng, base, size):
        self.base = base
        self.bytes = rng.integers(0, 256, size, dtype=np.uint8)

    def put(self, address, elements):
        raw = np.asarray(elements, dtype="<u2").view(np.uint8)
        self.bytes[address - self.base:address - self.base + raw.size] = raw

    def get(self, address, count):
        return self.bytes[address - self.base:address - self.base + 2 * count].view("<u2")

    def tensor(self):
        return torch.from_numpy(self.bytes.copy())


def int64_registers(regs):
    return torch.tensor(np.asarray(regs, dtype=np.int64))


# ---------------------------------------------------------------- fragment tables (PTX ISA)

def a_position(lane, i):
    """Element ai (0..7) of the mma.m16n8k16 .bf16 A fragment (also the per-warp layout of the
    wgmma m64nNk16 register A): row groupID (+8 unless 0 <= i < 2 or 4 <= i < 6), column
    threadID_in_group * 2 + (i & 1) (+8 for i >= 4)."""
    g, t = lane >> 2, lane % 4
    row = g if (i < 2 or 4 <= i < 6) else g + 8
    col = t * 2 + (i & 1) + (8 if i >= 4 else 0)
    return row, col


def b_position(lane, i):
    """Element bi (0..3) of the m16n8k16 .bf16 B fragment."""
    g, t = lane >> 2, lane % 4
    return t * 2 + (i & 1) + (8 if i >= 2 else 0), g


def c_position(lane, i):
    """Element ci (0..3) of the m16n8k16 accumulator fragment."""
    g, t = lane >> 2, lane % 4
    return (g if i < 2 else g + 8), t * 2 + (i & 1)


def wgmma_d_position(thread, r):
    """Element dr of the wgmma m64nNk16 accumulator: warp w covers rows 16w..16w+15, and each
    block of 8 columns repeats the m16n8 accumulator layout (Figure 'register fragment layout for
    accumulator matrix D')."""
    w, lane = thread // 32, thread % 32
    row, col = c_position(lane, r % 4)
    return 16 * w + row, 8 * (r // 4) + col


def a_registers(a_bits_16x16):
    """Four registers per lane: register k holds elements a(2k), a(2k+1), low to high."""
    regs = np.zeros((32, 4), dtype=np.int64)
    for lane in range(32):
        for k in range(4):
            regs[lane, k] = pack(a_bits_16x16[a_position(lane, 2 * k)], a_bits_16x16[a_position(lane, 2 * k + 1)])
    return regs


# ---------------------------------------------------------------- ldmatrix

@pytest.mark.parametrize("count", [1, 2, 4])
@pytest.mark.parametrize("trans", [False, True])
def test_ldmatrix_scattered_rows(count, trans):
    rng = np.random.default_rng(100 * count + trans)
    window = Window(rng, base=0x2300, size=4096)
    slots = rng.choice(4096 // 16, size=32, replace=False)
    rows = window.base + 16 * slots
    # Lanes at or past 8 * count supply no row: give them addresses that could not be read.
    rows[8 * count:] = 0xFFFFFFF7
    untouched = 0x5A5A5A5A
    got = tc.ldmatrix(count, trans, torch.tensor(rows, dtype=torch.int64), window.tensor(), window.base, untouched)
    got = got.numpy()
    for m in range(4):
        if m >= count:
            assert (got[:, m] == untouched).all(), f"register {m} written"
            continue
        # Matrix m: row j is the 8 elements at the address of lane 8m + j.
        matrix = np.stack([window.get(int(rows[8 * m + j]), 8) for j in range(8)])
        if trans:
            matrix = matrix.T
        for lane in range(32):
            row, col = lane // 4, 2 * (lane % 4)
            assert got[lane, m] == pack(matrix[row, col], matrix[row, col + 1]), f"lane {lane} register {m}"


@pytest.mark.parametrize("lane, address, expected", [
    (3, 0x2308, "aligned"),                 # inside the window, 8-byte aligned only
    (15, 0x2300 + 4096, "window"),          # one row past the end
    (0, 0x2300 - 16, "window"),             # one row before the start
    (31, 0x2300 + 4096 - 8, "aligned"),     # straddles the end
])
def test_ldmatrix_bad_row(lane, address, expected):
    rng = np.random.default_rng(7)
    window = Window(rng, base=0x2300, size=4096)
    rows = window.base + 16 * np.arange(32)
    rows[lane] = address
    with pytest.raises(RuntimeError, match=f"^emulator: .*{expected}"):
        tc.ldmatrix(4, False, torch.tensor(rows, dtype=torch.int64), window.tensor(), window.base, 0)


def test_ldmatrix_rejects_count():
    window = Window(np.random.default_rng(0), base=0, size=1024)
    with pytest.raises(RuntimeError, match="^emulator: .*x1, x2 or x4"):
        tc.ldmatrix(3, False, torch.arange(32, dtype=torch.int64) * 16, window.tensor(), 0, 0)


# ---------------------------------------------------------------- mma.m16n8k16

def with_non_finite(a, b, c):
    a[3, 5] = np.inf
    b[5, 2] = 0.0           # inf * 0: row 3, column 2 is NaN
    a[9, 1] = -np.inf       # row 9 is -inf where b[1] is positive, +inf where negative, NaN where zero
    c[12, 6] = np.nan
    c[0, 0] = np.inf


@pytest.mark.parametrize("seed, non_finite", [(1, False), (2, False), (3, True)])
def test_mma_matches_matrix_product(seed, non_finite):
    rng = np.random.default_rng(seed)
    a, b, c = exact_bf16(rng, (16, 16)), exact_bf16(rng, (16, 8)), coarse_f32(rng, (16, 8))
    if non_finite:
        with_non_finite(a, b, c)
    a_bits, b_bits = bf16_bits(a), bf16_bits(b)
    b_regs = np.zeros((32, 2), dtype=np.int64)
    c_regs = np.zeros((32, 4), dtype=np.float32)
    for lane in range(32):
        for k in range(2):
            b_regs[lane, k] = pack(b_bits[b_position(lane, 2 * k)], b_bits[b_position(lane, 2 * k + 1)])
        for i in range(4):
            c_regs[lane, i] = c[c_position(lane, i)]
    with np.errstate(invalid="ignore"):
        want = ((a[:, :, None] * b[None, :, :]).sum(axis=1) + c).astype(np.float32)
    got = tc.mma(int64_registers(a_registers(a_bits)), int64_registers(b_regs), torch.from_numpy(c_regs)).numpy()
    want_regs = np.array([[want[c_position(lane, i)] for i in range(4)] for lane in range(32)])
    assert_same_floats(got, want_regs)


# ---------------------------------------------------------------- matrix descriptor

def descriptor(start, lbo, sbo, base_offset, layout):
    """Field by field, after the ISA's Matrix Descriptor Format (encode(x) = (x & 0x3FFFF) >> 4)."""
    def encode(x):
        return (x & 0x3FFFF) >> 4
    return encode(start) | encode(lbo) << 16 | encode(sbo) << 32 | (base_offset & 7) << 49 | (layout & 3) << 62


RESERVED_BITS = (0x3 << 14) | (0x3 << 30) | (0x7 << 46) | (0x3FF << 52)


@pytest.mark.parametrize("start, lbo, sbo, base_offset, layout", [
    (0, 0, 0, 0, 0),
    (0x3FFF0, 0x3FFF0, 0x3FFF0, 7, 3),
    (0x12340, 16, 1024, 0, 1),
    (0x00400, 0x2A0, 0x3FFF0, 5, 2),
    (0x3FFF0, 0, 16, 1, 0),
])
def test_decode_descriptor(start, lbo, sbo, base_offset, layout):
    fields = (start, lbo, sbo, base_offset, layout)
    assert tc.decode(descriptor(*fields)) == fields
    # Bits outside the fields belong to none of them.
    assert tc.decode(descriptor(*fields) | RESERVED_BITS) == fields


# ---------------------------------------------------------------- wgmma m64nNk16

SWIZZLE_BYTES = {1: 128, 2: 64, 3: 32}   # descriptor layout type -> width of a swizzle atom row


def chunk_xor(width, q):
    """K-major swizzle atoms (8 rows x `width` bytes, Figures 'K major 128B / 64B / 32B swizzling'):
    the 16-byte chunk j of atom row q is stored at chunk j ^ chunk_xor(width, q)."""
    return {128: q, 64: q // 2, 32: q // 4}[width]


def lay_out_k_major(window, bits, layout, pattern_start, k_offset, lbo, sbo):
    """Stores a K-major operand (rows x 16 BF16) per the canonical K-major layout and returns its
    descriptor. No swizzle: core matrices of 8 rows x 16 bytes, the second 8 K-elements LBO
    bytes on, the next 8 rows SBO bytes on. Swizzled: 8-row atoms SBO bytes apart starting at
    `pattern_start`; the 16 K-elements lie `k_offset` bytes into each atom row."""
    rows = bits.shape[0]
    if layout == 0:
        for r in range(rows):
            for h in range(2):
                window.put(pattern_start + (r // 8) * sbo + h * lbo + (r % 8) * 16, bits[r, 8 * h:8 * h + 8])
        return descriptor(pattern_start, lbo, sbo, 0, 0)
    width = SWIZZLE_BYTES[layout]
    for r in range(rows):
        q = r % 8
        row_address = pattern_start + (r // 8) * sbo + q * width
        for h in range(2):
            j = k_offset // 16 + h
            window.put(row_address + 16 * (j ^ chunk_xor(width, q)), bits[r, 8 * h:8 * h + 8])
    # Base offset: 0 when the pattern starts on its repeat boundary (8 rows), else
    # (pattern start >> 7) & 7.
    base_offset = 0 if pattern_start % (8 * width) == 0 else (pattern_start >> 7) & 7
    return descriptor(pattern_start + k_offset, lbo, sbo, base_offset, layout)


WINDOW_BASE, WINDOW_SIZE = 5 * 1024, 40 * 1024
A_REGION, B_REGION = WINDOW_BASE, WINDOW_BASE + 20 * 1024

# operand layout: (layout type, pattern start offset in 128-byte rows, k offset, LBO, SBO)
WGMMA_CASES = [
    # n, A (None: registers), B, accumulate, in_place
    (64, None, (0, 0, 0, 128, 256), True, True),        # no swizzle, K halves adjacent
    (64, None, (0, 0, 0, 2048, 128), True, False),      # no swizzle, 8-row groups adjacent
    (64, None, (1, 0, 64, 16, 1024), True, False),      # 128B, third K slice of the atom rows
    (64, None, (2, 0, 32, 16, 512), False, False),      # 64B, second K slice
    (64, None, (3, 0, 0, 16, 512), True, False),        # 32B, a gap between atoms
    (32, (1, 0, 96, 16, 1024), (1, 0, 32, 16, 2048), True, True),
    (32, (2, 0, 0, 16, 512), (3, 0, 0, 16, 256), True, False),
    (32, (0, 0, 0, 1024, 128), (2, 0, 32, 16, 1024), False, False),
    (64, (3, 1, 0, 16, 256), (1, 5, 32, 16, 1024), True, False),   # patterns off their boundary
    (32, None, (2, 3, 32, 16, 512), True, False),
    (32, (1, 7, 96, 16, 2048), (2, 2, 0, 16, 512), True, True),
]


@pytest.mark.parametrize("n, a_layout, b_layout, accumulate, in_place", WGMMA_CASES)
def test_wgmma_matches_matrix_product(n, a_layout, b_layout, accumulate, in_place):
    rng = np.random.default_rng(zlib.crc32(repr((n, a_layout, b_layout)).encode()))
    window = Window(rng, WINDOW_BASE, WINDOW_SIZE)
    a, b_k_major = exact_bf16(rng, (64, 16)), exact_bf16(rng, (n, 16))
    c = coarse_f32(rng, (64, n))
    a_bits = bf16_bits(a)

    def place(region, bits, operand):
        layout, row_offset, k_offset, lbo, sbo = operand
        return lay_out_k_major(window, bits, layout, region + 128 * row_offset, k_offset, lbo, sbo)

    b_desc = place(B_REGION, bf16_bits(b_k_major), b_layout)
    if a_layout is None:
        a_regs = int64_registers(np.concatenate([a_registers(a_bits[16 * w:16 * w + 16]) for w in range(4)]))
        a_desc = 0
    else:
        a_regs = None
        a_desc = place(A_REGION, a_bits, a_layout)
    if not accumulate:
        c[:] = np.nan   # ignored
    c_frag = np.array([[c[wgmma_d_position(t, r)] for r in range(n // 2)] for t in range(128)], dtype=np.float32)
    got = tc.wgmma(n, a_regs, a_desc, b_desc, accumulate, torch.from_numpy(c_frag), window.tensor(), WINDOW_BASE,
                   in_place).numpy()
    want = a @ b_k_major.T + (c if accumulate else 0)
    want_frag = np.array([[want[wgmma_d_position(t, r)] for r in range(n // 2)] for t in range(128)])
    assert_same_floats(got, want_frag.astype(np.float32))


@pytest.mark.parametrize("n, b_desc, expected", [
    (48, descriptor(B_REGION, 128, 256, 0, 0), "N = 48"),
    (32, descriptor(B_REGION, 128, 256, 2, 0), "no-swizzle"),                    # base offset without swizzle
    (32, descriptor(B_REGION + 128, 16, 1024, 0, 1), "first row"),              # starts in atom row 1
    (32, descriptor(B_REGION + 112, 16, 1024, 0, 1), "first row"),              # K slice leaves the row
    (32, descriptor(B_REGION + 16, 16, 256, 0, 3), "first row"),                # 32B: slice is the whole row
    (32, descriptor(B_REGION + 384, 16, 1024, 2, 1), "first row"),              # base offset names another row
    (32, descriptor(B_REGION, 16, 1024 + 128, 0, 1), "swizzle patterns"),       # atoms off the pattern
    (64, descriptor(WINDOW_BASE + WINDOW_SIZE - 4096, 16, 1024, 0, 1), "window"),  # runs past the end
    (32, descriptor(WINDOW_BASE - 1024, 128, 256, 0, 0), "window"),              # starts before the window
])
def test_wgmma_rejects(n, b_desc, expected):
    rng = np.random.default_rng(5)
    window = Window(rng, WINDOW_BASE, WINDOW_SIZE)
    a_regs = int64_registers(rng.integers(0, 2 ** 32, (128, 4)))
    c = torch.zeros(128, n // 2)
    with pytest.raises(RuntimeError, match=f"^emulator: .*{expected}"):
        tc.wgmma(n, a_regs, 0, b_desc, True, c, window.tensor(), WINDOW_BASE, False)
