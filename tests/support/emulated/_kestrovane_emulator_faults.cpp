// Test-only module (emulated builds only): runs the planted-fault kernels on the CPU
// execution model. A fault the model reports reaches Python as RuntimeError("emulator: ...").
#include <ATen/core/Tensor.h>

#include <cuda_runtime_api.h>

#include <map>
#include <string>
#include <vector>

#include "emulator/checks.h"

#include "common/module.h"
#include "tests/support/emulated/faults.h"

namespace {

void run_fault(const std::string& name, const at::Tensor& src, at::Tensor& out) {
  using kestrovane_faults::Fault;
  TORCH_CHECK(src.is_cpu() && src.scalar_type() == at::kFloat && src.is_contiguous() && src.numel() >= 4);
  TORCH_CHECK(out.is_cpu() && out.scalar_type() == at::kFloat && out.is_contiguous() && out.numel() >= 64);
  static const std::map<std::string, Fault> faults = {
      {"missing_arrival", Fault::missing_arrival},   {"partial_mask_shuffle", Fault::partial_mask_shuffle},
      {"early_copy_read", Fault::early_copy_read},   {"out_of_window", Fault::out_of_window},
      {"shared_race", Fault::shared_race},           {"uninitialised_read", Fault::uninitialised_read},
      {"tail_store", Fault::tail_store},             {"misaligned_store", Fault::misaligned_store},
      {"block_conflict", Fault::block_conflict},     {"ordered_exchange", Fault::ordered_exchange}};
  const auto found = faults.find(name);
  TORCH_CHECK(found != faults.end(), "unknown fault ", name);
  // The launch reaches these two tensors and nothing else.
  kestrovane_emu::declare_device_memory({{reinterpret_cast<uintptr_t>(src.data_ptr()), src.nbytes()},
                                         {reinterpret_cast<uintptr_t>(out.data_ptr()), out.nbytes()}},
                                        {"src", "out"});
  struct Clear {
    ~Clear() { kestrovane_emu::clear_declared_device_memory(); }
  } clear;
  kestrovane_faults::launch(found->second, src.const_data_ptr<float>(), out.mutable_data_ptr<float>());
}

int probe_launch(const std::vector<int64_t>& grid, const std::vector<int64_t>& block, int dynamic_smem,
                 int opt_in, at::Tensor& out) {
  TORCH_CHECK(grid.size() == 3 && block.size() == 3);
  TORCH_CHECK(out.is_cpu() && out.scalar_type() == at::kFloat && out.is_contiguous());
  auto d3 = [](const std::vector<int64_t>& v) {
    return dim3(static_cast<unsigned>(v[0]), static_cast<unsigned>(v[1]), static_cast<unsigned>(v[2]));
  };
  return kestrovane_faults::probe_launch(d3(grid), d3(block), dynamic_smem, opt_in, out.mutable_data_ptr<float>());
}

int device_attribute(int attribute, int device) {
  int value = -1;
  const cudaError_t result = cudaDeviceGetAttribute(&value, static_cast<cudaDeviceAttr>(attribute), device);
  (void)cudaGetLastError();
  return result == cudaSuccess ? value : -static_cast<int>(result);
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_emulator_faults, m) {
  m.def("run_fault", &run_fault, "Runs one planted-fault kernel on the CPU execution model");
  m.def("probe_launch", &probe_launch, "Launches the probe kernel; returns the runtime's error code");
  m.def("device_attribute", &device_attribute, "cudaDeviceGetAttribute of the emulated device");
}
