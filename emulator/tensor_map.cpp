// The copy engine of the model.
//
// tensor_map_encode_tiled checks its arguments against the requirements that the driver API
// lists for cuTensorMapEncodeTiled and stores the map in the 128 opaque bytes of CUtensorMap,
// tagged so that bytes not written here are never taken for a map.
//
// tensor_map_tile_load is cp.async.bulk.tensor in tile mode (PTX ISA, "Tensors": tiled mode,
// bounding box, traversal stride, out-of-boundary access, swizzling modes):
//   - the box starts at the tensor coordinates of the instruction; along dimension i it takes
//     ceil(boxDim[i] / elementStrides[i]) elements, elementStrides[i] apart (without an
//     interleaved layout the traversal stride of dimension 0 is ignored: dimension 0 is read
//     contiguously, boxDim[0] elements);
//   - elements outside [0, globalDim[i]) in any dimension arrive as zeros (zero fill mode);
//   - the box lands densely in shared memory, dimension 0 innermost, from dstMem on;
//   - a swizzling mode then permutes the 16-byte chunks of every 128-byte shared memory line:
//     at line L (address / 128) the chunk numbered c (address bits 4-6 of the dense layout) is
//     stored at chunk c ^ (L % R), R = 2, 4, 8 rows for the 32-, 64- and 128-byte modes. That is
//     the ISA's pattern tables read as a function of the shared address, and it gives the swizzle
//     base offset (dstMem / 128) % R that the ISA states for a dstMem off the 256-, 512- or
//     1024-byte boundary where the pattern starts. Because the XOR value is below span / 16, a
//     chunk never leaves its span-aligned segment of the line.
// The destination must be 128-byte aligned, as the CUDA programming guide requires of the
// shared memory of a bulk tensor copy; the swizzle needs no more (the base offset above).
//
// Not modelled, and refused by the copy with an emulator error: the interleaved layouts, the
// packed 4- and 6-bit types, the 128-byte modes with 32- or 64-byte swizzle atomicity, and the
// OOB-NaN fill of an element that falls outside the tensor (the ISA names no bit pattern).
// Global memory is host memory here: the copy reads it with memcpy.
#include "emulator/tensor_map.h"

#include <cstring>
#include <string>
#include <type_traits>

#include "emulator/error.h"

