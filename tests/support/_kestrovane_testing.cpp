// Test-only helper module (never part of a deliverable).
//
// fake_cuda_tensor makes a tensor that carries CUDA device metadata (any device
// index, dtype, sizes, strides and byte offset of its data pointer) over a small
// host buffer that nothing ever reads. The entries validate metadata before they
// touch the device, so such tensors drive every validation path without a GPU;
// a call that passes validation then fails at the device guard.
//
// cuda_alias and host_view move a tensor between the CPU and CUDA device metadata
// without touching its memory: the result has the source's sizes, strides, dtype,
// storage offset and data pointer, over a storage of the same bytes that keeps the
// source's storage alive. The emulated modules take CUDA tensors over host memory
// and return such tensors; these two carry tensors to and from them.
#include <ATen/ops/from_blob.h>
#include <c10/core/Storage.h>
#include <c10/core/TensorImpl.h>

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

// The tensor of t's sizes, strides, storage offset and dtype on `device`, whose storage
// spans the same bytes as t's and holds a reference to t's storage until it goes.
at::Tensor alias_on(const at::Tensor& t, c10::Device device) {
  const c10::Storage& source = t.storage();
  auto* keep = new c10::Storage(source);
  c10::DataPtr data(const_cast<void*>(source.data()), keep,
                    [](void* context) { delete static_cast<c10::Storage*>(context); }, device);
  c10::Storage storage(c10::Storage::use_byte_size_t{}, source.nbytes(), std::move(data),
                       /*allocator=*/nullptr, /*resizable=*/false);
  const auto options = at::TensorOptions().dtype(t.dtype()).device(device);
  at::Tensor alias = at::detail::make_tensor<c10::TensorImpl>(std::move(storage), options.computeDispatchKey(),
                                                              t.dtype());
  alias.unsafeGetTensorImpl()->set_sizes_and_strides(t.sizes(), t.strides(), t.storage_offset());
  return alias;
}

at::Tensor cuda_alias(const at::Tensor& t) {
  TORCH_CHECK(t.device().is_cpu(), "cuda_alias takes a CPU tensor, got one on ", t.device());
  return alias_on(t, c10::Device(c10::DeviceType::CUDA, 0));
}

at::Tensor host_view(const at::Tensor& a) {
  // Only the caller knows that a's memory is host memory (a cuda_alias, or an emulated
  // module's result): a real device pointer here would fault on the first read.
  TORCH_CHECK(a.device().is_cuda(), "host_view takes a CUDA tensor over host memory, got one on ", a.device());
  return alias_on(a, c10::Device(c10::DeviceType::CPU));
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_testing, m) {
  m.def("fake_cuda_tensor", &fake_cuda_tensor, pybind11::arg("sizes"), pybind11::arg("dtype"),
        pybind11::arg("device_index") = 0, pybind11::arg("strides") = std::nullopt,
        pybind11::arg("byte_offset") = 0,
        "A tensor with CUDA metadata over host memory that is never read");
  m.def("cuda_alias", &cuda_alias, pybind11::arg("t"),
        "A tensor on cuda:0 over a CPU tensor's own memory (same data pointer, sizes, strides, offset)");
  m.def("host_view", &host_view, pybind11::arg("a"),
        "A CPU tensor over the host memory of a CUDA-metadata tensor (same data pointer, sizes, strides, offset)");
}
