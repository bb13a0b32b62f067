// _kestrovane_delta_sm90a: the validating entries of the backward delta module.
// Both entries run the same checks top to bottom in a fixed order and throw on the
// first violation, then guard d_output's device and queue one kernel on the current
// stream of that device. Nothing here synchronises with the GPU.
#include <cuda_runtime_api.h>
#include <torch/types.h>

#include <cstdint>

#include "common/checks.h"
#include "common/device.h"
#include "common/module.h"
#include "delta/delta_launch.h"
#include "delta/delta_plan.h"

namespace {

using kestrovane::delta::DeltaLaunch;
using kestrovane::delta::kMaxIntExtent;
using kestrovane::delta::kMaxRows;

struct DeltaSizes {
  int64_t rows;
  int I;
  int J;
  int D;
};

// The checks both entries share, in their order. Every access of the kernels is one
// element wide, so no pointer needs more than its element's natural alignment.
DeltaSizes validate_delta(const at::Tensor& d_output, const at::Tensor& output, const at::Tensor& delta) {
  TORCH_CHECK(d_output.is_cuda() && d_output.dtype() == torch::kBFloat16);
  TORCH_CHECK(d_output.dim() == 5 && d_output.size(-1) > 0);
  TORCH_CHECK(output.is_cuda() && output.device() == d_output.device() && output.dtype() == torch::kBFloat16 &&
              output.sizes() == d_output.sizes());
  TORCH_CHECK(d_output.is_contiguous() && output.is_contiguous());
  const int64_t D = d_output.size(-1);
  TORCH_CHECK(D <= kMaxIntExtent, "head dimension exceeds the CUDA int indexing contract");
  // The kernels take I and J as int and divide by them: a wider extent would wrap.
  const int64_t I = d_output.size(2);
  const int64_t J = d_output.size(3);
  TORCH_CHECK(I <= kMaxIntExtent && J <= kMaxIntExtent,
              "d_output sizes 2 and 3 (N and H) exceed the CUDA int indexing contract");
  TORCH_CHECK(delta.is_cuda() && delta.device() == d_output.device() && delta.dtype() == torch::kFloat32 &&
              delta.is_contiguous());
  const int64_t rows = d_output.numel() / static_cast<int>(D);
  TORCH_CHECK(delta.numel() == rows);
  TORCH_CHECK(rows <= kMaxRows, "delta launch exceeds the CUDA grid-x contract");
  return {rows, static_cast<int>(I), static_cast<int>(J), static_cast<int>(D)};
}

void launch_checked(const DeltaLaunch& launch) {
  kestrovane::delta::launch_delta(launch, kestrovane::current_stream(-1));
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "launch failed");
}

void kestrovane_triangle_delta_out(const at::Tensor& d_output, const at::Tensor& output, at::Tensor& delta) {
  // The device for which this thread last resolved the kernel's attributes.
  thread_local int resolved_device = -1;

  const DeltaSizes sizes = validate_delta(d_output, output, delta);
  // No rows (an empty batch, outer, sequence or head extent): nothing to launch.
  if (sizes.rows == 0) return;
  const kestrovane::DeviceGuard guard(d_output.device());
  const int device = d_output.get_device();
  if (device != resolved_device) {
    const cudaError_t probe = kestrovane::delta::resolve_delta_kernel_attributes();
    if (probe != cudaSuccess) {
      (void)cudaGetLastError();  // a later launch must not report this error as its own
    }
    TORCH_CHECK(probe == cudaSuccess, "failed to resolve Kestrovane delta kernel attributes: ",
                cudaGetErrorString(probe));
    resolved_device = device;
  }
  launch_checked({d_output.const_data_ptr(), output.const_data_ptr(), nullptr, delta.mutable_data_ptr<float>(),
                  sizes.rows, sizes.I, sizes.J, sizes.D});
}

void kestrovane_triangle_delta_shadow_out(const at::Tensor& d_output, const at::Tensor& output,
                                          const at::Tensor& shadow_residual, at::Tensor& delta) {
  TORCH_CHECK(kestrovane::is_exact(shadow_residual, output.device(), at::kBFloat16, output.sizes()),
              "shadow_residual must be contiguous BF16 matching output");
  const DeltaSizes sizes = validate_delta(d_output, output, delta);
  if (sizes.rows == 0) return;
  const kestrovane::DeviceGuard guard(d_output.device());
  launch_checked({d_output.const_data_ptr(), output.const_data_ptr(), shadow_residual.const_data_ptr(),
                  delta.mutable_data_ptr<float>(), sizes.rows, sizes.I, sizes.J, sizes.D});
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_delta_sm90a, m) {
  m.def("kestrovane_triangle_delta_out", &kestrovane_triangle_delta_out,
        "delta = rowsum(dO * O), warp-owned rows, fixed shuffle tree");
  m.def("kestrovane_triangle_delta_shadow_out", &kestrovane_triangle_delta_shadow_out,
        "delta = rowsum(dO * (O + shadow residual)), probability-consistent");
}
