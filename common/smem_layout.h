// Shared-memory tile layouts that the copy engine writes and wgmma reads, for host
// and device. Plain C++ (compiles without CUDA): the host tests call the same
// functions as the kernels.
//
// A swizzled tile holds BF16 rows of exactly one swizzle span (32, 64 or 128 bytes,
// i.e. 16, 32 or 64 elements). The copy engine stores 16-byte chunk c of row r at
// chunk position c XOR s(r), where s(r) takes the row bits that sit just above the
// 128-byte line: (r / 4) mod 2, (r / 2) mod 4 or r mod 8. Every tile base must be a
// multiple of the swizzle repeat (eight 128-byte lines: 256, 512, 1024 bytes for the
// three modes) for the pattern to line up with the hardware's address bits.
#pragma once

#include <cstdint>

#if defined(__CUDACC__)
#define KESTROVANE_HOST_DEVICE __host__ __device__ __forceinline__
#else
#define KESTROVANE_HOST_DEVICE inline
#endif

namespace kestrovane {

// The three swizzles, valued as the copy engine's CU_TENSOR_MAP_SWIZZLE_* modes.
enum class Swizzle : int { k32B = 1, k64B = 2, k128B = 3 };

// The swizzle whose span is one BF16 row of `row_elements` (16, 32 or 64) elements;
// any other width gets the 128-byte mode, which the tensor maps use for 64.
KESTROVANE_HOST_DEVICE constexpr Swizzle swizzle_for_row(int row_elements) {
  return row_elements == 16 ? Swizzle::k32B : row_elements == 32 ? Swizzle::k64B : Swizzle::k128B;
}

KESTROVANE_HOST_DEVICE constexpr uint32_t swizzle_span_bytes(Swizzle mode) {
  return 16u << static_cast<int>(mode);
}

// Bytes after which the pattern repeats: eight 128-byte lines.
KESTROVANE_HOST_DEVICE constexpr uint32_t swizzle_repeat_bytes(Swizzle mode) {
  return 8u * swizzle_span_bytes(mode);
}

// s(r): the chunk XOR of row `row` in a tile whose rows are one span each.
KESTROVANE_HOST_DEVICE constexpr uint32_t swizzle_row_xor(Swizzle mode, uint32_t row) {
  return mode == Swizzle::k32B ? (row >> 2) & 1u : mode == Swizzle::k64B ? (row >> 1) & 3u : row & 7u;
}

// Byte offset in the tile of 16-byte chunk `chunk` (elements 8*chunk .. 8*chunk+7) of `row`.
KESTROVANE_HOST_DEVICE constexpr uint32_t swizzled_chunk_byte(Swizzle mode, uint32_t row, uint32_t chunk) {
  return row * swizzle_span_bytes(mode) + 16u * (chunk ^ swizzle_row_xor(mode, row));
}

// Byte offset in the tile of chunk 0 of `row`. Chunk c of that row lies at this offset
// XOR 16c: the row starts on a multiple of its span, and 16 * (c XOR s(r)) stays below it.
// Added to a tile base on a swizzle repeat, the XOR applies to the full address, so one
// register per row serves every chunk.
KESTROVANE_HOST_DEVICE constexpr uint32_t swizzled_row_byte(Swizzle mode, uint32_t row) {
  return row * swizzle_span_bytes(mode) + 16u * swizzle_row_xor(mode, row);
}

// Element offset in the tile of BF16 element (row, col).
KESTROVANE_HOST_DEVICE constexpr uint32_t swizzled_element(Swizzle mode, uint32_t row, uint32_t col) {
  return swizzled_chunk_byte(mode, row, col / 8u) / 2u + col % 8u;
}

// ---------------------------------------------------------------- wgmma descriptor
//
// Shared-memory matrix descriptor of a K-major swizzled tile (rows of one span each):
//   bits  0-13  start address / 16
//   bits 16-29  leading byte offset / 16 (1024 bytes; unused by K-major swizzled tiles
//               whose K extent fits one span)
//   bits 32-45  stride byte offset / 16: eight rows, from one 8-row core group to the next
//   bits 49-51  base offset 0: tiles start on a swizzle repeat
//   bits 62-63  layout: 1 = 128B, 2 = 64B, 3 = 32B swizzle
// One k-step of 16 BF16 columns is 32 bytes along the row, so the start address of
// k-step k is the tile base + 32k; the hardware applies the swizzle to the full address.

constexpr uint32_t kWgmmaLeadingByteOffset = 1024;

KESTROVANE_HOST_DEVICE constexpr uint64_t wgmma_layout_type(Swizzle mode) {
  return mode == Swizzle::k128B ? 1u : mode == Swizzle::k64B ? 2u : 3u;
}

// Every field but the start address.
KESTROVANE_HOST_DEVICE constexpr uint64_t wgmma_descriptor_base(Swizzle mode) {
  return (wgmma_layout_type(mode) << 62) | (static_cast<uint64_t>(8u * swizzle_span_bytes(mode) / 16u) << 32) |
         (static_cast<uint64_t>(kWgmmaLeadingByteOffset / 16u) << 16);
}

// The descriptor of the tile (or k-step) starting at shared-memory byte address `address`.
KESTROVANE_HOST_DEVICE constexpr uint64_t wgmma_descriptor(Swizzle mode, uint32_t address) {
  return wgmma_descriptor_base(mode) | static_cast<uint64_t>((address & 0x3FFFFu) >> 4);
}

}  // namespace kestrovane
