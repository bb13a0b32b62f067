// TMA descriptors: the driver's cuTensorMapEncodeTiled, resolved at run time through
// the runtime's driver entry point, and the encode of the BF16 row-block maps that
// the attention kernels copy from. Host code only; the encoder is a parameter so
// that tests can capture the arguments without a driver.
#pragma once

#include <cuda.h>
#include <cuda_runtime_api.h>

#include <cstdint>

#include "common/smem_layout.h"

namespace kestrovane {

static_assert(CU_TENSOR_MAP_SWIZZLE_32B == static_cast<int>(Swizzle::k32B) &&
                  CU_TENSOR_MAP_SWIZZLE_64B == static_cast<int>(Swizzle::k64B) &&
                  CU_TENSOR_MAP_SWIZZLE_128B == static_cast<int>(Swizzle::k128B),
              "Swizzle values are the copy engine's swizzle modes");

// The signature of cuTensorMapEncodeTiled (CUDA 12.0 ABI).
using TensorMapEncoder = CUresult (*)(CUtensorMap*, CUtensorMapDataType, cuuint32_t, void*, const cuuint64_t*,
                                      const cuuint64_t*, const cuuint32_t*, const cuuint32_t*, CUtensorMapInterleave,
                                      CUtensorMapSwizzle, CUtensorMapL2promotion, CUtensorMapFloatOOBfill);

// Looks up `symbol` in the driver: true with the pointer stored, false when the
// runtime or the driver does not provide it. Never leaves a runtime error behind.
inline bool lookup_driver_symbol(const char* symbol, void** function) {
  *function = nullptr;
  auto status = static_cast<cudaDriverEntryPointQueryResult>(1);
#if CUDART_VERSION >= 12050
  // The versioned lookup (the unversioned one is deprecated from CUDA 13): the ABI
  // of CUDA 12.0, whose signature TensorMapEncoder spells out.
  const cudaError_t result = cudaGetDriverEntryPointByVersion(symbol, function, 12000, cudaEnableDefault, &status);
#else
  const cudaError_t result = cudaGetDriverEntryPoint(symbol, function, cudaEnableDefault, &status);
#endif
  if (result != cudaSuccess) {
    (void)cudaGetLastError();
  }
  return result == cudaSuccess && status == cudaDriverEntryPointSuccess && *function != nullptr;
}

using DriverLookup = bool (*)(const char*, void**);

// The encoder that `Lookup` finds, resolved once per process: concurrent first callers
// wait for one lookup under the static-initialisation guard. A failed lookup is not
// remembered (the initialiser throws, so the static stays uninitialised) and the next
// call looks again. Null when the lookup fails.
template <DriverLookup Lookup>
TensorMapEncoder resolve_tensor_map_encoder() {
  struct Unavailable {};
  try {
    static const TensorMapEncoder encoder = [] {
      void* function = nullptr;
      if (!Lookup("cuTensorMapEncodeTiled", &function)) {
        throw Unavailable{};
      }
      return reinterpret_cast<TensorMapEncoder>(function);
    }();
    return encoder;
  } catch (const Unavailable&) {
    return nullptr;
  }
}

// The driver's cuTensorMapEncodeTiled, or null when this driver lacks it.
inline TensorMapEncoder tensor_map_encode_fn() { return resolve_tensor_map_encoder<&lookup_driver_symbol>(); }

constexpr const char* kEncoderUnavailableMessage = "cuTensorMapEncodeTiled is unavailable in this driver";
constexpr const char* kEncodeFailedMessage = "cuTensorMapEncodeTiled failed: ";

// Encodes a BF16 map of rank `Rank` (dimensions innermost first, byte strides of every
// dimension but the innermost, element strides 1) with the swizzle whose span is one box row
// of `box[0]` elements, no interleave, no L2 promotion and no OOB fill value: elements
// outside the tensor arrive as zeros. `address` is null for an empty tensor.
template <int Rank>
inline CUresult encode_bf16_tiled_map(CUtensorMap* map, TensorMapEncoder encode, const void* address,
                                      const cuuint64_t (&dims)[Rank], const cuuint64_t (&strides)[Rank - 1],
                                      const cuuint32_t (&box)[Rank]) {
  cuuint32_t element_strides[Rank];
  for (cuuint32_t& stride : element_strides) {
    stride = 1;
  }
  return encode(map, CU_TENSOR_MAP_DATA_TYPE_BFLOAT16, Rank, const_cast<void*>(address), dims, strides, box,
                element_strides, CU_TENSOR_MAP_INTERLEAVE_NONE,
                static_cast<CUtensorMapSwizzle>(static_cast<int>(swizzle_for_row(static_cast<int>(box[0])))),
                CU_TENSOR_MAP_L2_PROMOTION_NONE, CU_TENSOR_MAP_FLOAT_OOB_FILL_NONE);
}

// Encodes a rank-3 BF16 map over `slices` contiguous [rows, D] matrices starting at
// `address`: dimensions (D, rows, slices), box (D, box_rows, 1), the swizzle whose span
// is one row of D elements. A slice is a dimension of its own, so a box never reaches
// into the next slice, and rows at or past `rows` arrive as zeros (no OOB fill value).
// Dimensions and strides are 64-bit; `address` is null for an empty tensor.
inline CUresult encode_slice_rows_map(CUtensorMap* map, TensorMapEncoder encode, const void* address, int D,
                                      int rows, int64_t slices, int box_rows) {
  const cuuint64_t dims[3] = {static_cast<cuuint64_t>(D), static_cast<cuuint64_t>(rows),
                              static_cast<cuuint64_t>(slices)};
  const cuuint64_t strides[2] = {2 * static_cast<cuuint64_t>(D), 2 * static_cast<cuuint64_t>(D) * rows};
  const cuuint32_t box[3] = {static_cast<cuuint32_t>(D), static_cast<cuuint32_t>(box_rows), 1};
  return encode_bf16_tiled_map(map, encode, address, dims, strides, box);
}

}  // namespace kestrovane
