// Launcher of the delta kernels. Plain types only, so the entry unit does not see
// device code and the kernel unit does not see PyTorch.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>

namespace kestrovane {
namespace delta {

struct DeltaLaunch {
  const void* d_output;         // BF16 [d0, d1, I, J, D]
  const void* output;           // BF16, d_output's sizes
  const void* shadow_residual;  // BF16, d_output's sizes; null: the plain kernel
  float* delta;                 // FP32, one value per row in [d0, d1, J, I] order
  int64_t rows;                 // d0 * d1 * I * J, at least 1 and at most kMaxRows
  int I;
  int J;
  int D;
};

// Queues the plain or the shadow kernel on `stream`; the caller reads cudaGetLastError.
void launch_delta(const DeltaLaunch& launch, cudaStream_t stream);

// cudaFuncGetAttributes of the plain kernel on the current device: fails where the
// module holds no image that the device can run.
cudaError_t resolve_delta_kernel_attributes();

}  // namespace delta
}  // namespace kestrovane
