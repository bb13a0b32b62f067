"""The model's copy engine: cuTensorMapEncodeTiled's argument rules as the driver API lists
them, and the tile-mode cp.async.bulk.tensor copy (dense box, zero fill, swizzle) checked
against a model written here from the PTX ISA's description of tensors."""
import importlib
import itertools
import math

import numpy as np
import pytest
import torch

import harness  # noqa: F401  (puts the build folder on sys.path)

emu = importlib.import_module("_kestrovane_emu_tensor_map")

SUCCESS, INVALID_VALUE = 0, 1
UINT8, UINT16, BF16 = 0, 1, 9
U4_ALIGN8B, U4_ALIGN16B, U6_ALIGN16B = 13, 14, 15
# Bytes per element of the data types 0..12 (UINT8 .. TFLOAT32_FTZ).
ELEMENT_BYTES = [1, 2, 4, 4, 8, 8, 2, 4, 8, 2, 4, 4, 4]
SW_NONE, SW_32B, SW_64B, SW_128B, SW_128B_ATOM_32B = 0, 1, 2, 3, 4
IL_NONE, IL_16B, IL_32B = 0, 1, 2
OOB_ZERO, OOB_NAN = 0, 1
FILL = 0xA5  # what the map's bytes hold before an encode

GLOBAL = torch.zeros(1 << 16, dtype=torch.uint8)  # host memory the encodes point into

BASE = dict(type=BF16, rank=3, offset=0, dims=[64, 40, 3], strides=[128, 5120], box=[64, 32, 1],
            es=[1, 1, 1], interleave=IL_NONE, swizzle=SW_128B, l2=0, oob=OOB_ZERO, map_offset=0)
PACKED_U4 = dict(BASE, type=U4_ALIGN16B, dims=[128, 40, 3], strides=[64, 2560], box=[128, 32, 1])
PACKED_U6 = dict(PACKED_U4, type=U6_ALIGN16B, strides=[96, 3840])
PACKED_U4_8B = dict(BASE, type=U4_ALIGN8B, dims=[64, 40, 3], strides=[32, 1280], box=[32, 32, 1], swizzle=SW_32B)


def encode(args, tensor=GLOBAL):
    a = args
    return emu.encode(tensor, a["offset"], a["type"], a["rank"], a["dims"], a["strides"], a["box"], a["es"],
                      a["interleave"], a["swizzle"], a["l2"], a["oob"], FILL, a["map_offset"])


