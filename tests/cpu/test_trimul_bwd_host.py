"""Host logic of the multiplicative update's backward pieces: the row chunks of the dGamma/dBeta
reduction, the tiles, chunks and groups of the transposed LayerNorm backward, the partials'
index arithmetic and every backward kernel's grid."""
import importlib

import pytest

import harness  # noqa: F401  (puts the build folder on the path and loads torch first)

host = importlib.import_module("_kestrovane_trimul_bwd_host")

INT_MAX = 2**31 - 1


@pytest.mark.parametrize("rows, sms, rows_per_chunk, chunks", [
    (1, 132, 64, 1),                  # one row still gets a whole 64-row chunk
    (1000000, 132, 512, 1954),        # ceil(1000000 / 2112) = 474, rounded up to 512
    (4190208, 132, 1984, 2112),       # 1984 * 2112 rows: exactly 1984 per chunk
    (4190209, 132, 2048, 2047),       # one more row rounds up to the cap
    (134215680, 132, 2048, 65535),    # 2048 * 65535: the last accepted size
    (134215681, 132, 2048, 65536),
    (64 * 16 + 1, 1, 128, 9),         # a single multiprocessor
    (10**12, 1, 2048, 488281250),
])
def test_dgb_row_chunks(rows, sms, rows_per_chunk, chunks):
    assert host.dgb_rows_per_chunk(rows, sms) == rows_per_chunk
    assert host.dgb_chunks(rows, rows_per_chunk) == chunks
    if chunks <= 65535:
        assert host.checked_dgb_plan(rows, sms) == (rows_per_chunk, chunks)
    else:
        with pytest.raises(RuntimeError, match="^ln_bwd_dgb: reduction chunks exceed the production grid-y limit"):
            host.checked_dgb_plan(rows, sms)
    # chunk k covers [k * rows_per_chunk, min((k + 1) * rows_per_chunk, rows)): the last one is not empty
    assert (chunks - 1) * rows_per_chunk < rows <= chunks * rows_per_chunk


@pytest.mark.parametrize("N, B, NN, tiles, chunks, per_group", [
    (64, 3, 4096, 128, 384, 6),
    (5, 1, 25, 1, 1, 1),        # one partial tile
    (4, 1, 16, 1, 1, 1),
    (10, 5, 100, 4, 20, 1),     # fewer chunks than groups
    (40, 2, 1600, 50, 100, 2),
    (46341, 1, 46341**2, -(-46341**2 // 32), -(-46341**2 // 32), -(-46341**2 // 2048)),  # NN past 2^31
])
def test_transpose_plan(N, B, NN, tiles, chunks, per_group):
    assert host.transpose_plan(N, B) == (NN, tiles, chunks, per_group)
    assert host.transpose_grid(N, B) == (tiles, 1, B)


@pytest.mark.parametrize("chunks", [1, 10, 63, 64, 65, 384, 4096 * 65535 // 32, INT_MAX - 1, INT_MAX])
def test_groups_cover_every_chunk_once_in_order(chunks):
    per_group = -(-chunks // 64)
    ranges = [host.group_chunks(g, chunks, per_group) for g in range(64)]
    covered = [(b, e) for b, e in ranges if e > b]
    # the non-empty runs are consecutive and tile [0, chunks); later groups are empty (they store zeros)
    assert covered[0][0] == 0 and covered[-1][1] == chunks
    assert all(covered[i][1] == covered[i + 1][0] for i in range(len(covered) - 1))
    assert all(e - b <= per_group for b, e in covered)
    assert all(e <= b for b, e in ranges[len(covered):])


def test_group_ranges_near_the_int32_limit():
    # 64 * 33554432 = 2^31: the last group's begin + per_group is one past INT_MAX
    assert host.group_chunks(63, INT_MAX, 33554432) == (63 * 33554432, INT_MAX)
    assert host.group_chunks(6, 384, 6) == (36, 42)
    assert host.group_chunks(11, 10, 1) == (11, 10)


@pytest.mark.parametrize("chunk, C, c", [(0, 32, 0), (3, 64, 17), (INT_MAX - 1, 128, 127), (65534, 128, 5),
                                         (2**30, 96, 95)])
def test_partials_are_interleaved_and_64_bit(chunk, C, c):
    assert host.dgamma_partial(chunk, C, c) == 2 * chunk * C + c
    assert host.dbeta_partial(chunk, C, c) == (2 * chunk + 1) * C + c


def test_grids():
    total_max = 256 * INT_MAX
    assert host.MAX_ELEMENT_TOTAL == total_max and host.MAX_LN_ROWS == 8 * INT_MAX
    for total, blocks in [(1, 1), (256, 1), (257, 2), (32 * 3, 1), (total_max, INT_MAX)]:
        assert host.sig_mul_grid(total) == (blocks, 1, 1)
        assert host.wgrad_fold_grid(total) == (blocks, 1, 1)
    for rows, blocks in [(1, 1), (8, 1), (9, 2), (8 * INT_MAX, INT_MAX)]:
        assert host.ln_dx_grid(rows) == (blocks, 1, 1)
    for C in (32, 64, 96, 128):
        assert host.dgb_partial_grid(C, 1954) == (1, 1954, 1)
        assert host.dgb_fold_grid(C) == (1, 1, 1)
        assert host.group_fold_grid(C) == (1, 64, 1)
    assert host.FOLD_GROUPS == 64


@pytest.mark.parametrize("H, rows, sms, grid", [
    (128, 1000, 132, (4, 8, 1)),        # fewer row tiles than the share
    (128, 10**7, 132, (4, 66, 1)),      # 2 * 132 blocks in all
    (32, 10**7, 132, (1, 264, 1)),
    (96, 10**7, 132, (3, 88, 1)),
    (128, 10**7, 1, (4, 1, 1)),         # (2 * 1) / 4 = 0, raised to one row of blocks
    (64, 1, 132, (2, 1, 1)),
    (32, 2**40, 32767, (1, 65534, 1)),
])
def test_gate_split_grid(H, rows, sms, grid):
    assert host.gate_split_grid(H, rows, sms) == grid


def test_gate_split_grid_y_limit():
    assert host.gate_split_grid(64, 2**40, 65535) == (2, 65535, 1)
    with pytest.raises(RuntimeError, match="^trimul_gate_split_bwd: grid.y overflow"):
        host.gate_split_grid(32, 2**40, 32768)  # 65536 row blocks


def test_shared_bytes():
    assert [host.gate_split_smem_bytes(C) for C in (32, 64, 96, 128)] == [56320, 72704, 89088, 105472]
    assert host.GATE_SPLIT_MAX_SMEM_BYTES == 105472
    assert [host.transpose_smem_bytes(H) for H in (32, 128)] == [2 * 32 * 33 * 4, 33792]  # two [H][33] float regions
