// The device that the emulated modules present to PyTorch: device 0 only, the null
// stream (every launch completes before it returns), and outputs in host memory that
// carry CUDA metadata, so that callers see them as they would see GPU tensors.
#pragma once

#include <ATen/core/Tensor.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/empty_strided.h>
#include <ATen/ops/from_blob.h>
#include <c10/core/TensorOptions.h>
#include <c10/util/Exception.h>
#include <cuda_runtime_api.h>

#include <cstring>

#include "emulator/checks.h"

namespace kestrovane_emu {

// The emulated machine has one device, ordinal 0.
class DeviceGuard {
 public:
  explicit DeviceGuard(const c10::Device& device) {
    TORCH_CHECK(device.is_cuda() && device.index() == 0, "CUDA error: invalid device ordinal");
  }
};

inline cudaStream_t current_stream(c10::DeviceIndex = -1) { return nullptr; }

// New outputs start filled with the NaN pattern, so that an element no kernel writes shows.
inline at::Tensor poisoned(at::Tensor host) {
  if (host.numel() > 0) std::memset(host.data_ptr(), 0xFF, host.nbytes());
  return host;
}

// A CUDA-metadata tensor over `host` (a CPU tensor), which it keeps alive. A buffer the entry
// allocates is device memory that its launches may reach, for as long as
// the tensor lives.
inline at::Tensor allocated(const at::Tensor& host, const c10::Device& device) {
  void* base = host.storage().mutable_data();
  add_device_allocation(base, host.storage().nbytes());
  const auto options = host.options().device(device);
  return at::from_blob(
      host.data_ptr(), host.sizes(), host.strides(),
      [keep = host, base](void*) mutable {
        remove_device_allocation(base);
        keep.reset();
      },
      options, device);
}

inline at::Tensor empty(at::IntArrayRef sizes, const at::TensorOptions& options) {
  const c10::Device device = options.device();
  return allocated(poisoned(at::empty(sizes, options.device(c10::kCPU))), device);
}

inline at::Tensor empty_like(const at::Tensor& like) {
  // empty_like keeps the layout of a dense, non-overlapping tensor and is contiguous otherwise.
  const auto options = like.options().device(c10::kCPU);
  at::Tensor host = like.is_non_overlapping_and_dense() ? at::empty_strided(like.sizes(), like.strides(), options)
                                                        : at::empty(like.sizes(), options);
  return allocated(poisoned(host), like.device());
}

// A failed runtime status raises as PyTorch's CUDA check words it; the model keeps no
// device-side assertions to report with it.
inline void cuda_status_check(int32_t status, const char* file, const char* function, uint32_t line) {
  TORCH_CHECK(status == cudaSuccess, "CUDA error: ", cudaGetErrorString(static_cast<cudaError_t>(status)));
}

}  // namespace kestrovane_emu