# One row per requirement of cuTensorMapEncodeTiled, each breaking only that one.
REFUSED = {
    "null map": dict(BASE, map_offset=-1),
    "map 32-byte aligned": dict(BASE, map_offset=32),
    "data type past the enumeration": dict(BASE, type=16),
    "rank 0": dict(BASE, rank=0),
    "rank 6": dict(BASE, rank=6, dims=[64, 40, 3, 1, 1, 1], strides=[128, 5120, 15360, 15360, 15360],
                   box=[64, 32, 1, 1, 1, 1], es=[1] * 6),
    "interleave at rank 2": dict(BASE, rank=2, dims=[64, 40], strides=[128], box=[64, 32], es=[1, 1],
                                 interleave=IL_16B),
    "address 8-byte aligned": dict(BASE, offset=8),
    "address 16-byte aligned, 32-byte interleave": dict(BASE, offset=16, interleave=IL_32B, swizzle=SW_32B),
    "32-byte interleave without the 32-byte swizzle": dict(BASE, interleave=IL_32B, swizzle=SW_128B),
    "stride not a multiple of 32, 32-byte interleave": dict(BASE, interleave=IL_32B, swizzle=SW_32B,
                                                            strides=[144, 5760]),
    "zero dimension": dict(BASE, dims=[64, 0, 3]),
    "dimension past 2^32": dict(BASE, dims=[64, 40, 2**32 + 1]),
    "stride not a multiple of 16": dict(BASE, strides=[136, 5440]),
    "stride 2^40": dict(BASE, strides=[128, 2**40]),
    "stride short of dimension 0's bytes": dict(BASE, strides=[112, 4480]),
    "stride short of the previous stride times the dimension": dict(BASE, strides=[128, 128 * 39]),
    "zero box": dict(BASE, box=[64, 0, 1]),
    "box past 256": dict(BASE, box=[64, 257, 1]),
    "inner box not a whole number of 16 bytes": dict(BASE, box=[4, 32, 1], swizzle=SW_NONE),
    "inner box past the 128-byte span": dict(BASE, box=[72, 32, 1], swizzle=SW_128B),
    "inner box past the 64-byte span": dict(BASE, box=[64, 32, 1], swizzle=SW_64B),
    "inner box past the 32-byte span": dict(BASE, box=[32, 32, 1], swizzle=SW_32B),
    "zero element stride": dict(BASE, es=[0, 1, 1]),
    "element stride 9": dict(BASE, es=[1, 1, 9]),
    "interleave past the enumeration": dict(BASE, interleave=3),
    "swizzle past the enumeration": dict(BASE, swizzle=7),
    "L2 promotion past the enumeration": dict(BASE, l2=4),
    "OOB fill past the enumeration": dict(BASE, oob=2),
    "OOB-NaN fill of an integer type": dict(BASE, type=UINT16, oob=OOB_NAN),
    "16U4_ALIGN16B dimension 0 not a multiple of 128": dict(PACKED_U4, dims=[64, 40, 3]),
    "16U4_ALIGN16B box not 128 wide": dict(PACKED_U4, box=[64, 32, 1]),
    "16U4_ALIGN16B address 16-byte aligned": dict(PACKED_U4, offset=16),
    "16U4_ALIGN16B stride not a multiple of 32": dict(PACKED_U4, strides=[80, 3200]),
    "16U4_ALIGN16B with the 64-byte swizzle": dict(PACKED_U4, swizzle=SW_64B),
    "16U6_ALIGN16B with an interleave": dict(PACKED_U6, interleave=IL_16B),
    "16U4_ALIGN8B odd dimension 0": dict(PACKED_U4_8B, dims=[63, 40, 3]),
    "OOB-NaN fill of a packed type": dict(PACKED_U4_8B, oob=OOB_NAN),
}

