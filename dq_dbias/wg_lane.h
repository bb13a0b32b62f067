// Host launcher of the warpgroup lane, included by the entry unit (it raises PyTorch check
// failures). It re-validates the query-slab plan, opts the tier's four leaf instantiations in
// to their shared memory, and walks the waves: per (batch wave, query slab, group wave) one
// leaf launch writes out_dq and the group's BF16 dBias partials into the workspace, and the
// slab finalizer folds them into out_dbias, overwriting on the first group wave and adding
// on later ones. Launches go to one stream in this order, so each finalizer reads the
// partials of the leaf just before it and the next leaf overwrites them only afterwards.
#pragma once

#include <ATen/core/Tensor.h>
#include <c10/util/Exception.h>
#include <cuda_runtime_api.h>

#include <cstdint>

#include "dq_dbias/dq_launch.h"
#include "dq_dbias/dq_plan.h"
#include "dq_dbias/dq_tensors.h"
#include "dq_dbias/wg_launch.h"
#include "dq_dbias/wg_plan.h"

namespace kestrovane {
namespace dq {

constexpr const char* kWgInvalidPlan = "invalid warpgroup query-slab plan";
constexpr const char* kWgWorkspaceTooSmall = "workspace is smaller than the query-slab plan";
constexpr const char* kWgOptInFailed = "failed to opt in Kestrovane dQ/dBias warpgroup shared memory";

// `launch_finalizer(const DqLaunch&, const WgWave&)` enqueues the slab finalizer of one wave on
// `stream` (the launch status is read here). Tensors as the entry has checked them; sizes as 32-bit ints.
template <int HeadDimTier, typename LaunchFinalizer>
void run_wg_lane(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, const at::Tensor& d_output,
                 const at::Tensor& logsumexp, const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
                 at::Tensor& out_dq, at::Tensor& out_dbias, at::Tensor& workspace, int N, int O, int H, int B,
                 int slab_rows, int groups_per_wave, int batches_per_wave, int head_dim, cudaStream_t stream,
                 LaunchFinalizer&& launch_finalizer) {
  static_assert(HeadDimTier == 16 || HeadDimTier == 32 || HeadDimTier == 64, "no warpgroup lane for this tier");
  const float scale = softmax_scale(head_dim);
  TORCH_CHECK(wg_plan_valid(N, O, B, slab_rows, groups_per_wave, batches_per_wave), kWgInvalidPlan);
  const Sized required = workspace_elements(groups_per_wave, batches_per_wave, H, slab_rows, N);
  TORCH_CHECK(required.ok(), size_error_message(required.error, "workspace"));
  TORCH_CHECK(workspace.numel() >= required.value, kWgWorkspaceTooSmall);
  TORCH_CHECK(wg_opt_in<HeadDimTier>(), kWgOptInFailed);

  const DqLaunch call = launch_arguments(q, k, v, d_output, logsumexp, delta, mask, bias, out_dq, out_dbias, workspace,
                                         N, O, H, B, slab_rows, groups_per_wave, batches_per_wave, head_dim, scale);
  const WgSizes sizes{N, O, H, B, slab_rows, groups_per_wave, batches_per_wave};
  const WgStatus status = walk_wg_waves(sizes, [&](const WgWave& wave) {
    launch_wg_leaf<HeadDimTier>(call, wave, stream);
    if (cudaGetLastError() != cudaSuccess) return WgFailure::leaf_launch;
    launch_finalizer(call, wave);
    if (cudaGetLastError() != cudaSuccess) return WgFailure::finalizer_launch;
    return WgFailure::none;
  });
  TORCH_CHECK(status.failure == WgFailure::none, wg_failure_message(status));
}

// The lane's launcher as the entry's lane table names it: the waves, each leaf followed by
// the slab finalizer of the exact-tiles and general lanes.
template <int HeadDimTier>
void launch_wg(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, const at::Tensor& d_output,
               const at::Tensor& logsumexp, const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
               at::Tensor& out_dq, at::Tensor& out_dbias, at::Tensor& workspace, int N, int O, int H, int B,
               int slab_rows, int groups_per_wave, int batches_per_wave, int head_dim, cudaStream_t stream) {
  run_wg_lane<HeadDimTier>(q, k, v, d_output, logsumexp, delta, mask, bias, out_dq, out_dbias, workspace, N, O, H, B,
                           slab_rows, groups_per_wave, batches_per_wave, head_dim, stream,
                           [stream](const DqLaunch& call, const WgWave& wave) {
                             launch_finalize(call.workspace, call.out_dbias, finalizer_wave(wave), call.N, call.H,
                                             call.batches_per_wave, call.slab_rows, stream);
                           });
}

}  // namespace dq
}  // namespace kestrovane
