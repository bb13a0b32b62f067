// Host side of the dK/dV TMA path: the driver's encoder and the four tensor maps that the
// TMA kernels copy from. Plain C++ over the CUDA driver types (no PyTorch): the entry, and
// the host tests through an injected encoder, call the same builders. A builder reports a
// failure through LaunchResult; the entry raises the builder's message.
#pragma once

#include <cuda.h>

#include <cstdint>
#include <string>

#include "common/launch.h"
#include "common/tensor_map.h"
#include "dkdv/dkdv_plan.h"

namespace kestrovane {
namespace dkdv {

// cuTensorMapEncodeTiled, resolved once per process (a failed lookup is retried on the
// next call); null when the driver lacks it.
inline TensorMapEncoder dkdv_tensor_map_encode_fn() { return tensor_map_encode_fn(); }

constexpr const char* kQMapFailed = "dkdv q map encode failed: ";
constexpr const char* kDoMapFailed = "dkdv dO map encode failed: ";
constexpr const char* kKvMapFailed = "dkdv kv map encode failed: ";

// Every map's swizzle is the one whose span is one row of D BF16 values (32B, 64B and 128B
// for D = 16, 32, 64): the box rows are exactly one span.
inline LaunchResult encode_result(CUresult result) {
  return result == CUDA_SUCCESS ? LaunchResult{}
                                : LaunchResult{LaunchFailure::tensor_map_encode, static_cast<int>(result)};
}

// The q map over q [B,O,H,N,D]: dimensions (D, N, slices), boxes of 32 query rows of one
// slice; rows past N arrive as zeros.
inline LaunchResult dkdv_make_q_map(CUtensorMap* map, const void* q, int D, int N, int64_t slices,
                                    TensorMapEncoder encode) {
  if (encode == nullptr) {
    return {LaunchFailure::encoder_unavailable, 0};
  }
  return encode_result(encode_slice_rows_map(map, encode, q, D, N, slices, kQueryTile));
}

// The dO map over the physical d_output [B,O,N,H,D]: dimensions (D, H, N, batch_outer),
// boxes of one head's 32 query rows (2*D*H bytes apart) of one (batch, outer) index.
inline LaunchResult dkdv_make_do_map(CUtensorMap* map, const void* d_output, int D, int N, int H,
                                     int64_t batch_outer, TensorMapEncoder encode) {
  if (encode == nullptr) {
    return {LaunchFailure::encoder_unavailable, 0};
  }
  const cuuint64_t row = 2 * static_cast<cuuint64_t>(D);
  const cuuint64_t dims[4] = {static_cast<cuuint64_t>(D), static_cast<cuuint64_t>(H), static_cast<cuuint64_t>(N),
                              static_cast<cuuint64_t>(batch_outer)};
  const cuuint64_t strides[3] = {row, row * static_cast<cuuint64_t>(H),
                                 row * static_cast<cuuint64_t>(H) * static_cast<cuuint64_t>(N)};
  const cuuint32_t box[4] = {static_cast<cuuint32_t>(D), 1, static_cast<cuuint32_t>(kQueryTile), 1};
  return encode_result(encode_bf16_tiled_map(map, encode, d_output, dims, strides, box));
}

// The block map over k or v [B,O,H,N,D]: dimensions (D, N, slices), boxes of one key
// block (64 rows) of one slice; keys past N arrive as zeros.
inline LaunchResult dkdv_make_kv_block_map(CUtensorMap* map, const void* t, int D, int N, int64_t slices,
                                           TensorMapEncoder encode) {
  if (encode == nullptr) {
    return {LaunchFailure::encoder_unavailable, 0};
  }
  return encode_result(encode_slice_rows_map(map, encode, t, D, N, slices, kKeyBlock));
}

// What the entry raises for a builder's failure: the driver lacks the encoder, or the
// builder's message followed by the driver's CUresult in decimal.
inline std::string map_failure_message(const LaunchResult& result, const char* builder_message) {
  if (result.failure == LaunchFailure::encoder_unavailable) {
    return kEncoderUnavailableMessage;
  }
  return builder_message + std::to_string(result.code);
}

}  // namespace dkdv
}  // namespace kestrovane
