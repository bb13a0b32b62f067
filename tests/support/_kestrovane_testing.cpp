// Test-only helper module (never part of a deliverable).
//
// fake_cuda_tensor makes a tensor that carries CUDA device metadata (any device
// index, dtype, sizes, strides and byte offset of its data pointer) over a small
// host buffer that nothing ever reads. The entries validate metadata before they
// touch the device, so such tensors drive every validation path without a GPU;
// a call that passes validation then fails at the device guard.
#include <ATen/ops/from_blob.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "common/module.h"

namespace {

at::Tensor fake_cuda_tensor(const std::vector<int64_t>& sizes, at::ScalarType dtype, int64_t device_index,
                            const std::optional<std::vector<int64_t>>& strides, int64_t byte_offset) {
  TORCH_CHECK(byte_offset >= 0 && byte_offset < 4096, "byte_offset must be in [0, 4096)");
  // The claimed storage may be far larger than this buffer: it is never dereferenced.
  void* base = std::aligned_alloc(4096, 8192);
  TORCH_CHECK(base != nullptr, "host allocation failed");
  const c10::Device device(c10::DeviceType::CUDA, static_cast<c10::DeviceIndex>(device_index));
  const auto options = at::TensorOptions().dtype(dtype).device(device);
  auto deleter = [base](void*) { std::free(base); };
  void* data = static_cast<char*>(base) + byte_offset;
  if (strides) {
    return at::from_blob(data, sizes, *strides, deleter, options, device);
  }
  return at::from_blob(data, sizes, deleter, options, device);
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_testing, m) {
  m.def("fake_cuda_tensor", &fake_cuda_tensor, pybind11::arg("sizes"), pybind11::arg("dtype"),
        pybind11::arg("device_index") = 0, pybind11::arg("strides") = std::nullopt,
        pybind11::arg("byte_offset") = 0,
        "A tensor with CUDA metadata over host memory that is never read");
}
