// Host-side launch helpers shared by every module's launchers. Plain CUDA runtime
// only: kernel units include this without PyTorch, and report failures through
// LaunchResult so that the entry unit raises the module's own message.
#pragma once

#include <cuda_runtime_api.h>

namespace kestrovane {

enum class LaunchFailure {
  none,
  smem_opt_in,          // cudaFuncSetAttribute refused the dynamic shared-memory size; code: cudaError_t
  tensor_map_encode,    // cuTensorMapEncodeTiled refused a descriptor; code: CUresult
  encoder_unavailable,  // the driver does not provide cuTensorMapEncodeTiled
};

struct LaunchResult {
  LaunchFailure failure = LaunchFailure::none;
  int code = 0;
  bool ok() const { return failure == LaunchFailure::none; }
};

// Raises `kernel`'s dynamic shared-memory limit to `bytes`. On failure the
// runtime's last error is cleared, so a later successful launch is not reported
// as failed by the entry's cudaGetLastError check.
inline cudaError_t opt_in_dynamic_smem(const void* kernel, int bytes) {
  const cudaError_t result = cudaFuncSetAttribute(kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, bytes);
  if (result != cudaSuccess) {
    (void)cudaGetLastError();
  }
  return result;
}

inline LaunchResult opt_in_result(cudaError_t result) {
  return result == cudaSuccess ? LaunchResult{} : LaunchResult{LaunchFailure::smem_opt_in, static_cast<int>(result)};
}

}  // namespace kestrovane
