// Test-only module (never part of a deliverable): runs the cp.async + mma.sync forward
// kernels for head dimensions 16, 32 and 64, which the entry serves with the TMA kernels,
// so that the GPU tests can compare the two families on the same inputs. The caller passes
// tensors shaped as for kestrovane_triangle_forward_out; only what the launch needs is checked.
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>
#include <cuda_runtime_api.h>

#include <optional>

#include "common/checks.h"
#include "common/module.h"
#include "forward/forward_launch.h"

namespace {

kestrovane::LaunchResult launch_tier(const kestrovane::forward::ForwardLaunch& launch, cudaStream_t stream) {
  using kestrovane::forward::launch_forward;
  return launch.D == 16   ? launch_forward<16>(launch, stream)
         : launch.D == 32 ? launch_forward<32>(launch, stream)
                          : launch_forward<64>(launch, stream);
}

void forward_mma_out(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, const at::Tensor& mask,
                     const at::Tensor& bias, at::Tensor& out, at::Tensor& lse,
                     const std::optional<at::Tensor>& shadow_residual) {
  TORCH_CHECK(q.dim() == 5 && q.is_cuda(), "q must be a 5-D CUDA tensor");
  const int64_t B = q.size(0), O = q.size(1), H = q.size(2), N = q.size(3), D = q.size(4);
  const c10::Device device = q.device();
  using kestrovane::is_exact;
  TORCH_CHECK(D == 16 || D == 32 || D == 64, "head_dim must be 16, 32 or 64");
  TORCH_CHECK(is_exact(q, device, at::kBFloat16, {B, O, H, N, D}) && is_exact(k, device, at::kBFloat16, q.sizes()) &&
                  is_exact(v, device, at::kBFloat16, q.sizes()) &&
                  is_exact(mask, device, at::kFloat, {B, O, 1, 1, N}) &&
                  is_exact(bias, device, at::kBFloat16, {B, 1, H, N, N}) &&
                  is_exact(out, device, at::kBFloat16, {B, O, N, H, D}) &&
                  is_exact(lse, device, at::kFloat, {B, O, H, N}),
              "tensors must be contiguous and shaped as for kestrovane_triangle_forward_out");
  TORCH_CHECK(!shadow_residual || is_exact(*shadow_residual, device, at::kBFloat16, out.sizes()),
              "shadow_residual must match out");
  const c10::cuda::CUDAGuard guard(device);
  const cudaStream_t stream = c10::cuda::getCurrentCUDAStream(-1).stream();
  const kestrovane::forward::ForwardLaunch launch{
      q.const_data_ptr(), k.const_data_ptr(), v.const_data_ptr(), mask.const_data_ptr<float>(),
      bias.const_data_ptr(), out.mutable_data_ptr(), lse.mutable_data_ptr<float>(),
      shadow_residual ? shadow_residual->mutable_data_ptr() : nullptr, static_cast<int>(N), static_cast<int>(O),
      static_cast<int>(H), static_cast<int>(B), static_cast<int>(D)};
  const kestrovane::LaunchResult result = launch_tier(launch, stream);
  TORCH_CHECK(result.ok(), "shared-memory opt-in failed: ", cudaGetErrorString(static_cast<cudaError_t>(result.code)));
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "launch failed");
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_forward_mma_forced, m) {
  m.def("forward_mma_out", &forward_mma_out, "cp.async + mma.sync forward for D = 16, 32, 64 (tests only)");
}