namespace kestrovane_emu {
namespace {

// Enumerators that older cuda.h headers lack (packed types, swizzle atomicity sub-modes) are
// spelled by value, so the model builds against any CUDA 12 or 13 toolkit.
constexpr int kTypeCount = 16;                 // UINT8 .. 16U6_ALIGN16B
constexpr int kType16U4Align8B = 13;           // CU_TENSOR_MAP_DATA_TYPE_16U4_ALIGN8B
constexpr int kType16U4Align16B = 14;          // CU_TENSOR_MAP_DATA_TYPE_16U4_ALIGN16B
constexpr int kType16U6Align16B = 15;          // CU_TENSOR_MAP_DATA_TYPE_16U6_ALIGN16B
constexpr int kSwizzleCount = 7;               // NONE .. 128B_ATOM_64B
constexpr int kSwizzle128BAtom32B = 4;         // CU_TENSOR_MAP_SWIZZLE_128B_ATOM_32B
constexpr int kSwizzle128BAtom64B = 6;         // CU_TENSOR_MAP_SWIZZLE_128B_ATOM_64B
constexpr int kInterleaveCount = 3;            // NONE, 16B, 32B
constexpr int kL2PromotionCount = 4;           // NONE, 64B, 128B, 256B
constexpr int kOobFillCount = 2;               // NONE, NAN_REQUEST_ZERO_FMA

constexpr int kMaxRank = 5;
constexpr uint64_t kMapTag = 0x4b4553544d415031ull;  // tags the bytes as a map of this model
constexpr uint32_t kSharedAlignment = 128;

// The map as this model stores it in CUtensorMap::opaque.
struct EmulatedMap {
  uint64_t tag;
  uint64_t global_address;
  uint64_t global_dims[kMaxRank];
  uint64_t global_strides[kMaxRank - 1];  // bytes; [i] is the stride of dimension i + 1
  uint16_t box_dims[kMaxRank];
  uint8_t element_strides[kMaxRank];
  uint8_t rank;
  uint8_t data_type;
  uint8_t interleave;
  uint8_t swizzle;
  uint8_t l2_promotion;
  uint8_t oob_fill;
};
static_assert(sizeof(EmulatedMap) <= sizeof(CUtensorMap), "an emulated map must fit in the 128 opaque bytes");
static_assert(std::is_trivially_copyable<EmulatedMap>::value, "an emulated map is copied as bytes");

// Bits one element occupies in global memory.
int global_bits(int type) {
  switch (type) {
    case CU_TENSOR_MAP_DATA_TYPE_UINT8:
      return 8;
    case CU_TENSOR_MAP_DATA_TYPE_UINT16:
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT16:
    case CU_TENSOR_MAP_DATA_TYPE_BFLOAT16:
      return 16;
    case CU_TENSOR_MAP_DATA_TYPE_UINT64:
    case CU_TENSOR_MAP_DATA_TYPE_INT64:
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT64:
      return 64;
    case kType16U4Align8B:
    case kType16U4Align16B:
      return 4;
    case kType16U6Align16B:
      return 6;
    default:  // UINT32, INT32, FLOAT32, FLOAT32_FTZ, TFLOAT32, TFLOAT32_FTZ
      return 32;
  }
}

// Bits one element occupies in shared memory: the 16-byte-aligned packed types spread 16
// values over 16 bytes (with gaps), the others are stored as they are in global memory.
int shared_bits(int type) {
  return type == kType16U4Align16B || type == kType16U6Align16B ? 8 : global_bits(type);
}

bool is_packed(int type) { return type >= kType16U4Align8B; }

bool is_floating(int type) {
  switch (type) {
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT16:
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT32:
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT64:
    case CU_TENSOR_MAP_DATA_TYPE_BFLOAT16:
    case CU_TENSOR_MAP_DATA_TYPE_FLOAT32_FTZ:
    case CU_TENSOR_MAP_DATA_TYPE_TFLOAT32:
    case CU_TENSOR_MAP_DATA_TYPE_TFLOAT32_FTZ:
      return true;
    default:
      return false;
  }
}

// The span in bytes that a swizzling mode permutes 16-byte chunks within (0: no swizzle).
uint32_t swizzle_span(int swizzle) {
  switch (swizzle) {
    case CU_TENSOR_MAP_SWIZZLE_NONE:
      return 0;
    case CU_TENSOR_MAP_SWIZZLE_32B:
      return 32;
    case CU_TENSOR_MAP_SWIZZLE_64B:
      return 64;
    default:  // 128B and its atomicity sub-modes
      return 128;
  }
}

uint64_t bytes_of_bits(uint64_t bits) { return (bits + 7) / 8; }

// The requirements of cuTensorMapEncodeTiled, in the order the driver API lists them.
bool valid_arguments(const CUtensorMap* map, int type, cuuint32_t rank, const void* global_address,
                     const cuuint64_t* dims, const cuuint64_t* strides, const cuuint32_t* box,
                     const cuuint32_t* element_strides, int interleave, int swizzle, int l2_promotion,
                     int oob_fill) {
  // tensorMap aligned to 64 bytes.
  if (map == nullptr || reinterpret_cast<uintptr_t>(map) % 64 != 0) return false;
  // The enumerations.
  if (type < 0 || type >= kTypeCount) return false;
  if (interleave < 0 || interleave >= kInterleaveCount) return false;
  if (swizzle < 0 || swizzle >= kSwizzleCount) return false;
  if (l2_promotion < 0 || l2_promotion >= kL2PromotionCount) return false;
  if (oob_fill < 0 || oob_fill >= kOobFillCount) return false;
  // tensorRank in 1..5, and at least 3 with an interleaved layout.
  if (rank < 1 || rank > kMaxRank) return false;
  if (interleave != CU_TENSOR_MAP_INTERLEAVE_NONE && rank < 3) return false;
  // Arrays the requirements below read (the driver cannot check an absent one either).
  if (dims == nullptr || box == nullptr || element_strides == nullptr || (rank > 1 && strides == nullptr)) {
    return false;
  }
  const bool interleave_32b = interleave == CU_TENSOR_MAP_INTERLEAVE_32B;
  const bool packed_16b = type == kType16U4Align16B || type == kType16U6Align16B;
  // globalAddress 16-byte aligned; 32 with the 32-byte interleave or a 16-byte-aligned packed type.
  const uintptr_t address = reinterpret_cast<uintptr_t>(global_address);
  if (address % ((interleave_32b || packed_16b) ? 32 : 16) != 0) return false;
  // globalDim nonzero and at most 2^32; the packed types' dimension 0 in whole groups.
  for (cuuint32_t i = 0; i < rank; ++i) {
    if (dims[i] == 0 || dims[i] > (uint64_t{1} << 32)) return false;
  }
  if (packed_16b && dims[0] % 128 != 0) return false;
  if (type == kType16U4Align8B && dims[0] % 2 != 0) return false;
  // globalStrides: multiples of 16 (32 with the 32-byte interleave or a 16-byte-aligned packed
  // type), below 2^40, and each including the one before: stride[0] = dim[0] * element size +
  // padding[0], stride[i] = stride[i - 1] * (dim[i] + padding[i]), the paddings not negative.
  const uint64_t stride_multiple = (interleave_32b || packed_16b) ? 32 : 16;
  for (cuuint32_t i = 0; i + 1 < rank; ++i) {
    const uint64_t stride = strides[i];
    if (stride % stride_multiple != 0 || stride >= (uint64_t{1} << 40)) return false;
    if (i == 0) {
      if (stride < bytes_of_bits(dims[0] * global_bits(type))) return false;
    } else if (stride / dims[i] < strides[i - 1]) {  // stride < strides[i - 1] * dims[i], without overflow
      return false;
    }
  }
  // boxDim in 1..256; without interleave the inner box dimension a whole number of 16 bytes;
  // the 16-byte-aligned packed types take boxes of exactly 128 values along dimension 0.
  for (cuuint32_t i = 0; i < rank; ++i) {
    if (box[i] == 0 || box[i] > 256) return false;
  }
  const uint64_t inner_bits = uint64_t{box[0]} * global_bits(type);
  if (interleave == CU_TENSOR_MAP_INTERLEAVE_NONE && inner_bits % 128 != 0) return false;
  if (packed_16b && box[0] != 128) return false;
  // elementStrides in 1..8 (dimension 0's is ignored without interleave, but still checked).
  for (cuuint32_t i = 0; i < rank; ++i) {
    if (element_strides[i] == 0 || element_strides[i] > 8) return false;
  }
  // Without interleave a swizzle bounds the inner box dimension by its span; the 32-byte
  // interleave takes the 32-byte swizzle only; the 6-bit packed type takes no interleave.
  if (interleave == CU_TENSOR_MAP_INTERLEAVE_NONE && swizzle != CU_TENSOR_MAP_SWIZZLE_NONE &&
      bytes_of_bits(inner_bits) > swizzle_span(swizzle)) {
    return false;
  }
  if (interleave_32b && swizzle != CU_TENSOR_MAP_SWIZZLE_32B) return false;
  if (type == kType16U6Align16B && interleave != CU_TENSOR_MAP_INTERLEAVE_NONE) return false;
  // The swizzles the 16-byte-aligned packed types support (for a load or a store).
  if (type == kType16U6Align16B && swizzle != CU_TENSOR_MAP_SWIZZLE_NONE && swizzle != CU_TENSOR_MAP_SWIZZLE_128B &&
      swizzle != kSwizzle128BAtom32B && swizzle != kSwizzle128BAtom64B) {
    return false;
  }
  if (type == kType16U4Align16B && swizzle != CU_TENSOR_MAP_SWIZZLE_NONE && swizzle != CU_TENSOR_MAP_SWIZZLE_128B &&
      swizzle != kSwizzle128BAtom32B) {
    return false;
  }
  // The OOB-NaN fill only for floating-point types (the packed types are not).
  if (oob_fill == CU_TENSOR_MAP_FLOAT_OOB_FILL_NAN_REQUEST_ZERO_FMA && !is_floating(type)) return false;
  return true;
}

bool decode(const CUtensorMap& map, EmulatedMap* out) {
  std::memcpy(out, &map, sizeof(EmulatedMap));
  return out->tag == kMapTag && out->rank >= 1 && out->rank <= kMaxRank;
}

EmulatedMap decode_or_fail(const CUtensorMap& map) {
  EmulatedMap m;
  if (!decode(map, &m)) fail("the tensor map was not encoded by the model's cuTensorMapEncodeTiled");
  return m;
}

// Elements the box holds along dimension i: ceil(boxDim / elementStrides), where dimension 0
// of a map without interleave ignores its traversal stride.
uint32_t box_count(const EmulatedMap& m, int i) {
  const uint32_t stride = (i == 0 && m.interleave == CU_TENSOR_MAP_INTERLEAVE_NONE) ? 1 : m.element_strides[i];
  return (m.box_dims[i] + stride - 1) / stride;
}

uint64_t box_bytes64(const EmulatedMap& m) {
  uint64_t elements = 1;
  for (int i = 0; i < m.rank; ++i) elements *= box_count(m, i);
  return bytes_of_bits(elements * shared_bits(m.data_type));
}

// Shared address bits 7 and up that a mode XORs into chunk bits 4-6 (the ISA's row numbers).
uint32_t swizzle_row_mask(int swizzle) {
  switch (swizzle) {
    case CU_TENSOR_MAP_SWIZZLE_32B:
      return 1;
    case CU_TENSOR_MAP_SWIZZLE_64B:
      return 3;
    case CU_TENSOR_MAP_SWIZZLE_128B:
      return 7;
    default:
      return 0;
  }
}

}  // namespace

CUresult tensor_map_encode_tiled(CUtensorMap* map, CUtensorMapDataType type, cuuint32_t rank, void* global_address,
                                 const cuuint64_t* global_dims, const cuuint64_t* global_strides,
                                 const cuuint32_t* box_dims, const cuuint32_t* element_strides,
                                 CUtensorMapInterleave interleave, CUtensorMapSwizzle swizzle,
                                 CUtensorMapL2promotion l2_promotion, CUtensorMapFloatOOBfill oob_fill) {
  if (!valid_arguments(map, static_cast<int>(type), rank, global_address, global_dims, global_strides, box_dims,
                       element_strides, static_cast<int>(interleave), static_cast<int>(swizzle),
                       static_cast<int>(l2_promotion), static_cast<int>(oob_fill))) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  EmulatedMap m{};
  m.tag = kMapTag;
  m.global_address = reinterpret_cast<uintptr_t>(global_address);
  for (cuuint32_t i = 0; i < rank; ++i) {
    m.global_dims[i] = global_dims[i];
    m.box_dims[i] = static_cast<uint16_t>(box_dims[i]);
    m.element_strides[i] = static_cast<uint8_t>(element_strides[i]);
    if (i + 1 < rank) m.global_strides[i] = global_strides[i];
  }
  m.rank = static_cast<uint8_t>(rank);
  m.data_type = static_cast<uint8_t>(type);
  m.interleave = static_cast<uint8_t>(interleave);
  m.swizzle = static_cast<uint8_t>(swizzle);
  m.l2_promotion = static_cast<uint8_t>(l2_promotion);
  m.oob_fill = static_cast<uint8_t>(oob_fill);
  unsigned char bytes[sizeof(CUtensorMap)] = {};
  std::memcpy(bytes, &m, sizeof m);
  std::memcpy(static_cast<void*>(map), bytes, sizeof bytes);
  return CUDA_SUCCESS;
}

int tensor_map_rank(const CUtensorMap& map) {
  EmulatedMap m;
  return decode(map, &m) ? m.rank : 0;
}

uint32_t tensor_map_box_bytes(const CUtensorMap& map) {
  const uint64_t bytes = box_bytes64(decode_or_fail(map));
  if (bytes > UINT32_MAX) fail("the tensor map's box holds " + std::to_string(bytes) + " bytes, past 32 bits");
  return static_cast<uint32_t>(bytes);
}

uint32_t tensor_map_tile_load(const CUtensorMap& map, int rank, const int32_t* coords, uint8_t* dst,
                              uint32_t dst_address) {
  const EmulatedMap m = decode_or_fail(map);
  if (rank != m.rank) {
    fail("cp.async.bulk.tensor." + std::to_string(rank) + "d on a tensor map of rank " + std::to_string(m.rank));
  }
  if (m.interleave != CU_TENSOR_MAP_INTERLEAVE_NONE) fail("tensor copies with an interleaved layout are not modelled");
  if (is_packed(m.data_type)) fail("tensor copies of the packed 4- and 6-bit types are not modelled");
  if (m.swizzle >= kSwizzle128BAtom32B) fail("the 128-byte swizzle with 32- or 64-byte atomicity is not modelled");
  if (dst_address % kSharedAlignment != 0) {
    fail("cp.async.bulk.tensor destination shared address " + std::to_string(dst_address) +
         " is not 128-byte aligned");
  }
  const uint64_t total = box_bytes64(m);
  if (total > UINT32_MAX) fail("the tensor map's box holds " + std::to_string(total) + " bytes, past 32 bits");

  const uint32_t element = global_bits(m.data_type) / 8;
  const uint32_t row_elements = m.box_dims[0];  // dimension 0 is read contiguously
  const uint32_t row_bytes = row_elements * element;
  const uint32_t mask = swizzle_row_mask(m.swizzle);
  const auto* global = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(m.global_address));

