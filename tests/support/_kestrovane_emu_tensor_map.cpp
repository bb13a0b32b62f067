// Test-only helper module (never part of a deliverable): the model's copy engine
// (emulator/tensor_map.cpp, built into this unit) bound for the tests.
//
// encode(global, byte_offset, type, rank, dims, strides, box, element_strides, interleave,
//        swizzle, l2_promotion, oob_fill, fill, map_offset) -> (CUresult, map bytes)
//   encodes over global.data_ptr() + byte_offset into a map whose 128 bytes start out as
//   `fill`; map_offset places the map that many bytes into an aligned buffer (-1: null map).
// tile_load(map bytes, rank, coords, window, window_address, dst_address) -> bytes copied
//   copies a box into `window`, a uint8 tensor standing for shared memory from
//   window_address on, at the shared address dst_address.
#include <ATen/ops/empty.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include "common/module.h"
#include "emulator/tensor_map.cpp"

namespace {

constexpr size_t kMapBytes = sizeof(CUtensorMap);

at::Tensor map_tensor(const void* bytes) {
  at::Tensor out = at::empty({static_cast<int64_t>(kMapBytes)}, at::TensorOptions().dtype(at::kByte));
  std::memcpy(out.data_ptr(), bytes, kMapBytes);
  return out;
}

CUtensorMap map_from(const at::Tensor& bytes) {
  TORCH_CHECK(bytes.dtype() == at::kByte && bytes.is_contiguous() && bytes.numel() == static_cast<int64_t>(kMapBytes),
              "a map is 128 contiguous uint8 bytes");
  CUtensorMap map;
  std::memcpy(&map, bytes.data_ptr(), kMapBytes);
  return map;
}

// A list copied into an array that `rank` entries may be read from (padded with ones).
template <typename T>
std::vector<T> entries(const std::vector<int64_t>& values, int64_t rank) {
  std::vector<T> out(std::max<size_t>(values.size(), static_cast<size_t>(std::max<int64_t>(rank, 0)) + 1), T{1});
  for (size_t i = 0; i < values.size(); ++i) out[i] = static_cast<T>(values[i]);
  return out;
}

std::tuple<int64_t, at::Tensor> encode(const at::Tensor& global, int64_t byte_offset, int64_t type, int64_t rank,
                                       const std::vector<int64_t>& dims, const std::vector<int64_t>& strides,
                                       const std::vector<int64_t>& box, const std::vector<int64_t>& element_strides,
                                       int64_t interleave, int64_t swizzle, int64_t l2_promotion, int64_t oob_fill,
                                       int64_t fill, int64_t map_offset) {
  TORCH_CHECK(global.device().is_cpu(), "the tensor lives in host memory");
  TORCH_CHECK(map_offset >= -1 && map_offset < 128, "map_offset must be in [-1, 128)");
  alignas(128) unsigned char buffer[2 * kMapBytes];
  std::memset(buffer, static_cast<int>(fill), sizeof buffer);
  auto* map = map_offset < 0 ? nullptr : reinterpret_cast<CUtensorMap*>(buffer + map_offset);
  const auto dim_values = entries<cuuint64_t>(dims, rank);
  const auto stride_values = entries<cuuint64_t>(strides, rank);
  const auto box_values = entries<cuuint32_t>(box, rank);
  const auto element_values = entries<cuuint32_t>(element_strides, rank);
  void* address = static_cast<char*>(global.data_ptr()) + byte_offset;
  const CUresult result = kestrovane_emu::tensor_map_encode_tiled(
      map, static_cast<CUtensorMapDataType>(type), static_cast<cuuint32_t>(rank), address, dim_values.data(),
      stride_values.data(), box_values.data(), element_values.data(), static_cast<CUtensorMapInterleave>(interleave),
      static_cast<CUtensorMapSwizzle>(swizzle), static_cast<CUtensorMapL2promotion>(l2_promotion),
      static_cast<CUtensorMapFloatOOBfill>(oob_fill));
  return {static_cast<int64_t>(result), map_tensor(buffer + (map_offset < 0 ? 0 : map_offset))};
}

int64_t map_rank(const at::Tensor& bytes) { return kestrovane_emu::tensor_map_rank(map_from(bytes)); }

int64_t box_bytes(const at::Tensor& bytes) { return kestrovane_emu::tensor_map_box_bytes(map_from(bytes)); }

int64_t tile_load(const at::Tensor& bytes, int64_t rank, const std::vector<int64_t>& coords, at::Tensor& window,
                  int64_t window_address, int64_t dst_address) {
  TORCH_CHECK(window.dtype() == at::kByte && window.is_contiguous() && window.device().is_cpu(),
              "the shared window is a contiguous uint8 CPU tensor");
  const CUtensorMap map = map_from(bytes);
  std::vector<int32_t> coordinates(std::max<size_t>(coords.size(), 5), 0);
  for (size_t i = 0; i < coords.size(); ++i) coordinates[i] = static_cast<int32_t>(coords[i]);
  // The swizzled box stays within the 128-byte lines the dense box covers.
  if (kestrovane_emu::tensor_map_rank(map) != 0) {
    const int64_t footprint = (int64_t{kestrovane_emu::tensor_map_box_bytes(map)} + 127) / 128 * 128;
    TORCH_CHECK(dst_address >= window_address && dst_address - window_address + footprint <= window.numel(),
                "the box does not fit in the shared window");
  }
  auto* dst = window.data_ptr<uint8_t>() + (dst_address - window_address);
  return kestrovane_emu::tensor_map_tile_load(map, static_cast<int>(rank), coordinates.data(), dst,
                                              static_cast<uint32_t>(dst_address));
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_emu_tensor_map, m) {
  m.def("encode", &encode, "cuTensorMapEncodeTiled of the model: (CUresult, the 128 map bytes)");
  m.def("rank", &map_rank, "The rank of an encoded map, 0 for other bytes");
  m.def("box_bytes", &box_bytes, "The bytes one tile copy of the map delivers");
  m.def("tile_load", &tile_load, "cp.async.bulk.tensor tile copy into a shared window; returns the bytes");
}
