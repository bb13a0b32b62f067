// _kestrovane_dq_dbias_sm90a: the validating entries of the dQ/dBias module.
// Each entry runs its checks top to bottom in a fixed order and throws on the first
// violation, then guards the device of its first tensor and queues its kernels on the
// current stream of that device. Nothing here synchronises with the GPU or allocates.
//
// The kernels read and write caller tensors one element per access, so no entry requires
// more than element alignment of a pointer.
#include <ATen/core/Tensor.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>
#include <cuda_runtime_api.h>
#include <pybind11/stl.h>
#include <torch/types.h>

#include <cstdint>
#include <vector>

#include "common/checks.h"
#include "common/module.h"
#include "dq_dbias/dq_launch.h"
#include "dq_dbias/dq_plan.h"

namespace {

using kestrovane::is_exact;
using kestrovane::on_device;
namespace dq = kestrovane::dq;

constexpr const char* kMatching = "k/v/d_output/out_dq must be contiguous BF16 tensors matching q on one device";

// a * b for positive int64 a and b; `what` labels the failure. (ceil-div, the other sizing
// utility, is only used by the wave walk, which reports its failures itself.)
int64_t checked_positive_product(int64_t a, int64_t b, const char* what) {
  const dq::Sized r = dq::checked_positive_product(a, b);
  TORCH_CHECK(r.ok(), dq::size_error_message(r.error, what));
  return r.value;
}

// The exact-tiles lane (SeqTail -1) and the general lane (SeqTail 0): re-validates the
// plan, opts every leaf instantiation of the lane into its shared memory, then walks the
// waves, each leaf launch followed by the finalizer that folds its partials.
template <int HeadDimTier, int SeqTail>
void launch(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, const at::Tensor& d_output,
            const at::Tensor& logsumexp, const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
            at::Tensor& out_dq, at::Tensor& out_dbias, at::Tensor& workspace, int N, int O, int H, int B,
            int slab_rows, int groups_per_wave, int batches_per_wave, int head_dim, cudaStream_t stream) {
  const float scale = dq::softmax_scale(head_dim);
  TORCH_CHECK(dq::launcher_plan_valid(O, B, slab_rows, groups_per_wave, batches_per_wave),
              "invalid query-slab workspace plan");
  const int64_t required =
      checked_positive_product(checked_positive_product(checked_positive_product(checked_positive_product(
                                                                                     groups_per_wave, batches_per_wave,
                                                                                     "workspace"),
                                                                                 H, "workspace"),
                                                        slab_rows, "workspace"),
                               N, "workspace");
  TORCH_CHECK(workspace.numel() >= required, "workspace is smaller than the query-slab plan");
  const bool opted_in = dq::opt_in_leaf_lane<HeadDimTier, SeqTail>();
  TORCH_CHECK(opted_in, "failed to opt in Kestrovane dQ/dBias shared memory");

  const dq::DqLaunch call{q.const_data_ptr(),
                          k.const_data_ptr(),
                          v.const_data_ptr(),
                          d_output.const_data_ptr(),
                          logsumexp.const_data_ptr<float>(),
                          delta.const_data_ptr<float>(),
                          mask.const_data_ptr<float>(),
                          bias.const_data_ptr(),
                          out_dq.mutable_data_ptr(),
                          out_dbias.mutable_data_ptr<float>(),
                          workspace.mutable_data_ptr(),
                          N,
                          O,
                          H,
                          B,
                          slab_rows,
                          groups_per_wave,
                          batches_per_wave,
                          head_dim,
                          scale};
  const dq::WavePlan plan{N, O, H, B, slab_rows, groups_per_wave, batches_per_wave, SeqTail == -1};
  // Each finalizer follows its leaf launch on the stream, and the next leaf launch, which
  // overwrites the workspace, follows that finalizer.
  const dq::WaveStatus status = dq::walk_waves(plan, [&](const dq::LeafWave& wave) {
    dq::launch_leaf<HeadDimTier, SeqTail>(call, wave, stream);
    if (cudaGetLastError() != cudaSuccess) {
      return dq::WaveError::leaf_launch;
    }
    dq::launch_finalize(call.workspace, call.out_dbias, wave, N, H, batches_per_wave, slab_rows, stream);
    if (cudaGetLastError() != cudaSuccess) {
      return dq::WaveError::finalizer_launch;
    }
    return dq::WaveError::none;
  });
  TORCH_CHECK(status.error == dq::WaveError::none, dq::wave_error_message(status));
}

using Launcher = void (*)(const at::Tensor&, const at::Tensor&, const at::Tensor&, const at::Tensor&,
                          const at::Tensor&, const at::Tensor&, const at::Tensor&, const at::Tensor&, at::Tensor&,
                          at::Tensor&, at::Tensor&, int, int, int, int, int, int, int, int, cudaStream_t);

// The one place that maps a lane of the lane table to the launcher that runs it.
Launcher launcher_for(const dq::LaneChoice& choice) {
  const bool general = dq::served_lane(choice.lane) == dq::Lane::general;
  switch (choice.tier) {
    case 16:
      return general ? &launch<16, 0> : &launch<16, -1>;
    case 32:
      return general ? &launch<32, 0> : &launch<32, -1>;
    case 64:
      return general ? &launch<64, 0> : &launch<64, -1>;
    default:
      return general ? &launch<128, 0> : &launch<128, -1>;
  }
}

void kestrovane_triangle_dq_dbias_out(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                      const at::Tensor& d_output, const at::Tensor& logsumexp,
                                      const at::Tensor& delta, const at::Tensor& mask, const at::Tensor& bias,
                                      at::Tensor& out_dq, at::Tensor& out_dbias, at::Tensor& workspace,
                                      int64_t slab_rows, int64_t groups_per_wave, int64_t batches_per_wave) {
  TORCH_CHECK(q.is_cuda() && q.dtype() == torch::kBFloat16);
  TORCH_CHECK(q.dim() == 5 && q.size(2) >= 1);
  const int64_t batch = q.size(0);
  const int64_t outer_count = q.size(1);
  const int64_t heads = q.size(2);
  const int64_t sequence = q.size(3);
  TORCH_CHECK(dq::within_grid_contract(batch, outer_count, heads, sequence, q.size(4)),
              "batch/outer/sequence/head count exceeds the CUDA grid contract");
  // Within int under the grid contract just checked.
  const int head_dim = static_cast<int>(q.size(4));
  TORCH_CHECK(dq::plan_within_limits(outer_count, batch, slab_rows, groups_per_wave, batches_per_wave),
              "invalid query-slab plan dimensions");
  TORCH_CHECK(q.is_contiguous());

  const c10::Device device = q.device();
  TORCH_CHECK(is_exact(k, device, at::kBFloat16, q.sizes()), kMatching);
  TORCH_CHECK(is_exact(v, device, at::kBFloat16, q.sizes()), kMatching);
  TORCH_CHECK(is_exact(d_output, device, at::kBFloat16, {batch, outer_count, sequence, heads, q.size(4)}),
              "d_output must be contiguous BF16 [B,O,N,H,D] on q.device");
  TORCH_CHECK(is_exact(out_dq, device, at::kBFloat16, q.sizes()), kMatching);
  TORCH_CHECK(logsumexp.is_cuda() && logsumexp.device() == q.device() && logsumexp.dtype() == torch::kFloat32 &&
              logsumexp.is_contiguous() && logsumexp.numel() == q.numel() / head_dim);
  TORCH_CHECK(delta.is_cuda() && delta.device() == q.device() && delta.dtype() == torch::kFloat32 &&
              delta.is_contiguous() && delta.sizes() == logsumexp.sizes());
  TORCH_CHECK(mask.is_cuda() && mask.device() == q.device() && mask.dtype() == torch::kFloat32 &&
              mask.is_contiguous() && mask.sizes() == torch::IntArrayRef({batch, outer_count, 1, 1, sequence}));
  TORCH_CHECK(bias.is_cuda() && bias.device() == q.device() && bias.dtype() == torch::kBFloat16 &&
              bias.is_contiguous() && bias.sizes() == torch::IntArrayRef({batch, 1, heads, sequence, sequence}));
  TORCH_CHECK(out_dbias.is_cuda() && out_dbias.device() == q.device() && out_dbias.dtype() == torch::kFloat32 &&
              out_dbias.is_contiguous() &&
              out_dbias.sizes() == torch::IntArrayRef({batch, 1, heads, sequence, sequence}));
  const int64_t required = checked_positive_product(
      checked_positive_product(
          checked_positive_product(checked_positive_product(groups_per_wave, batches_per_wave, "workspace plan"),
                                   heads, "workspace plan"),
          slab_rows, "workspace plan"),
      sequence, "workspace plan");
  TORCH_CHECK(on_device(workspace, device) && workspace.scalar_type() == at::kBFloat16 && workspace.is_contiguous() &&
                  workspace.numel() >= required,
              "workspace is smaller than the validated query-slab plan");

  const c10::cuda::CUDAGuard guard(device);
  const cudaStream_t stream = c10::cuda::getCurrentCUDAStream(-1).stream();
  TORCH_CHECK(dq::head_dim_supported(head_dim), "head_dim must be a multiple of 8 and <= 128, got ", head_dim);

  // Every size below is within int: the grid contract bounds B, O, H, N and D, the plan
  // check bounds slab_rows, groups_per_wave (<= ceil(O/4)) and batches_per_wave (<= B).
  const dq::LaneChoice lane = dq::choose_lane(head_dim, sequence, slab_rows);
  launcher_for(lane)(q, k, v, d_output, logsumexp, delta, mask, bias, out_dq, out_dbias, workspace,
                     static_cast<int>(sequence), static_cast<int>(outer_count), static_cast<int>(heads),
                     static_cast<int>(batch), static_cast<int>(slab_rows), static_cast<int>(groups_per_wave),
                     static_cast<int>(batches_per_wave), head_dim, stream);
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "Kestrovane dQ/dBias launch failed");
}

