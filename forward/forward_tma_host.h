// Host side of the TMA + wgmma forward kernels (their shared-memory layout and the
// tensor maps over k and v) and the text that the forward entries raise when a
// launcher fails before queueing. The launchers, the entry and the host tests use
// the same functions.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>
#include <string>

#include "common/launch.h"
#include "common/smem_layout.h"
#include "common/tensor_map.h"
#include "forward/forward_plan.h"

namespace kestrovane {
namespace forward {

// Dynamic shared memory of one block (byte offsets): the query staging area keeps the
// padded pitch HD + 8 of the ldmatrix path; the key and value stages are dense TMA boxes
// of 64 rows, swizzled, each starting on a multiple of its swizzle repeat.
struct ForwardTmaLayout {
  int q_staging;
  int k_stage0;
  int k_stage1;
  int v_stage0;
  int v_stage1;
  int tile_bytes;  // one 64 x HD box: the transaction bytes of one copy
  int total;
};

KESTROVANE_HOST_DEVICE constexpr ForwardTmaLayout forward_tma_layout(int HD) {
  const int staging = kTileRows * (HD + 8) * 2;
  const int tile = kTileRows * HD * 2;
  return {0, staging, staging + tile, staging + 2 * tile, staging + 3 * tile, tile, staging + 4 * tile};
}

// The descriptor over k or v ([slices, N, HD] BF16): boxes of 64 key rows of one slice,
// one swizzle span per row; rows past N arrive as zeros. A null encoder means that the
// driver lacks cuTensorMapEncodeTiled.
inline LaunchResult make_kv_tensor_map(CUtensorMap* map, const void* t, int HD, int N, int64_t slices,
                                       TensorMapEncoder encode) {
  if (encode == nullptr) {
    return {LaunchFailure::encoder_unavailable, 0};
  }
  const CUresult result = encode_slice_rows_map(map, encode, t, HD, N, slices, kTileRows);
  return result == CUDA_SUCCESS ? LaunchResult{} : LaunchResult{LaunchFailure::tensor_map_encode, static_cast<int>(result)};
}

// What the forward entries raise for a launcher's failure (`tma`: it was launch_forward_tma).
inline std::string forward_launch_failure_message(const LaunchResult& result, bool tma) {
  switch (result.failure) {
    case LaunchFailure::smem_opt_in:
      return std::string(tma ? "failed to opt in Kestrovane TMA forward shared memory: "
                             : "failed to opt in Kestrovane forward shared memory: ") +
             cudaGetErrorString(static_cast<cudaError_t>(result.code));
    case LaunchFailure::tensor_map_encode:
      return kEncodeFailedMessage + std::to_string(result.code);
    case LaunchFailure::encoder_unavailable:
      return kEncoderUnavailableMessage;
    case LaunchFailure::none:
      break;
  }
  return {};
}

}  // namespace forward
}  // namespace kestrovane
