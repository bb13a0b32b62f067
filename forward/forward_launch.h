// Launchers of the forward attention kernels. Plain types only: the entry unit
// passes data pointers and sizes, the kernel units never see PyTorch.
#pragma once

#include <cuda_runtime_api.h>

#include "common/launch.h"

namespace kestrovane {
namespace forward {

struct ForwardLaunch {
  const void* q;  // BF16 [B,O,H,N,D]
  const void* k;
  const void* v;
  const float* mask;      // FP32 [B,O,1,1,N]
  const void* bias;       // BF16 [B,1,H,N,N]
  void* out;              // BF16 [B,O,N,H,D]
  float* lse;             // FP32 [B,O,H,N]
  void* shadow_residual;  // BF16, out's sizes; null: no shadow output
  int N;
  int O;
  int H;
  int B;
  int D;  // runtime head dimension, at most HeadDimTier
};

// cp.async + mma.sync family, tiers 16, 32, 64, 128.
template <int HeadDimTier>
LaunchResult launch_forward(const ForwardLaunch& launch, cudaStream_t stream);

// TMA + wgmma family, tiers 16, 32, 64 (D equals the tier).
template <int HeadDimTier>
LaunchResult launch_forward_tma(const ForwardLaunch& launch, cudaStream_t stream);

}  // namespace forward
}  // namespace kestrovane
