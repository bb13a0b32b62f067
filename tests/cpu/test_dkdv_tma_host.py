"""Host side of the dK/dV TMA path without a GPU: the four tensor maps as the driver receives
them, the builders' failure texts and the driver lookup."""
import importlib

import pytest

from harness import driver_present  # (and puts the build folder on sys.path)
from tma_pattern import tma_swizzled_byte

host = importlib.import_module("_kestrovane_dkdv_tma_host")

BF16, SWIZZLE_32B, SWIZZLE_64B, SWIZZLE_128B = 9, 1, 2, 3
INTERLEAVE_NONE = L2_PROMOTION_NONE = OOB_FILL_NONE = 0
N, H, BO = 40, 3, 5          # B*O = 5 (batch, outer) indices, 15 slices
SLICES = BO * H
ADDRESS = 0x7F00_0000_2000
UNAVAILABLE = "cuTensorMapEncodeTiled is unavailable in this driver"


def common(swizzle):
    return {"data_type": BF16, "address": ADDRESS, "interleave": INTERLEAVE_NONE, "swizzle": swizzle,
            "l2_promotion": L2_PROMOTION_NONE, "oob_fill": OOB_FILL_NONE}


def expected(which, D):
    """The table of the maps: dimensions innermost first, byte strides of the outer ones."""
    if which == "dO":   # physical [B,O,N,H,D]: one head's rows lie 2*D*H bytes apart
        return {"rank": 4, "dims": [D, H, N, BO], "strides": [2 * D, 2 * D * H, 2 * D * H * N],
                "box": [D, 1, 32, 1], "element_strides": [1, 1, 1, 1]}
    rows = 32 if which == "q" else 64   # a query tile, or a key block
    return {"rank": 3, "dims": [D, N, SLICES], "strides": [2 * D, 2 * D * N], "box": [D, rows, 1],
            "element_strides": [1, 1, 1]}


@pytest.mark.parametrize("D, swizzle", [(16, SWIZZLE_32B), (32, SWIZZLE_64B), (64, SWIZZLE_128B)])
@pytest.mark.parametrize("which", ["q", "dO", "k", "v"])
def test_map_arguments(which, D, swizzle):
    args = host.map_arguments(which, D, N, H, BO, ADDRESS)
    assert args == {**common(swizzle), **expected(which, D)}
    # one box row of D BF16 values is exactly one swizzle span
    assert 2 * D == 16 << swizzle


def test_strides_beyond_32_bits():
    # the largest sizes the entry lets through: strides and the slice count are computed in 64 bits
    args = host.map_arguments("k", 64, 4194240, 65535, 32768, ADDRESS)
    assert args["dims"] == [64, 4194240, 32768 * 65535] and args["strides"] == [128, 128 * 4194240]
    args = host.map_arguments("dO", 64, 4194240, 65535, 32768, ADDRESS)
    assert args["dims"] == [64, 65535, 4194240, 32768]
    assert args["strides"] == [128, 128 * 65535, 128 * 65535 * 4194240]


@pytest.mark.parametrize("which, message", [("q", "dkdv q map encode failed: "), ("dO", "dkdv dO map encode failed: "),
                                            ("k", "dkdv kv map encode failed: "),
                                            ("v", "dkdv kv map encode failed: ")])
@pytest.mark.parametrize("code", [1, 201, 999])
def test_encode_failure_names_the_map_and_the_result(which, message, code):
    with pytest.raises(RuntimeError) as info:
        host.map_with_result(which, code)
    assert str(info.value).splitlines()[0] == message + str(code)


@pytest.mark.parametrize("which", ["q", "dO", "k", "v"])
def test_missing_encoder(which):
    with pytest.raises(RuntimeError) as info:
        host.map_with_result(which, -1)
    assert str(info.value).splitlines()[0] == UNAVAILABLE


@pytest.mark.parametrize("span", [32, 64, 128])
def test_chunks_of_a_swizzled_row_are_its_chunk_0_xor_16c(span):
    # The kernels address the dV and dK operands as (tile + row byte) XOR 16*c8; with tiles on
    # a swizzle repeat that is where the copy engine put chunk c8 of the row.
    for row in range(32):
        for chunk in range(span // 16):
            assert host.swizzled_row_byte(span, row) ^ (16 * chunk) == tma_swizzled_byte(span, row, 16 * chunk)
            assert (1024 + host.swizzled_row_byte(span, row)) ^ (16 * chunk) == \
                1024 + tma_swizzled_byte(span, row, 16 * chunk)


@pytest.mark.skipif(driver_present(), reason="a CUDA driver is installed: the lookup succeeds")
def test_driverless_lookup_fails_on_two_calls_in_a_row():
    # a failed lookup is not remembered: the second call looks again and fails again
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            host.resolve_driver_encoder()
        assert str(info.value).splitlines()[0] == UNAVAILABLE


@pytest.mark.skipif(not driver_present(), reason="needs a CUDA driver")
def test_driver_lookup_resolves_and_encodes():
    assert host.resolve_driver_encoder() and host.resolve_driver_encoder()
