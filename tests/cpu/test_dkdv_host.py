"""The dK/dV module's pure host logic: flags, grid, shared memory, key blocks, the fold's grid."""
import importlib

import numpy as np
import pytest

import harness  # noqa: F401  (puts the build folder on sys.path)

INT32_MAX = 2**31 - 1


@pytest.fixture(scope="module")
def host():
    return importlib.import_module("_kestrovane_dkdv_host")


# D -> (HeadDimTier, UseTma) for a slice count that fits int32: the smallest tier that
# holds D, TMA only where D is exactly a tier of at most 64.
TIERS = {8: (16, False), 16: (16, True), 24: (32, False), 32: (32, True), 40: (64, False), 48: (64, False),
         56: (64, False), 64: (64, True), 72: (128, False), 96: (128, False), 120: (128, False),
         128: (128, False)}


@pytest.mark.parametrize("D", sorted(TIERS))
def test_tier_and_tma_choice(host, D):
    tier, use_tma = TIERS[D]
    assert host.flags(2, 3, 4, 64, D)[:2] == (tier, use_tma)


@pytest.mark.parametrize("D", [16, 32, 64])
@pytest.mark.parametrize("B, O, H, use_tma", [
    (1, INT32_MAX, 1, True),             # slices = 2^31-1
    (1, 2**30, 2, False),                # slices = 2^31
    (7, 3, 65535, True),                 # 1376235 slices
    (3, 2**30 // 3 + 1, 65535, False),   # B*O fits, B*O*H does not
])
def test_tma_needs_the_slice_count_in_int32(host, D, B, O, H, use_tma):
    assert host.flags(B, O, H, 64, D)[1] is use_tma


@pytest.mark.parametrize("N, seq_tail", [(1, 0), (40, 0), (63, 0), (64, -1), (65, 0), (128, -1), (129, 0),
                                         (4194240, -1)])
def test_sequence_tail(host, N, seq_tail):
    assert host.flags(1, 3, 1, N, 32)[2] == seq_tail


@pytest.mark.parametrize("O, N, square", [(5, 5, True), (64, 64, True), (4, 5, False), (65, 64, False)])
def test_square_pair(host, O, N, square):
    assert host.flags(2, O, 1, N, 8)[3] is square


@pytest.mark.parametrize("B, O, H, N, grid", [
    (1, 65535, 3, 130, (3, 3, 65535, True)),        # B*O on z while it fits
    (1, 65536, 3, 130, (65536, 3, 3, False)),       # then the two swap
    (3, 21845, 1, 64, (1, 1, 65535, True)),
    (2, 32768, 1, 64, (65536, 1, 1, False)),
    (1, 1, 65535, 1, (1, 65535, 1, True)),
    (1, INT32_MAX, 2, 4194240, (INT32_MAX, 2, 65535, False)),
])
def test_grid_orientation(host, B, O, H, N, grid):
    assert host.grid(B, O, H, N) == grid


# Dynamic shared memory per launch: (tier, UseTma, DeltaTrue) -> bytes.
SHARED_BYTES = {
    (16, False, False): 12288, (32, False, False): 20480, (64, False, False): 36864, (128, False, False): 69632,
    (16, True, False): 8192, (32, True, False): 16384, (64, True, False): 32768,
    (16, False, True): 21504, (32, False, True): 29696, (64, False, True): 46080, (128, False, True): 78848,
    (16, True, True): 17408, (32, True, True): 25600, (64, True, True): 41984,
}


@pytest.mark.parametrize("tier, use_tma, delta_true", sorted(SHARED_BYTES))
def test_shared_bytes(host, tier, use_tma, delta_true):
    assert host.shared_bytes(tier, use_tma, delta_true) == SHARED_BYTES[tier, use_tma, delta_true]


# The TMA path's tiles (Dp = tier): K block, V block, buffer 0 q / d_output, buffer 1 q / d_output,
# the delta_true scratch after them, and the transaction bytes of the K+V and q+d_output copies.
@pytest.mark.parametrize("tier, offsets", [
    (16, (0, 2048, (4096, 6144), (5120, 7168), 8192, 4096, 2048)),
    (32, (0, 4096, (8192, 12288), (10240, 14336), 16384, 8192, 4096)),
    (64, (0, 8192, (16384, 24576), (20480, 28672), 32768, 16384, 8192)),
])
def test_tma_layout(host, tier, offsets):
    k, v, q_tiles, do_tiles, partials, kv_bytes, tile_bytes = offsets
    assert host.tma_layout(tier) == {"k_block": k, "v_block": v, "q_tile": list(q_tiles), "do_tile": list(do_tiles),
                                     "partials": partials, "kv_bytes": kv_bytes, "tile_bytes": tile_bytes}
    assert partials == host.shared_bytes(tier, True, False)
    # every tile on a multiple of 1024 bytes (the largest swizzle repeat) or of its own repeat
    repeat = {16: 256, 32: 512, 64: 1024}[tier]
    assert all(offset % repeat == 0 for offset in (v, *q_tiles, *do_tiles))


@pytest.mark.parametrize("N, blocks", [(1, 1), (40, 1), (64, 1), (65, 2), (128, 2), (129, 3), (4194240, 65535)])
def test_key_blocks(host, N, blocks):
    assert host.key_blocks(N) == blocks


@pytest.mark.parametrize("numel, rows, blocks, covered", [
    (10, 5, 2, True), (11, 5, 2, True), (9, 5, 2, False),
    (0, 0, 1, True),                          # no rows need no partials
    (2**62, 2**40, 2**34, False),             # 2^74 would wrap to 0 in int64
    (2**63 - 1, 2**31, 2**31, True),
    (2**63 - 1, 2**32, 2**31 + 1, False),
])
def test_partials_cover_without_overflow(host, numel, rows, blocks, covered):
    assert host.covers(numel, rows, blocks) is covered


@pytest.mark.parametrize("rows, grid, fits", [
    (1, 1, True), (256, 1, True), (257, 2, True),
    (256 * INT32_MAX, INT32_MAX, True),
    (256 * INT32_MAX + 1, INT32_MAX + 1, False),
    (0, 0, False),
])
def test_fold_grid(host, rows, grid, fits):
    assert host.fold_grid(rows) == grid
    assert host.fits_grid_x(grid) is fits


@pytest.mark.parametrize("D", [8, 16, 24, 40, 64, 72, 100, 128])
def test_scale_is_the_correctly_rounded_reciprocal_square_root(host, D):
    expected = np.float32(1.0) / np.sqrt(np.float32(D))
    assert host.scale_bits(D) == int(np.array(expected, dtype=np.float32).view(np.uint32))


def test_scale_of_40(host):
    assert host.scale_bits(40) == 0x3E21E89B


@pytest.mark.parametrize("D, supported", [(8, True), (64, True), (128, True), (12, False), (129, False),
                                          (136, False)])
def test_head_dim_check(host, D, supported):
    assert host.head_dim_supported(D) is supported