  uint32_t counts[kMaxRank];
  for (int i = 0; i < m.rank; ++i) counts[i] = box_count(m, i);
  if (m.oob_fill == CU_TENSOR_MAP_FLOAT_OOB_FILL_NAN_REQUEST_ZERO_FMA) {
    for (int i = 0; i < m.rank; ++i) {
      const int64_t stride = i == 0 ? 1 : m.element_strides[i];
      const int64_t last = int64_t{coords[i]} + (int64_t{counts[i]} - 1) * stride;
      if (coords[i] < 0 || static_cast<uint64_t>(last) >= m.global_dims[i]) {
        fail("the OOB-NaN fill of elements outside the tensor is not modelled");
      }
    }
  }
  uint32_t index[kMaxRank] = {};  // position in the box along dimensions 1.. (0 unused)
  uint8_t row[256 * 8];           // one dense box row: at most 256 elements of 8 bytes

  for (uint64_t offset = 0; offset < total; offset += row_bytes) {
    // The row's coordinates along dimensions 1..: zeros when any of them leaves the tensor.
    bool inside = true;
    uint64_t source = 0;
    for (int i = 1; i < m.rank; ++i) {
      const int64_t coordinate = int64_t{coords[i]} + int64_t{index[i]} * m.element_strides[i];
      if (coordinate < 0 || static_cast<uint64_t>(coordinate) >= m.global_dims[i]) {
        inside = false;
        break;
      }
      source += static_cast<uint64_t>(coordinate) * m.global_strides[i - 1];
    }
    // Dimension 0: elements coords[0] .. coords[0] + boxDim[0] - 1, those in [0, globalDim[0]).
    const int64_t first = coords[0];
    const int64_t begin = first < 0 ? 0 : first;
    const int64_t end_box = first + row_elements;
    const int64_t end =
        end_box < static_cast<int64_t>(m.global_dims[0]) ? end_box : static_cast<int64_t>(m.global_dims[0]);
    std::memset(row, 0, row_bytes);
    if (inside && begin < end) {
      std::memcpy(row + (begin - first) * element, global + source + static_cast<uint64_t>(begin) * element,
                  static_cast<size_t>(end - begin) * element);
    }
    // Store the row's 16-byte chunks at their swizzled shared addresses.
    if (mask == 0) {
      std::memcpy(dst + offset, row, row_bytes);
    } else {
      for (uint32_t chunk = 0; chunk < row_bytes; chunk += 16) {
        const uint32_t address = dst_address + static_cast<uint32_t>(offset) + chunk;
        const uint32_t swizzled = address ^ (((address >> 7) & mask) << 4);
        std::memcpy(dst + (swizzled - dst_address), row + chunk, 16);
      }
    }
    // Next row: dimension 1 fastest.
    for (int i = 1; i < m.rank; ++i) {
      if (++index[i] < counts[i]) break;
      index[i] = 0;
    }
  }
  return static_cast<uint32_t>(total);
}

size_t tensor_map_global_span(const CUtensorMap& map, const void** begin) {
  EmulatedMap m;
  std::memcpy(&m, &map, sizeof m);
  *begin = reinterpret_cast<const void*>(static_cast<uintptr_t>(m.global_address));
  uint64_t last = (m.global_dims[0] - 1) * (global_bits(m.data_type) / 8);
  for (int i = 1; i < m.rank; ++i) last += (m.global_dims[i] - 1) * m.global_strides[i - 1];
  return static_cast<size_t>(last + global_bits(m.data_type) / 8);
}

}  // namespace kestrovane_emu