# Boundary cases the rules admit, with the bytes one copy delivers: the product over the
# dimensions of ceil(boxDim / elementStrides) elements (dimension 0 of a map without
# interleave ignores its traversal stride).
ACCEPTED = {
    "128-byte swizzle, inner box at the span": (BASE, 64 * 32 * 2),
    "map 64-byte aligned": (dict(BASE, map_offset=64), 64 * 32 * 2),
    "rank 1": (dict(BASE, rank=1, dims=[64], strides=[], box=[64], es=[1]), 128),
    "rank 5": (dict(BASE, rank=5, dims=[64, 40, 3, 2, 2], strides=[128, 5120, 15360, 30720],
                    box=[64, 32, 1, 2, 2], es=[1] * 5), 64 * 32 * 4 * 2),
    "dimension 2^32": (dict(BASE, dims=[64, 40, 2**32]), 64 * 32 * 2),
    "stride 2^40 - 16": (dict(BASE, strides=[128, 2**40 - 16]), 64 * 32 * 2),
    "padded strides": (dict(BASE, strides=[144, 144 * 40 + 16]), 64 * 32 * 2),
    "box 256": (dict(BASE, box=[64, 256, 1]), 64 * 256 * 2),
    "32-byte swizzle, inner box at the span": (dict(BASE, box=[16, 32, 1], swizzle=SW_32B), 16 * 32 * 2),
    "64-byte swizzle, inner box at the span": (dict(BASE, box=[32, 32, 1], swizzle=SW_64B), 32 * 32 * 2),
    "no swizzle, 512-byte inner box": (dict(BASE, dims=[256, 40, 3], strides=[512, 20480], box=[256, 2, 1],
                                            swizzle=SW_NONE), 256 * 2 * 2),
    "element strides round up, dimension 0's ignored": (dict(BASE, es=[8, 3, 1]), 64 * 11 * 2),
    "element strides 8": (dict(BASE, es=[1, 8, 8]), 64 * 4 * 1 * 2),
    "16-byte interleave strides dimension 0": (dict(BASE, interleave=IL_16B, swizzle=SW_NONE, es=[2, 1, 1]),
                                               32 * 32 * 2),
    "32-byte interleave": (dict(BASE, interleave=IL_32B, swizzle=SW_32B), 64 * 32 * 2),
    "OOB-NaN fill of BF16": (dict(BASE, oob=OOB_NAN), 64 * 32 * 2),
    "L2 promotion 256B": (dict(BASE, l2=3), 64 * 32 * 2),
    "128-byte swizzle, 32-byte atomicity": (dict(BASE, swizzle=SW_128B_ATOM_32B), 64 * 32 * 2),
    "16U4_ALIGN16B: 16 values per 16 bytes": (PACKED_U4, 128 * 32),
    "16U6_ALIGN16B: 16 values per 16 bytes": (PACKED_U6, 128 * 32),
    "16U4_ALIGN8B: two values per byte": (PACKED_U4_8B, 32 * 32 // 2),
    **{f"data type {t}": (dict(BASE, type=t, dims=[16, 40, 3], strides=[128, 5120], box=[16, 32, 1]),
                          16 * 32 * ELEMENT_BYTES[t]) for t in range(13)},
}


def test_encode_refuses_each_documented_rule_and_leaves_the_map_untouched():
    assert encode(BASE)[0] == SUCCESS  # every refused row differs from BASE in one rule
    for name, args in REFUSED.items():
        code, map_bytes = encode(args)
        assert code == INVALID_VALUE, name
        assert bool((map_bytes == FILL).all()), name
        assert emu.rank(map_bytes) == 0, name


def test_encode_accepts_the_boundaries_and_records_the_box():
    for name, (args, box_bytes) in ACCEPTED.items():
        code, map_bytes = encode(args)
        assert code == SUCCESS, name
        assert emu.rank(map_bytes) == args["rank"], name
        assert emu.box_bytes(map_bytes) == box_bytes, name
    assert emu.rank(torch.zeros(128, dtype=torch.uint8)) == 0


# --- The tile copy -----------------------------------------------------------------------

# PTX ISA, "Swizzling Modes": at each 128-byte line of the destination (numbered from the
# start of the repeating pattern), cell p holds the 16-byte chunk numbered table[row][p] of the
# unswizzled layout; the pattern repeats after the table's rows.
PATTERN = {
    SW_NONE: [[0, 1, 2, 3, 4, 5, 6, 7]],
    SW_32B: [[0, 1, 2, 3, 4, 5, 6, 7],
             [1, 0, 3, 2, 5, 4, 7, 6]],
    SW_64B: [[0, 1, 2, 3, 4, 5, 6, 7],
             [1, 0, 3, 2, 5, 4, 7, 6],
             [2, 3, 0, 1, 6, 7, 4, 5],
             [3, 2, 1, 0, 7, 6, 5, 4]],
    SW_128B: [[0, 1, 2, 3, 4, 5, 6, 7],
              [1, 0, 3, 2, 5, 4, 7, 6],
              [2, 3, 0, 1, 6, 7, 4, 5],
              [3, 2, 1, 0, 7, 6, 5, 4],
              [4, 5, 6, 7, 0, 1, 2, 3],
              [5, 4, 7, 6, 1, 0, 3, 2],
              [6, 7, 4, 5, 2, 3, 0, 1],
              [7, 6, 5, 4, 3, 2, 1, 0]],
}
WINDOW_ADDRESS = 0x10000  # shared address of the window's first byte
WINDOW_BYTES = 16384
SENTINEL = 0xEE


def dense_box(memory, dims, strides, box, es, coords, element=2):
    """The box in shared memory before any swizzle: dimension 0 innermost; along dimension i
    ceil(boxDim / elementStride) elements elementStride apart (dimension 0 contiguous); an
    element outside [0, globalDim) in any dimension is zero. `strides` are the byte strides of
    dimensions 1..; `memory` is the tensor's bytes."""
    rank = len(dims)
    counts = [box[0]] + [math.ceil(box[i] / es[i]) for i in range(1, rank)]
    byte_strides = [element] + list(strides)
    out = bytearray()
    for outer_first in itertools.product(*[range(c) for c in reversed(counts)]):
        k = outer_first[::-1]
        g = [coords[0] + k[0]] + [coords[i] + k[i] * es[i] for i in range(1, rank)]
        if all(0 <= g[i] < dims[i] for i in range(rank)):
            at = sum(g[i] * byte_strides[i] for i in range(rank))
            out += memory[at:at + element]
        else:
            out += bytes(element)
    return np.frombuffer(bytes(out), dtype=np.uint8)


def swizzled(dense, dst_address, swizzle):
    """The dense box as the swizzle stores it at shared address dst_address (128-byte aligned).
    The pattern row of a line is its line number modulo the table's rows: the ISA's swizzle
    base offset (dstMem / 128) % rows for a dstMem off the pattern's starting boundary."""
    table = PATTERN[swizzle]
    out = np.empty_like(dense)
    for line in range(0, len(dense), 128):
        row = ((dst_address + line) // 128) % len(table)
        for cell in range(8):
            source = line + 16 * table[row][cell]
            out[line + 16 * cell:line + 16 * cell + 16] = dense[source:source + 16]
    return out


def bf16_tensor(nbytes, seed):
    """Host memory holding BF16 values (every byte in use, padding included)."""
    generator = torch.Generator().manual_seed(seed)
    values = torch.randn(nbytes // 2, generator=generator).to(torch.bfloat16)
    return values.view(torch.uint8)


def dense_strides(dims, pitch=None):
    """Byte strides of dimensions 1..: rows of `pitch` bytes (default: no padding)."""
    strides, step = [], pitch or 2 * dims[0]
    for d in dims[1:]:
        strides.append(step)
        step *= d
    return strides


# name: (dims, row pitch in bytes or None, box, element strides, swizzle, coords, dst offset in the window)
LOADS = {
    "3-D, 128B, rows past the end": ([64, 40, 3], None, [64, 32, 1], [1, 1, 1], SW_128B, [0, 24, 1], 384),
    "3-D, 128B, negative rows, 1024-aligned": ([64, 40, 3], None, [64, 32, 1], [1, 1, 1], SW_128B, [0, -5, 2], 1024),
    "3-D, 64B, negative inner start, padded pitch": ([40, 40, 3], 128, [32, 16, 1], [1, 1, 1], SW_64B,
                                                     [-8, 30, 0], 640),
    "3-D, 64B, inner end past the tensor into the padding": ([40, 40, 3], 128, [32, 16, 1], [1, 1, 1], SW_64B,
                                                             [16, 0, 2], 512),
    "3-D, 32B": ([16, 40, 3], None, [16, 32, 1], [1, 1, 1], SW_32B, [0, 20, 0], 640),
    "3-D, no swizzle, 80-byte rows": ([40, 40, 3], None, [40, 16, 1], [1, 1, 1], SW_NONE, [-3, 33, 1], 128),
    "3-D, 64B, traversal strides": ([32, 40, 3], None, [32, 16, 2], [4, 2, 1], SW_64B, [0, 5, 1], 256),
    "4-D, 128B, one head's rows": ([64, 4, 40, 2], None, [64, 1, 32, 1], [1, 1, 1, 1], SW_128B, [0, 2, 20, 1], 256),
    "4-D, 128B, negative rows": ([64, 4, 40, 2], None, [64, 1, 32, 1], [1, 1, 1, 1], SW_128B, [0, 3, -10, 0], 3072),
    "4-D, 32B, head past the end": ([16, 4, 40, 2], None, [16, 2, 32, 1], [1, 1, 1, 1], SW_32B, [0, 3, -4, 1], 128),
    "4-D, 64B, two heads": ([32, 4, 40, 2], None, [32, 2, 16, 2], [1, 1, 1, 1], SW_64B, [0, 1, 30, 0], 1920),
}


@pytest.mark.parametrize("name", list(LOADS))
def test_tile_load_matches_the_documented_layout(name):
    dims, pitch, box, es, swizzle, coords, dst_offset = LOADS[name]
    strides = dense_strides(dims, pitch)
    memory = bf16_tensor(strides[-1] * dims[-1], seed=len(name))
    args = dict(BASE, rank=len(dims), dims=dims, strides=strides, box=box, es=es, swizzle=swizzle)
    code, map_bytes = encode(args, memory)
    assert code == SUCCESS
    expected_box = dense_box(memory.numpy().tobytes(), dims, strides, box, es, coords)
    assert len(expected_box) % 128 == 0 and expected_box.any()  # whole lines, not all zeros
    window = torch.full((WINDOW_BYTES,), SENTINEL, dtype=torch.uint8)
    dst = WINDOW_ADDRESS + dst_offset
    copied = emu.tile_load(map_bytes, len(dims), coords, window, WINDOW_ADDRESS, dst)
    expected = np.full(WINDOW_BYTES, SENTINEL, dtype=np.uint8)
    expected[dst_offset:dst_offset + len(expected_box)] = swizzled(expected_box, dst, swizzle)
    assert copied == len(expected_box) == emu.box_bytes(map_bytes)
    np.testing.assert_array_equal(window.numpy(), expected)


def test_tile_load_of_a_box_wholly_outside_is_zeros():
    code, map_bytes = encode(BASE, bf16_tensor(5120 * 3, seed=1))
    assert code == SUCCESS
    for coords in ([0, 40, 0], [0, -32, 1], [64, 0, 0], [-64, 0, 2]):
        window = torch.full((WINDOW_BYTES,), SENTINEL, dtype=torch.uint8)
        assert emu.tile_load(map_bytes, 3, coords, window, WINDOW_ADDRESS, WINDOW_ADDRESS) == 4096
        assert bool((window[:4096] == 0).all()) and bool((window[4096:] == SENTINEL).all()), coords


# Copies the model refuses: (map arguments, rank, coords, dst offset, message fragment).
RAISING = {
    "128B, 64-byte aligned destination": (BASE, 3, [0, 0, 0], 64, "128-byte aligned"),
    "64B, 64-byte aligned destination": (dict(BASE, box=[32, 32, 1], swizzle=SW_64B), 3, [0, 0, 0], 576,
                                         "128-byte aligned"),
    "32B, 32-byte aligned destination": (dict(BASE, box=[16, 32, 1], swizzle=SW_32B), 3, [0, 0, 0], 160,
                                         "128-byte aligned"),
    "no swizzle, 16-byte aligned destination": (dict(BASE, swizzle=SW_NONE), 3, [0, 0, 0], 16, "128-byte aligned"),
    "rank differs from the map's": (BASE, 2, [0, 0], 0, "rank 3"),
    "interleaved layout": (dict(BASE, interleave=IL_16B), 3, [0, 0, 0], 0, "interleaved"),
    "packed type": (PACKED_U4, 3, [0, 0, 0], 0, "packed"),
    "swizzle atomicity": (dict(BASE, swizzle=SW_128B_ATOM_32B), 3, [0, 0, 0], 0, "atomicity"),
    "OOB-NaN fill reaching outside": (dict(BASE, oob=OOB_NAN), 3, [0, 24, 0], 0, "OOB-NaN"),
}


def test_tile_load_raises_for_what_it_cannot_copy():
    memory = bf16_tensor(5120 * 3, seed=2)
    for name, (args, rank, coords, dst_offset, fragment) in RAISING.items():
        code, map_bytes = encode(args, memory)
        assert code == SUCCESS, name
        window = torch.full((WINDOW_BYTES,), SENTINEL, dtype=torch.uint8)
        with pytest.raises(RuntimeError, match=r"^emulator: ") as info:
            emu.tile_load(map_bytes, rank, coords, window, WINDOW_ADDRESS, WINDOW_ADDRESS + dst_offset)
        assert fragment in str(info.value), name
        assert bool((window == SENTINEL).all()), name  # nothing written
    # Bytes that no encode wrote are no map.
    window = torch.full((WINDOW_BYTES,), SENTINEL, dtype=torch.uint8)
    with pytest.raises(RuntimeError, match=r"^emulator: .*not encoded"):
        emu.tile_load(torch.zeros(128, dtype=torch.uint8), 3, [0, 0, 0], window, WINDOW_ADDRESS, WINDOW_ADDRESS)
    # The OOB-NaN fill copies a box inside the tensor like the zero fill.
    nan_map, zero_map = encode(dict(BASE, oob=OOB_NAN), memory)[1], encode(BASE, memory)[1]
    windows = [torch.zeros(WINDOW_BYTES, dtype=torch.uint8) for _ in range(2)]
    for m, w in zip((nan_map, zero_map), windows):
        emu.tile_load(m, 3, [0, 8, 2], w, WINDOW_ADDRESS, WINDOW_ADDRESS)
    assert torch.equal(windows[0], windows[1]) and windows[0].any()
