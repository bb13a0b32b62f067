// The device side of an entry: the device scope held for a call, the caller's current
// stream and the tensors an entry allocates. Entry units use these names; an emulated
// build (KESTROVANE_EMULATED) gives them to the CPU execution model.
#pragma once

#include <ATen/core/Tensor.h>
#include <c10/core/TensorOptions.h>
#include <cuda_runtime_api.h>

#if defined(KESTROVANE_EMULATED)
#include "emulator/torch_device.h"
#else
#include <ATen/ops/empty.h>
#include <ATen/ops/empty_like.h>
#include <c10/cuda/CUDAException.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>
#endif

namespace kestrovane {

#if defined(KESTROVANE_EMULATED)
using DeviceGuard = kestrovane_emu::DeviceGuard;
using kestrovane_emu::current_stream;
using kestrovane_emu::empty;
using kestrovane_emu::empty_like;
using kestrovane_emu::cuda_status_check;
#else
// Makes a tensor's device current for the rest of the scope.
using DeviceGuard = c10::cuda::CUDAGuard;

// PyTorch's current stream of device `index` (-1: the current device).
inline cudaStream_t current_stream(c10::DeviceIndex index = -1) {
  return c10::cuda::getCurrentCUDAStream(index).stream();
}

inline at::Tensor empty(at::IntArrayRef sizes, const at::TensorOptions& options) { return at::empty(sizes, options); }
inline at::Tensor empty_like(const at::Tensor& like) { return at::empty_like(like); }

// PyTorch's CUDA check of a runtime status: raises PyTorch's CUDA error for anything but success.
inline void cuda_status_check(int32_t status, const char* file, const char* function, uint32_t line) {
  c10::cuda::c10_cuda_check_implementation(status, file, function, line, true);
}
#endif

}  // namespace kestrovane
