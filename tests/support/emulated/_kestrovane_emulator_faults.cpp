// Test-only module (emulated builds only): runs the planted-fault kernels on the CPU
// execution model. A fault the model reports reaches Python as RuntimeError("emulator: ...").
#include <ATen/core/Tensor.h>

#include <cuda_runtime_api.h>

#include <string>
#include <vector>

#include "common/module.h"
#include "tests/support/emulated/faults.h"

namespace {

void run_fault(const std::string& name, const at::Tensor& src, at::Tensor& out) {
  using kestrovane_faults::Fault;
  TORCH_CHECK(src.is_cpu() && src.scalar_type() == at::kFloat && src.is_contiguous() && src.numel() >= 4);
  TORCH_CHECK(out.is_cpu() && out.scalar_type() == at::kFloat && out.is_contiguous() && out.numel() >= 64);
  Fault fault;
  if (name == "missing_arrival") {
    fault = Fault::missing_arrival;
  } else if (name == "partial_mask_shuffle") {
    fault = Fault::partial_mask_shuffle;
  } else if (name == "early_copy_read") {
    fault = Fault::early_copy_read;
  } else if (name == "out_of_window") {
    fault = Fault::out_of_window;
  } else {
    TORCH_CHECK(false, "unknown fault ", name);
  }
  kestrovane_faults::launch(fault, src.const_data_ptr<float>(), out.mutable_data_ptr<float>());
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
