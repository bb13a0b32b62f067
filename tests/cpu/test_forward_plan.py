"""The forward module's pure host logic: head-dimension check and dispatch, launch plan,
shared-memory sizes, softmax scale, and the shared-memory opt-in's error handling."""
import struct

import numpy as np
import pytest

from harness import load

host = load("_kestrovane_forward_host")

INT32_MAX = 2**31 - 1

# (tier, family) by head dimension, with the TMA family when it applies.
DISPATCH = {8: (16, "mma"), 16: (16, "tma"), 24: (32, "mma"), 32: (32, "tma"), 40: (64, "mma"),
            48: (64, "mma"), 56: (64, "mma"), 64: (64, "tma"),
            **{d: (128, "mma") for d in range(72, 129, 8)}}


@pytest.mark.parametrize("slices", [1, INT32_MAX, INT32_MAX + 1])
def test_head_dim_check_and_dispatch(slices):
    for D in range(8, 137):
        assert host.head_dim_supported(D) == (D in DISPATCH), D
        if D not in DISPATCH:
            continue
        tier, family = DISPATCH[D]
        assert host.head_dim_tier(D) == tier, D
        wants_tma = family == "tma" and slices <= INT32_MAX
        assert host.tma_applies(D, slices) == wants_tma, (D, slices)
        assert host.forward_dispatch(D, slices) == (tier, wants_tma), (D, slices)


@pytest.mark.parametrize("N, O, H, B, grid, on_x, full, square", [
    (64, 65535, 4, 1, (1, 4, 65535), True, True, False),
    (64, 65536, 4, 1, (65536, 4, 1), False, True, False),
    (65, 21845, 2, 3, (2, 2, 65535), True, False, False),      # B*O = 65535 from both factors
    (65, 32768, 2, 2, (65536, 2, 2), False, False, False),
    (1, 1, 1, 1, (1, 1, 1), True, False, True),                 # N = 1: one query tile
    (63, 7, 3, 2, (1, 3, 14), True, False, False),
    (100, 100, 65535, 1, (2, 65535, 100), True, False, True),
    (128, 128, 1, 600, (76800, 1, 2), False, True, True),
    (4194240, 1, 1, 1, (65535, 1, 1), True, True, False),       # the longest sequence
    (4194240, 1, 1, 2**31 - 1, (2**31 - 1, 1, 65535), False, True, False),
])
def test_launch_plan(N, O, H, B, grid, on_x, full, square):
    plan = host.forward_plan(N, O, H, B)
    assert plan == {"grid": grid, "query_tiles_on_x": on_x, "full_tiles": full, "square_pair": square}
    # the dispatch over the flags reaches the matching instantiation
    assert host.plan_instantiation(N, O, H, B) == (on_x, full, square)


@pytest.mark.parametrize("tier, expected", [(16, 15360), (32, 25600), (64, 46080), (128, 87040)])
def test_shared_memory_bytes_per_tier(tier, expected):
    assert host.mma_smem_bytes(tier) == expected


def f32_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def test_softmax_scale_bits():
    assert f32_bits(host.softmax_scale(40)) == 0x3E21E89B
    for D in range(8, 129, 8):
        expected = np.float32(1.0) / np.sqrt(np.float32(D))
        assert f32_bits(host.softmax_scale(D)) == f32_bits(float(expected)), D


CUDA_ERROR_INVALID_DEVICE_FUNCTION = 98
CUDA_ERROR_INVALID_VALUE = 1


@pytest.mark.parametrize("failure", [CUDA_ERROR_INVALID_DEVICE_FUNCTION, CUDA_ERROR_INVALID_VALUE])
def test_failed_opt_in_leaves_no_stale_error(failure):
    # The bare runtime call leaves its error behind for the next cudaGetLastError ...
    assert host.opt_in_with_failing_runtime(failure, False) == (failure, failure)
    # ... the helper reports the failure and clears it, so a later launch check is not misled.
    assert host.opt_in_with_failing_runtime(failure, True) == (failure, 0)
    assert host.opt_in_with_failing_runtime(0, True) == (0, 0)
