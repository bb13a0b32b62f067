"""kestrovane_pack_qkv validation through the real entry, in its check order."""
import pytest
import torch

from harness import (BF16, F32, OTHER_DEVICE, assert_fails_with, assert_passes_validation, fake, load)

LIMITS = "Kestrovane pack requires positive batch_outer/N, H<=65535, and an even D<=64"
OVERFLOW = "Kestrovane pack element count overflows int64"
SOURCES = ("Kestrovane pack sources must be contiguous BF16 tensors with the declared element count "
           "on one CUDA device")
GRID = "Kestrovane pack exceeds the CUDA grid-x contract"
INT64_MAX = 2**63 - 1
MAX_ROWS = 8 * (2**31 - 1)

BO, H, N, D = 2, 3, 5, 8
COUNT = BO * H * N * D


def src(count=COUNT, **kw):
    return fake([count], **kw)


def good():
    return src(), src(), src()


# Each case: (q, k, v) factory, (batch_outer, H, N, D), expected message.
CASES = {
    # integer limits come first, whatever the tensors are
    "D=66": (good, (BO, H, N, 66), LIMITS),
    "D=0": (good, (BO, H, N, 0), LIMITS),
    "D=63 with q on the CPU": (lambda: (torch.zeros(COUNT), src(), src()), (BO, H, N, 63), LIMITS),
    "H=65536": (good, (BO, 65536, N, D), LIMITS),
    "H=0": (good, (BO, 0, N, D), LIMITS),
    "batch_outer=0": (good, (0, H, N, D), LIMITS),
    "N=0": (good, (BO, H, 0, D), LIMITS),
    "N=2^31": (good, (BO, H, 2**31, D), LIMITS),
    # overflow guard at its boundary: the largest accepted batch_outer reaches the source check
    "largest batch_outer": (good, (INT64_MAX // 3 // 5 // 2, 3, 5, 2), SOURCES),
    "one above": (good, (INT64_MAX // 3 // 5 // 2 + 1, 3, 5, 2), OVERFLOW),
    # sources: device, dtype, contiguity, element count, in the order q, k, v
    "q on the CPU": (lambda: (torch.zeros(COUNT, dtype=BF16), src(), src()), (BO, H, N, D), SOURCES),
    "k on another device": (lambda: (src(), src(device=OTHER_DEVICE), src()), (BO, H, N, D), SOURCES),
    "v in FP32": (lambda: (src(), src(), src(dtype=F32)), (BO, H, N, D), SOURCES),
    "q not contiguous": (lambda: (fake([COUNT // 2, 2], strides=[1, COUNT // 2]), src(), src()),
                         (BO, H, N, D), SOURCES),
    "k one element short": (lambda: (src(), src(COUNT - 1), src()), (BO, H, N, D), SOURCES),
    "v one element long": (lambda: (src(), src(), src(COUNT + 1)), (BO, H, N, D), SOURCES),
    # word alignment, right after each source's own check
    "q misaligned": (lambda: (src(offset=2), src(), src()), (BO, H, N, D), "q must be 4-byte aligned"),
    "q wrong dtype before k misaligned": (lambda: (src(dtype=F32), src(offset=2), src()), (BO, H, N, D),
                                          SOURCES),
    "k misaligned before v wrong dtype": (lambda: (src(), src(offset=2), src(dtype=F32)), (BO, H, N, D),
                                          "k must be 4-byte aligned"),
    "v misaligned": (lambda: (src(), src(), src(offset=6)), (BO, H, N, D), "v must be 4-byte aligned"),
    # grid contract after the sources
    "rows one above 8*(2^31-1)": (lambda: good_rows(MAX_ROWS + 1), (MAX_ROWS + 1, 1, 1, 2), GRID),
    "grid checked after the sources": (lambda: (src(2 * (MAX_ROWS + 1), dtype=F32),) * 3,
                                       (MAX_ROWS + 1, 1, 1, 2), SOURCES),
}


def good_rows(rows, D=2):
    return src(rows * D), src(rows * D), src(rows * D)


@pytest.mark.parametrize("name", CASES)
def test_pack_rejects(name):
    make, sizes, message = CASES[name]
    assert_fails_with(load("forward").kestrovane_pack_qkv, (*make(), *sizes), message)


@pytest.mark.parametrize("tensors, sizes", [
    (good, (BO, H, N, D)),
    # any shape with the declared element count is read as [batch_outer, N, H, D]
    (lambda: (fake([BO * N, H * D]), fake([BO, N, H, D]), fake([COUNT, 1])), (BO, H, N, D)),
    (lambda: good_rows(MAX_ROWS), (MAX_ROWS, 1, 1, 2)),
    (lambda: good_rows(3, D=64), (1, 1, 3, 64)),
    (lambda: good_rows(3, D=2), (1, 1, 3, 2)),
], ids=["small", "any shape", "rows = 8*(2^31-1)", "D=64", "D=2"])
def test_pack_passes_validation(tensors, sizes):
    assert_passes_validation(load("forward").kestrovane_pack_qkv, *tensors(), *sizes)
