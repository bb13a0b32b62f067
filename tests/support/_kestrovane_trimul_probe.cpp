// Test-only helper module (never part of a deliverable): runs the projection probe kernels on
// saved normalised rows and returns the FP32 projections [rows, count, H], so that the GPU
// tests compare the input stage's panel layout (five weights) with the gate split's (four).
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>
#include <torch/types.h>

#include <vector>

#include "common/module.h"
#include "tests/support/trimul_probe_launch.h"

namespace {

at::Tensor probe_projections(const at::Tensor& zln, const std::vector<at::Tensor>& weights) {
  TORCH_CHECK(zln.is_cuda() && zln.scalar_type() == at::kBFloat16 && zln.is_contiguous() && zln.dim() == 2,
              "zln must be contiguous BF16 [rows, C] on a CUDA device");
  const int64_t rows = zln.size(0);
  const int C = static_cast<int>(zln.size(1));
  TORCH_CHECK(weights.size() == 4 || weights.size() == 5, "four or five weights");
  TORCH_CHECK(C == 32 || C == 64 || C == 96 || C == 128, "C must be 32, 64, 96 or 128");
  TORCH_CHECK(reinterpret_cast<uintptr_t>(zln.data_ptr()) % 16 == 0, "zln must be 16-byte aligned");
  kestrovane::trimul::ProbeWeights w{};
  for (size_t k = 0; k < weights.size(); ++k) {
    const at::Tensor& t = weights[k];
    TORCH_CHECK(t.device() == zln.device() && t.scalar_type() == at::kFloat && t.is_contiguous() &&
                    t.sizes() == c10::IntArrayRef({C, C}),
                "weights must be contiguous FP32 [C, C] on zln's device");
    w.w[k] = t.const_data_ptr<float>();
  }
  const c10::cuda::CUDAGuard guard(zln.device());
  at::Tensor out = torch::empty({rows, static_cast<int64_t>(weights.size()), C}, zln.options().dtype(at::kFloat));
  const cudaError_t status = kestrovane::trimul::launch_probe_projections(
      zln.const_data_ptr(), w, static_cast<int>(weights.size()), rows, C, C, out.mutable_data_ptr<float>(),
      c10::cuda::getCurrentCUDAStream(zln.device().index()).stream());
  TORCH_CHECK(status == cudaSuccess, "probe launch failed: ", cudaGetErrorString(status));
  return out;
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_trimul_probe, m) {
  m.def("probe_projections", &probe_projections, "FP32 projections [rows, count, H] of saved normalised rows");
}
