"""Host side of the TMA forward path without a GPU: tensor maps, driver lookup, failure
texts, the swizzled layout and wgmma descriptor, the shared-memory layout and scale."""
import ctypes
import importlib

import pytest

from harness import driver_present  # (and puts the build folder on sys.path)
from tma_pattern import tma_swizzled_byte

host = importlib.import_module("_kestrovane_forward_tma_host")

BF16, SWIZZLE_32B, SWIZZLE_64B, SWIZZLE_128B = 9, 1, 2, 3
INTERLEAVE_NONE = L2_PROMOTION_NONE = OOB_FILL_NONE = 0
# LaunchFailure values
SMEM_OPT_IN, TENSOR_MAP_ENCODE, ENCODER_UNAVAILABLE = 1, 2, 3


def cuda_runtime():
    for name in ("libcudart.so.13", "libcudart.so.12"):
        try:
            runtime = ctypes.CDLL(name)
        except OSError:
            continue
        runtime.cudaGetErrorString.restype = ctypes.c_char_p
        return runtime
    pytest.fail("no CUDA runtime library found")


@pytest.mark.parametrize("HD, swizzle", [(16, SWIZZLE_32B), (32, SWIZZLE_64B), (64, SWIZZLE_128B)])
@pytest.mark.parametrize("N, slices", [(64, 1), (100, 6), (4194240, 2**31 - 1)])
def test_kv_tensor_map_arguments(HD, swizzle, N, slices):
    address = 0x7F00_0000_1000
    args = host.kv_tensor_map_arguments(HD, N, slices, address)
    assert args == {
        "data_type": BF16, "rank": 3, "address": address,
        "dims": [HD, N, slices],                   # innermost first, 64-bit
        "strides": [2 * HD, 2 * HD * N],           # bytes, dimensions 1 and 2
        "box": [HD, 64, 1],                        # 64 key rows of one slice
        "element_strides": [1, 1, 1],
        "interleave": INTERLEAVE_NONE, "swizzle": swizzle,
        "l2_promotion": L2_PROMOTION_NONE, "oob_fill": OOB_FILL_NONE,
    }
    # one box row is exactly one swizzle span
    assert 2 * HD == 16 << swizzle


@pytest.mark.parametrize("code", [1, 201, 999])
def test_encoder_failure_reports_its_result_code(code):
    with pytest.raises(RuntimeError, match=f"cuTensorMapEncodeTiled failed: {code}$"):
        host.kv_tensor_map_with_result(64, code)


@pytest.mark.skipif(driver_present(), reason="a CUDA driver is installed: the lookup succeeds")
def test_driverless_lookup_fails_on_every_call():
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            host.resolve_driver_encoder()
        assert str(info.value).splitlines()[0] == "cuTensorMapEncodeTiled is unavailable in this driver"


@pytest.mark.skipif(not driver_present(), reason="needs a CUDA driver")
def test_driver_lookup_resolves_and_encodes():
    assert host.resolve_driver_encoder() and host.resolve_driver_encoder()


def test_failed_lookup_is_retried_and_a_found_encoder_is_kept():
    # Two failing lookups, then one that succeeds; later calls do not look again.
    assert host.scripted_resolutions(2, 5) == [(False, 1), (False, 2), (True, 3), (True, 3), (True, 3)]


def test_failure_messages():
    for tma in (True, False):
        assert host.launch_failure_message(ENCODER_UNAVAILABLE, 0, tma) == \
            "cuTensorMapEncodeTiled is unavailable in this driver"
        assert host.launch_failure_message(TENSOR_MAP_ENCODE, 700, tma) == "cuTensorMapEncodeTiled failed: 700"
    invalid_value = 1  # cudaErrorInvalidValue
    text = cuda_runtime().cudaGetErrorString(invalid_value).decode()
    assert host.launch_failure_message(SMEM_OPT_IN, invalid_value, True) == \
        "failed to opt in Kestrovane TMA forward shared memory: " + text
    assert host.launch_failure_message(SMEM_OPT_IN, invalid_value, False) == \
        "failed to opt in Kestrovane forward shared memory: " + text


# ---------------------------------------------------------------- swizzle and descriptor

@pytest.mark.parametrize("span", [32, 64, 128])
def test_swizzle_matches_the_copy_engine_pattern(span):
    elements = span // 2
    for row in range(64):          # several repeats of the pattern
        for col in range(elements):
            assert 2 * host.swizzled_element(span, row, col) == tma_swizzled_byte(span, row, 2 * col), (row, col)
        for chunk in range(span // 16):
            assert host.swizzled_chunk_byte(span, row, chunk) == tma_swizzled_byte(span, row, 16 * chunk)


@pytest.mark.parametrize("span", [32, 64, 128])
def test_ldmatrix_rows_of_a_swizzled_tile_hit_distinct_bank_groups(span):
    # Eight consecutive key rows of one chunk (one 8x8 ldmatrix block) at eight distinct
    # 16-byte positions modulo 128 bytes: no bank conflicts.
    for first in range(0, 64, 8):
        for chunk in range(span // 16):
            positions = {host.swizzled_chunk_byte(span, first + r, chunk) % 128 // 16 for r in range(8)}
            assert len(positions) == 8


def decode_descriptor(desc):
    return {"start": (desc & 0x3FFF) << 4, "leading": ((desc >> 16) & 0x3FFF) << 4,
            "stride": ((desc >> 32) & 0x3FFF) << 4, "base_offset": (desc >> 49) & 7, "layout": desc >> 62}


@pytest.mark.parametrize("span, constant, layout", [
    (32, 0xC000001000400000, 3), (64, 0x8000002000400000, 2), (128, 0x4000004000400000, 1)])
def test_wgmma_descriptor_fields(span, constant, layout):
    stage = {32: 3072, 64: 5120, 128: 9216}[span]   # K stage 0 of the matching tier
    for address in (stage, stage + 32, stage + 96, 0x3FFF0):
        desc = host.wgmma_descriptor(span, address)
        assert desc == constant | (address >> 4)
        assert decode_descriptor(desc) == {"start": address, "leading": 1024, "stride": 8 * span,
                                           "base_offset": 0, "layout": layout}


# ---------------------------------------------------------------- shared-memory layout

@pytest.mark.parametrize("HD, R, T, total, repeat", [
    (16, 3072, 2048, 11264, 256), (32, 5120, 4096, 21504, 512), (64, 9216, 8192, 41984, 1024)])
def test_tma_shared_memory_layout(HD, R, T, total, repeat):
    layout = host.tma_layout(HD)
    assert layout == {"q_staging": 0, "k_stage0": R, "k_stage1": R + T, "v_stage0": R + 2 * T,
                      "v_stage1": R + 3 * T, "tile_bytes": T, "total": total}
    for stage in ("k_stage0", "k_stage1", "v_stage0", "v_stage1"):
        assert layout[stage] % repeat == 0