void kestrovane_reduce_broadcast_dbias_out(const at::Tensor& per_batch_dbias, at::Tensor& out,
                                           const std::vector<int64_t>& target_prefix,
                                           const std::vector<int64_t>& bias_prefix) {
  const dq::PrefixPlanResult prefix = dq::broadcast_plan(target_prefix, bias_prefix);
  TORCH_CHECK(prefix.error == dq::PrefixError::none, dq::prefix_error_message(prefix.error));
  TORCH_CHECK(per_batch_dbias.is_cuda() && per_batch_dbias.scalar_type() == at::kFloat &&
                  per_batch_dbias.is_contiguous() && per_batch_dbias.dim() == 5 &&
                  per_batch_dbias.size(0) == prefix.target_count && per_batch_dbias.size(1) == 1,
              "per_batch_dbias must be contiguous FP32 [B,1,H,N,N]");
  const int64_t H = per_batch_dbias.size(2);
  const int64_t N = per_batch_dbias.size(3);
  TORCH_CHECK(H > 0 && N > 0 && per_batch_dbias.size(4) == N,
              "per_batch_dbias must have positive square pair dimensions");
  const int64_t bias_rank = static_cast<int64_t>(bias_prefix.size());
  TORCH_CHECK(on_device(out, per_batch_dbias.device()) && out.scalar_type() == at::kBFloat16 && out.is_contiguous() &&
                  out.dim() == bias_rank + 4,
              "out must be contiguous BF16 with the source bias rank");
  for (int64_t j = 0; j < bias_rank; ++j) {
    TORCH_CHECK(out.size(j) == bias_prefix[j], "out bias prefix mismatch");
  }
  TORCH_CHECK(out.size(bias_rank) == 1 && out.size(bias_rank + 1) == H && out.size(bias_rank + 2) == N &&
                  out.size(bias_rank + 3) == N,
              "out bias tail must be [1,H,N,N]");
  const int64_t plane =
      checked_positive_product(checked_positive_product(H, N, "broadcast dBias plane"), N, "broadcast dBias plane");
  const int64_t total = checked_positive_product(prefix.bias_count, plane, "broadcast dBias output");
  TORCH_CHECK(out.numel() == total, "out element count does not match the bias prefix");

  const c10::cuda::CUDAGuard guard(per_batch_dbias.device());
  const cudaStream_t stream = c10::cuda::getCurrentCUDAStream(-1).stream();
  dq::launch_broadcast_dbias({per_batch_dbias.const_data_ptr<float>(), out.mutable_data_ptr(), total, plane,
                              prefix.target_count, prefix.plan},
                             stream);
  TORCH_CHECK(cudaGetLastError() == cudaSuccess, "fixed broadcast dBias reduction launch failed");
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_dq_dbias_sm90a, m) {
  m.def("kestrovane_triangle_dq_dbias_out", &kestrovane_triangle_dq_dbias_out,
        "Kestrovane fused dQ+dBias (query-slab deterministic waves)");
  m.def("kestrovane_reduce_broadcast_dbias_out", &kestrovane_reduce_broadcast_dbias_out,
        "Fixed-order broadcast dBias reduction");
}
