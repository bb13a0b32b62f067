// Test-only module (never part of a deliverable): runs the cp.async + mma.sync dK/dV kernels
// for head dimensions 16, 32 and 64, which the entries serve with the TMA kernels, so that the
// GPU tests and the benchmark can compare the two families on the same inputs. The caller
// passes the tensors of kestrovane_triangle_dkdv_out (and, for the delta_true kernels, the
// partials scratch); only what the launch needs is checked. The delta_true fold is not run.
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>
#include <cuda_runtime_api.h>

#include <optional>

#include "common/checks.h"
#include "common/module.h"
#include "dkdv/dkdv_launch.h"
#include "dkdv/dkdv_plan.h"
#include "dkdv/dkdv_tensors.h"

namespace {

namespace dkdv = kestrovane::dkdv;
using kestrovane::LaunchResult;

template <int Tier, bool DeltaTrue>
LaunchResult launch_forced(const dkdv::DkdvLaunch& launch, cudaStream_t stream) {
  const dkdv::DkdvMaps no_maps{};
  return launch.N % dkdv::kKeyBlock == 0
             ? dkdv::launch_dkdv<Tier, -1, DeltaTrue, false, false>(launch, no_maps, stream)
             : dkdv::launch_dkdv<Tier, 0, DeltaTrue, false, false>(launch, no_maps, stream);
}

template <bool DeltaTrue>
LaunchResult launch_tier(const dkdv::DkdvLaunch& launch, cudaStream_t stream) {
  return launch.D == 16   ? launch_forced<16, DeltaTrue>(launch, stream)
         : launch.D == 32 ? launch_forced<32, DeltaTrue>(launch, stream)
                          : launch_forced<64, DeltaTrue>(launch, stream);
}

void dkdv_mma_out(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, const at::Tensor& d_output,
                  const at::Tensor& logsumexp, const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
                  at::Tensor& out_dk, at::Tensor& out_dv, const std::optional<at::Tensor>& delta_true_partials) {
  TORCH_CHECK(q.dim() == 5 && q.is_cuda(), "q must be a 5-D CUDA tensor");
  const int64_t B = q.size(0), O = q.size(1), H = q.size(2), N = q.size(3), D = q.size(4);
  TORCH_CHECK(D == 16 || D == 32 || D == 64, "head_dim must be 16, 32 or 64");
  TORCH_CHECK(dkdv::within_grid_contract(B, O, H, N, D), "sizes out of range");
  const c10::Device device = q.device();
  using kestrovane::is_exact;
  using kestrovane::is_flat;
  const int64_t rows = B * O * H * N;
  TORCH_CHECK(is_exact(q, device, at::kBFloat16, {B, O, H, N, D}) && is_exact(k, device, at::kBFloat16, q.sizes()) &&
                  is_exact(v, device, at::kBFloat16, q.sizes()) &&
                  is_exact(d_output, device, at::kBFloat16, {B, O, N, H, D}) &&
                  is_flat(logsumexp, device, at::kFloat, rows) && is_flat(delta, device, at::kFloat, rows) &&
                  is_exact(mask, device, at::kFloat, {B, O, 1, 1, N}) &&
                  is_exact(bias, device, at::kBFloat16, {B, 1, H, N, N}) &&
                  is_exact(out_dk, device, at::kBFloat16, q.sizes()) &&
                  is_exact(out_dv, device, at::kBFloat16, q.sizes()) && kestrovane::is_aligned(q, 16) &&
                  kestrovane::is_aligned(d_output, 16),
              "tensors must be contiguous and shaped as for kestrovane_triangle_dkdv_out");
  TORCH_CHECK(!delta_true_partials ||
                  (is_flat(*delta_true_partials, device, at::kFloat, delta_true_partials->numel()) &&
                   dkdv::covers(delta_true_partials->numel(), rows, dkdv::key_blocks(N))),
              "delta_true_partials must be contiguous FP32 with at least rows*key_blocks elements");
  const c10::cuda::CUDAGuard guard(device);
  const cudaStream_t stream = c10::cuda::getCurrentCUDAStream(-1).stream();
  const dkdv::DkdvLaunch launch = dkdv::launch_arguments(
      q, k, v, d_output, logsumexp, delta, mask, bias, out_dk, out_dv,
      delta_true_partials ? delta_true_partials->mutable_data_ptr<float>() : nullptr);
  const LaunchResult result = delta_true_partials ? launch_tier<true>(launch, stream) : launch_tier<false>(launch, stream);
  TORCH_CHECK(result.ok(), "shared-memory opt-in failed: ", cudaGetErrorString(static_cast<cudaError_t>(result.code)));
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "launch failed");
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_dkdv_mma_forced, m) {
  m.def("dkdv_mma_out", &dkdv_mma_out, "cp.async + mma.sync dK/dV for D = 16, 32, 64 (tests only)");
}
