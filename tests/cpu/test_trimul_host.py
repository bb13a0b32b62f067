"""The multiplicative-update module's host logic: shared-memory sizes, persistent grids,
the device-reported limits and the map from pair rows to channel-major elements."""
import importlib

import pytest

import harness  # noqa: F401  (puts the build folder on the path and loads torch first)

host = importlib.import_module("_kestrovane_trimul_host")

CHANNELS = [32, 64, 96, 128]
BF16_BYTES, F32_BYTES = 2, 4
# Hopper: 227 KiB of shared memory per multiprocessor, 1 KiB of it reserved per resident block.
SM_SHARED, BLOCK_RESERVED = 233472, 1024


def in_fwd_regions(C):
    pitch = C + 8
    return {"weight panel": 160 * pitch * BF16_BYTES, "normalised tile": 128 * pitch * BF16_BYTES,
            "a stage": 32 * 136 * BF16_BYTES, "b stage": 32 * 136 * BF16_BYTES, "g stage": 128 * 40 * BF16_BYTES}


def out_fwd_regions(C, H):
    return {"x buffers": 2 * H * 136 * BF16_BYTES, "weight panel": C * (H + 8) * BF16_BYTES,
            "gamma, beta": 2 * H * F32_BYTES}


@pytest.mark.parametrize("C, in_bytes, out_bytes", [(32, 50688, 20224), (64, 69120, 44544), (96, 87552, 72960),
                                                    (128, 105984, 105472)])
def test_shared_memory_per_channel_count(C, in_bytes, out_bytes):
    assert host.in_fwd_smem_bytes(C) == sum(in_fwd_regions(C).values()) == in_bytes
    assert host.out_fwd_smem_bytes(C, C) == sum(out_fwd_regions(C, C).values()) == out_bytes


def test_opt_in_maximum_covers_every_channel_count_and_two_blocks_fit():
    assert host.IN_FWD_SMEM_MAX == max(host.in_fwd_smem_bytes(C) for C in CHANNELS) == 105984
    assert host.OUT_FWD_SMEM_MAX == max(host.out_fwd_smem_bytes(C, C) for C in CHANNELS) == 105472
    for maximum in (host.IN_FWD_SMEM_MAX, host.OUT_FWD_SMEM_MAX):
        assert 2 * (maximum + BLOCK_RESERVED) <= SM_SHARED


def ceil_div(a, b):
    return -(-a // b)


# (rows, H, multiprocessors) -> (x, y): x = H/32 columns, y = min(tiles, (2*SMs) // (H/32)), at least 1
IN_GRIDS = [
    ((1, 32, 132), (1, 1)),
    ((128, 32, 132), (1, 1)),
    ((129, 32, 132), (1, 2)),
    ((10**6, 32, 132), (1, 264)),
    ((10**6, 96, 132), (3, 88)),
    ((10**6, 128, 132), (4, 66)),
    ((300 * 128, 128, 132), (4, 66)),
    ((60 * 128 + 1, 128, 132), (4, 61)),
    ((10**6, 128, 1), (4, 1)),   # (2 * 1) // 4 = 0
    ((10**6, 96, 1), (3, 1)),    # (2 * 1) // 3 = 0
    ((10**6, 64, 1), (2, 1)),    # (2 * 1) // 2 = 1
    ((10**6, 128, 2), (4, 1)),   # (2 * 2) // 4 = 1
    ((10**9, 96, 98303), (3, 65535)),
]


@pytest.mark.parametrize("args, grid", IN_GRIDS, ids=[str(a) for a, _ in IN_GRIDS])
def test_input_stage_grid(args, grid):
    rows, H, sms = args
    assert host.in_fwd_grid(rows, H, sms) == grid
    x, y = grid
    # persistent: never more than about two blocks per multiprocessor, never more row blocks than tiles
    assert x * y <= max(2 * sms, x) and y <= ceil_div(rows, 128)


@pytest.mark.parametrize("rows, H, sms", [(10**9, 96, 98305), (10**9, 32, 32768), (10**12, 32, 10**6)])
def test_input_stage_grid_y_overflow(rows, H, sms):
    with pytest.raises(RuntimeError, match="^trimul_in: grid.y overflow"):
        host.in_fwd_grid(rows, H, sms)


@pytest.mark.parametrize("rows, sms, x", [(1, 132, 1), (128, 132, 1), (129, 132, 2), (264 * 128, 132, 264),
                                          (264 * 128 + 1, 132, 264), (10**9, 1, 2)])
def test_output_stage_grid(rows, sms, x):
    assert host.out_fwd_grid_x(rows, sms) == x


def test_device_reported_limits():
    host.require_dynamic_shared_memory(105984, 105984, "trimul_in_fwd")
    host.require_dynamic_shared_memory(105472, 232448, "trimul_out_fwd")
    with pytest.raises(RuntimeError, match=r"^trimul_in_fwd: requires 105984 bytes of dynamic shared memory, "
                                           r"but device limit is 105983"):
        host.require_dynamic_shared_memory(105984, 105983, "trimul_in_fwd")
    with pytest.raises(RuntimeError, match=r"^trimul_out_fwd: requires 105472 bytes of dynamic shared memory, "
                                           r"but device limit is 49152"):
        host.require_dynamic_shared_memory(105472, 49152, "trimul_out_fwd")
    assert host.require_multiprocessors(1, "trimul_out_fwd") == 1
    for sms in (0, -1):
        with pytest.raises(RuntimeError, match="^trimul_in_fwd: device reports no streaming multiprocessors"):
            host.require_multiprocessors(sms, "trimul_in_fwd")


def expected_elements(row0, first, rows, NN, h, H):
    """Element index (b*H + h)*NN + p of each real row of the segment, by division."""
    return [((r // NN) * H + h) * NN + r % NN for r in range(row0 + first, min(row0 + first + 8, rows))]


# (NN, rows): NN not a multiple of 8 (and smaller than a segment), tiles that cross one or
# several batch elements, and the last tile's tail.
SEGMENT_SHAPES = [(1, 300), (3, 390), (7, 7 * 40), (8, 8 * 50), (12, 12 * 30), (13, 13 * 3), (64, 64 * 5),
                  (129, 129 * 3), (1000, 1000), (1000, 3000)]


@pytest.mark.parametrize("NN, rows", SEGMENT_SHAPES)
def test_channel_major_segments(NN, rows):
    H = 64
    for row0 in range(0, rows, 128):
        for first in range(0, 128, 8):
            for h in (0, 1, 37, H - 1):
                whole, got = host.segment_elements(row0, first, rows, NN, h, H)
                expected = expected_elements(row0, first, rows, NN, h, H)
                assert got == expected, (row0, first, h)
                # one 16-byte piece only when it covers eight consecutive, 16-byte aligned elements
                consecutive = len(expected) == 8 and expected == list(range(expected[0], expected[0] + 8))
                assert whole == (consecutive and expected[0] % 8 == 0), (row0, first, h)
                if NN % 8 == 0 and len(expected) == 8:
                    assert whole


def test_segment_at_large_extents():
    # the batch and position of rows far beyond 32 bits
    NN, H = 2**33 + 3, 32
    rows = 5 * NN
    for row0 in (0, NN - 64, 3 * NN + 5 * 128, rows - 100):
        row0 -= row0 % 128
        for first in (0, 56, 120):
            _, got = host.segment_elements(row0, first, rows, NN, 31, H)
            assert got == expected_elements(row0, first, rows, NN, 31, H)
