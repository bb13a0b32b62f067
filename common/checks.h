// Tensor checks shared by the validating entries. The checks are macros so that a
// failure records the entry's own function, source unit and line.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstddef>
#include <cstdint>

namespace kestrovane {

// A CUDA tensor on exactly `device` (type and index).
inline bool on_device(const at::Tensor& t, const c10::Device& device) {
  return t.is_cuda() && t.device() == device;
}

// On `device`, of dtype `dtype`, contiguous, with exactly these sizes.
inline bool is_exact(const at::Tensor& t, const c10::Device& device, at::ScalarType dtype,
                     c10::IntArrayRef sizes) {
  return on_device(t, device) && t.scalar_type() == dtype && t.is_contiguous() && t.sizes() == sizes;
}

// On `device`, of dtype `dtype`, contiguous, holding exactly `numel` elements in any shape.
inline bool is_flat(const at::Tensor& t, const c10::Device& device, at::ScalarType dtype,
                    int64_t numel) {
  return on_device(t, device) && t.scalar_type() == dtype && t.is_contiguous() && t.numel() == numel;
}

// Kernels move data in words wider than one element; a view may start at any element.
inline bool is_aligned(const at::Tensor& t, std::size_t bytes) {
  return reinterpret_cast<std::uintptr_t>(t.data_ptr()) % bytes == 0;
}

}  // namespace kestrovane

// Fails with "<name> must be <bytes>-byte aligned" unless the tensor's data pointer is aligned.
#define KESTROVANE_CHECK_ALIGNED(tensor, bytes) \
  TORCH_CHECK(::kestrovane::is_aligned(tensor, bytes), #tensor " must be " #bytes "-byte aligned")
