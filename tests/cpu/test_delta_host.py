"""The delta module's host logic: the map from delta rows ([B,O,H,N] order) to memory rows
of the physical [B,O,N,H,D] layout, and the grid."""
import importlib

import numpy as np
import pytest

import harness  # noqa: F401  (puts the build folder on the path and loads torch first)

host = importlib.import_module("_kestrovane_delta_host")

INT_MAX = 2**31 - 1


@pytest.mark.parametrize("sizes", [(1, 1, 1, 1), (2, 3, 5, 4), (1, 1, 7, 1), (1, 1, 1, 6), (3, 2, 4, 7),
                                   (1, 4, 64, 4)])
def test_memory_rows_are_the_n_h_transpose(sizes):
    # Label every memory row of d_output [d0, d1, I, J] with its index, then read the labels in
    # delta's order [d0, d1, J, I]: the k-th label is the memory row that delta row k reads.
    d0, d1, I, J = sizes
    labels = np.arange(d0 * d1 * I * J).reshape(d0, d1, I, J).transpose(0, 1, 3, 2).reshape(-1)
    got = [host.memory_row(row, I, J) for row in range(labels.size)]
    assert got == labels.tolist()


@pytest.mark.parametrize("d0, d1, I, J", [
    (8, 1, INT_MAX, 1),
    (8, 1, 1, INT_MAX),
    (1, 1, 46341, 46341),   # I * J just above 2^31
    (3, 5, 65535, 7),
    (2**33, 1, 1, 1),
    (1, 4, INT_MAX, 2),
])
def test_memory_rows_at_large_extents(d0, d1, I, J):
    # numpy's mixed-radix index functions, in 64 bits, at the ends and inside the range
    rows = d0 * d1 * I * J
    rng = np.random.default_rng(I + J)
    samples = [0, 1, I - 1, I, I * J - 1, I * J, rows - 1] + rng.integers(0, rows, 50).tolist()
    for row in samples:
        if not 0 <= row < rows:
            continue
        o, b, j, i = np.unravel_index(row, (d0, d1, J, I))
        expected = int(np.ravel_multi_index((o, b, i, j), (d0, d1, I, J)))
        assert host.memory_row(row, I, J) == expected, row


def test_grid_and_limits():
    assert host.THREADS_PER_BLOCK == 256 and host.ROWS_PER_BLOCK == 8
    assert host.MAX_INT_EXTENT == INT_MAX and host.MAX_ROWS == 8 * INT_MAX
    for rows, blocks in [(1, 1), (7, 1), (8, 1), (9, 2), (90, 12), (8 * INT_MAX - 7, INT_MAX),
                         (8 * INT_MAX, INT_MAX)]:
        assert host.grid_blocks(rows) == blocks
